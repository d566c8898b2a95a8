// Record lists over an in-memory buffer: the worked example content, chain
// checks, positions of inserts, failures that change nothing, and a randomized
// test against a vector of images.

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "records/RecordList.h"
#include "tests/records/RecordTestUtil.h"
#include "tests/records/TestBuffer.h"
#include "tests/records/TestPlatform.h"

namespace quillet {
namespace {

using testing::ImageOf;
using testing::LoadImage;
using testing::TestBuffer;
using testing::TestPlatform;
using testing::Words;

Words Concatenate(const std::vector<Words>& images) {
    Words all;
    for (const Words& w : images) all.insert(all.end(), w.begin(), w.end());
    return all;
}

TEST(RecordList, WorkedExampleContent) {
    TestPlatform platform;
    TestBuffer buffer;
    RecordList list;
    ASSERT_EQ(list.Attach(&buffer), 0);
    PropertyRecord first(platform);
    ASSERT_EQ(first.SetShort(0x0001, 5), 0);
    PropertyRecord empty(platform);
    ASSERT_EQ(list.InsertRecord(-1, first), 0);
    ASSERT_EQ(list.InsertRecord(-1, empty), 0);
    EXPECT_EQ(buffer.Words(), Words({3, 0x0001, 5, 1}));
    EXPECT_EQ(buffer.Bytes(), std::vector<std::uint8_t>({3, 0, 1, 0, 5, 0, 1, 0}));
    std::int32_t count = 0;
    ASSERT_EQ(list.CountRecords(&count), 0);
    EXPECT_EQ(count, 2);
    PropertyRecord view(platform);
    ASSERT_EQ(list.GetRecord(1, view), 0);
    EXPECT_TRUE(view.IsView());
    EXPECT_EQ(ImageOf(view), Words({1}));
    ASSERT_EQ(list.GetRecord(0, view), 0);
    std::uint16_t v = 0;
    EXPECT_EQ(view.GetShort(0x0001, &v), 1);
    EXPECT_EQ(v, 5);
    EXPECT_GT(buffer.loads, 0);
}

TEST(RecordList, ChainChecks) {
    TestPlatform platform;
    TestBuffer buffer;
    RecordList list;
    ASSERT_EQ(list.Attach(&buffer), 0);
    buffer.SetWords({3, 0x0001, 1, 1, 5, 0x0002, 2, 0x0003, 3});
    std::int32_t count = 0;
    ASSERT_EQ(list.CountRecords(&count), 0);
    EXPECT_EQ(count, 3);
    std::int32_t offset = -1;
    ASSERT_EQ(list.FindRecord(2, &offset), 0);
    EXPECT_EQ(offset, 4);
    EXPECT_EQ(list.FindRecord(3, &offset), kListNoSuchRecord);
    EXPECT_EQ(list.FindRecord(-2, &offset), kListNoSuchRecord);

    buffer.SetWords({3, 0x0001, 1, 0, 5, 0x0002, 2, 0x0003, 3});
    EXPECT_EQ(list.CountRecords(&count), kListChainBroken);
    EXPECT_EQ(list.FindRecord(2, &offset), kListChainBroken);
    buffer.SetWords({3, 0x0001, 1, 1, 6, 0x0002, 2, 0x0003, 3});
    EXPECT_EQ(list.CountRecords(&count), kListChainBroken);
    PropertyRecord view(platform);
    EXPECT_EQ(list.GetRecord(2, view), kListChainBroken);
    EXPECT_FALSE(view.HasImage());
    // A length word read as negative.
    buffer.SetWords({0x8003, 0, 0});
    EXPECT_EQ(list.CountRecords(&count), kListChainBroken);
    // A trailing odd byte is ignored.
    buffer.SetBytes({1, 0, 7});
    ASSERT_EQ(list.CountRecords(&count), 0);
    EXPECT_EQ(count, 1);
    buffer.SetBytes({});
    ASSERT_EQ(list.CountRecords(&count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(list.FindRecord(0, &offset), kListNoSuchRecord);
}

TEST(RecordList, InsertPositionsReplaceAndDelete) {
    TestPlatform platform;
    TestBuffer buffer;
    RecordList list;
    ASSERT_EQ(list.Attach(&buffer), 0);
    PropertyRecord a(platform), b(platform), c(platform), d(platform);
    ASSERT_EQ(a.SetShort(0x0001, 1), 0);
    ASSERT_EQ(b.SetShort(0x0001, 2), 0);
    ASSERT_EQ(c.SetString(0x8001, u"long text"), 0);
    ASSERT_EQ(d.SetShort(0x0001, 4), 0);
    ASSERT_EQ(list.InsertRecord(-1, a), 0);
    ASSERT_EQ(list.InsertRecord(1, b), 0);   // n equal to the count appends
    ASSERT_EQ(list.InsertRecord(50, d), 0);  // n above the count appends
    ASSERT_EQ(list.InsertRecord(0, c), 0);   // first
    EXPECT_EQ(buffer.Words(), Concatenate({ImageOf(c), ImageOf(a), ImageOf(b), ImageOf(d)}));

    // A longer record moves every later one up; each is still found.
    ASSERT_EQ(list.ReplaceRecord(1, c), 0);
    EXPECT_EQ(buffer.Words(), Concatenate({ImageOf(c), ImageOf(c), ImageOf(b), ImageOf(d)}));
    PropertyRecord view(platform);
    ASSERT_EQ(list.GetRecord(3, view), 0);
    EXPECT_EQ(ImageOf(view), ImageOf(d));
    ASSERT_EQ(list.ReplaceRecord(0, a), 0);
    EXPECT_EQ(buffer.Words(), Concatenate({ImageOf(a), ImageOf(c), ImageOf(b), ImageOf(d)}));

    const Words before = buffer.Words();
    EXPECT_EQ(list.ReplaceRecord(4, a), kListNoSuchRecord);
    EXPECT_EQ(list.DeleteRecord(4), kListNoSuchRecord);
    EXPECT_EQ(buffer.Words(), before);

    ASSERT_EQ(list.DeleteRecord(1), 0);
    EXPECT_EQ(buffer.Words(), Concatenate({ImageOf(a), ImageOf(b), ImageOf(d)}));
    ASSERT_EQ(list.DeleteRecord(0), 0);
    ASSERT_EQ(list.DeleteRecord(0), 0);
    ASSERT_EQ(list.DeleteRecord(0), 0);
    EXPECT_EQ(buffer.Size(), 0);
}

TEST(RecordList, ViewsOfTheSameListCanBeWrittenBack) {
    TestPlatform platform;
    TestBuffer buffer;
    RecordList list;
    ASSERT_EQ(list.Attach(&buffer), 0);
    PropertyRecord a(platform);
    ASSERT_EQ(a.SetString(0x8001, u"abcdefghijklmnop"), 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(list.InsertRecord(-1, a), 0);
    PropertyRecord view(platform);
    // The buffer grows (and may move) while the view's image is inserted.
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(list.GetRecord(i % 3, view), 0);
        ASSERT_EQ(list.InsertRecord(0, view), 0);
    }
    std::int32_t count = 0;
    ASSERT_EQ(list.CountRecords(&count), 0);
    EXPECT_EQ(count, 43);
    ASSERT_EQ(list.GetRecord(2, view), 0);
    ASSERT_EQ(list.ReplaceRecord(2, view), 0);
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(list.GetRecord(i, view), 0);
        ASSERT_EQ(ImageOf(view), ImageOf(a));
    }
}

TEST(RecordList, FailuresAndMissingBuffer) {
    TestPlatform platform;
    RecordList list;
    std::int32_t count = 0;
    PropertyRecord record(platform);
    EXPECT_EQ(list.CountRecords(&count), kListNotOpen);
    EXPECT_EQ(list.InsertRecord(-1, record), kListNotOpen);
    EXPECT_EQ(list.GetRecord(0, record), kListNotOpen);
    EXPECT_EQ(list.Flush(), kListNotOpen);
    EXPECT_EQ(list.Detach(), 0);

    TestBuffer buffer;
    ASSERT_EQ(list.Attach(&buffer), 0);
    buffer.loadResult = 7101;
    EXPECT_EQ(list.CountRecords(&count), 7101);
    EXPECT_EQ(list.InsertRecord(-1, record), 7101);
    buffer.loadResult = 0;

    ASSERT_EQ(record.SetShort(0x0001, 1), 0);
    ASSERT_EQ(list.InsertRecord(-1, record), 0);
    const Words before = buffer.Words();
    buffer.failResize = true;
    EXPECT_EQ(list.InsertRecord(0, record), kListResizeFailed);
    EXPECT_EQ(buffer.Words(), before);
    PropertyRecord longer(platform);
    ASSERT_EQ(longer.SetLong(0x4001, 1), 0);
    EXPECT_EQ(list.ReplaceRecord(0, longer), kListResizeFailed);
    EXPECT_EQ(buffer.Words(), before);
    buffer.failResize = false;

    // Flush refuses to save a broken chain; Detach saves and drops the buffer.
    buffer.SetWords({3, 0x0001, 1, 9});
    buffer.dirty = true;
    const int saves = buffer.saves;
    EXPECT_EQ(list.Flush(), kListChainBroken);
    EXPECT_EQ(buffer.saves, saves);
    buffer.SetWords({3, 0x0001, 1});
    buffer.dirty = true;
    EXPECT_EQ(list.Flush(), 0);
    EXPECT_EQ(buffer.saves, saves + 1);
    buffer.saveResult = 21;
    buffer.dirty = true;
    EXPECT_EQ(list.Detach(), 21);
    EXPECT_EQ(list.buffer(), nullptr);
    // Attach fails when the detach of the old buffer fails.
    TestBuffer other;
    ASSERT_EQ(list.Attach(&buffer), 0);
    EXPECT_EQ(list.Attach(&other), 21);
    EXPECT_EQ(list.buffer(), nullptr);
}

TEST(RecordList, RandomOperationsMatchModel) {
    TestPlatform platform;
    std::mt19937 rng(7);
    TestBuffer buffer;
    RecordList list;
    ASSERT_EQ(list.Attach(&buffer), 0);
    std::vector<Words> model;
    for (int step = 0; step < 3000; ++step) {
        PropertyRecord record(platform);
        const int fields = static_cast<int>(rng() % 4);
        for (int f = 0; f < fields; ++f) {
            if (rng() % 2) {
                ASSERT_EQ(record.SetShort(MakeFieldTag(0, 1 + rng() % 5),
                                          static_cast<std::uint16_t>(rng())),
                          0);
            } else {
                std::u16string text(rng() % 5, u'a' + static_cast<char16_t>(rng() % 26));
                ASSERT_EQ(record.SetString(MakeFieldTag(8, rng() % 5), text.c_str()), 0);
            }
        }
        const int n = model.empty() ? 0 : static_cast<int>(rng() % (model.size() + 2)) - 1;
        switch (rng() % 4) {
            case 0:
            case 1: {
                ASSERT_EQ(list.InsertRecord(n, record), 0);
                if (n < 0 || n >= static_cast<int>(model.size())) {
                    model.push_back(ImageOf(record));
                } else {
                    model.insert(model.begin() + n, ImageOf(record));
                }
                break;
            }
            case 2: {
                const ResultCode r = list.ReplaceRecord(n, record);
                if (n < 0 || n >= static_cast<int>(model.size())) {
                    ASSERT_EQ(r, kListNoSuchRecord);
                } else {
                    ASSERT_EQ(r, 0);
                    model[static_cast<std::size_t>(n)] = ImageOf(record);
                }
                break;
            }
            default: {
                const ResultCode r = list.DeleteRecord(n);
                if (n < 0 || n >= static_cast<int>(model.size())) {
                    ASSERT_EQ(r, kListNoSuchRecord);
                } else {
                    ASSERT_EQ(r, 0);
                    model.erase(model.begin() + n);
                }
                break;
            }
        }
        // Integrity after every operation: the content is exactly the images.
        ASSERT_EQ(buffer.Words(), Concatenate(model)) << "step " << step;
        std::int32_t count = 0;
        ASSERT_EQ(list.CountRecords(&count), 0);
        ASSERT_EQ(count, static_cast<std::int32_t>(model.size()));
        if (!model.empty()) {
            const auto k = static_cast<std::int32_t>(rng() % model.size());
            PropertyRecord view(platform);
            ASSERT_EQ(list.GetRecord(k, view), 0);
            ASSERT_EQ(ImageOf(view), model[static_cast<std::size_t>(k)]);
        }
        if (model.size() > 40) {
            model.clear();
            buffer.SetBytes({});
        }
    }
}

}  // namespace
}  // namespace quillet
