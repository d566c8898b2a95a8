// Samples near the 16 MiB limit: most of the data in archive tables that no
// step rewrites, or nearly all of it in lists that the steps rewrite.

#include <gtest/gtest.h>

#include "convert/ConversionFile.h"
#include "convert/ConversionRoute.h"
#include "storage/IntegrityCheck.h"
#include "tests/support/EngineTestUtil.h"
#include "tests/support/TempDir.h"
#include "tools/SampleBuilder.h"

namespace quillet {
namespace {

using testing::TempDir;

TEST(SampleLargeTest, NearlyFullFilesBuildVerifyAndConvert) {
    TempDir dir;
    struct Case {
        int format;
        double mib;
    };
    for (const Case c : {Case{5, 15.0}, Case{4, 15.0}}) {
        SCOPED_TRACE("format " + std::to_string(c.format));
        SampleOptions o;
        o.format = c.format;
        o.seed = 3;
        o.lists = 12;
        o.items = 60;
        const std::string source = dir.File("big" + std::to_string(c.format));
        SampleClockPlatform clock(Platform::Default(), o.seed);
        SampleSummary s;
        ASSERT_EQ(BuildSampleOfSize(clock, o, static_cast<std::uint64_t>(c.mib * 1048576),
                                    source.c_str(), &s),
                  0);
        EXPECT_GT(s.fileBytes, 14u << 20);
        std::string problem;
        EXPECT_EQ(VerifySample(Platform::Default(), source.c_str(), s, &problem), 0) << problem;

        o = s.options;  // with the archive size that reached the target
        SampleSummary expected;
        ConversionFile file(Platform::Default());
        if (c.format == 5) {
            const std::string target = dir.File("big5to4");
            ASSERT_EQ(file.Convert(target.c_str(), 4, source.c_str()), 0);
            ASSERT_TRUE(ProjectSample(o, 4, &expected, &problem, 5)) << problem;
            EXPECT_EQ(VerifySample(Platform::Default(), target.c_str(), expected, &problem), 0)
                << problem;
        } else {
            ASSERT_EQ(file.Convert(source.c_str(), 3, nullptr), 0);
            ASSERT_TRUE(ProjectSample(o, 3, &expected, &problem, 4)) << problem;
            EXPECT_EQ(VerifySample(Platform::Default(), source.c_str(), expected, &problem), 0)
                << problem;
        }
    }
}

// About 10 MiB of lists in about 20000 to 30000 blocks, nearly all of the file:
// each format converts by the route the converter takes (format 4 through a
// new file, since its step cannot be held in place), keeps every record and
// ends compacted.
TEST(SampleLargeTest, ListHeavyFilesConvertByTheirRouteAndEndCompacted) {
    TempDir dir;
    for (const int format : {5, 4}) {
        SCOPED_TRACE("format " + std::to_string(format));
        SampleOptions o;
        o.format = format;
        o.seed = 11;
        o.lists = 8;
        o.items = 400;
        o.depth = 2;
        const std::string source = dir.File("heavy" + std::to_string(format));
        SampleClockPlatform clock(Platform::Default(), o.seed);
        SampleSummary s;
        ASSERT_EQ(BuildListHeavySample(clock, o, 10u << 20, source.c_str(), &s), 0);
        EXPECT_GT(s.fileBytes, 9u << 20);
        EXPECT_EQ(s.archives.size(), 0u);

        ConversionRoute route = ConversionRoute::kInPlace;
        ASSERT_EQ(ChooseConversionRoute(Platform::Default(), source.c_str(),
                                        static_cast<std::uint16_t>(format), &route),
                  0);
        EXPECT_EQ(route, ConversionRoute::kThroughTemporaryFile);
        const std::string target = dir.File("heavy-converted" + std::to_string(format));
        ConversionFile file(Platform::Default());
        ASSERT_EQ(file.Convert(target.c_str(), format - 1, source.c_str()), 0);
        SampleSummary expected;
        std::string problem;
        ASSERT_TRUE(ProjectSample(s.options, format - 1, &expected, &problem, format)) << problem;
        EXPECT_EQ(VerifySample(Platform::Default(), target.c_str(), expected, &problem), 0)
            << problem;
        DataFile converted(Platform::Default());
        bool created = false;
        ASSERT_EQ(converted.Open(target.c_str(), &created, OpenReadOnly), 0);
        ASSERT_EQ(converted.BeginAccess(false), 0);
        const IntegrityReport report = CheckIntegrity(converted);
        converted.EndAccess(0);
        EXPECT_TRUE(report.ok()) << report.Describe();
        // Compacted: the blocks in use, 1 % and 8 more, and room for the map
        // and directory blocks.
        EXPECT_LE(report.fileBlocks, report.usedBlocks + 8 + report.usedBlocks / 100 + 48)
            << "used " << report.usedBlocks;
    }
}

}  // namespace
}  // namespace quillet
