// Accesses, commit, discard, undo and redo, and the header's application
// fields; calls to the system are counted through a fault-injecting platform
// so that "writes nothing" and "reads the header" are observed, not assumed.

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "tests/engine/EngineFixture.h"
#include "tests/support/FaultPlatform.h"

namespace quillet::testing {
namespace {

class AccessTest : public DiskFileTest {
  protected:
    Platform& platform() override { return faults_; }
    void SetUp() override {
        DiskFileTest::SetUp();
        ASSERT_EQ(OpenFile(), 0);
    }
    std::uint32_t DiskCommitCount() {
        const std::vector<std::uint8_t> bytes = ReadFileBytes(path_);
        return bytes.size() >= 512 ? Load32(&bytes[header::kCommitCount]) : 0;
    }
    ResultCode WriteSeed(std::uint16_t table, std::uint16_t index, std::uint32_t seed) {
        return WriteWholeBlock(*file_, table, index, PatternBlock(seed));
    }
    // The seed a block was written with, or 0 for a block of zeros.
    std::uint32_t SeedOf(std::uint16_t table, std::uint16_t index) {
        BlockImage got;
        if (Read([&] { return ReadWholeBlock(*file_, table, index, &got); }) != 0)
            return 0xffffffff;
        if (got == BlockImage(kBlockSize, 0)) return 0;
        return got == PatternBlock(Load32(got.data())) ? Load32(got.data()) : 0xfffffffe;
    }

    FaultPlatform faults_{Platform::Default()};
};

TEST_F(AccessTest, NestedAccessesCommitOnceAtTheOutermostEnd) {
    const std::uint32_t before = DiskCommitCount();
    ASSERT_EQ(file_->BeginAccess(true), 0);
    ASSERT_EQ(file_->BeginAccess(true), 0);
    ASSERT_EQ(file_->BeginAccess(false), 0);  // a nested access changes no permission
    EXPECT_EQ(file_->AccessDepth(), 3);
    ASSERT_EQ(MakeTable(*file_, 2), 0);
    ASSERT_EQ(WriteSeed(2, 0, 5), 0);
    EXPECT_EQ(file_->EndAccess(0), 0);
    EXPECT_EQ(file_->EndAccess(0), 0);
    EXPECT_EQ(DiskCommitCount(), before);
    EXPECT_TRUE(file_->IsModified());
    EXPECT_EQ(file_->EndAccess(0), 0);
    EXPECT_EQ(DiskCommitCount(), before + 1);
    EXPECT_EQ(file_->AccessDepth(), 0);
    EXPECT_FALSE(file_->IsModified());
    EXPECT_EQ(SeedOf(2, 0), 5u);
}

// Whether another thread could take the file's mutex right now.
bool MutexIsFree(const std::string& fullPath) {
    std::string name = fullPath;
    for (char& c : name) {
        if (c == '\\') c = '/';
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    bool free = false;
    std::thread probe([&] {
        std::unique_ptr<NamedMutex> mutex;
        if (Platform::Default().OpenNamedMutex(name.c_str(), &mutex) != 0) return;
        const WaitResult w = mutex->Wait(0);
        free = w == WaitResult::kAcquired || w == WaitResult::kAbandoned;
        if (free) mutex->Release();
    });
    probe.join();
    return free;
}

TEST_F(AccessTest, OnlyTheOutermostAccessHoldsTheMutex) {
    EXPECT_TRUE(MutexIsFree(file_->FullPath()));
    ASSERT_EQ(file_->BeginAccess(true), 0);
    EXPECT_FALSE(MutexIsFree(file_->FullPath()));
    ASSERT_EQ(file_->BeginAccess(false), 0);
    EXPECT_EQ(file_->EndAccess(0), 0);
    EXPECT_FALSE(MutexIsFree(file_->FullPath()));
    EXPECT_EQ(file_->EndAccess(0), 0);
    EXPECT_TRUE(MutexIsFree(file_->FullPath()));
    // A failed access gives it back too.
    ASSERT_EQ(file_->BeginAccess(true), 0);
    EXPECT_EQ(file_->EndAccess(3), 3);
    EXPECT_TRUE(MutexIsFree(file_->FullPath()));
}

TEST_F(AccessTest, InnerFailureIsReturnedAndTheOuterEndDecides) {
    ASSERT_EQ(file_->BeginAccess(true), 0);
    ASSERT_EQ(file_->BeginAccess(true), 0);
    ASSERT_EQ(MakeTable(*file_, 2), 0);
    EXPECT_EQ(file_->EndAccess(77), 77);  // passed up unchanged, nothing dropped yet
    EXPECT_TRUE(file_->IsModified());
    EXPECT_EQ(file_->EndAccess(77), 77);
    EXPECT_FALSE(file_->IsModified());
    std::uint8_t d[kDescriptorSize];
    ASSERT_EQ(Read([&] { return file_->ReadTableDescriptor(2, d); }), 0);
    EXPECT_EQ(d[descriptor::kTableType], 0);
}

TEST_F(AccessTest, FailedAccessLeavesTheCommittedFile) {
    ASSERT_EQ(Write([&] {
                  ResultCode r = MakeTable(*file_, 2);
                  for (std::uint16_t i = 0; r == 0 && i < 30; ++i) r = WriteSeed(2, i, 100 + i);
                  return r;
              }),
              0);
    const std::vector<std::uint8_t> header = ReadFileBytes(path_);
    EXPECT_EQ(Write([&] {
                  ResultCode r = file_->DeleteTable(2);
                  if (r == 0) r = MakeTable(*file_, 3);
                  for (std::uint16_t i = 0; r == 0 && i < 40; ++i) r = WriteSeed(3, i, 500 + i);
                  return r == 0 ? ResultCode{42} : r;
              }),
              42);
    const std::vector<std::uint8_t> after = ReadFileBytes(path_);
    EXPECT_EQ(std::memcmp(after.data(), header.data(), 512), 0);  // the header is the same
    for (std::uint16_t i = 0; i < 30; ++i) EXPECT_EQ(SeedOf(2, i), 100u + i);
    std::uint8_t d[kDescriptorSize];
    ASSERT_EQ(Read([&] { return file_->ReadTableDescriptor(3, d); }), 0);
    EXPECT_EQ(d[descriptor::kTableType], 0);
    EXPECT_SOUND(*file_);
    Reopen();
    for (std::uint16_t i = 0; i < 30; ++i) EXPECT_EQ(SeedOf(2, i), 100u + i);
}

TEST_F(AccessTest, CommitWithoutChangesWritesNothing) {
    faults_.ResetCounts();
    ASSERT_EQ(Read([&] {
                  BlockImage b;
                  return ReadWholeBlock(*file_, 0, 0, &b);
              }),
              0);
    ASSERT_EQ(Write([&] { return file_->DeleteTable(5); }), 0);  // a table that does not exist
    ASSERT_EQ(file_->BeginAccess(true), 0);
    EXPECT_EQ(file_->Commit(), 0);
    EXPECT_EQ(file_->EndAccess(0), 0);
    EXPECT_EQ(faults_.Count(FaultKind::kWrite), 0u);
    EXPECT_EQ(faults_.Count(FaultKind::kFlush), 0u);
    EXPECT_EQ(faults_.Count(FaultKind::kSetFileTime), 0u);
    // A real change writes, flushes and stamps the time exactly once.
    ASSERT_EQ(Write([&] { return MakeTable(*file_, 2); }), 0);
    EXPECT_EQ(faults_.Count(FaultKind::kSetFileTime), 1u);
    EXPECT_EQ(faults_.Count(FaultKind::kFlush), 2u);  // after the blocks, after the header
}

TEST_F(AccessTest, UndoRedoUndo) {
    ASSERT_EQ(Write([&] {
                  ResultCode r = MakeTable(*file_, 2);
                  if (r == 0) r = WriteSeed(2, 0, 1);
                  return r;
              }),
              0);
    const std::uint32_t first = DiskCommitCount();
    ASSERT_EQ(Write([&] {
                  ResultCode r = WriteSeed(2, 0, 2);
                  if (r == 0) r = MakeTable(*file_, 9);
                  return r;
              }),
              0);
    EXPECT_TRUE(file_->CanUndo());
    EXPECT_EQ(DiskCommitCount(), first + 1);

    faults_.ResetCounts();
    ASSERT_EQ(file_->UndoLastCommitLocked(), 0);  // back to the first
    EXPECT_EQ(DiskCommitCount(), first);
    EXPECT_EQ(file_->SeenCommitCount(), first);
    EXPECT_TRUE(file_->CanRedo());
    EXPECT_FALSE(file_->CanUndo());
    EXPECT_EQ(SeedOf(2, 0), 1u);
    EXPECT_SOUND(*file_);
    ASSERT_EQ(file_->UndoLastCommitLocked(), 0);  // forward again
    EXPECT_EQ(DiskCommitCount(), first + 1);
    EXPECT_EQ(SeedOf(2, 0), 2u);
    EXPECT_TRUE(file_->CanUndo());
    EXPECT_SOUND(*file_);
    ASSERT_EQ(file_->UndoLastCommitLocked(), 0);  // and back
    EXPECT_EQ(SeedOf(2, 0), 1u);
    std::uint8_t d[kDescriptorSize];
    ASSERT_EQ(Read([&] { return file_->ReadTableDescriptor(9, d); }), 0);
    EXPECT_EQ(d[descriptor::kTableType], 0);
    EXPECT_EQ(faults_.Count(FaultKind::kSetFileTime), 0u);  // undo leaves the file time
    Reopen();
    EXPECT_EQ(SeedOf(2, 0), 1u);
    EXPECT_EQ(file_->UndoLastCommitLocked(), 35);  // a new object has nothing to undo
}

TEST_F(AccessTest, UndoIsRefusedWithChangesOrInsideAnAccess) {
    EXPECT_EQ(file_->UndoLastCommitLocked(), 35);  // only the creation, which cannot be undone
    ASSERT_EQ(Write([&] { return MakeTable(*file_, 2); }), 0);
    ASSERT_EQ(file_->BeginAccess(true), 0);
    EXPECT_EQ(file_->UndoLastCommitLocked(), 35);
    ASSERT_EQ(MakeTable(*file_, 3), 0);
    EXPECT_EQ(file_->UndoLastCommit(), 35);
    EXPECT_EQ(file_->EndAccess(0), 0);
    EXPECT_EQ(file_->UndoLastCommitLocked(), 0);
    // Undo after a discarded access that wrote nothing is still possible...
    ASSERT_EQ(Write([&] { return MakeTable(*file_, 4); }), 0);
    EXPECT_EQ(Write([&] { return MakeTable(*file_, 5) == 0 ? ResultCode{50} : ResultCode{1}; }),
              50);
    EXPECT_TRUE(file_->CanUndo());
    EXPECT_FALSE(file_->DiscardedWrites());  // nothing beyond the end to cut
    EXPECT_EQ(file_->UndoLastCommitLocked(), 0);
    EXPECT_SOUND(*file_);
    EXPECT_EQ(file_->UndoLastCommitLocked(), 0);  // redo
    // ...but a discard clears the redo.
    EXPECT_EQ(file_->UndoLastCommitLocked(), 0);
    EXPECT_TRUE(file_->CanRedo());
    EXPECT_EQ(Write([&] { return ResultCode{51}; }), 51);
    EXPECT_FALSE(file_->CanRedo());
    EXPECT_EQ(file_->UndoLastCommitLocked(), 35);
}

// A discarded access that wrote blocks (here through cache eviction) may have
// reused places that the state before the last commit still needs: undoing
// that commit afterwards would bring back a damaged file, so it is refused.
TEST_F(AccessTest, DiscardedWritesEndTheUndo) {
    ASSERT_EQ(Write([&] {
                  ResultCode r = MakeTable(*file_, 2);
                  for (std::uint16_t i = 0; r == 0 && i < 40; ++i) r = WriteSeed(2, i, 1000 + i);
                  return r;
              }),
              0);
    // Replace every block: the old places go to the free list.
    ASSERT_EQ(Write([&] {
                  ResultCode r = 0;
                  for (std::uint16_t i = 0; r == 0 && i < 40; ++i) r = WriteSeed(2, i, 2000 + i);
                  return r;
              }),
              0);
    EXPECT_TRUE(file_->CanUndo());
    faults_.ResetCounts();
    // This access reuses those places and writes some of them when the cache
    // evicts, then fails.
    EXPECT_EQ(Write([&] {
                  ResultCode r = 0;
                  for (std::uint16_t i = 0; r == 0 && i < 40; ++i) r = WriteSeed(2, i, 3000 + i);
                  return r == 0 ? ResultCode{60} : r;
              }),
              60);
    ASSERT_GT(faults_.Count(FaultKind::kWrite), 0u);
    EXPECT_FALSE(file_->CanUndo());
    EXPECT_TRUE(file_->DiscardedWrites());
    EXPECT_EQ(file_->UndoLastCommitLocked(), 35);
    for (std::uint16_t i = 0; i < 40; ++i) EXPECT_EQ(SeedOf(2, i), 2000u + i);
    EXPECT_SOUND(*file_);
    // Only a commit (or a new open) ends what the discarded writes left.
    EXPECT_EQ(Write([&] { return ResultCode{61}; }), 61);
    EXPECT_TRUE(file_->DiscardedWrites());
    ASSERT_EQ(Write([&] { return WriteSeed(2, 0, 4000); }), 0);
    EXPECT_FALSE(file_->DiscardedWrites());
}

TEST_F(AccessTest, ApplicationFields) {
    std::uint8_t app[300];
    for (int i = 0; i < 300; ++i) app[i] = static_cast<std::uint8_t>(i * 7 + 1);
    EXPECT_EQ(Write([&] { return file_->SetAppHeader(app, 257); }), 16);
    ASSERT_EQ(Write([&] { return file_->SetAppHeader(app, 256); }), 0);
    std::uint8_t out[1000];
    std::memset(out, 0xAA, sizeof out);
    EXPECT_EQ(file_->GetAppHeader(out, 1000), 0);
    EXPECT_EQ(std::memcmp(out, app, 256), 0);
    for (int i = 256; i < 1000; ++i) ASSERT_EQ(out[i], 0xAA) << i;
    std::memset(out, 0xAA, sizeof out);
    EXPECT_EQ(file_->GetAppHeader(out, 10), 0);
    EXPECT_EQ(out[10], 0xAA);

    const std::uint8_t sig[16] = {'T', 0, 'e', 0, 's', 0, 't', 0, 's', 0, 'i', 0, 'g', 0, '!', 0};
    ASSERT_EQ(file_->BeginAccess(false), 0);
    EXPECT_EQ(file_->SetAppSignature(sig), 34);
    EXPECT_EQ(file_->SetAppHeader(app, 4), 34);
    EXPECT_FALSE(file_->IsModified());
    EXPECT_EQ(file_->EndAccess(0), 0);
    ASSERT_EQ(Write([&] { return file_->SetAppSignature(sig); }), 0);
    Reopen();
    std::uint8_t got[16];
    EXPECT_EQ(file_->GetAppSignature(got), 0);
    EXPECT_EQ(std::memcmp(got, sig, 16), 0);
    EXPECT_EQ(file_->GetAppHeader(out, 256), 0);
    EXPECT_EQ(std::memcmp(out, app, 256), 0);
    const std::vector<std::uint8_t> bytes = ReadFileBytes(path_);
    EXPECT_EQ(std::memcmp(&bytes[header::kAppSignature], sig, 16), 0);
    EXPECT_EQ(std::memcmp(&bytes[header::kAppArea], app, 256), 0);
}

TEST_F(AccessTest, ChangesWithoutWritePermissionChangeNothing) {
    ASSERT_EQ(Write([&] {
                  ResultCode r = MakeTable(*file_, 2);
                  if (r == 0) r = WriteSeed(2, 0, 8);
                  return r;
              }),
              0);
    ASSERT_EQ(file_->BeginAccess(false), 0);
    BlockRef block(*file_);
    ASSERT_EQ(file_->GetBlock(2, 0, block.Out()), 0);
    const BlockNumber place = block->blockNumber;
    block.data()[0] ^= 0xff;
    EXPECT_EQ(block.MarkModifiedAndRelease(), 34);
    // Not moved, not dirty, and the patched bytes answer no later lookup.
    EXPECT_FALSE(block->flags & (kEntryDirty | kEntryInUse));
    block.Reset();
    BlockNumber stored = 0;
    EXPECT_EQ(file_->GetBlockNumber(2, 0, &stored), 0);
    EXPECT_EQ(stored, place & kBlockNumberMask);
    std::uint16_t t = 0;
    EXPECT_EQ(file_->CreateTable(&t, 1, 0), 34);
    EXPECT_EQ(file_->DeleteTable(2), 34);
    EXPECT_EQ(file_->SetTableBlockCount(2, 0), 34);
    EXPECT_EQ(file_->SetTableRecordSize(2, 1), 34);
    EXPECT_EQ(file_->SetTableLastBlockUsed(2, 1), 34);
    EXPECT_EQ(file_->SetTableType(2, 1, 1), 34);
    EXPECT_FALSE(file_->IsModified());
    EXPECT_EQ(file_->EndAccess(0), 0);
    EXPECT_EQ(SeedOf(2, 0), 8u);  // the cache kept, and so serves, nothing of the refusal
}

TEST_F(AccessTest, OpenAndCloseEdges) {
    file_.reset();
    DataFile closed(faults_);
    EXPECT_EQ(closed.BeginAccess(false), 15);
    EXPECT_EQ(closed.Close(), 0);
    EXPECT_EQ(closed.Close(), 0);

    const std::string missing = dir_.File("missing.qdx");
    DataFile readOnly(faults_);
    bool created = false;
    EXPECT_EQ(readOnly.Open(missing.c_str(), &created, OpenReadOnly), 33);
    EXPECT_TRUE(created);
    std::uint32_t attributes = 0;
    EXPECT_NE(Platform::Default().GetPathAttributes(missing.c_str(), &attributes), 0u);

    ASSERT_EQ(OpenFile(OpenReadOnly), 0);
    EXPECT_TRUE(file_->IsReadOnly());
    EXPECT_EQ(file_->BeginAccess(true), 32);
    EXPECT_EQ(file_->AccessDepth(), 0);
    EXPECT_EQ(Read([] { return ResultCode{0}; }), 0);
    EXPECT_EQ(file_->Close(), 0);
    EXPECT_EQ(file_->Close(), 0);
    EXPECT_EQ(file_->BeginAccess(false), 15);
}

TEST_F(AccessTest, FallbackOpensReadOnlyWhenWritingIsRefused) {
    file_.reset();
    faults_.ResetCounts();
    faults_.FailCall(FaultKind::kOpen, 1, win32::kAccessDenied);
    ASSERT_EQ(OpenFile(OpenFallbackReadOnly), 0);
    EXPECT_TRUE(file_->IsReadOnly());
    EXPECT_EQ(file_->BeginAccess(true), 32);
    file_.reset();
    // Without the flag the refusal is the result, as minus the system error.
    faults_.ResetCounts();
    faults_.FailCall(FaultKind::kOpen, 1, win32::kAccessDenied);
    EXPECT_EQ(OpenFile(0), -static_cast<ResultCode>(win32::kAccessDenied));
    // For a file that does not exist the fallback is not tried.
    faults_.ResetCounts();
    faults_.FailCall(FaultKind::kOpen, 1, win32::kAccessDenied);
    path_ = dir_.File("new.qdx");
    EXPECT_EQ(OpenFile(OpenFallbackReadOnly), -static_cast<ResultCode>(win32::kAccessDenied));
    EXPECT_EQ(faults_.Count(FaultKind::kOpen), 1u);
}

TEST_F(AccessTest, ExclusiveModesNeverRereadTheHeaderSharedModesAlways) {
    faults_.ResetCounts();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(Read([] { return ResultCode{0}; }), 0);
    EXPECT_EQ(faults_.Count(FaultKind::kRead), 0u);
    for (std::uint32_t flags : {OpenShareRead, OpenReadOnly | OpenShareRead}) {
        file_.reset();
        ASSERT_EQ(OpenFile(flags), 0);
        faults_.ResetCounts();
        for (int i = 0; i < 3; ++i) ASSERT_EQ(Read([] { return ResultCode{0}; }), 0);
        EXPECT_EQ(faults_.Count(FaultKind::kRead), 0u) << flags;
    }
    for (std::uint32_t flags : {OpenShareReadWrite, OpenFileLock}) {
        file_.reset();
        ASSERT_EQ(OpenFile(flags), 0);
        faults_.ResetCounts();
        for (int i = 0; i < 3; ++i) ASSERT_EQ(Read([] { return ResultCode{0}; }), 0);
        EXPECT_EQ(faults_.Count(FaultKind::kRead), 3u) << flags;
        EXPECT_FALSE(file_->WasHeaderReloaded());
        // In the shared modes write permission lasts one access only.
        EXPECT_FALSE(file_->IsWritable());
    }
}

}  // namespace
}  // namespace quillet::testing
