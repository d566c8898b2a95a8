#pragma once
// What the converter would do with a file: the message it would show, the
// route a conversion would take and, for a file it would convert, the outcome
// of that conversion run on a copy in memory.

#include <cstdint>
#include <vector>

#include "check/FileReport.h"

namespace quillet {

// Runs after the file has been read and closed again. `snapshot` holds the
// file's bytes as read inside one access (at most kMaxDryRunFileBytes);
// `sharedElsewhere` tells that the converter's own open, which shares
// nothing, would meet another opener. Fills report.forecast.
void ForecastConversion(Platform& platform, const char* path,
                        const std::vector<std::uint8_t>& snapshot, bool sharedElsewhere,
                        FileReport& report, const ProgressFunction& progress);

// Runs the compaction pass on a copy of `snapshot` in memory; the blocks it
// gives back, 0 when there is nothing to gain, -1 when it fails.
std::int64_t ReclaimableBlocks(Platform& platform, const std::vector<std::uint8_t>& snapshot);

}  // namespace quillet
