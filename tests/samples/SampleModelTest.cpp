// The sample model without files: record images, the outline, and the
// projections to formats 4 and 3 that conversions are checked against.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "tools/SampleBuilder.h"

namespace quillet {
namespace {

std::uint16_t ShortOf(const WordImage& image, std::uint16_t tag, bool* present = nullptr) {
    ImageBuilder b;
    EXPECT_TRUE(ParseImage(image, &b)) << DescribeImage(image);
    for (const auto& f : b.fields())
        if (f.tag == tag) {
            if (present) *present = true;
            return f.values[0];
        }
    if (present) *present = false;
    return 0;
}

bool HasField(const WordImage& image, std::uint16_t tag) {
    bool present = false;
    ShortOf(image, tag, &present);
    return present;
}

SampleSummary Project(const SampleOptions& o, int format, int writtenAs = 0) {
    SampleSummary s;
    std::string problem;
    EXPECT_TRUE(ProjectSample(o, format, &s, &problem, writtenAs)) << problem;
    return s;
}

TEST(ImageBuilderTest, SortsFieldsIntoFieldOrderWhateverTheOrderGiven) {
    ImageBuilder b;
    b.String(0x8001, u"ab");
    b.Short(0x0001, 5);
    b.Long(0x4001, -2);
    b.Short(0x0002, 7);
    const WordImage want = {12,     0x0001, 5,      0x4001, 0xFFFE, 0xFFFF,
                            0x8001, 0x0061, 0x0062, 0x0000, 0x0002, 7};
    EXPECT_EQ(b.Image(), want) << DescribeImage(b.Image());
}

TEST(ImageBuilderTest, TimeAndBlobLayoutsAndParsingRoundTrip) {
    ImageBuilder b;
    b.Blob(0xC029, {0x1111, 0x2222});
    b.Time(0x6007, 0x0123456789ABCDEFull);
    const WordImage image = b.Image();
    // Field 7 before field 41; the blob counts its own count word.
    const WordImage want = {10, 0x6007, 0xCDEF, 0x89AB, 0x4567, 0x0123, 0xC029, 3, 0x1111, 0x2222};
    EXPECT_EQ(image, want) << DescribeImage(image);
    ImageBuilder back;
    ASSERT_TRUE(ParseImage(image, &back));
    EXPECT_EQ(back.Image(), image);
    // Damaged images are refused: wrong length word, string without its zero,
    // blob running past the end.
    EXPECT_FALSE(ParseImage({3, 0x0001}, &back));
    EXPECT_FALSE(ParseImage({3, 0x8001, 0x41}, &back));
    EXPECT_FALSE(ParseImage({3, 0xC001, 5}, &back));
}

TEST(SampleModelTest, OutlineHasTheRequestedShapeAndValidLevels) {
    for (std::uint32_t seed : {1u, 2u, 3u, 77u, 1000u}) {
        SampleOptions o;
        o.seed = seed;
        o.lists = 12;
        o.folders = 7;
        o.depth = 4;
        const SampleSummary s = Project(o, 5);
        ASSERT_EQ(s.entries.size(), 19u);
        ASSERT_EQ(s.lists.size(), 12u);
        std::set<std::int16_t> ids;
        int allowed = 0, deepest = 0;
        std::map<int, std::int16_t> lastFolderAt;
        for (const SampleEntry& e : s.entries) {
            EXPECT_TRUE(ids.insert(e.identifier).second) << "identifier used twice";
            EXPECT_GT(e.identifier, 0);
            EXPECT_LE(e.level, allowed) << "an entry deeper than its parent allows";
            EXPECT_LT(e.level, o.depth);
            // The parent is the latest folder one level up (independent of the
            // builder's own parent table).
            const std::int16_t parent = e.level == 0 ? 0 : lastFolderAt[e.level - 1];
            EXPECT_EQ(e.parent, parent);
            EXPECT_EQ(ShortOf(e.image, 0x0009), e.level);
            EXPECT_EQ(ShortOf(e.image, 0x002A), static_cast<std::uint16_t>(e.identifier));
            if (e.isList) {
                allowed = e.level;
                EXPECT_EQ(ShortOf(e.image, 0x0029),
                          s.lists[static_cast<std::size_t>(e.list)].table);
            } else {
                allowed = e.level + 1;
                lastFolderAt[e.level] = e.identifier;
                EXPECT_EQ(ShortOf(e.image, 0x0029), 0);
            }
            deepest = std::max(deepest, static_cast<int>(e.level));
        }
        EXPECT_EQ(deepest, o.depth - 1) << "seed " << seed;
    }
}

TEST(SampleModelTest, FormatFiveListsCarryEveryColumnTypeAndTheFormatFiveFields) {
    SampleOptions o;
    o.lists = 5;
    const SampleSummary s = Project(o, 5);
    for (const SampleList& l : s.lists) {
        std::set<std::uint16_t> types(l.columnTypes.begin(), l.columnTypes.end());
        EXPECT_EQ(types.size(), 12u);
        EXPECT_EQ(*types.rbegin(), 11);
        EXPECT_TRUE(HasField(l.header, 0x4028));
        EXPECT_TRUE(HasField(l.header, 0xC029));
        EXPECT_TRUE(HasField(l.header, 0x802A));
        ASSERT_GE(l.chunk4.size(), 1u);
        for (const WordImage& c : l.columns) {
            EXPECT_TRUE(HasField(c, 0x0008));
            EXPECT_TRUE(HasField(c, 0x0009));
            EXPECT_TRUE(HasField(c, 0x000A));
            EXPECT_TRUE(HasField(c, 0x8002));
        }
    }
}

TEST(SampleModelTest, ItemsHoldNonAsciiTextTimesAndBlobs) {
    SampleOptions o;
    o.lists = 2;
    o.items = 60;
    o.keepItemImages = true;
    const SampleSummary s = Project(o, 5);
    int nonAscii = 0, surrogates = 0, times = 0, blobs = 0, longs = 0;
    for (const SampleList& l : s.lists) {
        ASSERT_EQ(l.items.size(), static_cast<std::size_t>(l.itemCount));
        std::uint64_t hash = kHashStart, bytes = 0;
        for (const WordImage& item : l.items) {
            hash = HashWords(hash, item);
            bytes += item.size() * 2;
            ImageBuilder b;
            ASSERT_TRUE(ParseImage(item, &b));
            for (const auto& f : b.fields()) {
                switch (f.tag >> 12) {
                    case 4:
                        ++longs;
                        break;
                    case 6:
                        ++times;
                        break;
                    case 12:
                        ++blobs;
                        break;
                    case 8:
                        for (std::uint16_t u : f.values) {
                            nonAscii += u > 0x7F;
                            surrogates += u >= 0xD800 && u < 0xDC00;
                        }
                        break;
                }
            }
        }
        EXPECT_EQ(hash, l.itemHash);
        EXPECT_EQ(bytes, l.itemBytes);
    }
    EXPECT_GT(nonAscii, 0);
    EXPECT_GT(surrogates, 0);
    EXPECT_GT(times, 0);
    EXPECT_GT(blobs, 0);
    EXPECT_GT(longs, 0);
}

// The format 4 projection is exactly what the step from 5 to 4 makes of the
// format 5 one: three header fields and the first record of chunk 4 go, and
// nothing else changes.
TEST(SampleModelTest, FormatFourIsFormatFiveLessTheStepFields) {
    SampleOptions o;
    o.seed = 9;
    o.lists = 6;
    o.archiveBytes = 20000;
    const SampleSummary five = Project(o, 5), four = Project(o, 4, 5);
    ASSERT_EQ(five.lists.size(), four.lists.size());
    EXPECT_EQ(four.appArea[2], 4);
    for (std::size_t i = 0; i < 256; ++i) {
        if (i != 2) {
            EXPECT_EQ(four.appArea[i], five.appArea[i]) << "byte " << i;
        }
    }
    for (std::size_t i = 0; i < five.entries.size(); ++i)
        EXPECT_EQ(four.entries[i].image, five.entries[i].image);
    for (std::size_t i = 0; i < five.lists.size(); ++i) {
        const SampleList &a = five.lists[i], &b = four.lists[i];
        ImageBuilder h;
        ASSERT_TRUE(ParseImage(a.header, &h));
        h.Remove(0x4028);
        h.Remove(0xC029);
        h.Remove(0x802A);
        EXPECT_EQ(b.header, h.Image());
        EXPECT_EQ(b.table, a.table);
        EXPECT_EQ(b.columns, a.columns);
        EXPECT_EQ(b.chunk3, a.chunk3);
        ASSERT_EQ(b.chunk4.size() + 1, a.chunk4.size());
        EXPECT_TRUE(std::equal(b.chunk4.begin(), b.chunk4.end(), a.chunk4.begin() + 1));
        EXPECT_EQ(b.itemHash, a.itemHash);
    }
    ASSERT_EQ(four.archives.size(), five.archives.size());
    EXPECT_EQ(four.archives[0].hash, five.archives[0].hash);
    // A file built in format 4 has the same content.
    const SampleSummary native = Project(o, 4);
    for (std::size_t i = 0; i < native.lists.size(); ++i)
        EXPECT_EQ(native.lists[i].header, four.lists[i].header);
}

TEST(SampleModelTest, FormatThreeRearrangesOutlineColumnsAndTables) {
    SampleOptions o;
    o.seed = 4;
    o.lists = 9;
    o.folders = 6;
    o.depth = 3;
    const SampleSummary four = Project(o, 4), three = Project(o, 3, 4);
    // Tables: the old index (2) is gone; the gap (4, after the first list)
    // and the next free numbers hold the three new lists.
    EXPECT_EQ(four.listIndexTable, 2);
    EXPECT_EQ(four.gapTable, 4);
    EXPECT_EQ(three.listIndexTable, 4);
    EXPECT_EQ(three.folderTable, 13);
    EXPECT_EQ(three.columnTable, 14);
    EXPECT_EQ(three.appArea[4], 4);
    EXPECT_EQ(three.appArea[8], 13);
    EXPECT_EQ(three.appArea[10], 14);
    int folder = 0;
    for (const SampleEntry& e : three.entries) {
        if (e.isList) continue;
        ++folder;
        EXPECT_EQ(ShortOf(e.image, 0x0001), static_cast<std::uint16_t>(e.identifier));
        EXPECT_EQ(ShortOf(e.image, 0x0023), static_cast<std::uint16_t>(e.parent));
        EXPECT_EQ(HasField(e.image, 0x8003), folder != 3) << "the third folder has no name";
        EXPECT_EQ(e.image.size(), folder == 3 ? 5u : 7u + e.name.size());
    }
    for (std::size_t i = 0; i < three.lists.size(); ++i) {
        const SampleList& l = three.lists[i];
        EXPECT_EQ(l.table, four.lists[i].table);
        EXPECT_EQ(ShortOf(l.header, 0x0002), l.table);
        EXPECT_EQ(ShortOf(l.header, 0x0001), static_cast<std::uint16_t>(l.identifier));
        EXPECT_TRUE(l.chunk3.empty() && l.chunk4.empty());
        EXPECT_EQ(l.itemHash, four.lists[i].itemHash);
    }
    // The column list: sorted by list identifier, then column identifier;
    // types 10 and 11 became 4 and 0; field 8 only on Yes/No columns.
    ASSERT_EQ(three.columnList.size(), 9u * 12u);
    std::pair<int, int> last = {-40000, 0};
    int yesNo = 0;
    for (const WordImage& c : three.columnList) {
        const std::pair<int, int> key = {static_cast<std::int16_t>(ShortOf(c, 0x0003)),
                                         static_cast<std::int16_t>(ShortOf(c, 0x0001))};
        EXPECT_LT(last, key);
        last = key;
        const std::uint16_t type = ShortOf(c, 0x0004);
        EXPECT_LE(type, 9);
        EXPECT_EQ(HasField(c, 0x0008), type == 7);
        yesNo += type == 7;
        EXPECT_FALSE(HasField(c, 0x0009));
        EXPECT_FALSE(HasField(c, 0x000A));
    }
    EXPECT_EQ(yesNo, 9);
}

TEST(SampleModelTest, KnobsOutsideTheirRangesAreRefused) {
    SampleSummary s;
    std::string problem;
    SampleOptions o;
    o.format = 6;
    EXPECT_FALSE(ProjectSample(o, 6, &s, &problem));
    o = SampleOptions();
    o.lists = 151;
    EXPECT_FALSE(ProjectSample(o, 5, &s, &problem));
    o = SampleOptions();
    o.depth = 0;
    EXPECT_FALSE(ProjectSample(o, 5, &s, &problem));
    o = SampleOptions();
    EXPECT_FALSE(ProjectSample(o, 4, &s, &problem, 3)) << "no conversion goes up";
    EXPECT_TRUE(ProjectSample(o, 3, &s, &problem, 5));
}

TEST(SampleCommandTest, ParsesKnobsAndRefusesBadInput) {
    const char* good[] = {"--format", "4",    "--seed",  "7", "--lists",      "3",
                          "--items",  "10",   "--depth", "2", "--target-mib", "1.5",
                          "--out",    "x.qdx"};
    SampleCommand c;
    std::string message;
    ASSERT_TRUE(ParseSampleCommand(14, good, &c, &message)) << message;
    EXPECT_EQ(c.options.format, 4);
    EXPECT_EQ(c.options.seed, 7u);
    EXPECT_EQ(c.options.lists, 3);
    EXPECT_EQ(c.options.items, 10);
    EXPECT_EQ(c.options.depth, 2);
    EXPECT_DOUBLE_EQ(c.targetMib, 1.5);
    EXPECT_EQ(c.out, "x.qdx");

    const char* badFormat[] = {"--format", "6", "--out", "x"};
    EXPECT_FALSE(ParseSampleCommand(4, badFormat, &c, &message));
    const char* trailing[] = {"--items", "12x", "--out", "x"};
    EXPECT_FALSE(ParseSampleCommand(4, trailing, &c, &message));
    const char* missing[] = {"--out"};
    EXPECT_FALSE(ParseSampleCommand(1, missing, &c, &message));
    const char* noOut[] = {"--format", "5"};
    EXPECT_FALSE(ParseSampleCommand(2, noOut, &c, &message));
    const char* unknown[] = {"--colour", "red", "--out", "x"};
    EXPECT_FALSE(ParseSampleCommand(4, unknown, &c, &message));
}

}  // namespace
}  // namespace quillet
