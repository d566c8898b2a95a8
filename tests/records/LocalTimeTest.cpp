// Seconds since 1970 of local calendar times: the worked examples and a
// randomized comparison with the standard library's civil calendar.

#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "records/LocalTime.h"
#include "tests/records/TestPlatform.h"

namespace quillet {
namespace {

SystemTime At(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    SystemTime t;
    t.year = static_cast<std::uint16_t>(year);
    t.month = static_cast<std::uint16_t>(month);
    t.day = static_cast<std::uint16_t>(day);
    t.hour = static_cast<std::uint16_t>(hour);
    t.minute = static_cast<std::uint16_t>(minute);
    t.second = static_cast<std::uint16_t>(second);
    t.milliseconds = 999;
    return t;
}

TEST(LocalTimeSeconds, WorkedExamples) {
    EXPECT_EQ(LocalTimeSeconds(At(2003, 7, 1)), 1057017600u);
    EXPECT_EQ(LocalTimeSeconds(At(2004, 3, 1)), 1078099200u);
    EXPECT_EQ(LocalTimeSeconds(At(1970, 1, 1)), 0u);
    EXPECT_EQ(LocalTimeSeconds(At(2000, 2, 29, 23, 59, 59)), 951868799u);
    EXPECT_EQ(LocalTimeSeconds(At(2100, 3, 1)), 4107542400u);  // 2100 is not a leap year
}

TEST(LocalTimeSeconds, MatchesTheCivilCalendar) {
    using namespace std::chrono;
    std::mt19937 rng(1);
    for (int i = 0; i < 20000; ++i) {
        const int year = 1970 + static_cast<int>(rng() % 136);
        const int month = 1 + static_cast<int>(rng() % 12);
        const auto last = static_cast<unsigned>(
            (std::chrono::year{year} / std::chrono::month{static_cast<unsigned>(month)} /
             std::chrono::last)
                .day());
        const int day = 1 + static_cast<int>(rng() % last);
        const int hour = static_cast<int>(rng() % 24);
        const int minute = static_cast<int>(rng() % 60);
        const int second = static_cast<int>(rng() % 60);
        const sys_days date = std::chrono::year{year} /
                              std::chrono::month{static_cast<unsigned>(month)} /
                              std::chrono::day{static_cast<unsigned>(day)};
        const auto expected = static_cast<std::uint32_t>(date.time_since_epoch().count() * 86400LL +
                                                         hour * 3600 + minute * 60 + second);
        ASSERT_EQ(LocalTimeSeconds(At(year, month, day, hour, minute, second)), expected)
            << year << "-" << month << "-" << day;
    }
}

TEST(LocalTimeSeconds, AsksThePlatform) {
    testing::TestPlatform platform;
    platform.now = At(2004, 3, 1, 1, 2, 3);
    EXPECT_EQ(CurrentLocalTimeSeconds(platform), 1078099200u + 3723u);
    // Months outside 1..12 (never given by the platform) still give an answer.
    EXPECT_EQ(LocalTimeSeconds(At(2003, 0, 1)), LocalTimeSeconds(At(2003, 1, 1)));
    EXPECT_EQ(LocalTimeSeconds(At(2003, 13, 1)), LocalTimeSeconds(At(2003, 12, 1)));
}

}  // namespace
}  // namespace quillet
