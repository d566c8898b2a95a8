#pragma once
// A data file in a temporary folder for the record tests that need the
// storage engine, with a settable clock on top of the real platform.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "container/DataFile.h"
#include "platform/LittleEndian.h"
#include "storage/IntegrityCheck.h"
#include "tests/support/TempDir.h"
#include "platform/WrappingPlatform.h"

namespace quillet::testing {

// The real platform with a fixed local time and tick count.
class ClockPlatform final : public WrappingPlatform {
  public:
    explicit ClockPlatform(Platform& inner) : WrappingPlatform(inner) {}
    SystemTime LocalTime() override { return now; }
    std::uint32_t TickCount() override { return ticks; }
    void* LocalAllocZeroed(std::size_t bytes) override {
        return failLocalAlloc ? nullptr : WrappingPlatform::LocalAllocZeroed(bytes);
    }
    SystemTime now;
    std::uint32_t ticks = 0;
    bool failLocalAlloc = false;
};

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        path_ = dir_.File("records.qdx");
        OpenFile();
    }

    void OpenFile() {
        file_ = std::make_unique<DataFile>(platform_);
        bool created = false;
        ASSERT_EQ(file_->Open(path_.c_str(), &created, 0), 0);
    }
    void TearDown() override {
        if (file_) ExpectIntact();
    }
    // Closes the file and opens it again, so that everything read afterwards
    // comes from the disk, and checks the block tree of what was committed.
    void Reopen() {
        file_.reset();
        OpenFile();
        ExpectIntact();
    }
    // No block of the committed file is lost, shared or out of range.
    void ExpectIntact() {
        ASSERT_EQ(file_->BeginAccess(false), 0);
        const IntegrityReport report = CheckIntegrity(*file_);
        file_->EndAccess(0);
        EXPECT_TRUE(report.ok()) << report.Describe();
    }
    // Runs `work` in a write access; EndAccess commits when it returns 0.
    ResultCode InWriteAccess(const std::function<ResultCode()>& work) {
        const ResultCode begun = file_->BeginAccess(true);
        if (begun) return begun;
        return file_->EndAccess(work());
    }
    ResultCode InReadAccess(const std::function<ResultCode()>& work) {
        const ResultCode begun = file_->BeginAccess(false);
        if (begun) return begun;
        return file_->EndAccess(work());
    }
    // The descriptor of `table`, read in its own access.
    std::vector<std::uint8_t> Descriptor(std::uint16_t table) {
        std::vector<std::uint8_t> d(kDescriptorSize);
        EXPECT_EQ(InReadAccess([&] { return file_->ReadTableDescriptor(table, d.data()); }), 0);
        return d;
    }
    std::uint16_t BlockCount(std::uint16_t table) {
        return Load16(Descriptor(table).data() + descriptor::kBlockCount);
    }
    std::uint16_t LastBlockUsed(std::uint16_t table) {
        return Load16(Descriptor(table).data() + descriptor::kLastBlockUsed);
    }
    // The stored bytes of the table's data blocks, as the engine reads them.
    std::vector<std::uint8_t> RawBlocks(std::uint16_t table) {
        std::vector<std::uint8_t> raw;
        const std::uint16_t count = BlockCount(table);
        EXPECT_EQ(InReadAccess([&]() -> ResultCode {
                      for (std::uint16_t i = 0; i < count; ++i) {
                          BlockRef block(*file_);
                          const ResultCode r = file_->GetBlock(table, i, block.Out());
                          if (r) return r;
                          raw.insert(raw.end(), block.data(), block.data() + kBlockSize);
                      }
                      return 0;
                  }),
                  0);
        return raw;
    }
    // Where data block `index` of `table` lies in the file.
    BlockNumber PlaceOf(std::uint16_t table, std::uint16_t index) {
        BlockNumber number = 0;
        EXPECT_EQ(InReadAccess([&] { return file_->GetBlockNumber(table, index, &number); }), 0);
        return static_cast<BlockNumber>(number & kBlockNumberMask);
    }

    TempDir dir_;
    ClockPlatform platform_{Platform::Default()};
    std::string path_;
    std::unique_ptr<DataFile> file_;
};

}  // namespace quillet::testing
