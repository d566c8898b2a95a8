// Seconds since 1970 of a local calendar time.

#include "records/LocalTime.h"

namespace quillet {

namespace {

constexpr std::int64_t kMonthDays[11] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30};

bool IsLeapYear(std::int64_t year) {
    return year % 400 == 0 || (year % 4 == 0 && year % 100 != 0);
}

}  // namespace

std::uint32_t LocalTimeSeconds(const SystemTime& time) {
    const std::int64_t year = time.year;
    // Days from 1970-01-01 to the 1st of January of the year.
    std::int64_t days =
        (year - 1601) / 400 - (year - 1901) / 100 + (year - 1969) / 4 + 365 * year - 719050;
    const std::int64_t monthsBefore = time.month > 12 ? 11 : (time.month > 0 ? time.month - 1 : 0);
    for (std::int64_t m = 0; m < monthsBefore; ++m) days += kMonthDays[m];
    if (time.month > 2 && IsLeapYear(year)) days += 1;
    const std::int64_t seconds =
        (((days + time.day - 1) * 24 + time.hour) * 60 + time.minute) * 60 + time.second;
    return static_cast<std::uint32_t>(seconds);
}

std::uint32_t CurrentLocalTimeSeconds(Platform& platform) {
    return LocalTimeSeconds(platform.LocalTime());
}

}  // namespace quillet
