// Time: the system time as FILETIME, local time, tick count, sleeping.

#include <time.h>

#include <cerrno>

#include "platform/posix/PosixPlatform.h"

namespace quillet {

namespace {
// Seconds from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600;
}  // namespace

FileTime PosixPlatform::SystemTimeAsFileTime() {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    // GetSystemTime has millisecond resolution, so the FILETIME made from it
    // is always a whole number of milliseconds.
    const std::int64_t milliseconds = now.tv_nsec / 1000000;
    const std::uint64_t ticks =
        static_cast<std::uint64_t>(now.tv_sec + kSecondsFrom1601To1970) * 10000000ull +
        static_cast<std::uint64_t>(milliseconds) * 10000ull;
    FileTime result;
    result.low = static_cast<std::uint32_t>(ticks);
    result.high = static_cast<std::uint32_t>(ticks >> 32);
    return result;
}

SystemTime PosixPlatform::LocalTime() {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    const time_t seconds = now.tv_sec;
    ::localtime_r(&seconds, &local);
    SystemTime result;
    result.year = static_cast<std::uint16_t>(local.tm_year + 1900);
    result.month = static_cast<std::uint16_t>(local.tm_mon + 1);
    result.dayOfWeek = static_cast<std::uint16_t>(local.tm_wday);  // 0 is Sunday, as on Win32
    result.day = static_cast<std::uint16_t>(local.tm_mday);
    result.hour = static_cast<std::uint16_t>(local.tm_hour);
    result.minute = static_cast<std::uint16_t>(local.tm_min);
    result.second = static_cast<std::uint16_t>(local.tm_sec > 59 ? 59 : local.tm_sec);
    result.milliseconds = static_cast<std::uint16_t>(now.tv_nsec / 1000000);
    return result;
}

std::uint32_t PosixPlatform::TickCount() {
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t milliseconds = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                                       static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(milliseconds);  // wraps at 2^32 like GetTickCount
}

void PosixPlatform::SleepMs(std::uint32_t milliseconds) {
    struct timespec left;
    left.tv_sec = static_cast<time_t>(milliseconds / 1000);
    left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace quillet
