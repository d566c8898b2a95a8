#pragma once
// Seconds from 1970-01-01 00:00:00 to a local calendar time, counting local
// time as if it were universal time (no time-zone conversion), in 32 bits.

#include <cstdint>

#include "platform/Platform.h"

namespace quillet {

// The seconds for `time` (milliseconds dropped). A month outside 1..12 counts
// the months that exist before it.
std::uint32_t LocalTimeSeconds(const SystemTime& time);
// The seconds for the platform's current local time.
std::uint32_t CurrentLocalTimeSeconds(Platform& platform);

}  // namespace quillet
