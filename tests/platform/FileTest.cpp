// Open files: the share-mode outcomes of Win32 within one process and across
// processes, reading and writing, and byte-range locks.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "platform/Platform.h"
#include "tests/platform/ChildProcess.h"
#include "tests/platform/ShareModes.h"
#include "tests/support/TempDir.h"

namespace quillet::testing {
namespace {

Platform& P() {
    return Platform::Default();
}

Win32Error Open(const std::string& path, int mode, std::unique_ptr<File>* file,
                FileDisposition disposition = FileDisposition::kOpenAlways) {
    return P().OpenFile(path.c_str(), kShareCases[mode].access, kShareCases[mode].share,
                        disposition, file);
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(ShareModes, EveryPairInOneProcessGivesTheWin32Outcome) {
    TempDir dir;
    const std::string path = dir.File("data");
    for (int first = 0; first < 6; ++first) {
        for (int second = 0; second < 6; ++second) {
            std::unique_ptr<File> a;
            std::unique_ptr<File> b;
            ASSERT_EQ(Open(path, first, &a), win32::kSuccess);
            const Win32Error error = Open(path, second, &b);
            EXPECT_EQ(error,
                      kShareAllowed[first][second] ? win32::kSuccess : win32::kSharingViolation)
                << kShareCases[first].name << " then " << kShareCases[second].name;
            EXPECT_EQ(b != nullptr, error == win32::kSuccess);
        }
    }
}

TEST(ShareModes, ClosingEveryHandleLeavesTheFileFreeForExclusiveUse) {
    TempDir dir;
    const std::string path = dir.File("data");
    {
        std::unique_ptr<File> a;
        std::unique_ptr<File> b;
        ASSERT_EQ(Open(path, 5, &a), win32::kSuccess);
        ASSERT_EQ(Open(path, 5, &b), win32::kSuccess);
    }
    std::unique_ptr<File> c;
    EXPECT_EQ(Open(path, 3, &c), win32::kSuccess);
}

// Random opens and closes of up to five handles on one file, against a model
// in which an open succeeds exactly when the pairwise table allows it next to
// every handle still open.
TEST(ShareModes, RandomOpensAndClosesFollowThePairwiseTable) {
    TempDir dir;
    const std::string path = dir.File("data");
    std::mt19937 random(12345);
    struct Held {
        int mode;
        std::unique_ptr<File> file;
    };
    std::vector<Held> held;
    for (int step = 0; step < 600; ++step) {
        if (!held.empty() && (held.size() >= 5 || random() % 3 == 0)) {
            held.erase(held.begin() + static_cast<long>(random() % held.size()));
            continue;
        }
        const int mode = static_cast<int>(random() % 6);
        bool expected = true;
        for (const Held& h : held) expected = expected && kShareAllowed[h.mode][mode];
        std::unique_ptr<File> file;
        const Win32Error error = Open(path, mode, &file);
        ASSERT_EQ(error, expected ? win32::kSuccess : win32::kSharingViolation)
            << "step " << step << " opening " << kShareCases[mode].name << " next to "
            << held.size() << " handles";
        if (file) held.push_back({mode, std::move(file)});
    }
}

TEST(ShareModes, AnotherProcessHoldingTheFileGivesTheWin32Outcome) {
    TempDir dir;
    const std::string path = dir.File("data");
    for (int first = 0; first < 6; ++first) {
        ChildProcess child;
        ASSERT_TRUE(child.Start({"hold-file", path, std::to_string(first)}));
        std::string line;
        ASSERT_TRUE(child.ReadLine(&line));
        ASSERT_EQ(line, "open 0");
        for (int second = 0; second < 6; ++second) {
            std::unique_ptr<File> file;
            EXPECT_EQ(Open(path, second, &file),
                      kShareAllowed[first][second] ? win32::kSuccess : win32::kSharingViolation)
                << "child holds " << kShareCases[first].name << ", we open "
                << kShareCases[second].name;
        }
        child.CloseInput();
        EXPECT_EQ(child.Wait(), 0);
    }
}

TEST(ShareModes, AnotherProcessOpeningWhileWeHoldGivesTheWin32Outcome) {
    TempDir dir;
    const std::string path = dir.File("data");
    for (int first = 0; first < 6; ++first) {
        std::unique_ptr<File> held;
        ASSERT_EQ(Open(path, first, &held), win32::kSuccess);
        ChildProcess child;
        ASSERT_TRUE(child.Start({"try-files", path}));
        std::string line;
        ASSERT_TRUE(child.ReadLine(&line));
        std::string expected;
        for (int second = 0; second < 6; ++second) {
            expected += (second ? " " : "") + std::to_string(kShareAllowed[first][second]
                                                                 ? win32::kSuccess
                                                                 : win32::kSharingViolation);
        }
        EXPECT_EQ(line, expected) << "we hold " << kShareCases[first].name;
        EXPECT_EQ(child.Wait(), 0);
    }
}

TEST(ShareModes, AHandleOfAKilledProcessNoLongerBlocks) {
    TempDir dir;
    const std::string path = dir.File("data");
    ChildProcess child;
    ASSERT_TRUE(child.Start({"hold-file", path, "3"}));
    std::string line;
    ASSERT_TRUE(child.ReadLine(&line));
    ASSERT_EQ(line, "open 0");
    std::unique_ptr<File> file;
    EXPECT_EQ(Open(path, 2, &file), win32::kSharingViolation);
    child.Kill();
    child.Wait();
    EXPECT_EQ(Open(path, 3, &file), win32::kSuccess);
}

TEST(Files, OpenExistingOfAMissingFileFailsAndCreatesNothing) {
    TempDir dir;
    std::unique_ptr<File> file;
    EXPECT_EQ(Open(dir.File("missing"), 5, &file, FileDisposition::kOpenExisting),
              win32::kFileNotFound);
    EXPECT_EQ(file, nullptr);
    EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));
    EXPECT_EQ(Open(dir.File("no/such/folder/file"), 5, &file), win32::kPathNotFound);
}

TEST(Files, FoldersAndReadOnlyFilesAreRefusedForTheRightAccess) {
    TempDir dir;
    std::unique_ptr<File> file;
    EXPECT_EQ(Open(dir.path().string(), 0, &file), win32::kAccessDenied);
    const std::string path = dir.File("ro");
    std::ofstream(path) << "x";
    std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_read);
    EXPECT_EQ(Open(path, 5, &file), win32::kAccessDenied);
    EXPECT_EQ(Open(path, 2, &file), win32::kSuccess);
}

TEST(Files, SeekReadWriteTruncateAndShortReads) {
    TempDir dir;
    const std::string path = dir.File("data");
    std::unique_ptr<File> file;
    // Shared for reading and writing, so that ReadAll may look at the file
    // while it is open (on Windows an unshared handle keeps every reader out).
    ASSERT_EQ(Open(path, 5, &file), win32::kSuccess);
    std::uint64_t reached = 0;
    std::uint32_t count = 0;
    ASSERT_EQ(file->Write("abcdef", 6, &count), win32::kSuccess);
    EXPECT_EQ(count, 6u);
    // A seek beyond the end is allowed; a write there grows the file with zeros.
    ASSERT_EQ(file->Seek(10, &reached), win32::kSuccess);
    EXPECT_EQ(reached, 10u);
    ASSERT_EQ(file->Write("XY", 2, &count), win32::kSuccess);
    EXPECT_EQ(ReadAll(path), std::string("abcdef\0\0\0\0XY", 12));

    char buffer[32] = {};
    ASSERT_EQ(file->Seek(8, &reached), win32::kSuccess);
    ASSERT_EQ(file->Read(buffer, sizeof buffer, &count), win32::kSuccess);
    EXPECT_EQ(count, 4u);  // short at the end, not an error
    ASSERT_EQ(file->Read(buffer, sizeof buffer, &count), win32::kSuccess);
    EXPECT_EQ(count, 0u);

    ASSERT_EQ(file->Seek(3, &reached), win32::kSuccess);
    ASSERT_EQ(file->SetEndOfFile(), win32::kSuccess);
    EXPECT_EQ(ReadAll(path), "abc");
    ASSERT_EQ(file->Seek(5, &reached), win32::kSuccess);
    ASSERT_EQ(file->SetEndOfFile(), win32::kSuccess);  // grows too
    EXPECT_EQ(ReadAll(path), std::string("abc\0\0", 5));
    EXPECT_EQ(file->Flush(), win32::kSuccess);

    reached = 77;
    EXPECT_EQ(file->Seek(~0ull, &reached), win32::kNegativeSeek);
    EXPECT_EQ(reached, 77u);
}

// Positioned reads and writes act as a seek and a read or write would; a file
// that offers none says so and does nothing. A write-back request is only a
// request: it changes nothing a read sees.
TEST(Files, PositionedReadsWritesAndWriteBack) {
    TempDir dir;
    const std::string path = dir.File("data");
    std::unique_ptr<File> file;
    ASSERT_EQ(Open(path, 5, &file), win32::kSuccess);
    std::uint32_t count = 7;
    const Win32Error wrote = file->WriteAt(4, "wxyz", 4, &count);
    if (wrote == win32::kNotSupported) {
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(ReadAll(path), "");
        char buffer[4];
        EXPECT_EQ(file->ReadAt(0, buffer, 4, &count), win32::kNotSupported);
        EXPECT_EQ(count, 0u);
        GTEST_SKIP() << "no positioned calls on this system";
    }
    ASSERT_EQ(wrote, win32::kSuccess);
    EXPECT_EQ(count, 4u);
    ASSERT_EQ(file->WriteAt(0, "ab", 2, &count), win32::kSuccess);
    EXPECT_EQ(ReadAll(path), std::string("ab\0\0wxyz", 8));
    EXPECT_EQ(file->StartWriteBack(0, 8), win32::kSuccess);
    char buffer[16] = {};
    ASSERT_EQ(file->ReadAt(3, buffer, sizeof buffer, &count), win32::kSuccess);
    EXPECT_EQ(std::string(buffer, count), std::string("\0wxyz", 5));  // short at the end
    ASSERT_EQ(file->ReadAt(8, buffer, sizeof buffer, &count), win32::kSuccess);
    EXPECT_EQ(count, 0u);
    // A seek after them still decides where Write goes.
    std::uint64_t reached = 0;
    ASSERT_EQ(file->Seek(6, &reached), win32::kSuccess);
    ASSERT_EQ(file->Write("Q", 1, &count), win32::kSuccess);
    EXPECT_EQ(ReadAll(path), std::string("ab\0\0wxQz", 8));
    EXPECT_EQ(file->ReadAt(~0ull - 2, buffer, 4, &count), win32::kNegativeSeek);

    file.reset();
    ASSERT_EQ(Open(path, 2, &file), win32::kSuccess);  // read only
    EXPECT_EQ(file->WriteAt(0, "zz", 2, &count), win32::kAccessDenied);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(file->StartWriteBack(0, 8), win32::kAccessDenied);
    ASSERT_EQ(file->ReadAt(4, buffer, 2, &count), win32::kSuccess);
    EXPECT_EQ(std::string(buffer, count), "wx");
    EXPECT_EQ(ReadAll(path), std::string("ab\0\0wxQz", 8));
}

TEST(Files, AReadOnlyHandleCannotChangeTheFile) {
    TempDir dir;
    const std::string path = dir.File("data");
    std::ofstream(path) << "keep";
    std::unique_ptr<File> file;
    ASSERT_EQ(Open(path, 2, &file), win32::kSuccess);
    std::uint32_t count = 9;
    EXPECT_EQ(file->Write("zz", 2, &count), win32::kAccessDenied);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(file->SetEndOfFile(), win32::kAccessDenied);
    EXPECT_EQ(file->Flush(), win32::kAccessDenied);
    EXPECT_EQ(ReadAll(path), "keep");
}

TEST(Files, LastWriteTimeIsSetAndAccessTimeKept) {
    TempDir dir;
    const std::string path = dir.File("data");
    std::unique_ptr<File> file;
    ASSERT_EQ(Open(path, 3, &file), win32::kSuccess);
#ifndef _WIN32
    struct stat before;
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
#endif
    // 2001-09-09 01:46:40.5 UTC: Unix time 1000000000.5.
    const std::uint64_t ticks = 116444736000000000ull + 1000000000ull * 10000000ull + 5000000ull;
    FileTime time;
    time.low = static_cast<std::uint32_t>(ticks);
    time.high = static_cast<std::uint32_t>(ticks >> 32);
    ASSERT_EQ(file->SetLastWriteTime(time), win32::kSuccess);
#ifdef _WIN32
    // The C runtime reports file times in whole seconds only.
    file.reset();
    const auto written = std::chrono::file_clock::to_sys(std::filesystem::last_write_time(path));
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(written.time_since_epoch()).count(),
              1000000000);
#else
    struct stat after;
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(after.st_mtim.tv_nsec, 500000000);
    EXPECT_EQ(after.st_atim.tv_sec, before.st_atim.tv_sec);
    EXPECT_EQ(after.st_atim.tv_nsec, before.st_atim.tv_nsec);
#endif
}

constexpr std::uint64_t kRange = 16777216;

TEST(ByteRangeLocks, ExcludeAnotherHandleOfTheSameProcess) {
    TempDir dir;
    const std::string path = dir.File("data");
    std::unique_ptr<File> a;
    std::unique_ptr<File> b;
    ASSERT_EQ(Open(path, 5, &a), win32::kSuccess);
    ASSERT_EQ(Open(path, 2, &b), win32::kSuccess);  // read-only handles lock too
    ASSERT_EQ(a->LockRange(0, kRange), win32::kSuccess);
    EXPECT_EQ(b->LockRange(0, kRange), win32::kLockViolation);
    EXPECT_EQ(b->LockRange(kRange - 1, 2), win32::kLockViolation);
    EXPECT_EQ(b->LockRange(kRange, 10), win32::kSuccess);    // adjacent, not overlapping
    EXPECT_EQ(a->LockRange(100, 1), win32::kLockViolation);  // even through the same handle
    EXPECT_EQ(a->UnlockRange(0, 10), 158u);                  // not a range that was locked
    ASSERT_EQ(a->UnlockRange(0, kRange), win32::kSuccess);
    EXPECT_EQ(b->LockRange(0, kRange), win32::kSuccess);
    b.reset();  // closing releases
    EXPECT_EQ(a->LockRange(0, kRange), win32::kSuccess);
}

TEST(ByteRangeLocks, ExcludeAnotherProcessUntilItEnds) {
    TempDir dir;
    const std::string path = dir.File("data");
    ChildProcess child;
    ASSERT_TRUE(child.Start({"hold-range", path, "0", std::to_string(kRange)}));
    std::string line;
    ASSERT_TRUE(child.ReadLine(&line));
    ASSERT_EQ(line, "lock 0");
    std::unique_ptr<File> file;
    ASSERT_EQ(Open(path, 5, &file), win32::kSuccess);
    EXPECT_EQ(file->LockRange(4096, 512), win32::kLockViolation);
    EXPECT_EQ(file->LockRange(kRange, 512), win32::kSuccess);
    child.Kill();
    child.Wait();
    EXPECT_EQ(file->LockRange(0, kRange), win32::kSuccess);
}

}  // namespace
}  // namespace quillet::testing
