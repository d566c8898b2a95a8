// UTF-8 <-> UTF-16 conversion, FindLastChar, local memory and time.
//
// The ANSI code page is UTF-8 on POSIX. On Windows it is the system's (1252
// under Wine with an English or C locale): the UTF-8 cases run only where the
// code page is UTF-8, the code page 1252 cases only where it is 1252.

#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace quillet::testing {
namespace {

Platform& P() {
    return Platform::Default();
}

std::u16string ToWide(const std::string& text) {
    const int needed = P().AnsiToWide(text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::u16string out(static_cast<std::size_t>(needed), u'\0');
    if (needed > 0) {
        EXPECT_EQ(P().AnsiToWide(text.data(), static_cast<int>(text.size()), out.data(), needed),
                  needed);
    }
    return out;
}

std::string ToAnsi(const std::u16string& text) {
    const int needed = P().WideToAnsi(text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::string out(static_cast<std::size_t>(needed), '\0');
    if (needed > 0) {
        EXPECT_EQ(P().WideToAnsi(text.data(), static_cast<int>(text.size()), out.data(), needed),
                  needed);
    }
    return out;
}

bool AnsiIsUtf8() {
    char16_t out[2] = {};
    return P().AnsiToWide("\xC3\xA9", 2, out, 2) == 1 && out[0] == u'\u00E9';
}

bool AnsiIsWindowsLatin() {
    char16_t out[2] = {};
    return P().AnsiToWide("\x80", 1, out, 2) == 1 && out[0] == u'\u20AC';
}

#define REQUIRE_UTF8_CODE_PAGE() \
    if (!AnsiIsUtf8()) GTEST_SKIP() << "the ANSI code page of this system is not UTF-8"

TEST(Text, KnownEncodingsBothWays) {
    REQUIRE_UTF8_CODE_PAGE();
    struct Case {
        std::string utf8;
        std::u16string utf16;
    };
    const Case cases[] = {
        {"Quillet", u"Quillet"},
        {"\xC3\xA9t\xC3\xA9", u"\u00E9t\u00E9"},
        {"\xE2\x82\xAC 5", u"\u20AC 5"},
        {"\xF0\x9F\x98\x80", u"\xD83D\xDE00"},  // U+1F600, a surrogate pair
        {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},  // U+10FFFF, the last one
        {"\xEF\xBF\xBF\xC2\x80", u"\uFFFF\u0080"},
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},  // zero bytes are characters too
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ToWide(c.utf8), c.utf16) << c.utf8;
        EXPECT_EQ(ToAnsi(c.utf16), c.utf8) << c.utf8;
    }
}

TEST(Text, InvalidUtf8BecomesOneReplacementPerIllFormedPart) {
    REQUIRE_UTF8_CODE_PAGE();
    const char16_t r = 0xFFFD;
    EXPECT_EQ(ToWide("\x80"), std::u16string(1, r));
    EXPECT_EQ(ToWide("a\xC3"), (std::u16string{u'a', r}));                // truncated at the end
    EXPECT_EQ(ToWide("\xE2\x82z"), (std::u16string{r, u'z'}));            // truncated inside
    EXPECT_EQ(ToWide("\xC0\xAF"), (std::u16string{r, r}));                // overlong
    EXPECT_EQ(ToWide("\xE0\x80\x80"), (std::u16string{r, r, r}));         // overlong
    EXPECT_EQ(ToWide("\xED\xA0\x80"), (std::u16string{r, r, r}));         // an encoded surrogate
    EXPECT_EQ(ToWide("\xF4\x90\x80\x80"), (std::u16string{r, r, r, r}));  // above U+10FFFF
    EXPECT_EQ(ToWide("\xFF\xFEok"), (std::u16string{r, r, u'o', u'k'}));
    EXPECT_EQ(ToWide("\xF0\x9F\x98"), std::u16string(1, r));  // one part, three bytes
}

TEST(Text, UnpairedSurrogatesBecomeQuestionMarks) {
    REQUIRE_UTF8_CODE_PAGE();
    EXPECT_EQ(ToAnsi(std::u16string{0xD800}), "?");
    EXPECT_EQ(ToAnsi(std::u16string{0xDC00, u'x'}), "?x");
    EXPECT_EQ(ToAnsi(std::u16string{0xD83D, u'A', 0xDE00}), "?A?");
    EXPECT_EQ(ToAnsi(std::u16string{0xDE00, 0xD83D}), "??");  // wrong order
}

TEST(Text, CountingTerminatorsAndTooSmallOutputs) {
    REQUIRE_UTF8_CODE_PAGE();
    char16_t wide[8];
    // -1: up to and including the terminating zero.
    EXPECT_EQ(P().AnsiToWide("ab\xC3\xA9", -1, nullptr, 0), 4);
    EXPECT_EQ(P().AnsiToWide("ab\xC3\xA9", -1, wide, 8), 4);
    EXPECT_EQ(wide[2], u'\u00E9');
    EXPECT_EQ(wide[3], u'\0');
    EXPECT_EQ(P().AnsiToWide("ab\xC3\xA9", -1, wide, 3), 0);  // too small: failure
    EXPECT_EQ(P().AnsiToWide("ab", 0, wide, 8), 0);
    char narrow[8];
    const char16_t emoji[] = {0xD83D, 0xDE00, 0};
    EXPECT_EQ(P().WideToAnsi(emoji, -1, nullptr, 0), 5);
    EXPECT_EQ(P().WideToAnsi(emoji, -1, narrow, 4), 0);
    ASSERT_EQ(P().WideToAnsi(emoji, -1, narrow, 8), 5);
    EXPECT_STREQ(narrow, "\xF0\x9F\x98\x80");
}

// Random strings of code points from every range that behaves differently
// survive UTF-16 -> UTF-8 -> UTF-16 unchanged, and the UTF-8 has the length
// each code point needs.
TEST(Text, RandomRoundTrips) {
    REQUIRE_UTF8_CODE_PAGE();
    std::mt19937 random(777);
    const std::pair<char32_t, char32_t> ranges[] = {
        {0x1, 0x7F}, {0x80, 0x7FF}, {0x800, 0xD7FF}, {0xE000, 0xFFFF}, {0x10000, 0x10FFFF}};
    for (int round = 0; round < 500; ++round) {
        std::u16string wide;
        std::size_t expectedBytes = 0;
        const int length = static_cast<int>(random() % 40) + 1;
        for (int i = 0; i < length; ++i) {
            const auto& range = ranges[random() % 5];
            const char32_t c = range.first + random() % (range.second - range.first + 1);
            if (c >= 0x10000) {
                wide += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
                wide += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
                expectedBytes += 4;
            } else {
                wide += static_cast<char16_t>(c);
                expectedBytes += c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
            }
        }
        const std::string narrow = ToAnsi(wide);
        ASSERT_EQ(narrow.size(), expectedBytes);
        ASSERT_EQ(ToWide(narrow), wide);
    }
}

// Code page 1252: one byte per character, the bytes 0x80..0x9F partly mapped
// to punctuation, and units outside the page written as '?'.
TEST(Text, WindowsLatinCodePageBothWaysAndCounting) {
    if (!AnsiIsWindowsLatin()) GTEST_SKIP() << "the ANSI code page of this system is not 1252";
    EXPECT_EQ(ToWide("\xE9t\xE9 \x80 5"), u"\u00E9t\u00E9 \u20AC 5");
    EXPECT_EQ(ToAnsi(u"\u00E9t\u00E9 \u20AC 5"), "\xE9t\xE9 \x80 5");
    EXPECT_EQ(ToWide("\x93q\x94"), u"\u201Cq\u201D");
    EXPECT_EQ(ToAnsi(u"\u4E00x\xD83D\xDE00"), "?x??");  // not in the page
    EXPECT_EQ(ToWide(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
    std::string all;
    for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
    EXPECT_EQ(ToWide(all).size(), all.size());  // every byte is one character

    char16_t wide[8];
    EXPECT_EQ(P().AnsiToWide("ab\xE9", -1, nullptr, 0), 4);
    EXPECT_EQ(P().AnsiToWide("ab\xE9", -1, wide, 8), 4);
    EXPECT_EQ(wide[2], u'\u00E9');
    EXPECT_EQ(wide[3], u'\0');
    EXPECT_EQ(P().AnsiToWide("ab\xE9", -1, wide, 3), 0);  // too small: failure
    EXPECT_EQ(P().AnsiToWide("ab", 0, wide, 8), 0);
    char narrow[8];
    const char16_t text[] = {u'\u20AC', u'z', 0};
    EXPECT_EQ(P().WideToAnsi(text, -1, nullptr, 0), 3);
    EXPECT_EQ(P().WideToAnsi(text, -1, narrow, 2), 0);
    ASSERT_EQ(P().WideToAnsi(text, -1, narrow, 8), 3);
    EXPECT_STREQ(narrow, "\x80z");
}

TEST(Text, FindLastCharFindsTheLastAsciiByte) {
    const char* path = "/d\xC3\xA9j\xC3\xA0/file.v5.qdx";
    EXPECT_EQ(P().FindLastChar(path, '.'), path + std::strlen(path) - 4);
    EXPECT_EQ(P().FindLastChar(path, '/'), path + 7);
    EXPECT_EQ(P().FindLastChar(path, '\\'), nullptr);
}

TEST(LocalMemory, BlocksAreZeroAndGrowingZeroesOnlyTheNewBytes) {
    auto* block = static_cast<unsigned char*>(P().LocalAllocZeroed(100));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(block[i], 0);
    std::memset(block, 0xAB, 100);
    // Shrinking keeps the first bytes; growing again must not bring back the
    // bytes that were cut off.
    block = static_cast<unsigned char*>(P().LocalReAllocZeroed(block, 10));
    ASSERT_NE(block, nullptr);
    block = static_cast<unsigned char*>(P().LocalReAllocZeroed(block, 5000));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(block[i], 0xAB) << i;
    for (int i = 10; i < 5000; ++i) ASSERT_EQ(block[i], 0) << i;
    EXPECT_EQ(P().LocalReAllocZeroed(block, static_cast<std::size_t>(-1)), nullptr);
    EXPECT_EQ(block[0], 0xAB);  // a failed growth leaves the block as it was
    P().LocalFreeBlock(block);
    P().LocalFreeBlock(nullptr);
    void* empty = P().LocalAllocZeroed(0);
    EXPECT_NE(empty, nullptr);
    P().LocalFreeBlock(empty);
}

// Bounded by the precise clock on both sides: time() may lag it by up to a
// timer tick, so a whole second read from it can be behind the system time.
TEST(Time, SystemTimeIsUtcSince1601InWholeMilliseconds) {
    using std::chrono::milliseconds;
    using std::chrono::system_clock;
    const std::int64_t before =
        std::chrono::floor<milliseconds>(system_clock::now().time_since_epoch()).count();
    const FileTime now = P().SystemTimeAsFileTime();
    const std::int64_t after =
        std::chrono::ceil<milliseconds>(system_clock::now().time_since_epoch()).count();
    const std::uint64_t ticks = (static_cast<std::uint64_t>(now.high) << 32) | now.low;
    EXPECT_EQ(ticks % 10000, 0u);
    const std::int64_t ms = static_cast<std::int64_t>(ticks / 10000) - 11644473600000;
#ifdef _WIN32
    // The system time advances in steps of the system timer (up to 16 ms).
    constexpr std::int64_t kStep = 16;
#else
    constexpr std::int64_t kStep = 0;
#endif
    EXPECT_GE(ms, before - kStep);
    EXPECT_LE(ms, after);
}

TEST(Time, LocalTimeMatchesTheCalendar) {
    const SystemTime local = P().LocalTime();
    const time_t now = ::time(nullptr);
    struct tm expected;
#ifdef _WIN32
    ::localtime_s(&expected, &now);
#else
    ::localtime_r(&now, &expected);
#endif
    EXPECT_EQ(local.year, expected.tm_year + 1900);
    EXPECT_EQ(local.month, expected.tm_mon + 1);
    EXPECT_GE(local.day, 1);
    EXPECT_LE(local.day, 31);
    EXPECT_LE(local.dayOfWeek, 6);
    EXPECT_LE(local.hour, 23);
    EXPECT_LE(local.milliseconds, 999);
}

TEST(Time, CompareFileTimeOrdersByTheWhole64Bits) {
    const FileTime a{0xFFFFFFFF, 1};
    const FileTime b{0, 2};
    EXPECT_EQ(Platform::CompareFileTime(a, b), -1);
    EXPECT_EQ(Platform::CompareFileTime(b, a), 1);
    EXPECT_EQ(Platform::CompareFileTime(a, a), 0);
}

TEST(Time, TickCountAdvancesAtLeastByTheTimeSlept) {
    const std::uint32_t start = P().TickCount();
    P().SleepMs(30);
#ifdef _WIN32
    // GetTickCount advances in steps of the system timer (up to 16 ms), so
    // the count may show a sleep one step short.
    EXPECT_GE(static_cast<std::uint32_t>(P().TickCount() - start), 30u - 16u);
#else
    EXPECT_GE(static_cast<std::uint32_t>(P().TickCount() - start), 30u);
#endif
}

}  // namespace
}  // namespace quillet::testing
