// CheckFile: opens a data file read-only with shared reading, reads its
// header, tables and application data inside one read access, walks its block
// tree and its lists, takes a copy of its bytes for the dry runs, and closes
// it before anything else is done.

#include "check/FileReport.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/ConverterTexts.h"
#include "check/ConvertForecast.h"
#include "check/DryRunPlatform.h"
#include "check/ListWalk.h"
#include "container/DataFile.h"
#include "convert/ConversionFile.h"
#include "platform/LittleEndian.h"
#include "records/ChunkedTable.h"
#include "records/RecordList.h"
#include "storage/IntegrityCheck.h"

namespace quillet {

namespace {

// Ends the read access by discarding: a check never commits anything.
constexpr ResultCode kDiscard = 1;

// The length of an open file, found by probing single bytes (the platform
// has no size call): the smallest n such that no byte stands at n.
std::uint64_t FileLength(File& file) {
    auto hasByteAt = [&file](std::uint64_t offset) {
        std::uint64_t reached = 0;
        std::uint8_t byte = 0;
        std::uint32_t got = 0;
        return file.Seek(offset, &reached) == win32::kSuccess && reached == offset &&
               file.Read(&byte, 1, &got) == win32::kSuccess && got == 1;
    };
    std::uint64_t low = 0;  // a length at least this
    std::uint64_t high = std::uint64_t{1} << 48;
    if (hasByteAt(high)) return high;
    while (low < high) {
        const std::uint64_t mid = low + (high - low) / 2;
        if (hasByteAt(mid)) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return low;
}

// The first `length` bytes of the file (fewer when it is shorter).
std::vector<std::uint8_t> ReadPrefix(File& file, std::uint64_t length) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
    std::uint64_t reached = 0;
    std::uint64_t done = 0;
    if (file.Seek(0, &reached) == win32::kSuccess && reached == 0) {
        while (done < length) {
            const auto want = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(length - done, std::uint64_t{1} << 20));
            std::uint32_t got = 0;
            if (file.Read(bytes.data() + done, want, &got) != win32::kSuccess || got == 0) break;
            done += got;
        }
    }
    bytes.resize(static_cast<std::size_t>(done));
    return bytes;
}

std::string KindOf(std::uint16_t number, std::uint8_t type, std::uint8_t subtype) {
    if (number == kDirectoryTable) return "directory";
    if (number == kFreeTable) return "free list";
    if (type == kRecordTableType && subtype == kRecordTableSubtype) return "record list";
    if (type == kChunkedTableType && subtype == kChunkedTableSubtype) return "chunked list table";
    char text[40];
    std::snprintf(text, sizeof text, "type %u, subtype %u", type, subtype);
    return text;
}

// The content size the record layer reads from a descriptor, or -1 when it
// refuses the descriptor.
std::int64_t ContentBytes(std::uint16_t blockCount, std::uint16_t lastBlockUsed,
                          std::uint16_t recordSize) {
    if (blockCount == 0) return 0;
    std::int64_t lastBytes = recordSize == 0 ? 512 : std::int64_t{lastBlockUsed} * recordSize;
    if (lastBytes == 0) lastBytes = 512;
    if (blockCount > kMaxTableBlocks || lastBytes > 512) return -1;
    return (std::int64_t{blockCount} - 1) * 512 + lastBytes;
}

void ReadTables(DataFile& file, FileReport& report) {
    for (std::uint16_t t = 0; t < kTableCount; ++t) {
        std::uint8_t d[kDescriptorSize];
        if (file.ReadTableDescriptor(t, d) != 0) continue;  // the walk names unreadable blocks
        if (d[descriptor::kTableType] == 0) continue;
        TableInfo info;
        info.number = t;
        info.type = d[descriptor::kTableType];
        info.subtype = d[descriptor::kTableSubtype];
        info.blockCount = Load16(d + descriptor::kBlockCount);
        info.recordSize = Load16(d + descriptor::kRecordSize);
        info.lastBlockUsed = Load16(d + descriptor::kLastBlockUsed);
        info.kind = KindOf(t, info.type, info.subtype);
        if (t == kFreeTable) {
            info.contentBytes = 0;  // its map is the free list; it has no data blocks
        } else if (t == kDirectoryTable) {
            info.contentBytes = std::int64_t{info.blockCount} * 512;
        } else {
            // Record and chunked tables are read with their record size of 2.
            const bool recordKind = info.kind == "record list" || info.kind == "chunked list table";
            info.contentBytes = ContentBytes(info.blockCount, info.lastBlockUsed,
                                             recordKind ? kRecordTableRecordSize : info.recordSize);
        }
        report.tables.push_back(std::move(info));
    }
}

bool StopsConversion(const IntegrityProblem& p) {
    // The converter refuses a block tree that names a block twice or beyond
    // the file, or that it cannot read; leaked blocks and stray map entries
    // only waste space.
    return p.kind != IntegrityProblemKind::kLeaked && p.kind != IntegrityProblemKind::kStraySlot;
}

void AddIntegrity(const IntegrityReport& integrity, FileReport& report) {
    report.usedBlocks = integrity.usedBlocks;
    report.freeBlocks = integrity.freeBlocks;
    report.leakedBlocks = integrity.leakedBlocks;
    for (const IntegrityProblem& p : integrity.problems) {
        CheckProblem c;
        c.area = "blocks";
        c.text = p.text;
        c.stopsConversion = StopsConversion(p);
        if (c.stopsConversion) {
            c.code = p.kind == IntegrityProblemKind::kUnreadable && p.code != 0 ? p.code : 5;
        }
        c.table = p.table;
        if (p.block != 0 || p.kind == IntegrityProblemKind::kBeyondEnd) {
            c.block = p.block;
            c.byte = std::int64_t{p.block} * 512;
        }
        AddProblem(report, std::move(c));
    }
}

}  // namespace

int FileReport::ExitCode() const {
    if (!opened) return 2;
    return problems.empty() && problemsNotListed == 0 ? 0 : 1;
}

void AddProblem(FileReport& report, CheckProblem problem) {
    if (report.problems.size() >= kMaxListedProblems) {
        ++report.problemsNotListed;
        return;
    }
    report.problems.push_back(std::move(problem));
}

FileReport CheckFile(Platform& platform, const char* path, const ProgressFunction& progress) {
    FileReport report;
    report.path = path;

    // The converter opens the file to read its version without sharing it;
    // whether another opener would stop it there is learnt by a read-only
    // open of the same kind, closed again at once.
    bool sharedElsewhere = false;
    {
        std::unique_ptr<File> probe;
        sharedElsewhere =
            platform.OpenFile(path, FileAccess::kRead, FileShare::kNone,
                              FileDisposition::kOpenExisting, &probe) == win32::kSharingViolation;
    }

    std::vector<std::uint8_t> snapshot;
    {
        DataFile file(platform);
        bool created = false;
        ResultCode r = file.Open(path, &created, OpenReadOnly | OpenShareRead);
        if (r == 0) r = file.BeginAccess(false);
        if (r != 0) {
            report.openCode = r;
            report.openMeaning = MeaningOfCode(r);
            report.forecast.action = ConvertAction::kError;
            report.forecast.code = r;
            report.forecast.meaning = report.openMeaning;
            report.forecast.step = "opening the file to read its format version";
            char text[96];
            std::snprintf(text, sizeof text, texts::kErrorFormat, static_cast<int>(r));
            report.forecast.message = text;
            return report;
        }
        report.opened = true;

        const std::uint8_t* h = file.WorkingHeader();
        report.containerVersion = Load16(h + header::kContainerVersion);
        report.fileBlocks = Load16(h + header::kFileBlocks);
        report.commitCount = Load32(h + header::kCommitCount);

        if (progress) progress("integrity walk");
        AddIntegrity(CheckIntegrity(file), report);

        std::uint8_t signature[header::kAppSignatureSize] = {};
        std::uint8_t app[appheader::kSize] = {};
        file.GetAppSignature(signature);
        file.GetAppHeader(app, sizeof app);
        report.signatureOk = std::memcmp(signature, kTallysetSignature, sizeof signature) == 0;
        report.appHeaderLength = Load16(app + appheader::kLength);
        report.formatVersion = Load16(app + appheader::kFormatVersion);
        report.listIndexTable = Load16(app + appheader::kListIndexTable);
        if (report.formatVersion == 3) {
            report.folderTable = Load16(app + appheader::kFolderTable);
            report.columnTable = Load16(app + appheader::kColumnTable);
        }
        report.quilletVersion = QuilletVersionOf(report.formatVersion);

        ReadTables(file, report);
        if (report.signatureOk) {
            if (progress) progress("lists");
            WalkApplicationData(file, report, progress);
        } else {
            CheckProblem c;
            c.area = "signature";
            c.text =
                "the application signature is not \"Tallyset\": this is not a Quillet file, "
                "and its lists were not read";
            c.code = 38;
            c.stopsConversion = report.formatVersion == 4 || report.formatVersion == 5;
            AddProblem(report, std::move(c));
        }

        // The copy for the dry runs is taken inside the access, so that no
        // commit of another process falls between it and what was read above.
        if (progress) progress("reading a copy");
        std::unique_ptr<File> reader;
        if (platform.OpenFile(file.FullPath(), FileAccess::kRead, FileShare::kRead,
                              FileDisposition::kOpenExisting, &reader) == win32::kSuccess) {
            report.fileBytes = FileLength(*reader);
            snapshot = ReadPrefix(*reader, std::min(report.fileBytes, kMaxDryRunFileBytes));
        }
        file.EndAccess(kDiscard);
        file.Close();
    }

    const bool treeSound =
        std::none_of(report.problems.begin(), report.problems.end(),
                     [](const CheckProblem& p) { return p.area == "blocks" && p.stopsConversion; });
    if (treeSound && !snapshot.empty()) {
        if (progress) progress("compaction dry run");
        report.reclaimableBlocks = ReclaimableBlocks(platform, snapshot);
    }
    ForecastConversion(platform, path, snapshot, sharedElsewhere, report, progress);
    // A problem is said to stop the converter only when the forecast shows
    // the converter stopping with its code: a conversion through a temporary
    // file, for one, checks the block tree of the copy, not of the file.
    for (CheckProblem& p : report.problems) {
        if (p.stopsConversion) {
            p.stopsConversion =
                report.forecast.action == ConvertAction::kError && report.forecast.code == p.code;
        }
    }
    return report;
}

}  // namespace quillet
