#include "tests/fuzz/FuzzTargets.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "container/DataFile.h"
#include "convert/ConversionFile.h"
#include "platform/LittleEndian.h"
#include "records/ChunkedTable.h"
#include "records/MemoryBuffer.h"
#include "records/PropertyRecord.h"
#include "records/RecordList.h"
#include "storage/IntegrityCheck.h"
#include "tests/fuzz/FuzzDisk.h"

namespace quillet::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Reads the descriptors of the first `tables` tables and a bounded selection
// of their blocks: the first `first` ones (the direct slots and the start of
// the first index block), the first entry of every further index block, and
// the last `last` ones; at most `budget` blocks in all. A damaged file that
// claims many long tables costs little, while the far ends of its tables and
// every index block are still reached.
ResultCode ReadTables(DataFile& file, std::uint16_t tables, std::uint32_t first, std::uint32_t last,
                      int budget) {
    for (std::uint16_t t = 0; t < tables && t < kTableCount; ++t) {
        std::uint8_t d[kDescriptorSize];
        ResultCode r = file.ReadTableDescriptor(t, d);
        if (r != 0) return r;
        if (d[descriptor::kTableType] == 0 || t == kFreeTable) continue;
        const std::uint32_t count = Load16(d + descriptor::kBlockCount);
        const std::uint32_t tail = count > last ? count - last : 0;
        for (std::uint32_t i = 0; i < count && budget > 0;) {
            BlockRef ref(file);
            r = file.GetBlock(t, static_cast<std::uint16_t>(i), ref.Out());
            if (r != 0) return r;
            --budget;
            // The next index: on through the first ones and the last ones,
            // from one index block's start to the next in between.
            if (i + 1 < first || i + 1 >= tail) {
                ++i;
            } else {
                const std::uint32_t next = (i / kIndexEntries + 1) * kIndexEntries;
                i = std::max(std::min(next, tail), i + 1);
            }
        }
    }
    return 0;
}

std::string IntegrityOf(DataFile& file) {
    if (file.BeginAccess(false) != 0) return "no read access";
    const IntegrityReport report = CheckIntegrity(file);
    file.EndAccess(0);
    return report.ok() ? std::string() : report.Describe();
}

// Opens the file read-only and walks it; "" when sound, "unopenable <code>"
// when it does not open.
std::string SoundnessOf(Platform& platform, const std::string& path) {
    DataFile file(platform);
    bool created = false;
    const ResultCode r = file.Open(path.c_str(), &created, OpenReadOnly);
    if (r != 0) return "unopenable " + std::to_string(r);
    return IntegrityOf(file);
}

// SoundnessOf the input as it was before a harness changed it: the bytes are
// put on a disk of their own. Harnesses call it only once a changed file is
// unsound, since most inputs never get that far.
std::string SoundnessBefore(const std::uint8_t* data, std::size_t size) {
    FuzzDisk fuzz(data, size);
    return SoundnessOf(fuzz.disk, fuzz.input);
}

// A MemoryBuffer whose loads and saves do nothing.
class PlainBuffer final : public MemoryBuffer {
  public:
    ResultCode Load() override { return 0; }
    ResultCode Save() override { return 0; }
    ResultCode Reset(std::int32_t freeStorage) override {
        if (freeStorage) FreeStorage();
        return 0;
    }
    bool IsDirty() override { return false; }
    void SetBytes(const std::uint8_t* data, std::size_t size) {
        Resize(static_cast<std::int32_t>(size));
        if (size != 0) Write(data, 0, static_cast<std::int32_t>(size));
    }
};

// Touches the first value word of every field the walk visits (it is always
// inside the image) and keeps the first few tags it met.
class CountingVisitor final : public FieldVisitor {
  public:
    static constexpr int kKept = 4;
    std::int32_t Visit(FieldTag tag, const std::uint16_t* value) override {
        sum_ += tag + value[0];
        if (count_ < kKept) tags_[count_] = tag;
        return ++count_ > 100000 ? 1 : 0;
    }
    // Copies the tags of the first fields visited, at most kKept, to `out`;
    // returns how many.
    std::size_t CopyTags(FieldTag* out) const {
        const int n = std::min(count_, kKept);
        std::copy(tags_, tags_ + n, out);
        return static_cast<std::size_t>(n);
    }

  private:
    std::uint32_t sum_ = 0;
    int count_ = 0;
    FieldTag tags_[kKept] = {};
};

// Tags to try on a record: one of every type (the first kTypeTags), then some
// from the input; kGivenTags at most.
constexpr std::size_t kTypeTags = 8;
constexpr std::size_t kGivenTags = 12;
std::vector<FieldTag> TagsFrom(const std::uint8_t* data, std::size_t size) {
    std::vector<FieldTag> tags = {0x0001, 0x1002, 0x4003, 0x6004, 0x8005, 0xC006, 0x4004, 0x0000};
    for (std::size_t i = 0; i + 1 < size && tags.size() < kGivenTags; i += 7) {
        tags.push_back(static_cast<FieldTag>(data[i] | (data[i + 1] << 8)));
    }
    return tags;
}

// Reads every field of a record in every way there is: every read for the
// tags of every type and for the first fields the walk visits, the lookups
// that walk the fields for the other tags. The visited tags are found
// whatever they are, so reading a field of any type does not wait for the
// fuzzer to match a tag (the record code is built without comparison tracing,
// see records/CMakeLists.txt). (FindValueWords is not called on its own:
// GetText and CompareField call it with the same record and tag, so a call of
// its own reached nothing new.)
void ReadRecord(const PropertyRecord& record, const PropertyRecord& other,
                const std::vector<FieldTag>& given) {
    CountingVisitor visitor;
    std::int32_t end = 0;
    record.ForEachField(visitor, &end);
    FieldTag tags[CountingVisitor::kKept + kGivenTags];
    const std::size_t visited = visitor.CopyTags(tags);
    const std::size_t count = visited + std::min(given.size(), kGivenTags);
    std::copy(given.begin(), given.begin() + static_cast<std::ptrdiff_t>(count - visited),
              tags + visited);
    const std::size_t fullReads = visited + kTypeTags;
    for (std::size_t i = 0; i < count; ++i) {
        const FieldTag tag = tags[i];
        char text[96];
        record.GetText(tag, text, sizeof text);
        record.CompareField(tag, other);
        if (i >= fullReads) continue;  // the rest only repeat the walks above
        record.GetText(tag, text, 1);
        std::uint16_t s = 0;
        record.GetShort(tag, &s);
        std::int32_t index = 0;
        record.FindInsertPosition(tag, &index);
        other.CompareField(tag, record);
    }
}

// Changes an owned copy of a record in every way there is.
void ChangeRecord(PropertyRecord& record, const std::vector<FieldTag>& tags, std::uint8_t mix) {
    static const char16_t kText[] = u"fuzz text";
    for (std::size_t i = 0; i < tags.size(); ++i) {
        const FieldTag tag = tags[i];
        switch ((mix + i) % 7) {
            case 0:
                record.SetShort(tag, static_cast<std::uint16_t>(i));
                break;
            case 1:
                record.SetLong(tag, static_cast<std::int32_t>(i * 65537));
                break;
            case 2:
                record.SetString(tag, kText);
                break;
            case 3:
                record.SetText(tag, "-1234");
                break;
            case 4:
                record.SetText(tag, "");
                break;
            case 5:
                record.RemoveField(tag);
                break;
            default:
                record.SetStringAnsi(tag, "ansi");
                break;
        }
    }
    record.Grow(3);
}

}  // namespace

std::string FuzzOpenFile(const std::uint8_t* data, std::size_t size) {
    FuzzDisk fuzz(data, size);
    {
        DataFile file(fuzz.disk);
        bool created = false;
        if (file.Open(fuzz.input.c_str(), &created, OpenReadOnly) == 0) {
            if (file.BeginAccess(false) == 0) {
                std::uint8_t app[256], signature[16];
                file.GetAppHeader(app, sizeof app);
                file.GetAppSignature(signature);
                file.EndAccess(ReadTables(file, kTableCount, 40, 8, 512));
            }
            // A read-only file cannot be written, whatever it holds.
            if (file.BeginAccess(true) == 0) return "write access on a read-only file";
            const auto now = fuzz.disk.CurrentBytes(fuzz.input);
            if (now->size() != size || (size != 0 && std::memcmp(now->data(), data, size) != 0)) {
                return "a read-only open changed the file";
            }
        }
    }
    // Opened for writing: blocks are read through the same calls as above, so
    // a smaller selection does.
    DataFile file(fuzz.disk);
    bool created = false;
    if (file.Open(fuzz.input.c_str(), &created, OpenShareRead) == 0 &&
        file.BeginAccess(false) == 0) {
        file.EndAccess(ReadTables(file, 16, 2, 1, 64));
    }
    return "";
}

std::string FuzzIntegrity(const std::uint8_t* data, std::size_t size) {
    FuzzDisk fuzz(data, size);
    {
        DataFile file(fuzz.disk);
        bool created = false;
        if (file.Open(fuzz.input.c_str(), &created, OpenShareRead) != 0) return "";
        if (file.BeginAccess(true) != 0) return "";
        std::uint16_t table = 0;
        ResultCode r = file.CreateTable(&table, 3, 0);
        const std::uint8_t seed = size != 0 ? data[size / 2] : 0;
        std::uint8_t block[kBlockSize];
        for (int i = 0; r == 0 && i < 30; ++i) {
            std::memset(block, seed + i, sizeof block);
            CacheEntry* entry = nullptr;
            r = file.ClaimBlock(table, static_cast<std::uint16_t>(i), &entry);
            if (r != 0) break;
            std::memcpy(entry->buffer, block, sizeof block);
            r = file.MarkBlockModified(entry, true);
            if (r != 0) file.ReleaseBlock(entry);
        }
        if (r == 0) r = file.SetTableBlockCount(table, 10);
        // Delete the first other table in use, whatever it is.
        for (std::uint16_t t = 2; r == 0 && t < kTableCount; ++t) {
            std::uint8_t d[kDescriptorSize];
            r = file.ReadTableDescriptor(t, d);
            if (r == 0 && t != table && d[descriptor::kTableType] != 0) {
                r = file.DeleteTable(t);
                break;
            }
        }
        r = file.EndAccess(r);
        if (r != 0) return "";
    }
    const std::string after = SoundnessOf(fuzz.disk, fuzz.input);
    if (!after.empty() && SoundnessBefore(data, size).empty()) {
        return "a sound file became unsound through a committed transaction: " + after;
    }
    return "";
}

std::uint32_t ClaimedBlocks(const std::uint8_t* data, std::size_t size) {
    FuzzDisk fuzz(data, size);
    DataFile file(fuzz.disk);
    bool created = false;
    if (file.Open(fuzz.input.c_str(), &created, OpenReadOnly) != 0) return 0;
    if (file.BeginAccess(false) != 0) return 0;
    std::uint32_t claimed = 0;
    for (std::uint16_t t = 0; t < kTableCount; ++t) {
        std::uint8_t d[kDescriptorSize];
        if (file.ReadTableDescriptor(t, d) != 0) break;
        const std::uint16_t count = Load16(d + descriptor::kBlockCount);
        if (d[descriptor::kTableType] != 0 && count <= kMaxTableBlocks) claimed += count;
    }
    file.EndAccess(0);
    return claimed;
}

std::string FuzzConvert(const std::uint8_t* data, std::size_t size) {
    if (ClaimedBlocks(data, size) > kFuzzedClaimedBlocks) return "";
    return ConvertInFull(data, size);
}

std::string ConvertInFull(const std::uint8_t* data, std::size_t size) {
    FuzzDisk fuzz(data, size);
    const Bytes original(data, data + size);
    const std::string copy = "/fuzz/copy.qdx";
    {
        // With an odd last byte the copy plans with a free list of a few dozen
        // entries, as a file near the format's limits would: the step then
        // runs in the copy's transaction, committed in slices, and the
        // compaction takes several passes. The next bit chooses the step to
        // 3 instead of 4, for format 4 files.
        SliceLimits limits;
        int version = 4;
        if (size != 0 && (data[size - 1] & 1) != 0) {
            limits.freeListEntries = 48;
            limits.freedPerSlice = 4;
            limits.margin = 8;
            if ((data[size - 1] & 2) != 0) version = 3;
        }
        ConversionFile target(fuzz.disk, limits);
        const ResultCode r = target.Convert(copy.c_str(), version, fuzz.input.c_str());
        if (*fuzz.disk.CurrentBytes(fuzz.input) != original) return "the copy's source changed";
        if (r == 0) {
            const std::string findings = SoundnessOf(fuzz.disk, copy);
            if (!findings.empty()) return "a successful copy is unsound: " + findings;
        }
    }
    ConversionFile file(fuzz.disk);
    const ResultCode r = file.Convert(fuzz.input.c_str(), 3, nullptr);
    if (r == 0) {
        const std::string after = SoundnessOf(fuzz.disk, fuzz.input);
        if (!after.empty() && SoundnessBefore(data, size).empty())
            return "an in-place conversion of a sound file left it unsound: " + after;
    }
    return "";
}

std::string FuzzRecords(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return "";
    FuzzHost host;
    const std::uint8_t mix = data[0];
    const std::uint8_t* content = data + 1;
    const std::size_t length = size - 1;
    const std::vector<FieldTag> tags = TagsFrom(content, length);

    // The content as a record list.
    {
        PlainBuffer buffer;
        buffer.SetBytes(content, length);
        RecordList list;
        list.Attach(&buffer);
        std::int32_t count = 0;
        const ResultCode counted = list.CountRecords(&count);
        PropertyRecord first(host), record(host), owned(host);
        if (counted == 0 && count > 0) list.GetRecord(0, first);
        // Every field of the first records is read in every way; the later
        // ones go through the same code, so they are only walked.
        for (std::int32_t n = 0; counted == 0 && n < count && n < 48; ++n) {
            if (list.GetRecord(n, record) != 0) return "a counted record cannot be read";
            if (n < 4) {
                ReadRecord(record, first, tags);
            } else {
                CountingVisitor visitor;
                std::int32_t end = 0;
                record.ForEachField(visitor, &end);
            }
            if (record.SetShort(0x0001, 1) != kRecordIsView) return "a view was changed";
        }
        std::int32_t offset = 0;
        if (counted == 0 && list.FindRecord(count + (mix & 3), &offset) == 0) {
            return "a record was found past the end of the list";
        }
        if (counted == 0 && count > 0) {
            const std::int32_t n = mix % count;
            if (list.GetRecord(n, record) == 0 && record.MakeOwned() == 0) {
                ChangeRecord(record, tags, mix);
                ReadRecord(record, record, tags);
                list.InsertRecord(n, record);
                list.GetRecord(0, owned);
                list.InsertRecord(-1, owned);  // a view of the list itself
                list.ReplaceRecord(n, record);
                list.DeleteRecord((n + 1) % (count + 1));
                std::int32_t again = 0;
                if (list.CountRecords(&again) != 0) return "a list broke by its own changes";
            }
        }
        list.ResizeSpan(0, 0, mix & 7);
        list.Flush();
        list.Detach();
    }

    // The content as one record image (its length word clamped into range, as
    // a list guarantees before it hands out a view).
    {
        std::vector<std::uint16_t> words((length + 1) / 2 + 1, 0);
        std::memcpy(words.data(), content, length);
        const std::int32_t available = static_cast<std::int32_t>(words.size());
        std::int32_t l = words[0];
        if (l < 1 || l > available) l = available;
        words[0] = static_cast<std::uint16_t>(l);
        PropertyRecord view(host), empty(host);
        view.MakeView(words.data());
        ReadRecord(view, empty, tags);
        if (view.MakeOwned() == 0) {
            ChangeRecord(view, tags, static_cast<std::uint8_t>(mix >> 3));
            ReadRecord(view, empty, tags);
        }
    }

    // The content as a chunked buffer.
    {
        PlainBuffer buffer;
        buffer.SetBytes(content, length);
        ChunkedRecordSet set(host);
        set.Bind(&buffer);
        PropertyRecord record(host);
        record.SetShort(0x0007, mix);
        for (std::int16_t chunk = 0; chunk <= 6; ++chunk) {
            std::int32_t count = 0;
            if (set.CountChunkRecords(chunk, &count) == 0 && count > 0) {
                PropertyRecord got(host);
                set.GetChunkRecord(chunk, count - 1, got);
                set.DeleteChunkRecord(chunk, (mix + chunk) % count);
            }
            set.InsertChunkRecord(chunk, mix % 3, record);
            set.ReplaceChunkRecord(chunk, 0, record);
            PlainBuffer copy;
            set.CopyChunk(chunk, copy);
        }
        ChunkView view;
        view.BindView(&buffer, static_cast<std::int16_t>(mix % 7));
        const std::int32_t n = view.Size();
        view.Resize(n + (mix & 15));
        view.Move(0, 1, std::max<std::int32_t>(0, view.Size() - 1));
        view.Resize(mix & 7);
        if ((mix & 0x80) != 0) set.InitializeNew();
        set.Unbind();
    }
    return "";
}

}  // namespace quillet::testing
