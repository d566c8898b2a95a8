// The fault-injecting platform fails exactly the calls it was told to, counts
// every call, and otherwise passes everything through.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/platform/UniqueName.h"
#include "tests/support/FaultPlatform.h"
#include "tests/support/TempDir.h"

namespace quillet::testing {
namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::unique_ptr<File> OpenRw(Platform& platform, const std::string& path) {
    std::unique_ptr<File> file;
    // Shared, so that the test can read the file meanwhile (Windows keeps
    // everyone else out of a file opened without sharing).
    EXPECT_EQ(platform.OpenFile(path.c_str(), FileAccess::kReadWrite, FileShare::kReadWrite,
                                FileDisposition::kOpenAlways, &file),
              win32::kSuccess);
    return file;
}

TEST(FaultPlatform, FailsExactlyTheNthWriteAndCountsEveryOne) {
    TempDir dir;
    FaultPlatform faults(Platform::Default());
    faults.FailCall(FaultKind::kWrite, 3, win32::kDiskFull);
    const std::string path = dir.File("data");
    auto file = OpenRw(faults, path);
    std::uint32_t written = 99;
    EXPECT_EQ(file->Write("a", 1, &written), win32::kSuccess);
    EXPECT_EQ(file->Write("b", 1, &written), win32::kSuccess);
    EXPECT_EQ(file->Write("c", 1, &written), win32::kDiskFull);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(file->Write("d", 1, &written), win32::kSuccess);
    EXPECT_EQ(ReadAll(path), "abd");  // the failed write changed nothing
    EXPECT_EQ(faults.Count(FaultKind::kWrite), 4u);
    EXPECT_EQ(faults.Count(FaultKind::kRead), 0u);
    EXPECT_EQ(faults.Count(FaultKind::kOpen), 1u);
    EXPECT_EQ(faults.InjectedFailures(), 1u);
}

TEST(FaultPlatform, AShortWriteWritesHalfAndReportsIt) {
    TempDir dir;
    FaultPlatform faults(Platform::Default());
    faults.ShortWriteAt(1, win32::kDiskFull);
    const std::string path = dir.File("data");
    auto file = OpenRw(faults, path);
    std::uint32_t written = 0;
    EXPECT_EQ(file->Write("12345678", 8, &written), win32::kDiskFull);
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(ReadAll(path), "1234");
}

TEST(FaultPlatform, FailFromKeepsFailingAndClearingStops) {
    TempDir dir;
    FaultPlatform faults(Platform::Default());
    const std::string path = dir.File("data");
    auto file = OpenRw(faults, path);
    faults.FailFrom(FaultKind::kFlush, 2, win32::kGenFailure);
    EXPECT_EQ(file->Flush(), win32::kSuccess);
    EXPECT_EQ(file->Flush(), win32::kGenFailure);
    EXPECT_EQ(file->Flush(), win32::kGenFailure);
    faults.ClearFaults();
    EXPECT_EQ(file->Flush(), win32::kSuccess);
    EXPECT_EQ(faults.Count(FaultKind::kFlush), 4u);
    faults.ResetCounts();
    EXPECT_EQ(faults.Count(FaultKind::kFlush), 0u);
}

TEST(FaultPlatform, ReadsSeeksAndEndOfFileFailWithoutEffect) {
    TempDir dir;
    FaultPlatform faults(Platform::Default());
    const std::string path = dir.File("data");
    auto file = OpenRw(faults, path);
    std::uint32_t count = 0;
    ASSERT_EQ(file->Write("abcdef", 6, &count), win32::kSuccess);
    faults.FailCall(FaultKind::kSeek, 2, win32::kNegativeSeek);
    faults.FailCall(FaultKind::kRead, 1, win32::kReadFault);
    faults.FailCall(FaultKind::kSetEndOfFile, 1, win32::kWriteFault);
    std::uint64_t reached = 0;
    ASSERT_EQ(file->Seek(2, &reached), win32::kSuccess);
    reached = 55;
    EXPECT_EQ(file->Seek(4, &reached), win32::kNegativeSeek);
    EXPECT_EQ(reached, 55u);
    char buffer[8] = {};
    count = 7;
    EXPECT_EQ(file->Read(buffer, 2, &count), win32::kReadFault);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(file->SetEndOfFile(), win32::kWriteFault);
    EXPECT_EQ(ReadAll(path), "abcdef");
    ASSERT_EQ(file->Read(buffer, 2, &count), win32::kSuccess);
    EXPECT_EQ(std::string(buffer, count), "cd");  // the position stayed at 2
}

TEST(FaultPlatform, WholeFileOperationsAndMutexWaitsFailOnRequest) {
    TempDir dir;
    FaultPlatform faults(Platform::Default());
    const std::string a = dir.File("a");
    std::ofstream(a) << "x";
    faults.FailCall(FaultKind::kCopy, 1, win32::kDiskFull);
    faults.FailCall(FaultKind::kMove, 1, win32::kAccessDenied);
    faults.FailCall(FaultKind::kDelete, 1, win32::kAccessDenied);
    faults.FailCall(FaultKind::kTempName, 1, win32::kWriteProtect);
    faults.FailCall(FaultKind::kMutexWait, 1, win32::kWaitTimeout);
    faults.FailCall(FaultKind::kMutexWait, 2, win32::kGenFailure);
    EXPECT_EQ(faults.CopyFileTo(a.c_str(), dir.File("b").c_str()), win32::kDiskFull);
    EXPECT_FALSE(std::filesystem::exists(dir.File("b")));
    EXPECT_EQ(faults.MoveFileTo(a.c_str(), dir.File("c").c_str()), win32::kAccessDenied);
    EXPECT_EQ(faults.RemoveFile(a.c_str()), win32::kAccessDenied);
    EXPECT_TRUE(std::filesystem::exists(a));
    char out[kMaxPath];
    const std::string folder = dir.path().string() + "/";
    EXPECT_EQ(faults.MakeTempFile(folder.c_str(), "RXV", out), win32::kWriteProtect);
    EXPECT_EQ(faults.CopyFileTo(a.c_str(), dir.File("b").c_str()), win32::kSuccess);
    EXPECT_EQ(faults.MoveFileTo(dir.File("b").c_str(), dir.File("c").c_str()), win32::kSuccess);
    EXPECT_EQ(faults.MakeTempFile(folder.c_str(), "RXV", out), win32::kSuccess);
    EXPECT_TRUE(std::filesystem::exists(out));

    std::unique_ptr<NamedMutex> mutex;
    ASSERT_EQ(faults.OpenNamedMutex(UniqueName("fault").c_str(), &mutex), win32::kSuccess);
    EXPECT_EQ(mutex->Wait(0), WaitResult::kTimeout);
    EXPECT_EQ(mutex->Wait(0), WaitResult::kFailed);
    EXPECT_EQ(mutex->Wait(0), WaitResult::kAcquired);
    EXPECT_EQ(mutex->Release(), win32::kSuccess);
    EXPECT_EQ(faults.Count(FaultKind::kMutexWait), 3u);
}

}  // namespace
}  // namespace quillet::testing
