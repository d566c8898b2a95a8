// A platform whose clock is virtual, so that equal options give equal files.

#include "tools/SampleBuilder.h"

namespace quillet {

namespace {

constexpr std::uint64_t kDaysFrom1601To1970 = 134774;
constexpr std::uint64_t kMsPerDay = 86400000ull;

// Calendar date of a day count since 1970-01-01 (proleptic Gregorian).
void CivilFromDays(std::int64_t z, int* y, unsigned* m, unsigned* d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (*m <= 2));
}

}  // namespace

SampleClockPlatform::SampleClockPlatform(Platform& inner, std::uint32_t seed)
    : WrappingPlatform(inner),
      // 2004-01-01 plus up to about 11 years, at 09:00, from the seed.
      milliseconds_((kDaysFrom1601To1970 + 12418 + seed % 4000) * kMsPerDay + 9 * 3600000ull),
      ticks_(1000000u + (seed % 1000u) * 977u) {}

void SampleClockPlatform::SleepMs(std::uint32_t milliseconds) {
    WrappingPlatform::SleepMs(milliseconds);
    milliseconds_ += milliseconds;
    ticks_ += milliseconds;
}

FileTime SampleClockPlatform::SystemTimeAsFileTime() {
    milliseconds_ += 1000;
    const std::uint64_t t = milliseconds_ * 10000ull;
    FileTime f;
    f.low = static_cast<std::uint32_t>(t);
    f.high = static_cast<std::uint32_t>(t >> 32);
    return f;
}

SystemTime SampleClockPlatform::LocalTime() {
    milliseconds_ += 1000;
    const std::uint64_t days = milliseconds_ / kMsPerDay;
    const std::uint64_t ms = milliseconds_ % kMsPerDay;
    int y = 0;
    unsigned m = 0, d = 0;
    CivilFromDays(static_cast<std::int64_t>(days) - static_cast<std::int64_t>(kDaysFrom1601To1970),
                  &y, &m, &d);
    SystemTime s;
    s.year = static_cast<std::uint16_t>(y);
    s.month = static_cast<std::uint16_t>(m);
    s.day = static_cast<std::uint16_t>(d);
    s.dayOfWeek = static_cast<std::uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
    s.hour = static_cast<std::uint16_t>(ms / 3600000);
    s.minute = static_cast<std::uint16_t>(ms / 60000 % 60);
    s.second = static_cast<std::uint16_t>(ms / 1000 % 60);
    s.milliseconds = static_cast<std::uint16_t>(ms % 1000);
    return s;
}

std::uint32_t SampleClockPlatform::TickCount() {
    return ticks_ += 16;
}

}  // namespace quillet
