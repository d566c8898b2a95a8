// ChooseConversionRoute and the estimate of a one-transaction version step.

#include "convert/ConversionRoute.h"

#include <algorithm>
#include <bitset>

#include "convert/ConversionFile.h"
#include "convert/ListTableCheck.h"
#include "platform/LittleEndian.h"
#include "records/PropertyRecord.h"
#include "records/RecordList.h"

namespace quillet {

namespace {

// Every block the step rewrites is counted table by table below, so no
// allowance is added on top: the estimate keeps in place exactly the files
// whose one transaction fits (a file at the boundary is among the tests).
constexpr std::uint32_t kStepMargin = 0;
// Entries the compaction that follows the step needs free in the list to
// start at all (the renewal of the root and of the free list's own index
// blocks, and its first moves). A step that leaves less room converts but
// cannot be compacted, so it counts as not fitting.
constexpr std::uint32_t kCompactionRoom = 128;
// Blocks the step to 3 may append for its new record lists beyond the blocks
// it frees (their content comes out of the list tables it shrinks).
constexpr std::uint32_t kNewTableBlocks = 64;

struct TableSize {
    std::uint32_t blocks = 0;       // BlockCount, at most what a map can hold
    std::uint32_t indexBlocks = 0;  // nonzero slots of an indirect map
};

ResultCode ReadTableSize(DataFile& file, std::uint16_t table, TableSize* size) {
    std::uint8_t d[kDescriptorSize];
    const ResultCode result = file.ReadTableDescriptor(table, d);
    if (result != 0) return result;
    *size = TableSize{};
    if (d[descriptor::kTableType] == 0) return 0;
    size->blocks = std::min<std::uint32_t>(Load16(d + descriptor::kBlockCount), kMaxTableBlocks);
    if (d[descriptor::kIndirect] != 0) {
        for (std::size_t slot = 0; slot < kDirectSlots; ++slot) {
            if ((Load16(d + descriptor::kSlots + 2 * slot) & kBlockNumberMask) != 0) {
                ++size->indexBlocks;
            }
        }
    }
    return 0;
}

// The list tables the index names: each distinct application table once.
ResultCode CountListTables(DataFile& file, std::uint16_t indexTable, std::uint32_t* freed) {
    FileRecordList index;
    ResultCode result = index.OpenList(file, indexTable);
    std::int32_t count = 0;
    if (result == 0) result = index.CountRecords(&count);
    std::bitset<kTableCount> seen;
    for (std::int32_t i = 0; result == 0 && i < count; ++i) {
        PropertyRecord entry(file.platform());
        result = index.GetRecord(i, entry);
        if (result != 0) break;
        std::uint16_t table = 0;
        entry.GetShort(kEntryListTable, &table);
        entry.Release();
        if (table <= kFreeTable || table >= kTableCount || seen.test(table)) continue;
        seen.set(table);
        TableSize size;
        result = ReadTableSize(file, table, &size);
        if (result == 0) *freed += size.blocks + size.indexBlocks;
    }
    index.CloseList();
    return result;
}

}  // namespace

ResultCode EstimateStepDown(DataFile& file, std::uint16_t formatVersion, StepEstimate* estimate,
                            const SliceLimits& limits) {
    *estimate = StepEstimate{};
    ResultCode result = file.LoadRootBlock();
    if (result != 0) return result;
    std::uint8_t app[appheader::kSize];
    result = file.GetAppHeader(app, appheader::kSize);
    if (result != 0) return result;
    const std::uint16_t indexTable = Load16(app + appheader::kListIndexTable);

    std::uint32_t freed = 0;
    result = CountListTables(file, indexTable, &freed);
    if (result != 0) return result;
    if (formatVersion == 4) {
        // The step to 3 deletes the index table at its end.
        TableSize index;
        result = ReadTableSize(file, indexTable, &index);
        if (result != 0) return result;
        freed += index.blocks + index.indexBlocks;
    }
    // Every directory block (the root among them) and every index block of
    // the free list moves once.
    const std::uint8_t* root = file.RootEntry()->buffer;
    freed += std::min<std::uint32_t>(Load16(root + descriptor::kBlockCount), kDirectSlots);
    TableSize freeMap;
    result = ReadTableSize(file, kFreeTable, &freeMap);
    if (result != 0) return result;
    freed += freeMap.indexBlocks + kStepMargin;

    const std::uint16_t length = Load16(root + kDescriptorSize + descriptor::kBlockCount);
    const std::uint16_t fileBlocks = file.FileBlocks();
    std::uint32_t usable = 0;
    for (std::uint32_t j = 0; j < length && j < kMaxTableBlocks; ++j) {
        BlockNumber n = 0;
        result = file.GetBlockNumber(kFreeTable, static_cast<std::uint16_t>(j), &n);
        if (result != 0) return result;
        n &= kBlockNumberMask;
        if (n != 0 && n < fileBlocks) ++usable;
    }

    // Every rewritten block takes a new place; places come from the usable
    // free-list entries first and are appended after them.
    const std::uint32_t placesNeeded = freed + (formatVersion == 4 ? kNewTableBlocks : 0);
    const std::uint32_t appended = placesNeeded > usable ? placesNeeded - usable : 0;
    estimate->freedBlocks = freed;
    estimate->freeListLength = length;
    estimate->usableFree = usable;
    estimate->fileBlocks = fileBlocks;
    const std::uint32_t entries = std::min<std::uint32_t>(limits.freeListEntries, kMaxTableBlocks);
    estimate->fitsOneCommit = std::uint32_t{length} + freed + kCompactionRoom <= entries &&
                              std::uint32_t{fileBlocks} + appended <= kMaxFileBlocks;
    return 0;
}

ResultCode ChooseConversionRoute(Platform& platform, const char* path, std::uint16_t formatVersion,
                                 ConversionRoute* route, const SliceLimits& limits) {
    *route = ConversionRoute::kInPlace;
    if (formatVersion == 5) {
        *route = ConversionRoute::kThroughTemporaryFile;
        return 0;
    }
    if (formatVersion != 4) return 0;

    DataFile file(platform);
    bool created = false;
    ResultCode result = file.Open(path, &created, OpenReadOnly);
    if (result != 0) return result;
    result = file.BeginAccess(false);
    if (result == 0) {
        StepEstimate estimate;
        const ResultCode estimated = EstimateStepDown(file, formatVersion, &estimate, limits);
        result = file.EndAccess(estimated);
        if (result == 0 && !estimate.fitsOneCommit) {
            *route = ConversionRoute::kThroughTemporaryFile;
        }
    }
    file.Close();
    return result;
}

}  // namespace quillet
