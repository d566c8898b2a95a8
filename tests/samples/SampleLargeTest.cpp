// Samples near the 16 MiB limit, shaped so that the conversions stay within
// the free list's limit: most of the data lies in archive tables that no step
// rewrites.

#include <gtest/gtest.h>

#include "convert/ConversionFile.h"
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

}  // namespace
}  // namespace quillet
