// The block cache: growth to ten entries, reuse of the least recently used
// entry, growth past ten while it is pinned, write-back of a dirty entry that
// is reused, the order an entry sinks to when it is released, reads that cost
// no file access, the refusal to write block 0, and write runs and read
// windows that grow as they go.

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "tests/engine/EngineFixture.h"
#include "tests/support/FaultPlatform.h"

namespace quillet::testing {
namespace {

class CacheTest : public DiskFileTest {
  protected:
    Platform& platform() override { return faults_; }
    void SetUp() override {
        DiskFileTest::SetUp();
        ASSERT_EQ(OpenFile(), 0);
        // Table 2 with 20 blocks (a direct map) and table 3 with 40 (an
        // indirect one) on disk, committed.
        ASSERT_EQ(Write([&] {
                      ResultCode r = MakeTable(*file_, 2);
                      if (r == 0) r = MakeTable(*file_, 3);
                      for (std::uint16_t i = 0; r == 0 && i < 20; ++i) {
                          r = WriteWholeBlock(*file_, 2, i, PatternBlock(i));
                      }
                      for (std::uint16_t i = 0; r == 0 && i < 40; ++i) {
                          r = WriteWholeBlock(*file_, 3, i, PatternBlock(100 + i));
                      }
                      return r;
                  }),
                  0);
        Reopen();
        // A fresh object, so that the cache holds the root block only.
        file_.reset();
        ASSERT_EQ(OpenFile(), 0);
        ASSERT_EQ(file_->CacheCount(), 1);
    }
    // The cache list from head to tail as (table, index, pins).
    std::vector<std::string> Order() const {
        std::vector<std::string> out;
        for (CacheEntry* e = file_->CacheHead(); e != nullptr; e = e->next) {
            out.push_back(std::to_string(e->table) + ":" + std::to_string(e->index) +
                          (e->flags & kEntryMapBlock ? "m" : "") + "/" +
                          std::to_string(e->pinCount));
        }
        return out;
    }
    FaultPlatform faults_{Platform::Default()};
};

TEST_F(CacheTest, GrowsToTenThenReusesTheLeastRecentlyUsed) {
    ASSERT_EQ(file_->BeginAccess(false), 0);
    ASSERT_EQ(file_->LoadRootBlock(), 0);
    EXPECT_EQ(file_->CacheCount(), 1);
    BlockImage b;
    for (std::uint16_t i = 0; i < 9; ++i) ASSERT_EQ(ReadWholeBlock(*file_, 2, i, &b), 0);
    EXPECT_EQ(file_->CacheCount(), 10);
    CacheEntry* tail = file_->CacheTail();
    ASSERT_EQ(tail->pinCount, 0);
    EXPECT_EQ(tail->index, 0);
    for (std::uint16_t i = 9; i < 20; ++i) {
        ASSERT_EQ(ReadWholeBlock(*file_, 2, i, &b), 0);
        ASSERT_EQ(b, PatternBlock(i));
        ASSERT_EQ(file_->CacheCount(), 10);
    }
    // The oldest blocks are gone; reading one again costs a file read.
    faults_.ResetCounts();
    ASSERT_EQ(ReadWholeBlock(*file_, 2, 0, &b), 0);
    EXPECT_EQ(faults_.Count(FaultKind::kRead), 1u);
    ASSERT_EQ(ReadWholeBlock(*file_, 2, 0, &b), 0);
    EXPECT_EQ(faults_.Count(FaultKind::kRead), 1u);  // now cached
    EXPECT_EQ(file_->EndAccess(0), 0);
}

TEST_F(CacheTest, GrowsPastTenWhileTheTailIsPinned) {
    ASSERT_EQ(file_->BeginAccess(false), 0);
    std::vector<std::unique_ptr<BlockRef>> held;
    for (std::uint16_t i = 0; i < 25; ++i) {
        held.push_back(std::make_unique<BlockRef>(*file_));
        ASSERT_EQ(file_->GetBlock(3, i, held.back()->Out()), 0);
        ASSERT_EQ(std::vector<std::uint8_t>(held.back()->data(), held.back()->data() + 512),
                  PatternBlock(100 + i));
    }
    // The pinned root (table 3's descriptor is in it) and 25 pinned data
    // blocks: past ten entries, every block pinned at the tail made the cache
    // grow. (The index block's entry, unpinned at the tail, was taken once.)
    EXPECT_EQ(file_->CacheCount(), 26);
    const std::int32_t grown = file_->CacheCount();
    held.clear();
    BlockImage b;
    for (std::uint16_t i = 25; i < 40; ++i) {
        ASSERT_EQ(ReadWholeBlock(*file_, 3, i, &b), 0);
        ASSERT_EQ(b, PatternBlock(100 + i));
    }
    EXPECT_EQ(file_->CacheCount(), grown);  // unpinned entries are reused, never freed
    EXPECT_EQ(file_->EndAccess(0), 0);
}

bool Cached(const DataFile& file, std::int16_t table, std::int16_t index) {
    for (const CacheEntry* e = file.CacheHead(); e != nullptr; e = e->next) {
        if ((e->flags & kEntryInUse) && !(e->flags & kEntryMapBlock) && e->table == table &&
            e->index == index) {
            return true;
        }
    }
    return false;
}

TEST_F(CacheTest, ReusedDirtyEntryIsWrittenFirst) {
    ASSERT_EQ(file_->BeginAccess(true), 0);
    ASSERT_EQ(WriteWholeBlock(*file_, 2, 0, PatternBlock(777)), 0);
    BlockNumber place = 0;
    ASSERT_EQ(file_->GetBlockNumber(2, 0, &place), 0);
    ASSERT_TRUE(place & kFreshFlag);
    faults_.ResetCounts();
    BlockImage b;
    // Read until the dirty entry reaches the tail and is taken.
    for (std::uint16_t i = 1; i < 40 && Cached(*file_, 2, 0); ++i) {
        ASSERT_EQ(ReadWholeBlock(*file_, 2, i, &b), 0);
    }
    ASSERT_FALSE(Cached(*file_, 2, 0));
    // The entry's bytes went to the write run; a read of their place writes
    // the run out first and sees them.
    std::uint8_t in[kBlockSize];
    ASSERT_EQ(file_->ReadBlockAt(place, in), 0);
    EXPECT_EQ(BlockImage(in, in + kBlockSize), PatternBlock(777));
    ASSERT_EQ(faults_.Count(FaultKind::kWrite), 1u);
    const std::vector<std::uint8_t> bytes = ReadFileBytes(path_);
    const std::size_t at = (place & kBlockNumberMask) * kBlockSize;
    ASSERT_GE(bytes.size(), at + kBlockSize);
    EXPECT_EQ(BlockImage(bytes.begin() + at, bytes.begin() + at + kBlockSize), PatternBlock(777));
    // Written, but the transaction is not committed: the header is unchanged
    // and a failure drops it.
    EXPECT_EQ(file_->EndAccess(5), 5);
    ASSERT_EQ(Read([&] { return ReadWholeBlock(*file_, 2, 0, &b); }), 0);
    EXPECT_EQ(b, PatternBlock(0));
    EXPECT_SOUND(*file_);
}

TEST_F(CacheTest, NeighbouringBlocksTravelTogether) {
    // Ten changed blocks, evicted and flushed: the new places of blocks 1..9
    // follow each other, so they go out in one write, and so does a read of
    // the committed blocks, which lie side by side as well.
    faults_.ResetCounts();
    ASSERT_EQ(Write([&] {
                  ResultCode r = 0;
                  for (std::uint16_t i = 0; r == 0 && i < 10; ++i) {
                      r = WriteWholeBlock(*file_, 2, i, PatternBlock(500 + i));
                  }
                  BlockImage b;
                  for (std::uint16_t i = 0; r == 0 && i < 40; ++i) {
                      r = ReadWholeBlock(*file_, 3, i, &b);
                  }
                  return r;
              }),
              0);
    const std::uint64_t writes = faults_.Count(FaultKind::kWrite);  // blocks and the header
    EXPECT_LT(writes, 6u);
    EXPECT_EQ(file_->Transfers().writeCalls + 1, writes);
    EXPECT_EQ(file_->Transfers().blocksWritten, 11u);  // ten blocks and the root
    EXPECT_LT(faults_.Count(FaultKind::kRead), 20u);
    Reopen();
    BlockImage b;
    for (std::uint16_t i = 0; i < 20; ++i) {
        ASSERT_EQ(Read([&] { return ReadWholeBlock(*file_, 2, i, &b); }), 0);
        EXPECT_EQ(b, PatternBlock(i < 10 ? 500 + i : i)) << i;
    }
    for (std::uint16_t i = 0; i < 40; ++i) {
        ASSERT_EQ(Read([&] { return ReadWholeBlock(*file_, 3, i, &b); }), 0);
        EXPECT_EQ(b, PatternBlock(100 + i)) << i;
    }
    EXPECT_SOUND(*file_);
}

TEST_F(CacheTest, LongRunsAndWindowsGrowAsTheyGo) {
    // 600 new blocks in one transaction: the write run starts small and
    // doubles while it fills, keeping what it holds, so the blocks still go
    // out in a few large writes; read back in order, the window doubles too.
    faults_.ResetCounts();
    ASSERT_EQ(Write([&] {
                  ResultCode r = MakeTable(*file_, 4);
                  for (std::uint16_t i = 0; r == 0 && i < 600; ++i) {
                      r = WriteWholeBlock(*file_, 4, i, PatternBlock(3000 + i));
                  }
                  return r;
              }),
              0);
    EXPECT_GE(file_->Transfers().blocksWritten, 600u);
    EXPECT_LT(file_->Transfers().writeCalls, 16u) << file_->Transfers().writeCalls;
    file_.reset();
    ASSERT_EQ(OpenFile(), 0);
    BlockImage b;
    ASSERT_EQ(Read([&] {
                  ResultCode r = 0;
                  for (std::uint16_t i = 0; r == 0 && i < 600; ++i) {
                      r = ReadWholeBlock(*file_, 4, i, &b);
                      if (r == 0 && b != PatternBlock(3000 + i)) r = 99;
                  }
                  return r;
              }),
              0);
    EXPECT_GE(file_->Transfers().blocksRead, 600u);
    EXPECT_LT(file_->Transfers().readCalls, 12u) << file_->Transfers().readCalls;
    EXPECT_SOUND(*file_);
}

TEST_F(CacheTest, FailedWriteOutLosesNoBlock) {
    // Table 3's first change moves its index block between the first two
    // data blocks' new places, so an eviction soon has to write the run out;
    // that write fails. The eviction is refused and changes nothing, and the
    // run keeps its blocks: once the disk works again, every block arrives.
    ASSERT_EQ(file_->BeginAccess(true), 0);
    faults_.ResetCounts();
    faults_.FailCall(FaultKind::kWrite, 1, win32::kDiskFull);
    std::uint16_t failedAt = 40;
    for (std::uint16_t i = 0; i < 40; ++i) {
        const ResultCode r = WriteWholeBlock(*file_, 3, i, PatternBlock(900 + i));
        if (r != 0) {
            EXPECT_EQ(r, 4);
            failedAt = i;
            break;
        }
    }
    ASSERT_LT(failedAt, 40);
    EXPECT_EQ(faults_.InjectedFailures(), 1u);
    BlockImage b;
    for (std::uint16_t i = 0; i < failedAt; ++i) {
        ASSERT_EQ(ReadWholeBlock(*file_, 3, i, &b), 0);
        EXPECT_EQ(b, PatternBlock(900 + i)) << i;
    }
    for (std::uint16_t i = failedAt; i < 40; ++i) {
        ASSERT_EQ(WriteWholeBlock(*file_, 3, i, PatternBlock(900 + i)), 0);
    }
    EXPECT_EQ(file_->EndAccess(0), 0);
    Reopen();
    for (std::uint16_t i = 0; i < 40; ++i) {
        ASSERT_EQ(Read([&] { return ReadWholeBlock(*file_, 3, i, &b); }), 0);
        EXPECT_EQ(b, PatternBlock(900 + i)) << i;
    }
    EXPECT_SOUND(*file_);
}

TEST_F(CacheTest, ReleasedEntrySinksBehindThePinnedOnesThatFollow) {
    ASSERT_EQ(file_->BeginAccess(false), 0);
    ASSERT_EQ(file_->LoadRootBlock(), 0);
    BlockRef a(*file_), b(*file_), c(*file_), d(*file_);
    ASSERT_EQ(file_->GetBlock(2, 10, d.Out()), 0);
    {
        BlockRef passing(*file_);
        ASSERT_EQ(file_->GetBlock(2, 11, passing.Out()), 0);
    }  // released: sinks behind 10 and the pinned root, to the tail
    EXPECT_EQ(Order(), (std::vector<std::string>{"2:10/1", "0:0/1", "2:11/0"}));
    ASSERT_EQ(file_->GetBlock(2, 12, c.Out()), 0);
    ASSERT_EQ(file_->GetBlock(2, 13, b.Out()), 0);
    ASSERT_EQ(file_->GetBlock(2, 14, a.Out()), 0);
    EXPECT_EQ(Order(), (std::vector<std::string>{"2:14/1", "2:13/1", "2:12/1", "2:10/1", "0:0/1",
                                                 "2:11/0"}));
    a.Reset();  // 14 sinks behind the pinned entries that follow it, not further
    const std::vector<std::string> order = Order();
    EXPECT_EQ(order, (std::vector<std::string>{"2:13/1", "2:12/1", "2:10/1", "0:0/1", "2:14/0",
                                               "2:11/0"}));
    // Releasing an entry that holds no pin changes nothing.
    file_->ReleaseBlock(file_->CacheTail());
    EXPECT_EQ(Order(), order);
    // A second pin on an entry: the first release only counts.
    ASSERT_EQ(file_->GetBlock(2, 13, a.Out()), 0);
    b.Reset();
    EXPECT_EQ(Order()[0], "2:13/1");
    file_->ReleaseBlock(nullptr);
    EXPECT_EQ(file_->EndAccess(0), 0);
}

TEST_F(CacheTest, PositionsWithoutPlaceReadAsZerosWithoutFileAccess) {
    ASSERT_EQ(Write([&] { return file_->SetTableBlockCount(2, 100); }), 0);
    Reopen();
    ASSERT_EQ(file_->BeginAccess(false), 0);
    ASSERT_EQ(file_->LoadRootBlock(), 0);
    faults_.ResetCounts();
    BlockImage b;
    for (std::uint16_t i = 40; i < 100; i += 7) {
        ASSERT_EQ(ReadWholeBlock(*file_, 2, i, &b), 0);
        EXPECT_EQ(b, BlockImage(kBlockSize, 0));
    }
    ASSERT_EQ(ReadWholeBlock(*file_, 2, 4000, &b), 0);  // beyond the count
    EXPECT_EQ(b, BlockImage(kBlockSize, 0));
    EXPECT_EQ(faults_.Count(FaultKind::kRead), 0u);
    EXPECT_EQ(faults_.Count(FaultKind::kSeek), 0u);
    EXPECT_EQ(file_->EndAccess(0), 0);
}

TEST_F(CacheTest, BlockZeroIsNeverWrittenAndShortReadsGiveThree) {
    const std::uint8_t buffer[kBlockSize] = {};
    EXPECT_EQ(file_->WriteBlockAt(0, buffer), 23);
    EXPECT_EQ(file_->WriteBlockAt(0x8000, buffer), 23);
    std::uint8_t in[kBlockSize];
    // Within FileBlocks but beyond the end of the file: a short read.
    const std::uint16_t blocks = file_->FileBlocks();
    std::vector<std::uint8_t> bytes = ReadFileBytes(path_);
    bytes.resize(bytes.size() - 100);
    file_.reset();
    ASSERT_TRUE(WriteFileBytes(path_, bytes));
    ASSERT_EQ(OpenFile(), 0);
    EXPECT_EQ(file_->ReadBlockAt(static_cast<BlockNumber>(blocks - 1), in), 3);
    EXPECT_EQ(file_->ReadBlockAt(blocks, in), 3);  // at FileBlocks: not a block of this file
    EXPECT_EQ(file_->ReadBlockAt(0x7fff, in), 3);
}

TEST_F(CacheTest, FailedReadLeavesNoEntryBehind) {
    ASSERT_EQ(file_->BeginAccess(false), 0);
    ASSERT_EQ(file_->LoadRootBlock(), 0);
    faults_.ResetCounts();
    faults_.FailCall(FaultKind::kRead, 1, win32::kReadFault);
    BlockRef ref(*file_);
    EXPECT_EQ(file_->GetBlock(2, 3, ref.Out()), 3);
    EXPECT_FALSE(ref);
    // The next lookup reads again and sees the real contents.
    BlockImage b;
    ASSERT_EQ(ReadWholeBlock(*file_, 2, 3, &b), 0);
    EXPECT_EQ(b, PatternBlock(3));
    EXPECT_EQ(faults_.Count(FaultKind::kRead), 2u);
    EXPECT_EQ(file_->EndAccess(0), 0);
}

TEST_F(CacheTest, InvalidatedDirtyEntriesAreNotWritten) {
    ASSERT_EQ(file_->BeginAccess(true), 0);
    ASSERT_EQ(WriteWholeBlock(*file_, 2, 5, PatternBlock(55)), 0);
    file_->DropCache();
    faults_.ResetCounts();
    EXPECT_EQ(file_->FlushCache(), 0);
    EXPECT_EQ(faults_.Count(FaultKind::kWrite), 0u);
    EXPECT_EQ(file_->EndAccess(9), 9);
    EXPECT_SOUND(*file_);
}

// A platform that records the write-back requests of its files and answers
// them with `answer`.
class WriteBackRecorder : public WrappingPlatform {
  public:
    explicit WriteBackRecorder(Platform& inner) : WrappingPlatform(inner) {}
    struct Request {
        std::uint64_t offset, length, writtenBefore;
    };
    std::vector<Request> requests;
    std::uint64_t written = 0;
    Win32Error answer = win32::kSuccess;

  protected:
    std::unique_ptr<File> WrapFile(std::unique_ptr<File> file) override {
        class Recording : public WrappingFile {
          public:
            Recording(std::unique_ptr<File> inner, WriteBackRecorder& owner)
                : WrappingFile(std::move(inner)), owner_(owner) {}
            Win32Error Write(const void* buffer, std::uint32_t count,
                             std::uint32_t* done) override {
                const Win32Error e = WrappingFile::Write(buffer, count, done);
                owner_.written += *done;
                return e;
            }
            Win32Error StartWriteBack(std::uint64_t offset, std::uint64_t length) override {
                owner_.requests.push_back({offset, length, owner_.written});
                if (owner_.answer != win32::kSuccess) return owner_.answer;
                return WrappingFile::StartWriteBack(offset, length);
            }

          private:
            WriteBackRecorder& owner_;
        };
        return std::make_unique<Recording>(std::move(file), *this);
    }
};

class WriteBackTest : public DiskFileTest {
  protected:
    Platform& platform() override { return recorder_; }
    WriteBackRecorder recorder_{Platform::Default()};
};

// A transaction that writes megabytes asks for write-back every 4 MiB or so,
// over ranges it wrote, and its outcome never depends on the answer; reading
// asks for nothing.
TEST_F(WriteBackTest, LargeTransactionsAskForWriteBackAndIgnoreTheAnswer) {
    constexpr std::uint16_t kBlocks = 6000;  // about 3 MiB a table
    for (const Win32Error answer : {win32::kSuccess, win32::kWriteFault}) {
        SCOPED_TRACE(answer);
        recorder_.answer = answer;
        recorder_.requests.clear();
        std::remove(path_.c_str());
        ASSERT_EQ(OpenFile(), 0);
        ASSERT_EQ(Write([&] {
                      ResultCode r = 0;
                      for (std::uint16_t t = 2; r == 0 && t < 5; ++t) {
                          r = MakeTable(*file_, t);
                          for (std::uint16_t i = 0; r == 0 && i < kBlocks; ++i) {
                              r = WriteWholeBlock(*file_, t, i, PatternBlock(t * 10000u + i));
                          }
                      }
                      return r;
                  }),
                  0);
        // About 9 MiB written: two requests, each after 4 MiB more, within
        // the file and past its header.
        ASSERT_EQ(recorder_.requests.size(), 2u);
        std::uint64_t before = 0;
        for (const auto& request : recorder_.requests) {
            EXPECT_GE(request.writtenBefore, before + (4u << 20));
            before = request.writtenBefore;
            EXPECT_GE(request.offset, kBlockSize);
            EXPECT_GE(request.length, 4u << 20);
            EXPECT_LE(request.offset + request.length,
                      std::uint64_t{file_->FileBlocks()} * kBlockSize);
        }
        EXPECT_EQ(file_->Transfers().writeBackRequests, 2u);
        Reopen();
        recorder_.requests.clear();
        ASSERT_EQ(Read([&] {
                      ResultCode r = 0;
                      BlockImage b;
                      for (std::uint16_t t = 2; r == 0 && t < 5; ++t) {
                          for (std::uint16_t i = 0; r == 0 && i < kBlocks; i += 97) {
                              r = ReadWholeBlock(*file_, t, i, &b);
                              if (r == 0 && b != PatternBlock(t * 10000u + i)) r = 99;
                          }
                      }
                      return r;
                  }),
                  0);
        EXPECT_TRUE(recorder_.requests.empty());
        file_.reset();
    }
}

}  // namespace
}  // namespace quillet::testing
