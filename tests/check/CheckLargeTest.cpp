// quillet-check on a format 4 file near the 16 MiB limit, which the converter
// takes through a temporary file: the forecast names that route, and a real
// conversion of a copy along the same route succeeds as forecast.

#include <gtest/gtest.h>

#include "check/FileReport.h"
#include "convert/ConversionFile.h"
#include "convert/ConversionRoute.h"
#include "tests/support/EngineTestUtil.h"
#include "tests/support/TempDir.h"
#include "tools/SampleBuilder.h"

namespace quillet {
namespace {

TEST(CheckLargeTest, AFormat4FileNearTheLimitIsForecastThroughATemporaryFile) {
    testing::TempDir dir;
    const std::string path = dir.File("large4.qdx");
    SampleOptions o;
    o.format = 4;
    o.seed = 5;
    o.lists = 40;
    o.items = 300;
    SampleClockPlatform clock(Platform::Default(), o.seed);
    SampleSummary s;
    ASSERT_EQ(BuildSampleOfSize(clock, o, 15u << 20, path.c_str(), &s), 0);
    const std::vector<std::uint8_t> before = testing::ReadFileBytes(path);

    const FileReport r = CheckFile(Platform::Default(), path.c_str(), nullptr);
    EXPECT_EQ(testing::ReadFileBytes(path), before);
    EXPECT_EQ(r.ExitCode(), 0);
    EXPECT_EQ(r.lists, static_cast<std::int64_t>(s.lists.size()));
    EXPECT_EQ(r.forecast.action, ConvertAction::kThroughTemporaryFile) << r.forecast.message;
    EXPECT_EQ(r.forecast.toVersion, 3);
    EXPECT_TRUE(r.forecast.dryRun);

    // The converter's own steps on the file give the same.
    ConversionRoute route = ConversionRoute::kInPlace;
    ASSERT_EQ(ChooseConversionRoute(Platform::Default(), path.c_str(), 4, &route), 0);
    EXPECT_EQ(route, ConversionRoute::kThroughTemporaryFile);
    const std::string temp = dir.File("RXV0001.TMP");
    ConversionFile conversion(Platform::Default());
    EXPECT_EQ(conversion.Convert(temp.c_str(), 3, path.c_str()), 0);
    EXPECT_EQ(testing::ReadFileBytes(temp).size(), r.forecast.convertedBytes);
}

}  // namespace
}  // namespace quillet
