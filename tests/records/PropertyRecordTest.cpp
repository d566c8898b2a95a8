// Property records: byte-exact images from the worked examples, the view and
// size rules, allocation failures, and a randomized test against a map of
// fields.

#include <gtest/gtest.h>

#include <map>
#include <random>
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

TEST(PropertyRecord, EmptyRecordHasOneWordImage) {
    TestPlatform platform;
    PropertyRecord record(platform);
    EXPECT_FALSE(record.HasImage());
    EXPECT_TRUE(record.IsOwned());
    EXPECT_EQ(record.WordCount(), 1);
    EXPECT_EQ(ImageOf(record), Words({1}));
    EXPECT_EQ(record.FindValue(0x0001), nullptr);
    EXPECT_EQ(record.FindValueIndex(0x0001), 0);
    std::uint16_t out = 99;
    EXPECT_EQ(record.GetShort(0x0001, &out), 0);
    EXPECT_EQ(out, 0);
    EXPECT_EQ(record.RemoveField(0x0001), 0);
    EXPECT_EQ(record.WordCount(), 1);
}

TEST(PropertyRecord, WorkedExampleImages) {
    TestPlatform platform;
    // The image of a record with Short 0x0002 = 7 and String 0x8001 = "ab", as
    // stored: both fields are read from it.
    PropertyRecord stored(platform);
    ASSERT_EQ(LoadImage(stored, {7, 0x0002, 7, 0x8001, 0x0061, 0x0062, 0}), 0);
    std::uint16_t value = 0;
    EXPECT_EQ(stored.GetShort(0x0002, &value), 1);
    EXPECT_EQ(value, 7);
    char text[8];
    EXPECT_EQ(stored.GetText(0x8001, text, sizeof text), 0);
    EXPECT_STREQ(text, "ab");
    EXPECT_EQ(stored.NextField(1), 3);
    EXPECT_EQ(stored.NextField(3), 7);

    PropertyRecord a(platform);
    ASSERT_EQ(a.SetShort(0x0002, 7), 0);
    EXPECT_EQ(ImageOf(a), Words({3, 0x0002, 7}));
    // Inserting keeps field order: number 1 stands before number 2.
    ASSERT_EQ(a.SetString(0x8001, u"ab"), 0);
    EXPECT_EQ(ImageOf(a), Words({7, 0x8001, 0x0061, 0x0062, 0, 0x0002, 7}));

    // The same fields set in the other order give the same image.
    PropertyRecord b(platform);
    ASSERT_EQ(b.SetStringAnsi(0x8001, "ab"), 0);
    ASSERT_EQ(b.SetShort(0x0002, 7), 0);
    EXPECT_EQ(ImageOf(b), ImageOf(a));

    // Changing the stored image keeps its order where the fields are.
    ASSERT_EQ(stored.SetShort(0x0002, 8), 0);
    ASSERT_EQ(stored.SetString(0x8001, u"abc"), 0);
    EXPECT_EQ(ImageOf(stored), Words({8, 0x0002, 8, 0x8001, 'a', 'b', 'c', 0}));
}

TEST(PropertyRecord, ZeroTagIsNotAField) {
    TestPlatform platform;
    PropertyRecord record(platform);
    ASSERT_EQ(record.SetShort(0x0001, 1), 0);
    // A zero tag word would end the walk and hide the fields after it.
    EXPECT_EQ(record.SetShort(0x0000, 5), kRecordTooLong);
    EXPECT_EQ(record.InsertField(0x0000, 0, nullptr), kRecordTooLong);
    EXPECT_EQ(ImageOf(record), Words({3, 0x0001, 1}));
}

TEST(PropertyRecord, InsertionKeepsFieldOrder) {
    TestPlatform platform;
    PropertyRecord record(platform);
    ASSERT_EQ(record.SetString(0x8001, u"x"), 0);
    ASSERT_EQ(record.SetShort(0x0001, 1), 0);
    ASSERT_EQ(record.SetLong(0x4001, 0x00020003), 0);
    ASSERT_EQ(record.SetShort(0x0002, 2), 0);
    EXPECT_EQ(ImageOf(record), Words({11, 0x0001, 1, 0x4001, 3, 2, 0x8001, u'x', 0, 0x0002, 2}));
}

TEST(PropertyRecord, OverwritesKeepLengthAndStringsResize) {
    TestPlatform platform;
    PropertyRecord record(platform);
    ASSERT_EQ(record.SetShort(0x0001, 1), 0);
    ASSERT_EQ(record.SetString(0x8002, u"abc"), 0);
    ASSERT_EQ(record.SetLong(0x4003, -2), 0);
    const Words before = ImageOf(record);
    ASSERT_EQ(record.SetShort(0x0001, 9), 0);
    EXPECT_EQ(record.WordCount(), static_cast<std::int32_t>(before.size()));

    ASSERT_EQ(record.SetString(0x8002, u"abcdef"), 0);
    EXPECT_EQ(ImageOf(record), Words({14, 0x0001, 9, 0x8002, 'a', 'b', 'c', 'd', 'e', 'f', 0,
                                      0x4003, 0xFFFE, 0xFFFF}));
    ASSERT_EQ(record.SetString(0x8002, u"z"), 0);
    EXPECT_EQ(ImageOf(record), Words({9, 0x0001, 9, 0x8002, 'z', 0, 0x4003, 0xFFFE, 0xFFFF}));
    ASSERT_EQ(record.SetString(0x8002, u""), 0);
    EXPECT_EQ(ImageOf(record), Words({8, 0x0001, 9, 0x8002, 0, 0x4003, 0xFFFE, 0xFFFF}));
    PropertyRecord empty(platform);
    ASSERT_EQ(empty.SetString(0x8005, u""), 0);
    EXPECT_EQ(ImageOf(empty), Words({3, 0x8005, 0}));
}

TEST(PropertyRecord, ZeroTagHidesLaterFieldsAndNewFieldsGoBeforeIt) {
    TestPlatform platform;
    PropertyRecord record(platform);
    ASSERT_EQ(LoadImage(record, {7, 0x0001, 5, 0x0000, 0x0003, 8, 0}), 0);
    EXPECT_EQ(record.FindValue(0x0003), nullptr);
    EXPECT_EQ(record.RemoveField(0x0003), 0);
    EXPECT_EQ(record.WordCount(), 7);
    // A field inserted after the zero tag would be hidden as well.
    ASSERT_EQ(record.SetShort(0x0004, 4), 0);
    std::uint16_t value = 0;
    EXPECT_EQ(record.GetShort(0x0004, &value), 1);
    EXPECT_EQ(value, 4);
    EXPECT_EQ(ImageOf(record), Words({9, 0x0001, 5, 0x0004, 4, 0x0000, 0x0003, 8, 0}));
}

TEST(PropertyRecord, FieldsThatEndTheWalk) {
    TestPlatform platform;
    // A FlagWord with bit 2 set is the last field visited.
    PropertyRecord flag(platform);
    ASSERT_EQ(LoadImage(flag, {6, 0x1001, 4, 0x0002, 3, 0}), 0);
    EXPECT_NE(flag.FindValue(0x1001), nullptr);
    EXPECT_EQ(flag.FindValue(0x0002), nullptr);
    EXPECT_EQ(flag.NextField(1), 6);
    ASSERT_EQ(flag.SetShort(0x0003, 3), 0);  // goes before the flag word to stay visible
    std::uint16_t v = 0;
    EXPECT_EQ(flag.GetShort(0x0003, &v), 1);
    EXPECT_EQ(ImageOf(flag), Words({8, 0x0003, 3, 0x1001, 4, 0x0002, 3, 0}));
    // Removing it cuts the image at its tag.
    ASSERT_EQ(flag.RemoveField(0x1001), 0);
    EXPECT_EQ(ImageOf(flag), Words({3, 0x0003, 3}));

    // A field of an undefined type is visited, and nothing after it.
    PropertyRecord odd(platform);
    ASSERT_EQ(LoadImage(odd, {5, 0x2001, 1, 0x0002, 3}), 0);
    EXPECT_NE(odd.FindValue(0x2001), nullptr);
    EXPECT_EQ(odd.FindValue(0x0002), nullptr);
    ASSERT_EQ(odd.RemoveField(0x2001), 0);
    EXPECT_EQ(ImageOf(odd), Words({1}));
}

TEST(PropertyRecord, UnterminatedStringRunsToTheEnd) {
    TestPlatform platform;
    PropertyRecord record(platform);
    ASSERT_EQ(LoadImage(record, {5, 0x0001, 2, 0x8002, 'q'}), 0);
    std::int32_t words = 0;
    const std::uint16_t* value = record.FindValueWords(0x8002, &words);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(words, 1);
    EXPECT_EQ(record.NextField(3), 6);  // past L: no zero word
    ASSERT_EQ(record.RemoveField(0x8002), 0);
    EXPECT_EQ(record.WordCount(), 3);  // the index of its tag
    EXPECT_EQ(ImageOf(record), Words({3, 0x0001, 2}));

    // Replacing it gives a terminated string in its place.
    PropertyRecord again(platform);
    ASSERT_EQ(LoadImage(again, {5, 0x0001, 2, 0x8002, 'q'}), 0);
    ASSERT_EQ(again.SetString(0x8002, u"rs"), 0);
    EXPECT_EQ(ImageOf(again), Words({7, 0x0001, 2, 0x8002, 'r', 's', 0}));
}

TEST(PropertyRecord, ViewsAreNeverChanged) {
    TestPlatform platform;
    Words list = {5, 0x0001, 5, 0x8002, 0};
    const Words original = list;
    PropertyRecord view(platform);
    view.MakeView(list.data());
    EXPECT_TRUE(view.IsView());
    EXPECT_EQ(view.SetShort(0x0007, 1), kRecordIsView);
    EXPECT_EQ(view.SetShort(0x0001, 1), kRecordIsView);
    EXPECT_EQ(view.SetLong(0x4001, 1), kRecordIsView);
    EXPECT_EQ(view.SetString(0x8002, u""), kRecordIsView);
    EXPECT_EQ(view.SetStringAnsi(0x8002, "abc"), kRecordIsView);
    EXPECT_EQ(view.RemoveField(0x0001), kRecordIsView);
    EXPECT_EQ(view.Grow(1), kRecordIsView);
    EXPECT_EQ(view.SetText(0x0001, "3"), kRecordIsView);
    EXPECT_EQ(list, original);

    // The owned copy can change; the list's words stay.
    ASSERT_EQ(view.MakeOwned(), 0);
    EXPECT_TRUE(view.IsOwned());
    ASSERT_EQ(view.SetShort(0x0001, 6), 0);
    EXPECT_EQ(list, original);
    EXPECT_EQ(ImageOf(view), Words({5, 0x0001, 6, 0x8002, 0}));

    // A view of length 1 becomes empty and owned.
    Words single = {1};
    PropertyRecord one(platform);
    one.MakeView(single.data());
    ASSERT_EQ(one.MakeOwned(), 0);
    EXPECT_FALSE(one.HasImage());
    EXPECT_EQ(platform.LiveBlocks(), 1u);  // only `view`'s copy
}

TEST(PropertyRecord, LengthLimit) {
    TestPlatform platform;
    PropertyRecord record(platform);
    std::u16string text(32763, u'a');
    ASSERT_EQ(record.SetString(0x8001, text.c_str()), 0);
    EXPECT_EQ(record.WordCount(), 32766);
    const Words before = ImageOf(record);
    EXPECT_EQ(record.SetShort(0x0002, 1), kRecordTooLong);
    EXPECT_EQ(record.SetString(0x8001, (text + u"b").c_str()), kRecordTooLong);
    EXPECT_EQ(record.Grow(1), kRecordTooLong);
    EXPECT_EQ(record.Grow(-1), kRecordTooLong);
    EXPECT_EQ(ImageOf(record), before);
    // Shrinking the string makes room again.
    ASSERT_EQ(record.SetString(0x8001, u"a"), 0);
    ASSERT_EQ(record.SetShort(0x0002, 1), 0);
    EXPECT_EQ(ImageOf(record), Words({6, 0x8001, 'a', 0, 0x0002, 1}));
    PropertyRecord big(platform);
    EXPECT_EQ(big.Grow(32766), kRecordTooLong);
    EXPECT_EQ(big.Grow(32765), 0);
    EXPECT_EQ(big.WordCount(), 32766);
}

TEST(PropertyRecord, AllocationFailuresLeaveTheImage) {
    TestPlatform platform;
    PropertyRecord record(platform);
    platform.FailAllocationIn(1);
    EXPECT_EQ(record.SetShort(0x0001, 1), kRecordNoMemory);
    EXPECT_FALSE(record.HasImage());
    ASSERT_EQ(record.SetShort(0x0001, 1), 0);
    platform.FailAllocationIn(1);
    EXPECT_EQ(record.SetString(0x8001, u"abc"), kRecordNoMemory);
    EXPECT_EQ(ImageOf(record), Words({3, 0x0001, 1}));
    platform.FailAllocationIn(1);  // the temporary conversion buffer
    EXPECT_EQ(record.SetStringAnsi(0x8001, "abc"), kRecordNoMemory);
    EXPECT_EQ(ImageOf(record), Words({3, 0x0001, 1}));
    platform.failText = true;
    EXPECT_EQ(record.SetStringAnsi(0x8001, "abc"), kRecordNoMemory);
    platform.failText = false;
    EXPECT_EQ(ImageOf(record), Words({3, 0x0001, 1}));

    Words list = {3, 0x0002, 2};
    PropertyRecord view(platform);
    view.MakeView(list.data());
    platform.FailAllocationIn(1);
    EXPECT_EQ(view.MakeOwned(), kRecordNoMemory);
    EXPECT_TRUE(view.IsView());
    EXPECT_EQ(ImageOf(view), list);
}

TEST(PropertyRecord, ShrinkThenGrowGivesZeroWords) {
    TestPlatform platform;
    PropertyRecord record(platform);
    ASSERT_EQ(record.SetString(0x8001, u"abcdefgh"), 0);
    ASSERT_EQ(record.RemoveField(0x8001), 0);
    EXPECT_EQ(record.WordCount(), 1);
    ASSERT_EQ(record.Grow(4), 0);
    EXPECT_EQ(ImageOf(record), Words({5, 0, 0, 0, 0}));
}

TEST(PropertyRecord, ReleaseFreesTheImage) {
    TestPlatform platform;
    {
        PropertyRecord record(platform);
        ASSERT_EQ(record.SetShort(0x0001, 1), 0);
        EXPECT_EQ(platform.LiveBlocks(), 1u);
        record.Release();
        EXPECT_EQ(platform.LiveBlocks(), 0u);
        EXPECT_EQ(record.WordCount(), 1);
        ASSERT_EQ(record.SetShort(0x0001, 1), 0);
    }
    EXPECT_EQ(platform.LiveBlocks(), 0u);
}

// ---- Randomized: setters and RemoveField against a map of fields ----

// Field order key: number, then type.
std::uint32_t OrderKey(FieldTag tag) {
    return (FieldNumber(tag) << 4) | FieldType(tag);
}

Words ModelImage(const std::map<std::uint32_t, std::pair<FieldTag, Words>>& model) {
    Words image = {0};
    for (const auto& [key, field] : model) {
        image.push_back(field.first);
        image.insert(image.end(), field.second.begin(), field.second.end());
    }
    image[0] = static_cast<std::uint16_t>(image.size());
    return image;
}

TEST(PropertyRecord, RandomSettersMatchModel) {
    TestPlatform platform;
    std::mt19937 rng(20240611);
    for (int round = 0; round < 200; ++round) {
        PropertyRecord record(platform);
        std::map<std::uint32_t, std::pair<FieldTag, Words>> model;
        for (int step = 0; step < 60; ++step) {
            const unsigned types[] = {field_type::kShort, field_type::kFlagWord, field_type::kLong,
                                      field_type::kString};
            const unsigned type = types[rng() % 4];
            const FieldTag tag = MakeFieldTag(type, rng() % 6 == 0 ? 0xFFF : 1 + rng() % 8);
            const int op = static_cast<int>(rng() % 5);
            if (op == 4) {
                ASSERT_EQ(record.RemoveField(tag), 0);
                model.erase(OrderKey(tag));
            } else if (type == field_type::kShort || type == field_type::kFlagWord) {
                // FlagWords keep bit 2 clear: with it set they hide later fields.
                std::uint16_t value = static_cast<std::uint16_t>(rng());
                if (type == field_type::kFlagWord) value &= static_cast<std::uint16_t>(~4u);
                ASSERT_EQ(record.SetShort(tag, value), 0);
                model[OrderKey(tag)] = {tag, {value}};
            } else if (type == field_type::kLong) {
                const auto value = static_cast<std::int32_t>(rng());
                ASSERT_EQ(record.SetLong(tag, value), 0);
                const auto bits = static_cast<std::uint32_t>(value);
                model[OrderKey(tag)] = {
                    tag,
                    {static_cast<std::uint16_t>(bits), static_cast<std::uint16_t>(bits >> 16)}};
            } else {
                std::u16string text;
                const int length = static_cast<int>(rng() % 7);
                for (int i = 0; i < length; ++i)
                    text.push_back(static_cast<char16_t>(1 + rng() % 0xFFFE));
                ASSERT_EQ(record.SetString(tag, text.c_str()), 0);
                Words value(text.begin(), text.end());
                value.push_back(0);
                model[OrderKey(tag)] = {tag, value};
            }
            const Words expected = ModelImage(model);
            ASSERT_EQ(ImageOf(record), expected) << "round " << round << " step " << step;
            // Every field of the model is found with its value.
            for (const auto& [key, field] : model) {
                const std::int32_t index = record.FindValueIndex(field.first);
                ASSERT_GT(index, 0);
                ASSERT_EQ(Words(record.GetImage() + index,
                                record.GetImage() + index + field.second.size()),
                          field.second);
            }
            // Round trip through a view keeps the image.
            if (step % 10 == 9) {
                Words copy = ImageOf(record);
                ASSERT_EQ(LoadImage(record, copy), 0);
                ASSERT_EQ(ImageOf(record), expected);
            }
        }
    }
    EXPECT_EQ(platform.LiveBlocks(), 0u);
}

}  // namespace
}  // namespace quillet
