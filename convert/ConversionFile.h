#pragma once
// ConversionFile: a DataFile that also carries the conversion of a data file
// from a newer application format version down to an older one.

#include <bitset>
#include <cstdint>

#include "container/DataFile.h"

namespace quillet {

// The application's 64-byte header at the start of the file header's
// application area.
namespace appheader {
constexpr std::size_t kSize = 64;
constexpr std::size_t kLength = 0;          // u16 AppHeaderLength
constexpr std::size_t kFormatVersion = 2;   // u16
constexpr std::size_t kListIndexTable = 4;  // u16
constexpr std::size_t kFolderTable = 8;     // u16, format 3
constexpr std::size_t kColumnTable = 10;    // u16, format 3
}  // namespace appheader

// "Tallyset" as eight UTF-16LE characters, without a terminator.
extern const std::uint8_t kTallysetSignature[16];

// AppHeader length by format version: 3 and 4 have 64 bytes, 1 and 2 have 16,
// every other version 0.
std::uint16_t AppHeaderLengthForVersion(int version);

class ConversionFile : public DataFile {
  public:
    // `limits`: the free-list length the slices and the compaction passes plan
    // with, and the slice thresholds (the format's own unless a test lowers
    // them).
    explicit ConversionFile(Platform& platform, const SliceLimits& limits = SliceLimits{})
        : DataFile(platform), limits_(limits) {}
    ~ConversionFile() override;

    // Converts the file at `targetPath` down to `targetVersion`: in place when
    // `sourcePath` is null, otherwise into a new file at `targetPath` filled
    // from the data file at `sourcePath`. Leaves this object closed.
    virtual ResultCode Convert(const char* targetPath, int targetVersion, const char* sourcePath);

    // Copies one table of `source` into the table of the same number here,
    // which must exist: its blocks, BlockCount, RecordSize and LastBlockUsed.
    // Without `withBlocks` only the shape: no block, RecordSize as in the
    // source, and LastBlockUsed as a table emptied by a save leaves it (0, or
    // the source's own when its table holds no block either); for a list
    // table whose content a step writes anew from the source.
    ResultCode CopyTable(ConversionFile& source, std::uint16_t table, bool withBlocks = true);
    // Runs the version steps down to `targetVersion` inside this file's write
    // access. `listSource`, when given, is a file inside a read access whose
    // list tables the step reads in place of this file's own (which then hold
    // no blocks yet); only for a single step, from 5 to 4 or from 4 to 3.
    ResultCode StepDownVersion(int targetVersion, DataFile* listSource = nullptr);
    // 0 when compacted, 25 when there is nothing to gain.
    ResultCode CompactFile();

  protected:
    // Called by Convert as each of its phases ends (the open, the copy, the
    // step, a commit, the compaction), with a short name for it; for a
    // caller that times them. Does nothing here and must change nothing.
    virtual void PhaseEnded(const char* /*name*/) {}

  private:
    // *fits: the step of this file, inside an access, fits in one transaction
    // (EstimateStepDown with this file's limits); also true when the estimate
    // fails, whose code is returned. Copy mode steps inside the copy's
    // transaction when it does not fit.
    ResultCode EstimateStepFits(bool* fits);
    // 5 when the block tree names a block twice or beyond the file.
    ResultCode CheckBlockTree();
    // After a failed step, cuts the file back to the committed FileBlocks.
    void CutToCommittedEnd();
    // The container copy: the signature, the AppHeader, the header's banner
    // and extra fields and every table of `source`, inside both files'
    // accesses. The tables set in `shapeOnly` get their shape without their
    // blocks (CopyTable).
    ResultCode CopyFrom(ConversionFile& source,
                        const std::bitset<kTableCount>& shapeOnly = std::bitset<kTableCount>{});
    // The list tables a single step (from 5 to 4, or from 4 to 3) reads
    // straight from `source` (the file being copied for it, inside its read
    // access): every list table its index names. Empty for two steps or
    // none. A failed read, or an index that the step would refuse, answers
    // the step's own code.
    ResultCode ListsReadFromSource(ConversionFile& source, int targetVersion,
                                   std::bitset<kTableCount>* lists);

    // Steps of CompactFile.
    std::uint16_t FreeListLength() const;
    std::uint16_t DirectoryTableCount() const;
    ResultCode RenewRootAndFreeMap();
    ResultCode MapRewriteCount(std::int32_t limit, std::int32_t* count);
    ResultCode ComputeTargetEnd(std::int32_t* targetEnd);
    ResultCode RefillFreeFront(std::int32_t targetEnd);
    ResultCode PackFreeEntries(std::uint32_t from, std::uint32_t to, std::int32_t targetEnd);
    ResultCode MoveBlocksBelow(std::int32_t targetEnd);
    // The end of the next pass, before anything is committed: 25 when it has
    // nothing to gain; *partial when the end was raised above the estimate so
    // that the pass fits in the free list.
    ResultCode PlanPass(std::int32_t* targetEnd, bool* partial);
    // Refill, first commit, moves, second commit and cut for one end.
    ResultCode RunPass(std::int32_t targetEnd);
    // Copy mode. For a single step (from 5 to 4, or from 4 to 3): the copy of
    // every table but the lists and the step reading the lists from the
    // source, in one transaction. Otherwise the copy, committed on its own
    // when the step fits in one transaction, or else the copy and the step in
    // one transaction that commits in slices near the limits. *stepped tells
    // whether the step was done. A copy whose step cannot be estimated (a
    // read fails, or the records are damaged) is committed on its own, and
    // *unestimated holds the code.
    ResultCode CopyThenStep(const char* sourcePath, int targetVersion, bool* stepped,
                            ResultCode* unestimated);
    // 26 when any block the file refers to (root, directory, maps, free-list
    // entries) lies at or beyond `limit`.
    ResultCode CheckAllBelow(std::int32_t limit);
    // The free-list length the plans keep to: limits_, never above the map's.
    std::int32_t FreeListCapacity() const;

    SliceLimits limits_;
};

// The version steps on the application data, inside the caller's write access.
// `listSource` is `file` itself, or a file in a read access whose list tables
// hold what `file`'s would; `file`'s own are then empty (CopyTable without
// blocks) and receive the lists' new content.
ResultCode StepDown5To4(DataFile& file, std::uint16_t listIndexTable, DataFile& listSource);
ResultCode StepDown4To3(DataFile& file, std::uint8_t* appHeader64, DataFile& listSource);

}  // namespace quillet
