// Convert: the one operation through which a data file is converted, in place
// or by copying another data file into a new one first; the AppHeader lengths.

#include "container/DataFile.h"
#include "convert/ConversionFile.h"
#include "convert/ConversionRoute.h"
#include "convert/ConvertCodes.h"
#include "platform/LittleEndian.h"
#include "storage/IntegrityCheck.h"

namespace quillet {

const std::uint8_t kTallysetSignature[16] = {0x54, 0x00, 0x61, 0x00, 0x6C, 0x00, 0x6C, 0x00,
                                             0x79, 0x00, 0x73, 0x00, 0x65, 0x00, 0x74, 0x00};

std::uint16_t AppHeaderLengthForVersion(int version) {
    switch (version) {
        case 1:
        case 2:
            return 16;
        case 3:
        case 4:
            return 64;
        default:
            return 0;
    }
}

ConversionFile::~ConversionFile() {
    Close();
}

ResultCode ConversionFile::Convert(const char* targetPath, int targetVersion,
                                   const char* sourcePath) {
    if (targetPath == nullptr) return kConvertNoSuchFile;

    // Decide the mode's precondition before anything is opened, so that an
    // existing file is never touched in copy mode (opening it could already
    // write a root block into it) and no file is created in place mode.
    std::uint32_t attributes = 0;
    const bool exists = platform().GetPathAttributes(targetPath, &attributes) == win32::kSuccess;
    if (sourcePath != nullptr && exists) return kConvertTargetExists;
    if (sourcePath == nullptr && !exists) return kConvertNoSuchFile;

    bool created = false;
    ResultCode result = Open(targetPath, &created, OpenShareRead);
    PhaseEnded("open");
    if (result != 0) {
        Close();
        // In place, a file that the failed open created must not stay behind.
        if (sourcePath == nullptr && created) platform().RemoveFile(targetPath);
        return result;
    }

    // The step-down and the compaction are separate transactions: a failing
    // step-down leaves the file as it was, a failing compaction leaves it
    // converted but not compacted. Copy mode commits the plain copy first,
    // unless the step cannot fit in a transaction of its own (CopyThenStep).
    bool stepped = false;
    ResultCode unestimated = 0;
    if (sourcePath != nullptr) {
        if (!created) {
            Close();
            return kConvertTargetExists;
        }
        result = CopyThenStep(sourcePath, targetVersion, &stepped, &unestimated);
        if (result != 0) {
            // Blocks of the discarded transaction may lie beyond the end.
            if (stepped) CutToCommittedEnd();
            Close();
            return result;
        }
    } else if (created) {
        // The file appeared between the check and the open as an empty data
        // file of our own making: nothing to convert.
        Close();
        platform().RemoveFile(targetPath);
        return kConvertNoSuchFile;
    }

    if (!stepped) {
        result = BeginAccess(true);
        if (result == 0) {
            ResultCode step = CheckBlockTree();
            // A copy whose step could not be estimated fails as its step
            // would have: after the check, with the estimate's code.
            if (step == 0) step = unestimated;
            if (step == 0) step = StepDownVersion(targetVersion);
            result = EndAccess(step);
            PhaseEnded("step-down and its commit");
            // Without a compaction the file may hold blocks that a discarded
            // transaction wrote beyond its committed end.
            if (result != 0) CutToCommittedEnd();
        }
        if (result != 0) {
            Close();
            return result;
        }
    }
    result = BeginAccess(true);
    if (result == 0) result = EndAccess(CompactFile());
    if (result != 0) CutToCommittedEnd();
    if (result == kCompactNothingToGain) result = 0;
    Close();
    PhaseEnded("compaction and close");
    return result;
}

ResultCode ConversionFile::CopyThenStep(const char* sourcePath, int targetVersion, bool* stepped,
                                        ResultCode* unestimated) {
    *stepped = false;
    *unestimated = 0;
    ResultCode result = BeginAccess(true);
    if (result != 0) return result;

    // A single step rewrites every list table: copied first, each would be
    // written twice and read back once. The copy leaves those tables empty
    // and the step reads the lists from the source, whose read access lasts
    // until the step is done, and writes each once; copy and step are one
    // transaction, so a failed step leaves no copy behind.
    ConversionFile source(platform());
    bool created = false;
    ResultCode copied = source.Open(sourcePath, &created, OpenReadOnly);
    if (copied == 0) {
        copied = source.BeginAccess(false);
        if (copied == 0) {
            std::bitset<kTableCount> lists;
            copied = ListsReadFromSource(source, targetVersion, &lists);
            if (copied == 0) copied = CopyFrom(source, lists);
            PhaseEnded(lists.any() ? "container copy without the lists" : "container copy");
            if (copied == 0 && lists.any()) {
                *stepped = true;
                copied = CheckBlockTree();
                if (copied == 0) copied = StepDownVersion(targetVersion, &source);
                PhaseEnded("step, lists read from the source");
            }
            copied = source.EndAccess(copied);
        }
        const ResultCode closed = source.Close();
        if (copied == 0) copied = closed;
    }
    if (copied != 0 || *stepped) {
        result = EndAccess(copied);
        PhaseEnded("commit of both");
        return result;
    }

    // Any other step: when it fits in one transaction (EstimateStepDown on
    // the copy), the copy is committed as it stands and the step runs in a
    // transaction of its own. Otherwise the step runs here, on blocks that
    // are still fresh: they change in place, where after a commit every one
    // of them would have to move, and there is only the room up to the
    // file's 32768 blocks to move them into. The transaction commits in
    // slices (CommitSliceIfDue) as the step frees blocks or the file nears
    // its limit, and a failed step leaves no copy behind.
    bool fits = true;
    *unestimated = EstimateStepFits(&fits);
    if (*unestimated == 0 && !fits) {
        *stepped = true;
        copied = CheckBlockTree();
        if (copied == 0) {
            SetSliceCommits(true, limits_);
            copied = StepDownVersion(targetVersion);
            SetSliceCommits(false);
        }
        PhaseEnded("step-down in the copy's transaction");
    }
    result = EndAccess(copied);
    PhaseEnded(*stepped ? "commit of both" : "commit of the copy");
    return result;
}

ResultCode ConversionFile::EstimateStepFits(bool* fits) {
    std::uint8_t app[appheader::kSize];
    StepEstimate estimate;
    ResultCode result = GetAppHeader(app, appheader::kSize);
    if (result == 0) {
        result =
            EstimateStepDown(*this, Load16(app + appheader::kFormatVersion), &estimate, limits_);
    }
    *fits = result != 0 || estimate.fitsOneCommit;
    return result;
}

ResultCode ConversionFile::CheckBlockTree() {
    // A block named twice (by two tables, or by a table and the free list) or
    // beyond the file would be overwritten or lost by the copy-on-write steps
    // of the conversion. Such a file is refused before anything changes.
    // Blocks that are neither used nor free, map entries past a table's end
    // and free-list entries that name no block of the file only waste space
    // and do not stop the conversion.
    const IntegrityReport report = CheckIntegrity(*this);
    for (const IntegrityProblem& problem : report.problems) {
        switch (problem.kind) {
            case IntegrityProblemKind::kUnreadable:
                return problem.code != 0 ? problem.code : kConvertDamagedFile;
            case IntegrityProblemKind::kBeyondEnd:
                // Allocation passes over free-list entries at or beyond the
                // file's end (and entries of 0), and the compaction drops
                // them: harmless by the engine's own rules.
                if (problem.role == BlockRole::kFree) break;
                return kConvertDamagedFile;
            case IntegrityProblemKind::kDoubleUse:
            case IntegrityProblemKind::kBadStructure:
                return kConvertDamagedFile;
            case IntegrityProblemKind::kLeaked:
            case IntegrityProblemKind::kStraySlot:
                break;
        }
    }
    return 0;
}

void ConversionFile::CutToCommittedEnd() {
    // A discarded transaction may have written blocks beyond the committed end
    // of the file when the cache handed out places; nothing refers to them.
    // The cut runs in an access of its own so that no one else commits
    // meanwhile; its own failure changes nothing that matters. A file whose
    // discarded transactions wrote nothing has nothing to cut.
    if (!DiscardedWrites()) return;
    if (BeginAccess(true) != 0) return;
    const std::uint64_t end = std::uint64_t{FileBlocks()} * kBlockSize;
    std::uint64_t reached = 0;
    std::uint8_t probe = 0;
    std::uint32_t got = 0;
    // Only a file longer than its committed end is cut; a shorter one is
    // never grown.
    if (FileBlocks() >= 2 && file()->Seek(end, &reached) == win32::kSuccess && reached == end &&
        file()->Read(&probe, 1, &got) == win32::kSuccess && got == 1 &&
        file()->Seek(end, &reached) == win32::kSuccess && reached == end) {
        file()->SetEndOfFile();
    }
    EndAccess(0);
}

}  // namespace quillet
