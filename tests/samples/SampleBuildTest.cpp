// Sample files of every format: they open, pass the integrity walk, read back
// through the record layer exactly as their summaries say, follow from their
// seed byte for byte, and grow with their knobs.

#include <gtest/gtest.h>

#include "container/DataFile.h"
#include "tests/support/EngineTestUtil.h"
#include "tests/support/TempDir.h"
#include "tools/SampleBuilder.h"

namespace quillet {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

class SampleBuildTest : public ::testing::Test {
  protected:
    ResultCode Build(const SampleOptions& o, const std::string& name, SampleSummary* s) {
        SampleClockPlatform clock(Platform::Default(), o.seed);
        return BuildSample(clock, o, dir_.File(name).c_str(), s);
    }
    std::string Verify(const std::string& name, const SampleSummary& s) {
        std::string problem;
        const ResultCode rc =
            VerifySample(Platform::Default(), dir_.File(name).c_str(), s, &problem);
        return rc == 0 ? std::string() : "code " + std::to_string(rc) + ": " + problem;
    }
    std::string Check(const std::string& name) {
        std::string report;
        const ResultCode rc =
            CheckSampleFile(Platform::Default(), dir_.File(name).c_str(), &report);
        return rc == 0 ? std::string() : "code " + std::to_string(rc) + ": " + report;
    }
    TempDir dir_;
};

TEST_F(SampleBuildTest, EveryFormatReadsBackAsItsSummarySays) {
    for (int format : {5, 4, 3}) {
        for (std::uint32_t seed : {1u, 2u, 31u}) {
            SCOPED_TRACE("format " + std::to_string(format) + " seed " + std::to_string(seed));
            SampleOptions o;
            o.format = format;
            o.seed = seed;
            o.lists = 5 + static_cast<int>(seed % 4);
            o.items = 40;
            o.depth = 3;
            o.archiveBytes = 30000;
            o.keepItemImages = true;
            const std::string name = "s" + std::to_string(format) + "-" + std::to_string(seed);
            SampleSummary s;
            ASSERT_EQ(Build(o, name, &s), 0);
            EXPECT_EQ(s.format, format);
            EXPECT_EQ(Verify(name, s), "");
            EXPECT_EQ(Check(name), "");
            // The summary is the projection of the options, with the same
            // table numbers.
            SampleSummary projected;
            ASSERT_TRUE(ProjectSample(o, format, &projected, nullptr));
            EXPECT_EQ(projected.listIndexTable, s.listIndexTable);
            EXPECT_EQ(projected.gapTable, s.gapTable);
            EXPECT_EQ(projected.archives.at(0).table, s.archives.at(0).table);
            EXPECT_EQ(Verify(name, projected), "");
        }
    }
}

TEST_F(SampleBuildTest, EdgeShapesBuildAndReadBack) {
    struct Shape {
        int lists, folders, items, depth, columns;
    };
    const Shape shapes[] = {
        {0, 0, 0, 1, 1},    // an empty outline
        {0, 4, 10, 4, 3},   // folders only
        {3, 0, 0, 1, 12},   // lists without items, no folders
        {1, 1, 5, 16, 40},  // deepest levels, most columns
        {20, 15, 2, 16, 2},
    };
    int n = 0;
    for (int format : {5, 4, 3}) {
        for (const Shape& sh : shapes) {
            SampleOptions o;
            o.format = format;
            o.seed = static_cast<std::uint32_t>(100 + n);
            o.lists = sh.lists;
            o.folders = sh.folders;
            o.items = sh.items;
            o.depth = sh.depth;
            o.columns = sh.columns;
            o.keepItemImages = true;
            const std::string name = "edge" + std::to_string(n++);
            SCOPED_TRACE(name + " format " + std::to_string(format));
            SampleSummary s;
            ASSERT_EQ(Build(o, name, &s), 0);
            EXPECT_EQ(Verify(name, s), "");
            EXPECT_EQ(Check(name), "");
        }
    }
}

// The verification is only worth something if it notices damage: a changed
// byte in the middle of the file, and a summary that says something else.
TEST_F(SampleBuildTest, VerificationNoticesChangedBytesAndWrongSummaries) {
    for (int format : {5, 3}) {
        SampleOptions o;
        o.format = format;
        o.lists = 3;
        o.items = 30;
        SampleSummary s;
        const std::string name = "v" + std::to_string(format);
        ASSERT_EQ(Build(o, name, &s), 0);
        ASSERT_EQ(Verify(name, s), "");

        SampleSummary wrong = s;
        wrong.lists[1].header.back() ^= 1;
        EXPECT_NE(Verify(name, wrong), "");
        wrong = s;
        wrong.lists[2].itemHash ^= 1;
        EXPECT_NE(Verify(name, wrong), "");
        wrong = s;
        wrong.appArea[40] ^= 0x10;
        EXPECT_NE(Verify(name, wrong), "");
        wrong = s;
        wrong.entries.pop_back();
        EXPECT_NE(Verify(name, wrong), "");

        // Flip one bit in every seventh block in turn. Nearly every block holds
        // table content or block maps, so most flips must be noticed (a flip
        // in a free block or past the end of a table's content is not).
        const std::vector<std::uint8_t> original = ReadFileBytes(dir_.File(name));
        ASSERT_EQ(original.size(), s.fileBytes);
        int noticed = 0, tried = 0;
        for (std::size_t block = 2; block * 512 < original.size(); block += 7) {
            std::vector<std::uint8_t> bytes = original;
            bytes[block * 512 + 300] ^= 0x04;
            ASSERT_TRUE(WriteFileBytes(dir_.File(name), bytes));
            noticed += Verify(name, s) != "";
            ++tried;
        }
        ASSERT_TRUE(WriteFileBytes(dir_.File(name), original));
        EXPECT_GE(noticed * 2, tried) << noticed << " of " << tried;
        EXPECT_EQ(Verify(name, s), "");
    }
}

TEST_F(SampleBuildTest, TheSameSeedGivesTheSameBytes) {
    for (int format : {5, 4, 3}) {
        SampleOptions o;
        o.format = format;
        o.seed = 12345;
        o.lists = 6;
        o.items = 25;
        o.archiveBytes = 9000;
        SampleSummary a, b, c;
        ASSERT_EQ(Build(o, "a", &a), 0);
        ASSERT_EQ(Build(o, "b", &b), 0);
        o.seed = 12346;
        ASSERT_EQ(Build(o, "c", &c), 0);
        const auto bytesA = ReadFileBytes(dir_.File("a"));
        EXPECT_FALSE(bytesA.empty());
        EXPECT_EQ(bytesA, ReadFileBytes(dir_.File("b"))) << "format " << format;
        EXPECT_NE(bytesA, ReadFileBytes(dir_.File("c"))) << "format " << format;
        for (const char* n : {"a", "b", "c"}) Platform::Default().RemoveFile(dir_.File(n).c_str());
    }
}

TEST_F(SampleBuildTest, SizesGrowWithTheKnobs) {
    auto size = [&](int lists, int items, std::int64_t archive) {
        SampleOptions o;
        o.lists = lists;
        o.items = items;
        o.archiveBytes = archive;
        SampleSummary s;
        const std::string name = "k" + std::to_string(lists) + "-" + std::to_string(items) + "-" +
                                 std::to_string(archive);
        EXPECT_EQ(Build(o, name, &s), 0);
        EXPECT_EQ(ReadFileBytes(dir_.File(name)).size(), s.fileBytes);
        return s.fileBytes;
    };
    const std::uint64_t base = size(4, 50, 0);
    EXPECT_GT(size(4, 200, 0), base * 3);
    EXPECT_GT(size(16, 50, 0), base * 3);
    const std::uint64_t archived = size(4, 50, 400000);
    EXPECT_GE(archived, base + 400000);
    EXPECT_LE(archived, base + 420000);
    EXPECT_LT(size(1, 1, 0), 16384u) << "a few kilobytes at the small end";
}

TEST_F(SampleBuildTest, TargetSizeIsReachedWithinTwoPercent) {
    for (double mib : {0.5, 2.0}) {
        SampleOptions o;
        o.format = 4;
        SampleSummary s;
        const auto target = static_cast<std::uint64_t>(mib * 1048576);
        const std::string name = "t" + std::to_string(target);
        SampleClockPlatform clock(Platform::Default(), o.seed);
        ASSERT_EQ(BuildSampleOfSize(clock, o, target, dir_.File(name).c_str(), &s), 0);
        const std::uint64_t got = ReadFileBytes(dir_.File(name)).size();
        EXPECT_NEAR(static_cast<double>(got), static_cast<double>(target), target * 0.02);
        EXPECT_EQ(Verify(name, s), "");
    }
}

TEST_F(SampleBuildTest, AnExistingFileIsNeverReplaced) {
    const std::vector<std::uint8_t> content = {1, 2, 3, 4, 5};
    ASSERT_TRUE(WriteFileBytes(dir_.File("taken"), content));
    SampleOptions o;
    SampleSummary s;
    EXPECT_EQ(Build(o, "taken", &s), -80);
    EXPECT_EQ(ReadFileBytes(dir_.File("taken")), content);
}

}  // namespace
}  // namespace quillet
