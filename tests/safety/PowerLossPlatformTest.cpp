// The disk model itself: if it kept or lost the wrong writes, every power-loss
// result built on it would be worthless.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/PowerLossPlatform.h"
#include "tests/support/TempDir.h"

namespace quillet::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

class PowerLossPlatformTest : public ::testing::Test {
  protected:
    PowerLossPlatformTest() : disk_(Platform::Default(), dir_.path().string()) {}

    std::unique_ptr<File> Open(const std::string& name, FileAccess access = FileAccess::kReadWrite,
                               FileShare share = FileShare::kNone) {
        std::unique_ptr<File> f;
        EXPECT_EQ(disk_.OpenFile(name.c_str(), access, share, FileDisposition::kOpenAlways, &f),
                  win32::kSuccess);
        return f;
    }
    static void WriteAt(File& f, std::uint64_t offset, const Bytes& bytes) {
        std::uint64_t reached = 0;
        ASSERT_EQ(f.Seek(offset, &reached), win32::kSuccess);
        std::uint32_t written = 0;
        ASSERT_EQ(f.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &written),
                  win32::kSuccess);
        ASSERT_EQ(written, bytes.size());
    }
    std::string Full(const std::string& name) {
        char out[kMaxPath];
        EXPECT_EQ(disk_.GetFullPath(name.c_str(), out, sizeof out), win32::kSuccess);
        return out;
    }

    TempDir dir_;
    PowerLossPlatform disk_;
};

TEST_F(PowerLossPlatformTest, UnflushedWritesAreVisibleButNotDurable) {
    auto f = Open("a.qdx");
    WriteAt(*f, 0, Bytes(4, 0x11));
    WriteAt(*f, 8, Bytes(2, 0x22));  // leaves a hole of zeros
    EXPECT_EQ(*disk_.CurrentBytes("a.qdx"),
              (Bytes{0x11, 0x11, 0x11, 0x11, 0, 0, 0, 0, 0x22, 0x22}));
    EXPECT_TRUE(disk_.DurableBytes("a.qdx")->empty());
    EXPECT_EQ(disk_.Pending("a.qdx").size(), 2u);

    std::uint64_t reached = 0;
    ASSERT_EQ(f->Seek(0, &reached), win32::kSuccess);
    std::uint8_t back[16] = {};
    std::uint32_t got = 0;
    ASSERT_EQ(f->Read(back, sizeof back, &got), win32::kSuccess);
    EXPECT_EQ(got, 10u);  // a short read at the end is not an error
    EXPECT_EQ(back[8], 0x22);

    ASSERT_EQ(f->Flush(), win32::kSuccess);
    EXPECT_EQ(*disk_.DurableBytes("a.qdx"), *disk_.CurrentBytes("a.qdx"));
    EXPECT_EQ(disk_.PendingTotal(), 0u);
}

TEST_F(PowerLossPlatformTest, KeptChangesApplyInCallOrderOverTheDurableImage) {
    disk_.PutFile("a.qdx", Bytes(8, 0xAA));
    auto f = Open("a.qdx");
    WriteAt(*f, 2, Bytes(4, 0x01));  // change 0
    WriteAt(*f, 4, Bytes(4, 0x02));  // change 1 overlaps change 0 and grows the file
    const std::string path = Full("a.qdx");

    auto only = [&](std::size_t which) {
        return disk_.ImageAfterLoss(
            [&](const std::string& p, std::size_t i) { return p == path && i == which; })[path];
    };
    EXPECT_EQ(only(0), (Bytes{0xAA, 0xAA, 1, 1, 1, 1, 0xAA, 0xAA}));
    EXPECT_EQ(only(1), (Bytes{0xAA, 0xAA, 0xAA, 0xAA, 2, 2, 2, 2}));
    EXPECT_EQ(disk_.ImageAllKept()[path], (Bytes{0xAA, 0xAA, 1, 1, 2, 2, 2, 2}));
    EXPECT_EQ(disk_.ImageAllLost()[path], Bytes(8, 0xAA));
}

TEST_F(PowerLossPlatformTest, TruncationIsAPendingChangeToo) {
    disk_.PutFile("a.qdx", Bytes(1024, 0x5A));
    auto f = Open("a.qdx");
    std::uint64_t reached = 0;
    ASSERT_EQ(f->Seek(512, &reached), win32::kSuccess);
    ASSERT_EQ(f->SetEndOfFile(), win32::kSuccess);
    EXPECT_EQ(disk_.CurrentBytes("a.qdx")->size(), 512u);
    EXPECT_EQ(disk_.ImageAllLost()[Full("a.qdx")].size(), 1024u);
    EXPECT_EQ(disk_.ImageAllKept()[Full("a.qdx")].size(), 512u);
    // A write after the truncation, kept without it, lands on the long image.
    WriteAt(*f, 600, Bytes(1, 7));
    const std::string path = Full("a.qdx");
    auto image = disk_.ImageAfterLoss([](const std::string&, std::size_t i) { return i == 1; });
    EXPECT_EQ(image[path].size(), 1024u);
    EXPECT_EQ(image[path][600], 7);
    EXPECT_EQ(disk_.ImageAllKept()[path].size(), 601u);
}

TEST_F(PowerLossPlatformTest, MachineStopsRightAfterTheChosenWrite) {
    std::unique_ptr<NamedMutex> held;
    const std::string mutexName = "power-loss-test-" + dir_.path().filename().string();
    ASSERT_EQ(disk_.OpenNamedMutex(mutexName.c_str(), &held), win32::kSuccess);
    auto f = Open("a.qdx");
    const std::string path = Full("a.qdx");
    disk_.StopAfterWrite(2);
    WriteAt(*f, 0, Bytes(1, 1));
    EXPECT_FALSE(disk_.Stopped());
    WriteAt(*f, 1, Bytes(1, 2));  // the chosen write itself succeeds
    EXPECT_TRUE(disk_.Stopped());
    std::uint32_t written = 5;
    const std::uint8_t b = 3;
    EXPECT_NE(f->Write(&b, 1, &written), win32::kSuccess);
    EXPECT_EQ(written, 0u);
    EXPECT_NE(f->Flush(), win32::kSuccess);
    std::uint64_t reached = 0;
    EXPECT_NE(f->Seek(0, &reached), win32::kSuccess);
    std::unique_ptr<File> other;
    EXPECT_NE(disk_.OpenFile("b.qdx", FileAccess::kReadWrite, FileShare::kNone,
                             FileDisposition::kOpenAlways, &other),
              win32::kSuccess);
    EXPECT_NE(disk_.RemoveFile("a.qdx"), win32::kSuccess);
    std::unique_ptr<NamedMutex> mutex;
    EXPECT_NE(disk_.OpenNamedMutex(mutexName.c_str(), &mutex), win32::kSuccess);
    EXPECT_EQ(held->Wait(0), WaitResult::kFailed);
    EXPECT_EQ(disk_.WriteCount(), 2u);
    // Nothing was flushed: both writes are pending and may be lost.
    EXPECT_EQ(disk_.PendingTotal(), 2u);
    EXPECT_TRUE(disk_.ImageAllLost()[path].empty());
    EXPECT_EQ(disk_.ImageAllKept()[path], (Bytes{1, 2}));
}

TEST_F(PowerLossPlatformTest, FlushObserverSeesHeaderWrites) {
    std::vector<bool> headers;
    std::vector<std::size_t> sizes;
    disk_.SetFlushObserver([&](const std::string& path, const Bytes& durable, bool header) {
        EXPECT_EQ(path, Full("a.qdx"));
        headers.push_back(header);
        sizes.push_back(durable.size());
    });
    auto f = Open("a.qdx");
    WriteAt(*f, 512, Bytes(512, 1));
    ASSERT_EQ(f->Flush(), win32::kSuccess);
    WriteAt(*f, 0, Bytes(512, 2));
    ASSERT_EQ(f->Flush(), win32::kSuccess);
    // A header write followed by another write is not the end of a commit.
    WriteAt(*f, 0, Bytes(512, 3));
    WriteAt(*f, 1024, Bytes(512, 4));
    ASSERT_EQ(f->Flush(), win32::kSuccess);
    ASSERT_EQ(f->Flush(), win32::kSuccess);  // nothing pending: no header either
    EXPECT_EQ(headers, (std::vector<bool>{false, true, false, false}));
    EXPECT_EQ(sizes, (std::vector<std::size_t>{1024, 1024, 1536, 1536}));
}

TEST_F(PowerLossPlatformTest, ShareModesFollowTheWin32Rules) {
    auto reader = Open("a.qdx", FileAccess::kRead, FileShare::kRead);
    std::unique_ptr<File> f;
    // A writer is refused while the reader shares reading only.
    EXPECT_EQ(disk_.OpenFile("a.qdx", FileAccess::kReadWrite, FileShare::kReadWrite,
                             FileDisposition::kOpenAlways, &f),
              win32::kSharingViolation);
    // Another reader that shares reading is fine.
    EXPECT_EQ(disk_.OpenFile("a.qdx", FileAccess::kRead, FileShare::kRead,
                             FileDisposition::kOpenExisting, &f),
              win32::kSuccess);
    f.reset();
    // A reader that shares nothing excludes the open reader.
    EXPECT_EQ(disk_.OpenFile("a.qdx", FileAccess::kRead, FileShare::kNone,
                             FileDisposition::kOpenExisting, &f),
              win32::kSharingViolation);
    // A read-only handle cannot write.
    std::uint32_t written = 0;
    const std::uint8_t b = 1;
    EXPECT_EQ(reader->Write(&b, 1, &written), win32::kAccessDenied);
    // Open files can be neither moved nor deleted.
    EXPECT_EQ(disk_.MoveFileTo("a.qdx", "b.qdx"), win32::kSharingViolation);
    EXPECT_EQ(disk_.RemoveFile("a.qdx"), win32::kSharingViolation);
    reader.reset();
    EXPECT_EQ(disk_.MoveFileTo("a.qdx", "b.qdx"), win32::kSuccess);
    EXPECT_EQ(disk_.OpenFile("a.qdx", FileAccess::kRead, FileShare::kRead,
                             FileDisposition::kOpenExisting, &f),
              win32::kFileNotFound);
}

TEST_F(PowerLossPlatformTest, MovesNeverReplaceAndCopiesAreDurable) {
    disk_.PutFile("a.qdx", Bytes{1, 2, 3});
    disk_.PutFile("b.qdx", Bytes{9});
    EXPECT_EQ(disk_.MoveFileTo("a.qdx", "b.qdx"), win32::kAlreadyExists);
    EXPECT_EQ(*disk_.CurrentBytes("b.qdx"), Bytes{9});
    EXPECT_EQ(*disk_.CurrentBytes("a.qdx"), (Bytes{1, 2, 3}));
    {
        auto f = Open("a.qdx");
        WriteAt(*f, 3, Bytes{4});  // unflushed
    }
    // A copy never replaces a file.
    EXPECT_EQ(disk_.CopyFileTo("a.qdx", "b.qdx"), win32::kFileExists);
    EXPECT_EQ(*disk_.CurrentBytes("b.qdx"), Bytes{9});
    EXPECT_EQ(disk_.CopyFileTo("a.qdx", "d.qdx"), win32::kSuccess);
    // The copy holds the source's current bytes, durable; the source keeps its
    // pending write, which a power loss may still drop.
    EXPECT_EQ(*disk_.DurableBytes("d.qdx"), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(disk_.ImageAllLost()[Full("a.qdx")], (Bytes{1, 2, 3}));
    EXPECT_EQ(disk_.MoveFileTo("missing.qdx", "c.qdx"), win32::kFileNotFound);
    EXPECT_EQ(disk_.CopyFileTo("a.qdx", "nofolder/c.qdx"), win32::kPathNotFound);
}

TEST_F(PowerLossPlatformTest, TempNamesAreNewFilesInTheGivenFolder) {
    disk_.AddFolder("sub");
    const std::string folder = Full("sub") + "/";
    char first[kMaxPath], second[kMaxPath];
    ASSERT_EQ(disk_.MakeTempFile(folder.c_str(), "RXVextra", first), win32::kSuccess);
    ASSERT_EQ(disk_.MakeTempFile(folder.c_str(), "RXV", second), win32::kSuccess);
    EXPECT_STRNE(first, second);
    for (const char* name : {first, second}) {
        const std::string s = name;
        EXPECT_EQ(s.rfind(folder + "RXV", 0), 0u) << s;
        EXPECT_EQ(s.substr(s.size() - 4), ".TMP");
        ASSERT_TRUE(disk_.CurrentBytes(s).has_value());
        EXPECT_TRUE(disk_.CurrentBytes(s)->empty());
    }
    char out[kMaxPath];
    EXPECT_EQ(disk_.MakeTempFile((Full("nowhere") + "/").c_str(), "RXV", out),
              win32::kPathNotFound);
}

TEST_F(PowerLossPlatformTest, PathsFoldDotsAndNeedAnExistingFolder) {
    EXPECT_EQ(Full("x/../a.qdx"), Full("a.qdx"));
    EXPECT_EQ(Full("./a.qdx"), Full(".") + "/a.qdx");
    std::unique_ptr<File> f;
    EXPECT_EQ(disk_.OpenFile("nofolder/a.qdx", FileAccess::kReadWrite, FileShare::kNone,
                             FileDisposition::kOpenAlways, &f),
              win32::kPathNotFound);
    std::uint32_t attributes = 0;
    EXPECT_EQ(disk_.GetPathAttributes("a.qdx", &attributes), win32::kFileNotFound);
    disk_.PutFile("a.qdx", {});
    ASSERT_EQ(disk_.GetPathAttributes("a.qdx", &attributes), win32::kSuccess);
    EXPECT_EQ(attributes & kFileAttributeDirectory, 0u);
    ASSERT_EQ(disk_.GetPathAttributes(Full(".").c_str(), &attributes), win32::kSuccess);
    EXPECT_NE(attributes & kFileAttributeDirectory, 0u);
    char tiny[4];
    EXPECT_EQ(disk_.GetFullPath("a.qdx", tiny, sizeof tiny), win32::kFilenameExcedRange);
    // Full paths fold the same way; a plain one is its own form.
    const std::string root = Full(".");
    EXPECT_EQ(Full(root + "//a.qdx"), Full("a.qdx"));
    EXPECT_EQ(Full(root + "/x/.././a.qdx"), Full("a.qdx"));
    EXPECT_EQ(Full(root + "/a.qdx/"), Full("a.qdx"));
    EXPECT_EQ(Full(root + "/..."), root + "/...");
    EXPECT_EQ(Full(root + "/.a/..b"), root + "/.a/..b");
    EXPECT_EQ(Full(Full("a.qdx")), Full("a.qdx"));
    EXPECT_EQ(Full("/"), "/");
    EXPECT_EQ(Full("/.."), "/");
}

// Write-through mode against the default one: the same calls read the same
// bytes, every change is durable at once and the flush observer reports the
// same header writes.
TEST_F(PowerLossPlatformTest, WriteThroughDiskMatchesTheCachedOneWithNothingPending) {
    TempDir otherDir;
    PowerLossPlatform through(Platform::Default(), otherDir.path().string());
    through.SetWriteThrough(true);
    std::vector<bool> headers[2];
    disk_.SetFlushObserver(
        [&](const std::string&, const Bytes&, bool h) { headers[0].push_back(h); });
    through.SetFlushObserver([&](const std::string&, const Bytes& durable, bool h) {
        headers[1].push_back(h);
        EXPECT_EQ(durable, *through.CurrentBytes("a.qdx"));
    });
    disk_.PutFile("a.qdx", Bytes(700, 9));
    through.PutFile("a.qdx", Bytes(700, 9));
    std::unique_ptr<File> files[2];
    PowerLossPlatform* disks[2] = {&disk_, &through};
    for (int d = 0; d < 2; ++d) {
        ASSERT_EQ(disks[d]->OpenFile("a.qdx", FileAccess::kReadWrite, FileShare::kNone,
                                     FileDisposition::kOpenExisting, &files[d]),
                  win32::kSuccess);
    }
    std::uint32_t seed = 12345;
    auto next = [&seed](std::uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    for (int step = 0; step < 400; ++step) {
        const std::uint32_t what = next(10);
        const std::uint64_t offset = what == 0 ? 0 : next(3000);
        const Bytes bytes(next(600), static_cast<std::uint8_t>(step));
        for (int d = 0; d < 2; ++d) {
            std::uint64_t reached = 0;
            ASSERT_EQ(files[d]->Seek(offset, &reached), win32::kSuccess);
            if (what == 9) {
                ASSERT_EQ(files[d]->SetEndOfFile(), win32::kSuccess);
            } else if (what == 8) {
                ASSERT_EQ(files[d]->Flush(), win32::kSuccess);
            } else {
                WriteAt(*files[d], offset, bytes);
            }
        }
        ASSERT_EQ(*disk_.CurrentBytes("a.qdx"), *through.CurrentBytes("a.qdx")) << step;
        ASSERT_EQ(*through.DurableBytes("a.qdx"), *through.CurrentBytes("a.qdx"));
    }
    EXPECT_EQ(through.PendingTotal(), 0u);
    EXPECT_EQ(through.ImageAllLost(), through.ImageAllKept());
    EXPECT_EQ(through.WriteCount(), disk_.WriteCount());
    EXPECT_GT(headers[0].size(), 20u);
    EXPECT_EQ(headers[0], headers[1]);
    // Copies hold the current bytes in both modes.
    files[1].reset();
    ASSERT_EQ(through.CopyFileTo("a.qdx", "b.qdx"), win32::kSuccess);
    EXPECT_EQ(*through.DurableBytes("b.qdx"), *through.CurrentBytes("a.qdx"));
}

// A cleared disk is a new one, in both modes: no file, no folder but the
// root, no stop, the first temporary name again; and the memory it keeps from
// the removed files never shows their bytes in the files made after it.
TEST_F(PowerLossPlatformTest, ClearedDiskIsNewAndShowsNoOldByte) {
    for (const bool through : {false, true}) {
        SCOPED_TRACE(through);
        disk_.Clear();
        disk_.SetWriteThrough(through);
        char firstTemp[kMaxPath];
        ASSERT_EQ(disk_.MakeTempFile(nullptr, "RXV", firstTemp), win32::kSuccess);
        disk_.Clear();

        // Large files of non-zero bytes, made in every way a file comes about.
        const Bytes old(300 * 1024, 0x77);
        disk_.AddFolder("sub");
        disk_.PutFile("put.qdx", old);
        {
            auto f = Open("written.qdx");
            WriteAt(*f, 0, old);
        }
        ASSERT_EQ(disk_.CopyFileTo(Full("put.qdx").c_str(), Full("copy.qdx").c_str()),
                  win32::kSuccess);
        char temp[kMaxPath];
        ASSERT_EQ(disk_.MakeTempFile(nullptr, "RXV", temp), win32::kSuccess);
        {
            std::unique_ptr<File> f;
            ASSERT_EQ(disk_.OpenFile(temp, FileAccess::kReadWrite, FileShare::kNone,
                                     FileDisposition::kOpenExisting, &f),
                      win32::kSuccess);
            WriteAt(*f, 0, old);
        }
        ASSERT_EQ(disk_.RemoveFile(Full("written.qdx").c_str()), win32::kSuccess);
        disk_.StopAfterWrite(disk_.WriteCount() + 1);

        disk_.Clear();
        EXPECT_TRUE(disk_.Paths().empty());
        EXPECT_EQ(disk_.WriteCount(), 0u);
        EXPECT_EQ(disk_.FlushCount(), 0u);
        EXPECT_FALSE(disk_.Stopped());
        char out[kMaxPath];
        EXPECT_EQ(disk_.MakeTempFile((Full("sub") + "/").c_str(), "RXV", out),
                  win32::kPathNotFound);
        ASSERT_EQ(disk_.MakeTempFile(nullptr, "RXV", out), win32::kSuccess);
        EXPECT_STREQ(out, firstTemp);
        EXPECT_TRUE(disk_.CurrentBytes(out)->empty());

        // New files: whatever memory they get, unwritten bytes read as zeros,
        // and there are no bytes past what was written.
        for (const char* name : {"a.qdx", "b.qdx", "c.qdx", "d.qdx"}) {
            auto f = Open(name);
            WriteAt(*f, 200 * 1024, Bytes(3, 5));
            f->Flush();
            Bytes expected(200 * 1024 + 3, 0);
            std::fill(expected.end() - 3, expected.end(), 5);
            EXPECT_EQ(*disk_.CurrentBytes(name), expected) << name;
            EXPECT_EQ(*disk_.DurableBytes(name), expected) << name;
        }
        disk_.PutFile("small.qdx", Bytes(10, 1));
        EXPECT_EQ(*disk_.CurrentBytes("small.qdx"), Bytes(10, 1));
        EXPECT_EQ(*disk_.DurableBytes("small.qdx"), Bytes(10, 1));
    }
}

TEST_F(PowerLossPlatformTest, SwitchingWriteThroughLeavesEveryFileDurable) {
    auto f = Open("a.qdx");
    WriteAt(*f, 0, Bytes(10, 1));
    ASSERT_EQ(disk_.PendingTotal(), 1u);
    disk_.SetWriteThrough(true);  // the pending write becomes durable
    EXPECT_EQ(disk_.PendingTotal(), 0u);
    EXPECT_EQ(*disk_.DurableBytes("a.qdx"), Bytes(10, 1));
    WriteAt(*f, 10, Bytes(2, 2));
    disk_.SetWriteThrough(false);  // so does everything written meanwhile
    EXPECT_EQ(*disk_.DurableBytes("a.qdx"), *disk_.CurrentBytes("a.qdx"));
    EXPECT_EQ(disk_.DurableBytes("a.qdx")->size(), 12u);
    WriteAt(*f, 0, Bytes(1, 3));  // and the cache works again
    EXPECT_EQ(disk_.PendingTotal(), 1u);
    EXPECT_EQ((*disk_.DurableBytes("a.qdx"))[0], 1);
}

}  // namespace
}  // namespace quillet::testing
