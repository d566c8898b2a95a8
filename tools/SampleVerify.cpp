// Reading sample files back through the record layer and comparing them with
// their summaries.

#include <cstdio>
#include <cstring>
#include <set>

#include "records/ChunkedTable.h"
#include "records/MemoryBuffer.h"
#include "records/PropertyRecord.h"
#include "records/RecordList.h"
#include "storage/IntegrityCheck.h"
#include "tools/SampleBuilder.h"

namespace quillet {

namespace {

// A buffer in memory only, the destination of CopyChunk.
class PlainBuffer final : public MemoryBuffer {
  public:
    ResultCode Load() override { return 0; }
    ResultCode Save() override { return 0; }
    ResultCode Reset(std::int32_t) override { return 0; }
    bool IsDirty() override { return false; }
};

WordImage ImageOf(const PropertyRecord& r) {
    const std::uint16_t* w = r.GetImage();
    return WordImage(w, w + r.WordCount());
}

std::string Str(const char* format, long a = 0, long b = 0, long c = 0) {
    char buf[200];
    std::snprintf(buf, sizeof buf, format, a, b, c);
    return buf;
}

// Splits packed record images (a record list's content) and hashes them;
// false when the chain of lengths is broken.
bool WalkPacked(const std::uint8_t* data, std::int32_t size, std::uint64_t* hash,
                std::int32_t* count, std::vector<WordImage>* images) {
    *hash = kHashStart;
    *count = 0;
    const std::int32_t words = size / 2;
    std::int32_t i = 0;
    while (i < words) {
        const std::int32_t length = data[2 * i] | (data[2 * i + 1] << 8);
        if (length < 1 || i + length > words) return false;
        WordImage image(static_cast<std::size_t>(length));
        for (std::int32_t k = 0; k < length; ++k)
            image[static_cast<std::size_t>(k)] =
                static_cast<std::uint16_t>(data[2 * (i + k)] | (data[2 * (i + k) + 1] << 8));
        *hash = HashWords(*hash, image);
        if (images) images->push_back(std::move(image));
        ++*count;
        i += length;
    }
    return true;
}

class Verifier {
  public:
    Verifier(Platform& platform, const SampleSummary& expected, std::string* problem)
        : platform_(platform), e_(expected), problem_(problem), file_(platform) {}

    ResultCode Run(const char* path) {
        bool created = false;
        ResultCode rc = file_.Open(path, &created, OpenReadOnly);
        if (rc != 0) return Note(rc, "open");
        rc = file_.BeginAccess(false);
        if (rc == 0) rc = file_.EndAccess(Check());
        file_.Close();
        return rc;
    }

  private:
    ResultCode Note(ResultCode rc, const std::string& where) {
        if (problem_ && problem_->empty()) *problem_ = where + ": code " + std::to_string(rc);
        return rc;
    }
    ResultCode Fail(const std::string& what) {
        if (problem_ && problem_->empty()) *problem_ = what;
        return kSampleMismatch;
    }
    ResultCode Compare(const WordImage& got, const WordImage& want, const std::string& where) {
        if (got == want) return 0;
        return Fail(where + " differs:\n  got  " + DescribeImage(got) + "\n  want " +
                    DescribeImage(want));
    }

    ResultCode Check() {
        std::uint8_t signature[16];
        ResultCode rc = file_.GetAppSignature(signature);
        if (rc != 0) return Note(rc, "signature");
        if (std::memcmp(signature, kSampleSignature, 16) != 0) return Fail("signature differs");
        std::uint8_t area[256];
        rc = file_.GetAppHeader(area, sizeof area);
        if (rc != 0) return Note(rc, "application area");
        for (int i = 0; i < 256; ++i)
            if (area[i] != e_.appArea[i])
                return Fail(Str("application area byte %ld is %ld, expected %ld", i, area[i],
                                e_.appArea[i]));
        if ((rc = CheckTables()) != 0) return rc;
        rc = e_.format >= 4 ? Check45() : Check3();
        if (rc != 0) return rc;
        return CheckArchives();
    }

    // Exactly the expected table numbers are in use, each of its kind.
    ResultCode CheckTables() {
        std::set<std::uint16_t> chunked, plain;
        if (e_.format >= 4) {
            plain.insert(e_.listIndexTable);
            for (const auto& l : e_.lists) chunked.insert(l.table);
        } else {
            plain.insert({e_.listIndexTable, e_.folderTable, e_.columnTable});
            for (const auto& l : e_.lists) plain.insert(l.table);
        }
        for (const auto& a : e_.archives) plain.insert(a.table);
        for (std::uint16_t t = 2; t < kTableCount; ++t) {
            std::uint8_t d[kDescriptorSize];
            const ResultCode rc = file_.ReadTableDescriptor(t, d);
            if (rc != 0) return Note(rc, Str("descriptor of table %ld", t));
            const int type = d[descriptor::kTableType], subtype = d[descriptor::kTableSubtype];
            int wantType = 0, wantSubtype = 0;
            if (chunked.count(t)) {
                wantType = kChunkedTableType;
                wantSubtype = kChunkedTableSubtype;
            } else if (plain.count(t)) {
                wantType = kRecordTableType;
                wantSubtype = kRecordTableSubtype;
            }
            if (type != wantType || subtype != wantSubtype)
                return Fail(Str("table %ld has kind %ld", t, type * 256 + subtype) +
                            Str(", expected %ld", wantType * 256 + wantSubtype));
        }
        return 0;
    }

    ResultCode CheckList(TableRecordList& list, std::uint16_t table,
                         const std::vector<WordImage>& want, const std::string& what) {
        ResultCode rc = list.OpenList(file_, table);
        if (rc != 0) return Note(rc, what + " open");
        std::int32_t n = 0;
        rc = list.CountRecords(&n);
        if (rc != 0) return Note(rc, what + " count");
        if (n != static_cast<std::int32_t>(want.size()))
            return Fail(what +
                        Str(": %ld records, expected %ld", n, static_cast<long>(want.size())));
        PropertyRecord r(platform_);
        for (std::int32_t i = 0; i < n; ++i) {
            rc = list.GetRecord(i, r);
            if (rc != 0) return Note(rc, what + Str(" record %ld", i));
            rc = Compare(ImageOf(r), want[static_cast<std::size_t>(i)],
                         what + Str(" record %ld", i));
            r.Release();
            if (rc != 0) return rc;
        }
        return 0;
    }

    ResultCode CheckChunk(ChunkedTable& t, std::int16_t chunk, const std::vector<WordImage>& want,
                          const std::string& what) {
        std::int32_t n = 0;
        ResultCode rc = t.CountChunkRecords(chunk, &n);
        if (rc != 0) return Note(rc, what + Str(" chunk %ld count", chunk));
        if (n != static_cast<std::int32_t>(want.size()))
            return Fail(what + Str(" chunk %ld: %ld records, expected %ld", chunk, n,
                                   static_cast<long>(want.size())));
        PropertyRecord r(platform_);
        for (std::int32_t i = 0; i < n; ++i) {
            rc = t.GetChunkRecord(chunk, i, r);
            if (rc != 0) return Note(rc, what + Str(" chunk %ld record %ld", chunk, i));
            rc = Compare(ImageOf(r), want[static_cast<std::size_t>(i)],
                         what + Str(" chunk %ld record %ld", chunk, i));
            r.Release();
            if (rc != 0) return rc;
        }
        return 0;
    }

    ResultCode CheckItems(const std::uint8_t* data, std::int32_t size, const SampleList& l,
                          const std::string& what) {
        std::uint64_t hash = 0;
        std::int32_t count = 0;
        std::vector<WordImage> images;
        if (!WalkPacked(data, size, &hash, &count, l.items.empty() ? nullptr : &images))
            return Fail(what + ": broken chain of item lengths");
        if (count != l.itemCount)
            return Fail(what + Str(": %ld items, expected %ld", count, l.itemCount));
        if (static_cast<std::uint64_t>(size) != l.itemBytes)
            return Fail(what + Str(": %ld bytes of items, expected %ld", size,
                                   static_cast<long>(l.itemBytes)));
        for (std::size_t i = 0; i < l.items.size() && i < images.size(); ++i) {
            const ResultCode rc =
                Compare(images[i], l.items[i], what + Str(" item %ld", static_cast<long>(i)));
            if (rc != 0) return rc;
        }
        if (hash != l.itemHash) return Fail(what + ": items differ (hash)");
        return 0;
    }

    ResultCode Check45() {
        {
            FileRecordList index;
            std::vector<WordImage> want;
            for (const auto& en : e_.entries) want.push_back(en.image);
            const ResultCode rc = CheckList(index, e_.listIndexTable, want, "list index");
            index.CloseList();
            if (rc != 0) return rc;
        }
        for (const SampleList& l : e_.lists) {
            const std::string what = Str("list %ld (table %ld)", l.identifier, l.table);
            ChunkedTable t(platform_);
            ResultCode rc = t.OpenList(file_, l.table);
            if (rc != 0) return Note(rc, what + " open");
            rc = CheckChunked(t, l, what);
            t.CloseList();
            if (rc != 0) return rc;
        }
        return 0;
    }

    ResultCode CheckChunked(ChunkedTable& t, const SampleList& l, const std::string& what) {
        // Chunk 0: the 16-byte header of a chunked table.
        ChunkView& view = t.view();
        view.SelectChunk(0);
        ResultCode rc = view.Load();
        if (rc != 0) return Note(rc, what + " load");
        if (view.Size() != kChunkHeaderSize || view.Data() == nullptr)
            return Fail(what + Str(": chunk 0 holds %ld bytes", view.Size()));
        const std::uint8_t* h = view.Data();
        if (h[0] != kChunkHeaderVersion || h[1] != 0 || h[2] || h[3] || h[4] || h[5] || h[6] ||
            h[7])
            return Fail(what + ": chunk 0 header is not that of a fresh table");
        if ((rc = CheckChunk(t, 1, {l.header}, what)) != 0) return rc;
        if ((rc = CheckChunk(t, 2, l.columns, what)) != 0) return rc;
        if ((rc = CheckChunk(t, 3, l.chunk3, what)) != 0) return rc;
        if ((rc = CheckChunk(t, 4, l.chunk4, what)) != 0) return rc;
        PlainBuffer items;
        rc = t.CopyChunk(5, items);
        if (rc != 0) return Note(rc, what + " chunk 5");
        std::int32_t count = 0;
        rc = t.CountChunkRecords(5, &count);
        if (rc != 0) return Note(rc, what + " chunk 5 count");
        if (count != l.itemCount)
            return Fail(what +
                        Str(": chunk 5 counts %ld records, expected %ld", count, l.itemCount));
        if ((rc = CheckItems(items.Data(), items.Size(), l, what)) != 0) return rc;
        // Chunk 5 is the last: chunk 6 is the one right after it.
        view.SelectChunk(6);
        std::int32_t offset = 0;
        rc = view.LocateChunk(&offset);
        if (rc != 0 || offset * 4 != t.tableBuffer().Size())
            return Fail(what + ": content does not end with chunk 5");
        return 0;
    }

    ResultCode Check3() {
        // The outline's lists are the list records, in outline order.
        std::size_t listEntries = 0;
        for (const auto& en : e_.entries) {
            if (!en.isList) continue;
            if (en.list != static_cast<int>(listEntries))
                return Fail("the summary's outline does not match its lists");
            ++listEntries;
        }
        if (listEntries != e_.lists.size())
            return Fail("the summary's outline does not match its lists");
        {
            FileRecordList lists;
            std::vector<WordImage> want;
            for (const auto& l : e_.lists) want.push_back(l.header);
            const ResultCode rc = CheckList(lists, e_.listIndexTable, want, "list records");
            lists.CloseList();
            if (rc != 0) return rc;
        }
        {
            FileRecordList folders;
            std::vector<WordImage> want;
            for (const auto& en : e_.entries)
                if (!en.isList) want.push_back(en.image);
            const ResultCode rc = CheckList(folders, e_.folderTable, want, "folder records");
            folders.CloseList();
            if (rc != 0) return rc;
        }
        {
            FileRecordList columns;
            const ResultCode rc = CheckList(columns, e_.columnTable, e_.columnList, "column list");
            columns.CloseList();
            if (rc != 0) return rc;
        }
        for (const SampleList& l : e_.lists) {
            const std::string what = Str("item table %ld of list %ld", l.table, l.identifier);
            TableRecordList t;
            ResultCode rc = t.OpenList(file_, l.table);
            if (rc == 0) rc = t.tableBuffer().Load();
            if (rc == 0)
                rc = CheckItems(t.tableBuffer().Data(), t.tableBuffer().Size(), l, what);
            else
                Note(rc, what);
            t.CloseList();
            if (rc != 0) return rc;
        }
        return 0;
    }

    ResultCode CheckArchives() {
        for (const SampleArchive& a : e_.archives) {
            const std::string what = Str("archive table %ld", a.table);
            TableRecordList t;
            ResultCode rc = t.OpenList(file_, a.table);
            if (rc == 0) rc = t.tableBuffer().Load();
            if (rc != 0) {
                t.CloseList();
                return Note(rc, what);
            }
            std::uint64_t hash = 0;
            std::int32_t count = 0;
            std::vector<WordImage> images;
            const bool chain = WalkPacked(t.tableBuffer().Data(), t.tableBuffer().Size(), &hash,
                                          &count, a.images.empty() ? nullptr : &images);
            const std::int32_t size = t.tableBuffer().Size();
            t.CloseList();
            if (!chain) return Fail(what + ": broken chain of lengths");
            if (count != a.records || static_cast<std::uint64_t>(size) != a.bytes)
                return Fail(what + Str(": %ld records in %ld bytes", count, size) +
                            Str(", expected %ld in %ld", a.records, static_cast<long>(a.bytes)));
            for (std::size_t i = 0; i < a.images.size() && i < images.size(); ++i) {
                rc = Compare(images[i], a.images[i],
                             what + Str(" record %ld", static_cast<long>(i)));
                if (rc != 0) return rc;
            }
            if (hash != a.hash) return Fail(what + ": records differ (hash)");
        }
        return 0;
    }

    Platform& platform_;
    const SampleSummary& e_;
    std::string* problem_;
    DataFile file_;
};

}  // namespace

ResultCode VerifySample(Platform& platform, const char* path, const SampleSummary& expected,
                        std::string* problem) {
    std::string ignored;
    if (!problem) problem = &ignored;
    problem->clear();
    Verifier v(platform, expected, problem);
    return v.Run(path);
}

namespace {

// Walks the lists of a file of any of the three formats without a summary:
// every record list must count, every list table must open as its kind.
class Walker {
  public:
    Walker(Platform& platform, DataFile& file, std::string& report)
        : platform_(platform), file_(file), report_(report) {}

    ResultCode Run(const std::uint8_t* appHeader) {
        const int version = appHeader[2] | (appHeader[3] << 8);
        const std::uint16_t index = static_cast<std::uint16_t>(appHeader[4] | (appHeader[5] << 8));
        report_ += Str("format version %ld, AppHeaderLength %ld\n", version,
                       appHeader[0] | (appHeader[1] << 8));
        if (version == 4 || version == 5) return Walk45(index);
        if (version == 3)
            return Walk3(index, static_cast<std::uint16_t>(appHeader[8] | (appHeader[9] << 8)),
                         static_cast<std::uint16_t>(appHeader[10] | (appHeader[11] << 8)));
        report_ += "not a format this program builds\n";
        return kSampleMismatch;
    }

  private:
    ResultCode Count(TableRecordList& list, std::uint16_t table, const char* what,
                     std::int32_t* n) {
        ResultCode rc = list.OpenList(file_, table);
        if (rc == 0) rc = list.CountRecords(n);
        if (rc != 0) report_ += std::string(what) + Str(" (table %ld): code %ld\n", table, rc);
        return rc;
    }

    ResultCode Walk45(std::uint16_t indexTable) {
        FileRecordList index;
        std::int32_t n = 0;
        ResultCode rc = Count(index, indexTable, "list index", &n);
        if (rc != 0) return rc;
        int folders = 0, lists = 0;
        std::int64_t items = 0;
        PropertyRecord entry(platform_);
        for (std::int32_t i = 0; rc == 0 && i < n; ++i) {
            rc = index.GetRecord(i, entry);
            if (rc != 0) break;
            std::uint16_t table = 0;
            entry.GetShort(0x0029, &table);
            entry.Release();
            if (table == 0) {
                ++folders;
                continue;
            }
            ++lists;
            ChunkedTable t(platform_);
            rc = t.OpenList(file_, table);
            for (std::int16_t c = 1; rc == 0 && c <= 5; ++c) {
                std::int32_t count = 0;
                rc = t.CountChunkRecords(c, &count);
                if (rc == 0 && c == 1 && count < 1) rc = kSampleMismatch;
                if (c == 5) items += count;
            }
            t.CloseList();
            if (rc != 0) report_ += Str("list table %ld: code %ld\n", table, rc);
        }
        index.CloseList();
        report_ +=
            Str("%ld folders, %ld lists, %ld items\n", folders, lists, static_cast<long>(items));
        return rc;
    }

    ResultCode Walk3(std::uint16_t listTable, std::uint16_t folderTable,
                     std::uint16_t columnTable) {
        FileRecordList lists, folders, columns;
        std::int32_t nLists = 0, nFolders = 0, nColumns = 0;
        ResultCode rc = Count(lists, listTable, "list records", &nLists);
        if (rc == 0) rc = Count(folders, folderTable, "folder records", &nFolders);
        if (rc == 0) rc = Count(columns, columnTable, "column list", &nColumns);
        std::int64_t items = 0;
        PropertyRecord record(platform_);
        for (std::int32_t i = 0; rc == 0 && i < nLists; ++i) {
            rc = lists.GetRecord(i, record);
            if (rc != 0) break;
            std::uint16_t table = 0;
            record.GetShort(0x0002, &table);
            record.Release();
            TableRecordList t;
            std::int32_t count = 0;
            rc = Count(t, table, "item table", &count);
            t.CloseList();
            items += count;
        }
        lists.CloseList();
        folders.CloseList();
        columns.CloseList();
        report_ += Str("%ld folders, %ld lists, %ld columns, ", nFolders, nLists, nColumns) +
                   Str("%ld items\n", static_cast<long>(items));
        return rc;
    }

    Platform& platform_;
    DataFile& file_;
    std::string& report_;
};

}  // namespace

ResultCode CheckSampleFile(Platform& platform, const char* path, std::string* report) {
    std::string ignored;
    if (!report) report = &ignored;
    DataFile file(platform);
    bool created = false;
    ResultCode rc = file.Open(path, &created, OpenReadOnly);
    if (rc != 0) {
        *report += Str("open: code %ld\n", rc);
        return rc;
    }
    rc = file.BeginAccess(false);
    if (rc == 0) {
        ResultCode work = 0;
        const IntegrityReport integrity = CheckIntegrity(file);
        *report += Str("%ld blocks: %ld used, %ld free, ", integrity.fileBlocks,
                       integrity.usedBlocks, integrity.freeBlocks) +
                   Str("%ld tables\n", integrity.tables);
        if (!integrity.ok()) {
            *report += integrity.Describe();
            work = kSampleMismatch;
        }
        std::uint8_t signature[16] = {}, header[64] = {};
        if (work == 0) work = file.GetAppSignature(signature);
        if (work == 0 && std::memcmp(signature, kSampleSignature, 16) != 0) {
            *report += "the application signature is not Tallyset\n";
            work = kSampleMismatch;
        }
        if (work == 0) work = file.GetAppHeader(header, sizeof header);
        if (work == 0) {
            Walker walker(platform, file, *report);
            work = walker.Run(header);
        }
        rc = file.EndAccess(work);
    } else {
        *report += Str("access: code %ld\n", rc);
    }
    file.Close();
    return rc;
}

}  // namespace quillet
