#pragma once
// A data file in a temporary folder, on the real platform or on the in-memory
// power-loss platform, with helpers to run work in accesses and to check the
// file's integrity.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "container/DataFile.h"
#include "platform/LittleEndian.h"
#include "storage/IntegrityCheck.h"
#include "tests/support/EngineTestUtil.h"
#include "tests/support/TempDir.h"

namespace quillet::testing {

// Expects the file to pass the integrity walk.
#define EXPECT_SOUND(file) EXPECT_EQ(::quillet::testing::IntegrityFindings(file), "")
#define ASSERT_SOUND(file) ASSERT_EQ(::quillet::testing::IntegrityFindings(file), "")

inline ResultCode InAccess(DataFile& file, bool write, const std::function<ResultCode()>& work) {
    const ResultCode begun = file.BeginAccess(write);
    if (begun != 0) return begun;
    return file.EndAccess(work());
}

class DiskFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        path_ = dir_.File("engine.qdx");
    }
    // Opens (creating when missing) the file at path_ into file_. By default
    // others may read it, so that a test can look at the bytes on disk while
    // the file is open (Windows refuses any other open of an unshared file).
    ResultCode OpenFile(std::uint32_t flags = OpenShareRead, bool* created = nullptr) {
        file_ = std::make_unique<DataFile>(platform());
        bool made = false;
        const ResultCode r = file_->Open(path_.c_str(), &made, flags);
        if (created) *created = made;
        return r;
    }
    void Reopen(std::uint32_t flags = OpenShareRead) {
        file_.reset();
        ASSERT_EQ(OpenFile(flags), 0);
        ASSERT_SOUND(*file_);
    }
    ResultCode Write(const std::function<ResultCode()>& work) {
        return InAccess(*file_, true, work);
    }
    ResultCode Read(const std::function<ResultCode()>& work) {
        return InAccess(*file_, false, work);
    }

    virtual Platform& platform() { return Platform::Default(); }

    TempDir dir_;
    std::string path_;
    std::unique_ptr<DataFile> file_;
};

// A one-shot table creation inside an access.
inline ResultCode MakeTable(DataFile& file, std::uint16_t number, std::uint8_t type = 3) {
    std::uint16_t t = number;
    return file.CreateTable(&t, type, 0);
}

inline std::uint16_t DescriptorField16(DataFile& file, std::uint16_t table, std::size_t offset) {
    std::uint8_t d[kDescriptorSize] = {};
    if (file.ReadTableDescriptor(table, d) != 0) return 0xdead;
    return Load16(d + offset);
}

}  // namespace quillet::testing
