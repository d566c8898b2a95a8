// Conversions of samples: the converted file reads back exactly as the
// summary of the older format says (the projection of the same options), and
// passes the integrity walk.

#include <gtest/gtest.h>

#include "convert/ConversionFile.h"
#include "tests/safety/FileState.h"
#include "tests/support/EngineTestUtil.h"
#include "tests/support/TempDir.h"
#include "tools/SampleBuilder.h"

namespace quillet {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;

class SampleConvertTest : public ::testing::Test {
  protected:
    std::string Path(const std::string& name) { return dir_.File(name); }

    void Build(const SampleOptions& o, const std::string& name) {
        SampleClockPlatform clock(Platform::Default(), o.seed);
        SampleSummary s;
        ASSERT_EQ(BuildSample(clock, o, Path(name).c_str(), &s), 0);
    }
    ResultCode Convert(const std::string& target, int version, const std::string& source) {
        ConversionFile file(Platform::Default());
        return file.Convert(Path(target).c_str(), version,
                            source.empty() ? nullptr : Path(source).c_str());
    }
    std::string VerifyAs(const std::string& name, const SampleOptions& o, int format,
                         int writtenAs) {
        SampleSummary expected;
        std::string problem;
        if (!ProjectSample(o, format, &expected, &problem, writtenAs)) return problem;
        const ResultCode rc =
            VerifySample(Platform::Default(), Path(name).c_str(), expected, &problem);
        std::string report;
        const ResultCode check = CheckSampleFile(Platform::Default(), Path(name).c_str(), &report);
        if (rc != 0) return "code " + std::to_string(rc) + ": " + problem;
        if (check != 0) return "check code " + std::to_string(check) + ": " + report;
        return "";
    }
    TempDir dir_;
};

SampleOptions Options(std::uint32_t seed, int format) {
    SampleOptions o;
    o.seed = seed;
    o.format = format;
    o.lists = 4 + static_cast<int>(seed % 5);
    o.items = 30;
    o.depth = 2 + static_cast<int>(seed % 3);
    o.archiveBytes = 20000;
    o.keepItemImages = true;
    return o;
}

TEST_F(SampleConvertTest, FiveToFourGivesTheFormatFourSample) {
    for (std::uint32_t seed : {1u, 5u, 8u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const SampleOptions o = Options(seed, 5);
        Build(o, "five");
        const auto before = ReadFileBytes(Path("five"));
        ASSERT_EQ(Convert("four", 4, "five"), 0);
        EXPECT_EQ(VerifyAs("four", o, 4, 5), "");
        EXPECT_EQ(ReadFileBytes(Path("five")), before) << "the source is only read";
        EXPECT_EQ(VerifyAs("five", o, 5, 5), "");
        Platform::Default().RemoveFile(Path("five").c_str());
        Platform::Default().RemoveFile(Path("four").c_str());
    }
}

TEST_F(SampleConvertTest, FourToThreeInPlaceGivesTheFormatThreeLayout) {
    for (std::uint32_t seed : {2u, 3u, 9u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const SampleOptions o = Options(seed, 4);
        Build(o, "four");
        ASSERT_EQ(Convert("four", 3, ""), 0);
        EXPECT_EQ(VerifyAs("four", o, 3, 4), "");
        Platform::Default().RemoveFile(Path("four").c_str());
    }
}

// Through a new file a single step reads the lists from the source into
// tables the copy left empty; the result must hold exactly what the same step
// in place gives, table by table (numbers, types, counts, record sizes,
// LastBlockUsed and every block), lists without items among them.
TEST_F(SampleConvertTest, OneStepThroughANewFileEqualsTheStepInPlace) {
    for (int format : {5, 4}) {
        for (int items : {30, 1, 0}) {
            for (std::uint32_t seed : {2u, 4u}) {
                SCOPED_TRACE("format " + std::to_string(format) + ", seed " + std::to_string(seed) +
                             ", items " + std::to_string(items));
                SampleOptions o = Options(seed, format);
                o.items = items;
                Build(o, "source");
                const auto before = ReadFileBytes(Path("source"));
                ASSERT_EQ(Convert("copied", format - 1, "source"), 0);
                EXPECT_EQ(ReadFileBytes(Path("source")), before) << "the source is only read";
                EXPECT_EQ(VerifyAs("copied", o, format - 1, format), "");
                ASSERT_EQ(Convert("source", format - 1, ""), 0);
                testing::FileState copied, inPlace;
                ASSERT_EQ(
                    testing::ReadFileState(Platform::Default(), Path("copied").c_str(), &copied),
                    0);
                ASSERT_EQ(
                    testing::ReadFileState(Platform::Default(), Path("source").c_str(), &inPlace),
                    0);
                EXPECT_TRUE(copied == inPlace) << testing::DescribeDifference(copied, inPlace);
                Platform::Default().RemoveFile(Path("source").c_str());
                Platform::Default().RemoveFile(Path("copied").c_str());
            }
        }
    }
}

TEST_F(SampleConvertTest, FiveToThreeRunsBothSteps) {
    const SampleOptions o = Options(6, 5);
    Build(o, "five");
    ASSERT_EQ(Convert("three", 3, "five"), 0);
    EXPECT_EQ(VerifyAs("three", o, 3, 5), "");
}

TEST_F(SampleConvertTest, ConvertingTwiceInStepsEqualsTheProjection) {
    SampleOptions o = Options(11, 5);
    o.tableGap = false;
    Build(o, "five");
    ASSERT_EQ(Convert("four", 4, "five"), 0);
    ASSERT_EQ(Convert("four", 3, ""), 0);
    EXPECT_EQ(VerifyAs("four", o, 3, 5), "");
    // Format 3 converts no further, and the refusal leaves the file as it was.
    const auto before = ReadFileBytes(Path("four"));
    EXPECT_EQ(Convert("four", 3, ""), 46);
    EXPECT_EQ(ReadFileBytes(Path("four")), before);
}

}  // namespace
}  // namespace quillet
