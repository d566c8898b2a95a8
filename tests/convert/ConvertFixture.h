#pragma once
// Shared setup of the conversion tests: a temporary folder, the platform, and
// the checks every conversion result gets.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "convert/ConversionFile.h"
#include "platform/Platform.h"
#include "tests/convert/TestData.h"
#include "tests/support/EngineTestUtil.h"
#include "tests/support/TempDir.h"

namespace quillet::testing {

class ConvertFixture : public ::testing::Test {
  protected:
    Platform& platform_ = Platform::Default();
    TempDir dir_;

    std::string Path(const std::string& name) const { return dir_.File(name); }

    ResultCode ConvertInPlace(const std::string& path, int version) {
        ConversionFile file(platform_);
        return file.Convert(path.c_str(), version, nullptr);
    }
    ResultCode ConvertCopy(const std::string& target, int version, const std::string& source) {
        ConversionFile file(platform_);
        return file.Convert(target.c_str(), version, source.c_str());
    }

    // The integrity walk finds nothing, and the file is exactly FileBlocks
    // blocks long.
    void ExpectSound(const std::string& path) {
        const FileCheck check = CheckFile(platform_, path);
        ASSERT_EQ(check.open, 0);
        EXPECT_EQ(check.findings, "");
        EXPECT_EQ(check.fileSize, std::uint64_t{check.fileBlocks} * 512);
    }

    // Sound, and compacted: beyond the blocks in use only the few that the
    // compaction's estimate keeps in reserve remain (a handful, plus one per
    // 256 free-list entries and per index block it had to rewrite).
    void ExpectCompacted(const std::string& path) {
        ExpectSound(path);
        const FileCheck check = CheckFile(platform_, path);
        EXPECT_LE(check.fileBlocks, check.usedBlocks + 16 + check.usedBlocks / 100)
            << "used " << check.usedBlocks << " free " << check.freeBlocks;
    }

    std::vector<std::uint8_t> AppHeader(const std::string& path) {
        std::vector<std::uint8_t> app(64);
        EXPECT_EQ(ReadAppHeader(platform_, path, app.data()), 0);
        return app;
    }
};

inline std::uint16_t Word(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

// AppHeader bytes 6, 7 and 12..63 as built.
inline void ExpectAppFillerKept(const std::vector<std::uint8_t>& app) {
    for (std::size_t i : {std::size_t{6}, std::size_t{7}}) EXPECT_EQ(app[i], AppFiller(i)) << i;
    for (std::size_t i = 12; i < 64; ++i) EXPECT_EQ(app[i], AppFiller(i)) << i;
}

}  // namespace quillet::testing
