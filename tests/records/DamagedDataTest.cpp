// Damaged images and contents: fields cut short, broken record and chunk
// chains, and random garbage fed to every read and write operation. Images are
// held in blocks of exactly their length, so a read past one is caught by the
// sanitizer build.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "platform/LittleEndian.h"
#include "records/ChunkView.h"
#include "records/ChunkedTable.h"
#include "records/PropertyRecord.h"
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
using Bytes = std::vector<std::uint8_t>;

TEST(DamagedRecord, FieldsCutShortAreAbsent) {
    TestPlatform platform;
    const std::vector<std::pair<Words, FieldTag>> cases = {
        {{2, 0x0001}, 0x0001},        // tag in the last word
        {{2, 0x1001}, 0x1001},        // FlagWord without its word
        {{3, 0x4001, 5}, 0x4001},     // Long cut short
        {{4, 0x6001, 1, 2}, 0x6001},  // Time cut short
        {{2, 0x8001}, 0x8001},        // String without a unit
        {{2, 0xC001}, 0xC001},        // Blob without its count
        {{4, 0xC001, 5, 1}, 0xC001},  // Blob count past the end
        {{4, 0xC001, 0, 1}, 0xC001},  // Blob count 0
        {{5, 0x0002, 1, 0xC001, 0xFFFF}, 0xC001},
    };
    for (const auto& [image, tag] : cases) {
        SCOPED_TRACE(::testing::Message() << "tag " << std::hex << tag);
        PropertyRecord record(platform);
        ASSERT_EQ(LoadImage(record, image), 0);
        EXPECT_EQ(record.FindValue(tag), nullptr);
        std::uint16_t v = 7;
        EXPECT_EQ(record.GetShort(tag, &v), 0);
        EXPECT_EQ(v, 0);
        char text[8];
        EXPECT_EQ(record.GetText(tag, text, sizeof text), kFieldAbsent);
        EXPECT_EQ(record.RemoveField(tag), 0);
        EXPECT_EQ(ImageOf(record), image);
        // Setting the field inserts a whole one before the damaged rest.
        const unsigned type = FieldType(tag);
        if (type == field_type::kShort || type == field_type::kFlagWord) {
            ASSERT_EQ(record.SetShort(tag, 9), 0);
            EXPECT_EQ(record.WordCount(), static_cast<std::int32_t>(image.size()) + 2);
        } else if (type == field_type::kLong) {
            ASSERT_EQ(record.SetLong(tag, 9), 0);
            EXPECT_EQ(record.WordCount(), static_cast<std::int32_t>(image.size()) + 3);
        } else if (type == field_type::kString) {
            ASSERT_EQ(record.SetString(tag, u"\x09"), 0);
            EXPECT_EQ(record.WordCount(), static_cast<std::int32_t>(image.size()) + 3);
        } else {
            continue;  // Time and Blob fields have no setter
        }
        EXPECT_EQ(record.GetShort(tag, &v), 1);
        EXPECT_EQ(v, 9);
    }
    // A field before the damage stays readable.
    PropertyRecord record(platform);
    ASSERT_EQ(LoadImage(record, {5, 0x0002, 1, 0xC001, 0xFFFF}), 0);
    std::uint16_t v = 0;
    EXPECT_EQ(record.GetShort(0x0002, &v), 1);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(record.NextField(3), 3 + 1 + 0xFFFF);  // the raw answer, beyond L
}

TEST(DamagedRecord, SetLongOnAShortFieldAtTheEnd) {
    TestPlatform platform;
    PropertyRecord record(platform);
    ASSERT_EQ(LoadImage(record, {3, 0x0001, 5}), 0);
    // The setters do not look at the type: a Long value does not fit there.
    EXPECT_EQ(record.SetLong(0x0001, 0x10002), kRecordTooLong);
    EXPECT_EQ(ImageOf(record), Words({3, 0x0001, 5}));
}

// Random images of random lengths, biased towards tag-like words.
Words RandomImage(std::mt19937& rng) {
    const int length = 1 + static_cast<int>(rng() % 24);
    Words image(static_cast<std::size_t>(length));
    image[0] = static_cast<std::uint16_t>(length);
    const std::uint16_t types[] = {0x0000, 0x1000, 0x4000, 0x6000, 0x8000, 0xC000, 0x2000, 0xF000};
    for (int i = 1; i < length; ++i) {
        switch (rng() % 4) {
            case 0:
                image[i] = static_cast<std::uint16_t>(types[rng() % 8] | (rng() % 4));
                break;
            case 1:
                image[i] = static_cast<std::uint16_t>(rng() % 6);
                break;
            case 2:
                image[i] = 0;
                break;
            default:
                image[i] = static_cast<std::uint16_t>(rng());
                break;
        }
    }
    return image;
}

FieldTag RandomTag(std::mt19937& rng) {
    const std::uint16_t types[] = {0x0000, 0x1000, 0x4000, 0x6000, 0x8000, 0xC000, 0x2000};
    const auto tag = static_cast<FieldTag>(types[rng() % 7] | (rng() % 4));
    return tag == 0 ? 0x0001 : tag;  // a zero tag word is not a field
}

TEST(DamagedRecord, RandomGarbageImages) {
    TestPlatform platform;
    std::mt19937 rng(4242);
    for (int round = 0; round < 4000; ++round) {
        const Words image = RandomImage(rng);
        SCOPED_TRACE(round);
        // A view onto exactly L words.
        std::unique_ptr<std::uint16_t[]> exact(new std::uint16_t[image.size()]);
        std::copy(image.begin(), image.end(), exact.get());
        PropertyRecord view(platform);
        view.MakeView(exact.get());
        PropertyRecord other(platform);
        ASSERT_EQ(LoadImage(other, RandomImage(rng)), 0);

        struct Counter final : FieldVisitor {
            int visits = 0;
            std::int32_t Visit(FieldTag, const std::uint16_t*) override { return ++visits, 0; }
        } counter;
        std::int32_t end = -1;
        EXPECT_EQ(view.ForEachField(counter, &end), 0);
        EXPECT_GE(end, 1);
        EXPECT_LE(end, view.WordCount());
        for (int t = 0; t < 6; ++t) {
            // Mostly tags of the image itself, so that finds succeed as often
            // as they fail.
            FieldTag tag = RandomTag(rng);
            if (rng() % 2 == 0 && image.size() > 1) tag = image[1 + rng() % (image.size() - 1)];
            std::int32_t words = 0;
            const std::uint16_t* value = view.FindValueWords(tag, &words);
            // A find sees exactly the fields the walk visits: the first
            // visited field with the tag, or none.
            TagFinder finder(tag);
            const bool visited = view.ForEachField(finder) == kFieldFound;
            EXPECT_EQ(value, visited ? finder.found() : nullptr) << "tag " << tag;
            EXPECT_EQ(view.FindValueIndex(tag), visited ? finder.found() - exact.get() : 0);
            EXPECT_EQ(view.FindValue(tag), value);
            if (value) {
                // Every value word reported lies inside the image.
                EXPECT_GE(value, exact.get() + 2);
                EXPECT_LE(value + words, exact.get() + image.size());
                EXPECT_GE(words, 1);
            }
            std::uint16_t v = 0;
            EXPECT_EQ(view.GetShort(tag, &v), value ? 1 : 0);
            char text[20];
            std::memset(text, 0x5A, sizeof text);
            const auto size = static_cast<std::int32_t>(rng() % 8);
            view.GetText(tag, text, size);
            for (std::size_t i = static_cast<std::size_t>(size); i < sizeof text; ++i) {
                ASSERT_EQ(text[i], 0x5A);
            }
            view.CompareField(tag, other);
            other.CompareField(tag, view);
            std::int32_t position = -1;
            view.FindInsertPosition(tag, &position);
            EXPECT_GE(position, 1);
            EXPECT_LE(position, view.WordCount());
        }
        EXPECT_EQ(Words(exact.get(), exact.get() + image.size()), image);

        // Changes on an owned copy of exactly L words.
        PropertyRecord owned(platform);
        ASSERT_EQ(LoadImage(owned, image), 0);
        for (int t = 0; t < 6; ++t) {
            const FieldTag tag = RandomTag(rng);
            const std::int32_t before = owned.WordCount();
            // Each setter on the tags of its own type, as callers use them.
            const unsigned type = FieldType(tag);
            const int op = rng() % 4 == 0                                                ? 3
                           : type == field_type::kShort || type == field_type::kFlagWord ? 0
                           : type == field_type::kLong                                   ? 1
                           : type == field_type::kString                                 ? 2
                                                                                         : 3;
            switch (op) {
                case 0: {
                    ASSERT_EQ(owned.SetShort(tag, 77), 0);
                    std::uint16_t v = 0;
                    EXPECT_EQ(owned.GetShort(tag, &v), 1);
                    EXPECT_EQ(v, 77);
                    break;
                }
                case 1: {
                    ASSERT_EQ(owned.SetLong(tag, -5), 0);
                    std::int32_t words = 0;
                    const std::uint16_t* value = owned.FindValueWords(tag, &words);
                    ASSERT_NE(value, nullptr);
                    ASSERT_EQ(words, 2);
                    EXPECT_EQ(value[0], 0xFFFB);
                    EXPECT_EQ(value[1], 0xFFFF);
                    break;
                }
                case 2: {
                    ASSERT_EQ(owned.SetString(tag, u"xy"), 0);
                    std::int32_t words = 0;
                    const std::uint16_t* value = owned.FindValueWords(tag, &words);
                    ASSERT_NE(value, nullptr);
                    ASSERT_EQ(words, 3);
                    EXPECT_EQ(Words(value, value + 3), Words({'x', 'y', 0}));
                    break;
                }
                default:
                    ASSERT_EQ(owned.RemoveField(tag), 0);
                    EXPECT_LE(owned.WordCount(), before);
                    EXPECT_GE(owned.WordCount(), 1);
                    break;
            }
        }
    }
    EXPECT_EQ(platform.LiveBlocks(), 0u);
}

TEST(DamagedList, RandomGarbageContents) {
    TestPlatform platform;
    std::mt19937 rng(515);
    for (int round = 0; round < 3000; ++round) {
        SCOPED_TRACE(round);
        TestBuffer buffer;
        Bytes bytes(rng() % 40);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(rng() % 3 == 0 ? rng() : rng() % 6);
        buffer.SetBytes(bytes);
        RecordList list;
        ASSERT_EQ(list.Attach(&buffer), 0);
        std::int32_t count = 0;
        const ResultCode counted = list.CountRecords(&count);
        ASSERT_TRUE(counted == 0 || counted == kListChainBroken);
        PropertyRecord view(platform);
        const std::uint16_t* begin = reinterpret_cast<const std::uint16_t*>(buffer.Data());
        const std::uint16_t* end = begin + buffer.Size() / 2;
        for (std::int32_t n = 0; n < count + 2; ++n) {
            const ResultCode got = list.GetRecord(n, view);
            if (got == 0) {
                if (counted == 0) {
                    ASSERT_LT(n, count);
                }
                ASSERT_GE(view.GetImage(), begin);
                ASSERT_LE(view.GetImage() + view.WordCount(), end);
                // A view taken from garbage can be read field by field.
                for (FieldTag tag : {0x0001, 0x4001, 0x8001, 0xC001}) {
                    std::uint16_t v = 0;
                    view.GetShort(tag, &v);
                }
            } else {
                ASSERT_TRUE(got == kListNoSuchRecord || got == kListChainBroken);
            }
        }
        PropertyRecord record(platform);
        ASSERT_EQ(record.SetShort(0x0001, 1), 0);
        const ResultCode inserted = list.InsertRecord(static_cast<std::int32_t>(rng() % 3), record);
        if (counted == 0) {
            ASSERT_EQ(inserted, 0);
            std::int32_t after = 0;
            ASSERT_EQ(list.CountRecords(&after), 0);
            ASSERT_EQ(after, count + 1);
        }
        list.ReplaceRecord(static_cast<std::int32_t>(rng() % 3), record);
        list.DeleteRecord(static_cast<std::int32_t>(rng() % 3));
        list.Flush();
    }
}

TEST(DamagedChunks, BrokenChains) {
    TestPlatform platform;
    struct Case {
        std::vector<std::uint32_t> units;
        std::int16_t chunk;
        ResultCode located;
    };
    const std::vector<Case> cases = {
        {{3}, 1, kChunkChainBroken},  // length below 4
        {{0}, 1, kChunkChainBroken},
        {{12, 0, 0}, 1, 0},                        // exactly the content
        {{13, 0, 0}, 1, kChunkChainBroken},        // runs past the end
        {{0xFFFFFFFFu, 0}, 1, kChunkChainBroken},  // a huge length
        {{0xFFFFFFFFu, 0}, 0, 0},                  // locating chunk 0 reads nothing
        {{4, 4}, 3, kChunkMissing},
        {{4, 4}, 2, 0},  // the chunk after the last
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "first " << c.units[0] << " chunk " << c.chunk);
        TestBuffer buffer;
        Bytes bytes;
        for (std::uint32_t u : c.units) {
            for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
        }
        buffer.SetBytes(bytes);
        ChunkView view;
        view.BindView(&buffer, c.chunk);
        std::int32_t offset = 0;
        EXPECT_EQ(view.LocateChunk(&offset), c.located);
    }
    // A chunk whose own length runs past the end: its list reports the chain.
    TestBuffer buffer;
    buffer.SetBytes({4, 0, 0, 0, 40, 0, 0, 0, 1, 0, 0, 0});
    ChunkedRecordList list;
    ASSERT_EQ(list.Bind(&buffer), 0);
    std::int32_t count = 0;
    EXPECT_EQ(list.CountChunkRecords(1, &count), kChunkChainBroken);
    PropertyRecord record(platform);
    EXPECT_EQ(list.InsertChunkRecord(1, -1, record), kChunkChainBroken);
    EXPECT_EQ(list.CountChunkRecords(2, &count), kChunkChainBroken);
    TestBuffer destination;
    EXPECT_EQ(list.CopyChunk(1, destination), kChunkChainBroken);
    EXPECT_EQ(buffer.Bytes(), Bytes({4, 0, 0, 0, 40, 0, 0, 0, 1, 0, 0, 0}));
    ASSERT_EQ(list.CountChunkRecords(0, &count), 0);
}

TEST(DamagedChunks, RandomGarbageContents) {
    TestPlatform platform;
    std::mt19937 rng(8080);
    for (int round = 0; round < 3000; ++round) {
        SCOPED_TRACE(round);
        TestBuffer buffer;
        Bytes bytes(rng() % 48);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            // Length words are mostly small, so that chains of several chunks occur.
            bytes[i] =
                static_cast<std::uint8_t>(i % 4 == 0 ? rng() % 24 : (rng() % 8 == 0 ? rng() : 0));
        }
        buffer.SetBytes(bytes);
        ChunkedRecordList list;
        ASSERT_EQ(list.Bind(&buffer), 0);
        for (int op = 0; op < 8; ++op) {
            const auto chunk = static_cast<std::int16_t>(rng() % 6);
            const auto n = static_cast<std::int32_t>(rng() % 3);
            PropertyRecord record(platform);
            std::int32_t count = 0;
            switch (rng() % 6) {
                case 0:
                    list.CountChunkRecords(chunk, &count);
                    break;
                case 1:
                    if (list.GetChunkRecord(chunk, n, record) == 0) {
                        ASSERT_GE(record.GetImage(),
                                  reinterpret_cast<const std::uint16_t*>(buffer.Data()));
                        ASSERT_LE(
                            record.GetImage() + record.WordCount(),
                            reinterpret_cast<const std::uint16_t*>(buffer.Data() + buffer.Size()));
                    }
                    break;
                case 2:
                    record.SetShort(0x0001, 2);
                    list.InsertChunkRecord(chunk, -1, record);
                    break;
                case 3:
                    list.ReplaceChunkRecord(chunk, n, record);
                    break;
                case 4:
                    list.DeleteChunkRecord(chunk, n);
                    break;
                default: {
                    TestBuffer destination;
                    if (list.CopyChunk(chunk, destination) == 0) {
                        list.view().SelectChunk(chunk);
                        ASSERT_EQ(destination.Size(), list.view().Size());
                    }
                    break;
                }
            }
            // Whatever happened, the view never reaches past the content.
            list.view().SelectChunk(chunk);
            if (std::uint8_t* data = list.view().Data()) {
                ASSERT_LE(data + list.view().Size(), buffer.Data() + buffer.Size());
            }
        }
    }
}

}  // namespace
}  // namespace quillet
