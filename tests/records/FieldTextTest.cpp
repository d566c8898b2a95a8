// Field text and comparison: text forms of numbers and strings, parsing, the
// bounded output, and the order of records by a field.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "records/PropertyRecord.h"
#include "tests/records/RecordTestUtil.h"
#include "tests/records/TestPlatform.h"

namespace quillet {
namespace {

using testing::ImageOf;
using testing::LoadImage;
using testing::TestPlatform;
using testing::Words;

// GetText into a buffer of `size` bytes inside a larger one filled with 0x5A,
// checking that nothing past `size` was written.
std::string TextOf(const PropertyRecord& record, FieldTag tag, std::int32_t size,
                   ResultCode* result) {
    char area[64];
    std::memset(area, 0x5A, sizeof area);
    *result = record.GetText(tag, area, size);
    for (std::size_t i = static_cast<std::size_t>(size); i < sizeof area; ++i) {
        EXPECT_EQ(area[i], 0x5A) << "byte " << i << " written past size " << size;
    }
    if (size == 0) return "<nothing>";
    if (std::memchr(area, 0, static_cast<std::size_t>(size)) == nullptr) return "<unterminated>";
    return std::string(area);
}

TEST(FieldText, NumbersAsText) {
    TestPlatform platform;
    PropertyRecord record(platform);
    ASSERT_EQ(record.SetShort(0x0001, 0xFFFF), 0);
    ASSERT_EQ(record.SetLong(0x4001, INT32_MIN), 0);
    ASSERT_EQ(record.SetShort(0x1002, 40000), 0);  // a FlagWord reads as a signed short too
    ResultCode r = -1;
    EXPECT_EQ(TextOf(record, 0x0001, 12, &r), "-1");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(TextOf(record, 0x4001, 12, &r), "-2147483648");
    EXPECT_EQ(r, 0);
    // Type 1 is "any other type": out is not written, so the 0x5A bytes stay.
    char area[4] = {'z', 'z', 'z', 0};
    EXPECT_EQ(record.GetText(0x1002, area, 4), 0);
    EXPECT_STREQ(area, "zzz");
}

TEST(FieldText, NumbersIntoSmallBuffersAreCut) {
    TestPlatform platform;
    PropertyRecord record(platform);
    ASSERT_EQ(record.SetLong(0x4001, INT32_MIN), 0);
    ResultCode r = -1;
    EXPECT_EQ(TextOf(record, 0x4001, 5, &r), "-214");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(TextOf(record, 0x4001, 1, &r), "");
    EXPECT_EQ(TextOf(record, 0x4001, 0, &r), "<nothing>");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(TextOf(record, 0x0009, 0, &r), "<nothing>");
    EXPECT_EQ(r, kFieldAbsent);
}

TEST(FieldText, StringsAndOtherTypes) {
    TestPlatform platform;
    PropertyRecord record(platform);
    ASSERT_EQ(record.SetStringAnsi(0x8001, "hello world"), 0);
    ASSERT_EQ(LoadImage(record,
                        [&] {
                            Words w = ImageOf(record);
                            for (std::uint16_t x : {0x6002, 1, 2, 3, 4, 0xC003, 3, 7, 8})
                                w.push_back(x);
                            w[0] = static_cast<std::uint16_t>(w.size());
                            return w;
                        }()),
              0);
    ResultCode r = -1;
    EXPECT_EQ(TextOf(record, 0x8001, 64, &r), "hello world");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(TextOf(record, 0x8001, 6, &r), "hello");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(TextOf(record, 0x8001, 0, &r), "<nothing>");
    // Time and Blob: out is not written.
    EXPECT_EQ(TextOf(record, 0x6002, 64, &r), "<unterminated>");
    EXPECT_EQ(r, kFieldHasNoText);
    EXPECT_EQ(TextOf(record, 0xC003, 64, &r), "<unterminated>");
    EXPECT_EQ(r, kFieldHasNoText);
    EXPECT_EQ(TextOf(record, 0x8009, 64, &r), "");
    EXPECT_EQ(r, kFieldAbsent);
    EXPECT_EQ(record.SetText(0x6002, "12"), kFieldHasNoText);
    EXPECT_EQ(record.SetText(0xC003, "12"), kFieldHasNoText);
    // An empty text removes even fields without a text form.
    EXPECT_EQ(record.SetText(0x6002, ""), 0);
    EXPECT_EQ(record.SetText(0xC003, ""), 0);
    EXPECT_EQ(record.FindValue(0x6002), nullptr);
    EXPECT_EQ(record.FindValue(0xC003), nullptr);
    EXPECT_NE(record.FindValue(0x8001), nullptr);
    // Units the code page lacks become '?'.
    ASSERT_EQ(record.SetString(0x8001, u"a\u4e2db"), 0);
    EXPECT_EQ(TextOf(record, 0x8001, 64, &r), "a?b");
}

TEST(FieldText, SetTextParsesWholeIntegers) {
    TestPlatform platform;
    PropertyRecord record(platform);
    std::uint16_t v = 0;
    ASSERT_EQ(record.SetText(0x0001, " 42"), 0);
    EXPECT_EQ(record.GetShort(0x0001, &v), 1);
    EXPECT_EQ(v, 42);
    const Words before = ImageOf(record);
    EXPECT_EQ(record.SetText(0x0001, "42 "), kFieldTextNotNumber);
    EXPECT_EQ(record.SetText(0x0001, "4x"), kFieldTextNotNumber);
    EXPECT_EQ(record.SetText(0x0001, "-"), kFieldTextNotNumber);
    EXPECT_EQ(record.SetText(0x0001, "   "), kFieldTextNotNumber);
    EXPECT_EQ(record.SetText(0x4002, "0x10"), kFieldTextNotNumber);
    EXPECT_EQ(ImageOf(record), before);
    ASSERT_EQ(record.SetText(0x0001, "70000"), 0);
    record.GetShort(0x0001, &v);
    EXPECT_EQ(v, 4464);
    ASSERT_EQ(record.SetText(0x0001, "-3"), 0);
    record.GetShort(0x0001, &v);
    EXPECT_EQ(v, 0xFFFD);

    // Long: saturates at the 32-bit limits.
    ResultCode r = -1;
    ASSERT_EQ(record.SetText(0x4002, "99999999999"), 0);
    EXPECT_EQ(TextOf(record, 0x4002, 12, &r), "2147483647");
    ASSERT_EQ(record.SetText(0x4002, "\t-99999999999"), 0);
    EXPECT_EQ(TextOf(record, 0x4002, 12, &r), "-2147483648");
    ASSERT_EQ(record.SetText(0x4002, "+17"), 0);
    EXPECT_EQ(TextOf(record, 0x4002, 12, &r), "17");

    ASSERT_EQ(record.SetText(0x8003, "text"), 0);
    EXPECT_EQ(TextOf(record, 0x8003, 12, &r), "text");
    EXPECT_EQ(record.SetText(0x2004, "x"), 0);  // undefined type: nothing changes
    EXPECT_EQ(record.FindValue(0x2004), nullptr);
    ASSERT_EQ(record.SetText(0x0001, ""), 0);
    EXPECT_EQ(record.FindValue(0x0001), nullptr);
}

TEST(FieldText, CompareField) {
    TestPlatform platform;
    PropertyRecord a(platform);
    PropertyRecord b(platform);
    EXPECT_EQ(a.CompareField(0x0001, b), 0);
    ASSERT_EQ(b.SetShort(0x0001, 5), 0);
    EXPECT_EQ(a.CompareField(0x0001, b), -1);
    EXPECT_EQ(b.CompareField(0x0001, a), 1);
    ASSERT_EQ(a.SetShort(0x0001, 0xFFFF), 0);  // -1 < 5
    EXPECT_EQ(a.CompareField(0x0001, b), -1);
    ASSERT_EQ(a.SetShort(0x0001, 5), 0);
    EXPECT_EQ(a.CompareField(0x0001, b), 0);

    ASSERT_EQ(a.SetLong(0x4001, -70000), 0);
    ASSERT_EQ(b.SetLong(0x4001, 70000), 0);
    EXPECT_EQ(a.CompareField(0x4001, b), -1);
    EXPECT_EQ(b.CompareField(0x4001, a), 1);

    ASSERT_EQ(a.SetString(0x8001, u"abc"), 0);
    ASSERT_EQ(b.SetString(0x8001, u"ABD"), 0);
    EXPECT_LT(a.CompareField(0x8001, b), 0);
    EXPECT_EQ(a.CompareField(0x8001, b), 'c' - 'd');
    ASSERT_EQ(b.SetString(0x8001, u"ABC"), 0);
    EXPECT_EQ(a.CompareField(0x8001, b), 0);
    ASSERT_EQ(a.SetString(0x8001, u"b"), 0);
    ASSERT_EQ(b.SetString(0x8001, u""), 0);
    EXPECT_EQ(a.CompareField(0x8001, b), 98);
    // Only ASCII capitals fold; '[' (91) stays above 'Z' but below 'a'.
    ASSERT_EQ(a.SetString(0x8001, u"["), 0);
    ASSERT_EQ(b.SetString(0x8001, u"A"), 0);
    EXPECT_EQ(a.CompareField(0x8001, b), 91 - 97);
    ASSERT_EQ(a.SetString(0x8001, u"\xFFFF"), 0);
    EXPECT_GT(a.CompareField(0x8001, b), 0);  // units are unsigned

    // Times: the high word decides before the low one.
    Words ta = {6, 0x6001, 0xFFFF, 0xFFFF, 1, 0};
    Words tb = {6, 0x6001, 0, 0, 2, 0};
    ASSERT_EQ(LoadImage(a, ta), 0);
    ASSERT_EQ(LoadImage(b, tb), 0);
    EXPECT_EQ(a.CompareField(0x6001, b), -1);
    EXPECT_EQ(b.CompareField(0x6001, a), 1);
    EXPECT_EQ(a.CompareField(0x6001, a), 0);

    // Blobs have no order.
    Words ba = {4, 0xC001, 2, 9};
    Words bb = {4, 0xC001, 2, 1};
    ASSERT_EQ(LoadImage(a, ba), 0);
    ASSERT_EQ(LoadImage(b, bb), 0);
    EXPECT_EQ(a.CompareField(0xC001, b), 0);
}

TEST(FieldText, UnterminatedStringsCompareInsideTheirImages) {
    TestPlatform platform;
    PropertyRecord a(platform);
    PropertyRecord b(platform);
    ASSERT_EQ(LoadImage(a, {4, 0x8001, 'a', 'b'}), 0);
    ASSERT_EQ(b.SetString(0x8001, u"AB"), 0);
    EXPECT_EQ(a.CompareField(0x8001, b), 0);
    ASSERT_EQ(b.SetString(0x8001, u"ABc"), 0);
    EXPECT_EQ(a.CompareField(0x8001, b), -'c');
    ResultCode r = -1;
    EXPECT_EQ(TextOf(a, 0x8001, 64, &r), "ab");
    EXPECT_EQ(r, 0);
}

}  // namespace
}  // namespace quillet
