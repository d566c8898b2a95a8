#pragma once
// The choice between converting a data file in place and converting it through
// a temporary file, and the estimate behind it.

#include <cstdint>

#include "container/DataFile.h"
#include "platform/Platform.h"
#include "platform/ResultCode.h"

namespace quillet {

enum class ConversionRoute { kInPlace, kThroughTemporaryFile };

// What the one-transaction version step would need from the file, estimated
// from the list tables it rewrites before anything changes.
struct StepEstimate {
    // Free-list entries the step would free in one transaction, on top of the
    // entries the list holds already: every block and index block of the list
    // tables (and, for the step to 3, of the index table it deletes), the
    // directory blocks, the root and the free list's own index blocks.
    std::uint32_t freedBlocks = 0;
    std::uint16_t freeListLength = 0;  // entries when the step begins
    std::uint32_t usableFree = 0;      // entries that name a block below FileBlocks
    std::uint16_t fileBlocks = 0;
    // Whether one transaction can hold the step: the free list, which cannot
    // give back a number freed in the same transaction, stays within the 6144
    // entries table 1's map can hold (or the lower SliceLimits::
    // freeListEntries the caller plans with) with the room the compaction after it
    // needs to start, and the blocks appended for the new copies stay within
    // the file's 32768 blocks.
    bool fitsOneCommit = true;
};

// Estimates the step from `formatVersion` (4 or 5) one version down on `file`,
// which must be inside an access (read access is enough). Reads only: the
// list index named by the AppHeader, the descriptors of the tables it names,
// the directory and the free list. A damaged index or table answers its code.
// The free list is taken to hold limits.freeListEntries entries at most.
ResultCode EstimateStepDown(DataFile& file, std::uint16_t formatVersion, StepEstimate* estimate,
                            const SliceLimits& limits = SliceLimits{});

// Decides how the converter handles the file at `path` whose AppHeader gives
// `formatVersion`, from the file alone:
//
//  - Format 5 is always converted through a temporary file: the chosen file
//    stays untouched until the converted copy is complete, and the copy, being
//    nobody's until it is renamed, may commit as often as the step needs.
//  - Format 4 is converted in place when the step to 3 fits in the one
//    transaction that switches the whole file at once (EstimateStepDown). When
//    it does not (the free list would overflow table 1's map, answering 10, or
//    be left too full for the compaction to start, or the new copies would
//    not fit below 32768 blocks, answering 31), it is converted through a
//    temporary file as format 5 is.
//  - Other versions are not converted; the answer is kInPlace and nothing is
//    opened.
//
// The file is opened read-only (OpenReadOnly: others may keep reading it),
// read in one read access and closed again; nothing is ever written, so a
// caller may ask before it has decided anything, and a read-only inspection
// may ask too. On failure *route is kInPlace (the route that needs nothing
// beyond the file itself) and the code of the open or read is returned.
// `limits` is what the conversion will plan with (EstimateStepDown).
ResultCode ChooseConversionRoute(Platform& platform, const char* path, std::uint16_t formatVersion,
                                 ConversionRoute* route, const SliceLimits& limits = SliceLimits{});

}  // namespace quillet
