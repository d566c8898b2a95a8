// Writing sample files with the engine and the record layer.

#include "tools/SampleBuilder.h"

#include <algorithm>
#include <cstdlib>

#include "records/ChunkedTable.h"
#include "records/PropertyRecord.h"
#include "records/RecordList.h"

namespace quillet {

namespace {

constexpr ResultCode kFileExists = -80;  // the negated ERROR_FILE_EXISTS
constexpr int kListsPerAccess = 16;
constexpr FieldTag kColumnKeys[2] = {0x0003, 0x0001};

// Fills `record` (empty and owned) with the fields of `image` through the
// record's own setters, in an order shuffled by `random`, so that the record's
// insertion keeps the field order by itself. Time and Blob fields have no
// setter and are inserted as raw fields.
ResultCode FillRecord(const WordImage& image, SampleRandom& random, PropertyRecord& record) {
    ImageBuilder fields;
    if (!ParseImage(image, &fields)) return kSampleMismatch;
    std::vector<const ImageBuilder::Field*> order;
    for (const auto& f : fields.fields()) order.push_back(&f);
    for (std::size_t i = order.size(); i > 1; --i)
        std::swap(
            order[i - 1],
            order[static_cast<std::size_t>(random.Range(0, static_cast<std::int64_t>(i) - 1))]);
    for (const ImageBuilder::Field* f : order) {
        ResultCode rc = 0;
        switch (f->tag >> 12) {
            case 0:
            case 1:
                rc = record.SetShort(f->tag, f->values[0]);
                break;
            case 4:
                rc = record.SetLong(
                    f->tag,
                    static_cast<std::int32_t>(f->values[0] | (std::uint32_t{f->values[1]} << 16)));
                break;
            case 8: {
                std::u16string text(f->values.begin(), f->values.end() - 1);
                rc = record.SetString(f->tag, text.c_str());
                break;
            }
            default:
                rc = record.InsertField(f->tag, static_cast<std::int32_t>(f->values.size()),
                                        f->values.data());
                break;
        }
        if (rc != 0) return rc;
    }
    return 0;
}

// Replaces the Short field `tag` of an image.
void PatchShort(WordImage& image, std::uint16_t tag, std::uint16_t value) {
    ImageBuilder b;
    if (!ParseImage(image, &b)) return;
    b.Short(tag, value);
    image = b.Image();
}

// A record built from an image, ready to be inserted into a list.
class Record {
  public:
    Record(Platform& platform, SampleRandom& random) : record_(platform), random_(random) {}
    ResultCode From(const WordImage& image) {
        record_.Release();
        return FillRecord(image, random_, record_);
    }
    PropertyRecord& get() { return record_; }

  private:
    PropertyRecord record_;
    SampleRandom& random_;
};

// Packs images into the content of a table of record lists in one write
// (used for the bulk tables, whose records are only carried).
ResultCode WritePacked(TableRecordList& list, const std::vector<WordImage>& images) {
    std::size_t words = 0;
    for (const auto& i : images) words += i.size();
    std::vector<std::uint8_t> bytes;
    bytes.reserve(words * 2);
    for (const auto& i : images)
        for (std::uint16_t w : i) {
            bytes.push_back(static_cast<std::uint8_t>(w));
            bytes.push_back(static_cast<std::uint8_t>(w >> 8));
        }
    TableBuffer& buffer = list.tableBuffer();
    const auto n = static_cast<std::int32_t>(bytes.size());
    if (!buffer.Resize(n)) return kListResizeFailed;
    if (n > 0 && !buffer.Write(bytes.data(), 0, n)) return kListResizeFailed;
    return 0;
}

class Builder {
  public:
    Builder(Platform& platform, const SampleOptions& options, SampleSummary& summary)
        : platform_(platform),
          s_(summary),
          file_(platform),
          random_(options.seed ^ 0x5EEDu),
          record_(platform, random_) {}

    ResultCode Run(const char* path) {
        bool created = false;
        ResultCode rc = file_.Open(path, &created, 0);
        if (rc != 0) return rc;
        if (!created) {
            file_.Close();
            return kFileExists;
        }
        rc = s_.format >= 4 ? Build45() : Build3();
        s_.fileBytes = std::uint64_t{file_.FileBlocks()} * 512;
        file_.Close();
        return rc;
    }

  private:
    // Runs `work` inside one write access, committed when it succeeds.
    template <class Work>
    ResultCode InAccess(Work&& work) {
        ResultCode rc = file_.BeginAccess(true);
        if (rc != 0) return rc;
        return file_.EndAccess(work());
    }

    ResultCode Expect(std::uint16_t got, std::uint16_t* expected) {
        // Table numbers follow from the engine's lowest-free rule; should the
        // engine choose otherwise, the summary follows the file.
        *expected = got;
        return 0;
    }

    ResultCode WriteHeaderArea() {
        ResultCode rc = file_.SetAppSignature(kSampleSignature);
        if (rc == 0) rc = file_.SetAppHeader(s_.appArea, sizeof s_.appArea);
        return rc;
    }

    ResultCode Build45() {
        FileRecordList index;
        ResultCode rc = InAccess([&] {
            ResultCode r = WriteHeaderArea();
            std::uint16_t t = 0;
            if (r == 0) r = index.CreateList(file_, &t);
            if (r == 0) Expect(t, &s_.listIndexTable);
            const ResultCode c = index.CloseList();
            return r != 0 ? r : c;
        });
        for (std::size_t first = 0; rc == 0 && first < s_.lists.size(); first += kListsPerAccess) {
            rc = InAccess([&] {
                const std::size_t end = std::min(s_.lists.size(), first + kListsPerAccess);
                for (std::size_t i = first; i < end; ++i) {
                    ResultCode r = WriteChunkedList(s_.lists[i]);
                    if (r == 0 && i == 0 && s_.gapTable != 0) r = MakeGap();
                    if (r != 0) return r;
                }
                return 0;
            });
        }
        if (rc == 0) rc = InAccess([&] { return WriteIndex(); });
        if (rc == 0) rc = WriteArchives();
        if (rc == 0) rc = RemoveGap();
        return rc;
    }

    ResultCode Build3() {
        FileRecordList lists, folders;
        PropertyRecord keyRecord(platform_);
        SortedRecordList columns(kColumnKeys, 2, &keyRecord);
        ResultCode rc = InAccess([&] {
            ResultCode r = WriteHeaderArea();
            std::uint16_t t = 0;
            if (r == 0) r = lists.CreateList(file_, &t);
            if (r == 0) r = Expect(t, &s_.listIndexTable);
            if (r == 0) r = folders.CreateList(file_, &t);
            if (r == 0) r = Expect(t, &s_.folderTable);
            if (r == 0) r = columns.CreateList(file_, &t);
            if (r == 0) r = Expect(t, &s_.columnTable);
            if (r == 0) {
                // The AppHeader names the three lists.
                s_.appArea[4] = static_cast<std::uint8_t>(s_.listIndexTable);
                s_.appArea[8] = static_cast<std::uint8_t>(s_.folderTable);
                s_.appArea[10] = static_cast<std::uint8_t>(s_.columnTable);
                r = file_.SetAppHeader(s_.appArea, sizeof s_.appArea);
            }
            return r;
        });
        // Item tables first: the list records name them.
        for (std::size_t first = 0; rc == 0 && first < s_.lists.size(); first += kListsPerAccess) {
            rc = InAccess([&] {
                const std::size_t end = std::min(s_.lists.size(), first + kListsPerAccess);
                for (std::size_t i = first; i < end; ++i) {
                    ResultCode r = WriteItemTable(s_.lists[i]);
                    if (r == 0 && i == 0 && s_.gapTable != 0) r = MakeGap();
                    if (r != 0) return r;
                }
                return 0;
            });
        }
        if (rc == 0) {
            rc = InAccess([&] {
                ResultCode r = 0;
                for (std::size_t i = 0; r == 0 && i < s_.lists.size(); ++i) {
                    r = record_.From(s_.lists[i].header);
                    if (r == 0) r = lists.InsertRecord(-1, record_.get());
                }
                for (std::size_t i = 0; r == 0 && i < s_.entries.size(); ++i) {
                    if (s_.entries[i].isList) continue;
                    r = record_.From(s_.entries[i].image);
                    if (r == 0) r = folders.InsertRecord(-1, record_.get());
                }
                // Columns go in list by list, each list's in its stored order;
                // the list sorts them.
                for (std::size_t i = 0; r == 0 && i < s_.lists.size(); ++i) {
                    for (std::size_t c = 0; r == 0 && c < s_.lists[i].columns.size(); ++c) {
                        r = record_.From(s_.lists[i].columns[c]);
                        if (r == 0) r = columns.InsertSorted(record_.get());
                    }
                }
                if (r == 0) r = lists.Flush();
                if (r == 0) r = folders.Flush();
                if (r == 0) r = columns.Flush();
                return r;
            });
        }
        lists.CloseList();
        folders.CloseList();
        columns.CloseList();
        if (rc == 0) rc = WriteArchives();
        if (rc == 0) rc = RemoveGap();
        return rc;
    }

    ResultCode MakeGap() {
        TableRecordList gap;
        std::uint16_t t = 0;
        ResultCode rc = gap.CreateList(file_, &t);
        gap.CloseList();
        if (rc == 0) s_.gapTable = t;
        return rc;
    }

    ResultCode RemoveGap() {
        if (s_.gapTable == 0) return 0;
        return InAccess([&] { return file_.DeleteTable(s_.gapTable); });
    }

    ResultCode WriteChunkedList(SampleList& list) {
        ChunkedTable table(platform_);
        std::uint16_t t = 0;
        ResultCode rc = table.CreateList(file_, &t);
        if (rc != 0) return rc;
        if (t != list.table) {
            list.table = t;
            for (SampleEntry& e : s_.entries)
                if (e.isList && &s_.lists[static_cast<std::size_t>(e.list)] == &list)
                    PatchShort(e.image, 0x0029, t);
        }
        rc = record_.From(list.header);
        if (rc == 0) rc = table.ReplaceChunkRecord(1, 0, record_.get());
        for (std::size_t i = 0; rc == 0 && i < list.columns.size(); ++i) {
            rc = record_.From(list.columns[i]);
            if (rc == 0) rc = table.InsertChunkRecord(2, -1, record_.get());
        }
        for (std::size_t i = 0; rc == 0 && i < list.chunk3.size(); ++i) {
            rc = record_.From(list.chunk3[i]);
            if (rc == 0) rc = table.InsertChunkRecord(3, -1, record_.get());
        }
        for (std::size_t i = 0; rc == 0 && i < list.chunk4.size(); ++i) {
            rc = record_.From(list.chunk4[i]);
            if (rc == 0) rc = table.InsertChunkRecord(4, -1, record_.get());
        }
        for (std::size_t i = 0; rc == 0 && i < list.items.size(); ++i) {
            rc = record_.From(list.items[i]);
            if (rc == 0) rc = table.InsertChunkRecord(5, -1, record_.get());
        }
        const ResultCode closed = table.CloseList();
        return rc != 0 ? rc : closed;
    }

    ResultCode WriteItemTable(SampleList& list) {
        TableRecordList table;
        std::uint16_t t = 0;
        ResultCode rc = table.CreateList(file_, &t);
        if (rc != 0) return rc;
        if (t != list.table) {
            list.table = t;
            PatchShort(list.header, 0x0002, t);
        }
        for (std::size_t i = 0; rc == 0 && i < list.items.size(); ++i) {
            rc = record_.From(list.items[i]);
            if (rc == 0) rc = table.InsertRecord(-1, record_.get());
        }
        if (rc == 0) rc = table.Flush();
        const ResultCode closed = table.CloseList();
        return rc != 0 ? rc : closed;
    }

    ResultCode WriteIndex() {
        FileRecordList index;
        ResultCode rc = index.OpenList(file_, s_.listIndexTable);
        for (std::size_t i = 0; rc == 0 && i < s_.entries.size(); ++i) {
            rc = record_.From(s_.entries[i].image);
            if (rc == 0) rc = index.InsertRecord(-1, record_.get());
        }
        if (rc == 0) rc = index.Flush();
        const ResultCode closed = index.CloseList();
        return rc != 0 ? rc : closed;
    }

    ResultCode WriteArchives() {
        ResultCode rc = 0;
        for (std::size_t i = 0; rc == 0 && i < s_.archives.size(); ++i) {
            rc = InAccess([&] {
                SampleArchive& a = s_.archives[i];
                TableRecordList table;
                std::uint16_t t = 0;
                ResultCode r = table.CreateList(file_, &t);
                if (r != 0) return r;
                a.table = t;
                r = WritePacked(table, a.images);
                if (r == 0) r = table.Flush();
                const ResultCode closed = table.CloseList();
                return r != 0 ? r : closed;
            });
        }
        return rc;
    }

    Platform& platform_;
    SampleSummary& s_;
    DataFile file_;
    SampleRandom random_;
    Record record_;
};

bool Exists(Platform& platform, const char* path) {
    std::uint32_t attributes = 0;
    return platform.GetPathAttributes(path, &attributes) == win32::kSuccess;
}

}  // namespace

ResultCode BuildSample(Platform& platform, const SampleOptions& options, const char* path,
                       SampleSummary* out) {
    if (Exists(platform, path)) return kFileExists;
    // The builder needs every image; the summary keeps them only when asked.
    SampleOptions full = options;
    full.keepItemImages = true;
    SampleSummary summary;
    std::string problem;
    if (!ProjectSample(full, options.format, &summary, &problem))
        return -static_cast<ResultCode>(win32::kInvalidParameter);
    Builder builder(platform, options, summary);
    const ResultCode rc = builder.Run(path);
    if (rc != 0) {
        platform.RemoveFile(path);
        return rc;
    }
    summary.options = options;
    if (!options.keepItemImages) {
        for (auto& l : summary.lists) std::vector<WordImage>().swap(l.items);
        for (auto& a : summary.archives) std::vector<WordImage>().swap(a.images);
    }
    if (out) *out = std::move(summary);
    return 0;
}

ResultCode BuildSampleOfSize(Platform& platform, SampleOptions options, std::uint64_t targetBytes,
                             const char* path, SampleSummary* out) {
    if (Exists(platform, path)) return kFileExists;
    SampleSummary summary;
    options.archiveBytes = 0;
    for (int round = 0; round < 5; ++round) {
        ResultCode rc = BuildSample(platform, options, path, &summary);
        if (rc != 0) return rc;
        const auto size = static_cast<std::int64_t>(summary.fileBytes);
        const auto target = static_cast<std::int64_t>(targetBytes);
        const std::int64_t off = target - size;
        if (std::abs(off) * 50 <= target || round == 4 || (off < 0 && options.archiveBytes == 0)) {
            break;
        }
        // Archived records take a little more room than their bytes (block
        // maps, the last block of each table); the next round corrects.
        options.archiveBytes =
            std::clamp<std::int64_t>(options.archiveBytes + off * 97 / 100, 0, 16ll << 20);
        platform.RemoveFile(path);
    }
    if (out) *out = std::move(summary);
    return 0;
}

ResultCode BuildListHeavySample(Platform& platform, SampleOptions options,
                                std::uint64_t targetBytes, const char* path, SampleSummary* out) {
    if (Exists(platform, path)) return kFileExists;
    SampleSummary summary;
    options.archiveBytes = 0;
    if (options.items <= 0) options.items = 200;
    const auto target = static_cast<std::int64_t>(targetBytes);
    int built = 0;   // the last item count that could be built
    int failed = 0;  // the smallest item count that could not
    constexpr int kRounds = 10;
    for (int round = 0; round < kRounds; ++round) {
        ResultCode rc = BuildSample(platform, options, path, &summary);
        std::int64_t next = 0;
        if (rc != 0) {
            // Too many items for the file (31) or for one list's table (10).
            platform.RemoveFile(path);
            failed = options.items;
            next = built > 0 ? (built + failed) / 2 : options.items * 9 / 10;
            if (round == kRounds - 1 || next == built || next < 1) {
                if (built == 0) return rc;
                options.items = built;
                rc = BuildSample(platform, options, path, &summary);
                if (rc != 0) return rc;
                break;
            }
        } else {
            const auto size = static_cast<std::int64_t>(summary.fileBytes);
            if (std::abs(target - size) * 50 <= target || round == kRounds - 1) break;
            if (size < target) built = options.items;
            // Items make up nearly all of the file, so the count scales with it.
            next = static_cast<std::int64_t>(options.items) * target / size;
            if (failed > 0 && next >= failed) next = (options.items + failed) / 2;
            if (next == options.items) break;
            platform.RemoveFile(path);
        }
        options.items = static_cast<int>(std::clamp<std::int64_t>(next, 1, 20000));
    }
    if (out) *out = std::move(summary);
    return 0;
}

}  // namespace quillet
