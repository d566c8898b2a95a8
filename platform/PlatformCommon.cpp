// The parts of `Platform` that are the same on every operating system.

#include "platform/Platform.h"

namespace quillet {

int Platform::CompareFileTime(const FileTime& a, const FileTime& b) {
    const std::uint64_t left = (static_cast<std::uint64_t>(a.high) << 32) | a.low;
    const std::uint64_t right = (static_cast<std::uint64_t>(b.high) << 32) | b.low;
    if (left < right) return -1;
    if (left > right) return 1;
    return 0;
}

}  // namespace quillet
