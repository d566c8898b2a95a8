// Copy-on-write and the free list: one new place per block per transaction,
// freed places kept back until the commit, skipped free-list entries, the end
// of the 16 MiB address space, the two orders in which compaction packs the
// list, and the root block moving between blocks 1 and 2 in a small file.

#include <gtest/gtest.h>

#include <vector>

#include "tests/engine/EngineFixture.h"

namespace quillet::testing {
namespace {

class FreeListTest : public DiskFileTest {
  protected:
    void SetUp() override {
        DiskFileTest::SetUp();
        ASSERT_EQ(OpenFile(), 0);
    }
    // The free list as stored (low 15 bits of every entry).
    std::vector<BlockNumber> FreeList() {
        std::vector<BlockNumber> list;
        const ResultCode r = Read([&] {
            const std::uint16_t length = DescriptorField16(*file_, 1, descriptor::kBlockCount);
            for (std::uint16_t k = 0; k < length; ++k) {
                BlockNumber n = 0;
                const ResultCode got = file_->GetBlockNumber(1, k, &n);
                if (got != 0) return got;
                list.push_back(n & kBlockNumberMask);
            }
            return ResultCode{0};
        });
        EXPECT_EQ(r, 0);
        return list;
    }
    BlockNumber PlaceOf(std::uint16_t table, std::uint16_t index) {
        BlockNumber n = 0;
        EXPECT_EQ(file_->GetBlockNumber(table, index, &n), 0);
        return n & kBlockNumberMask;
    }
    // Moves the root in the current transaction, as its first change.
    ResultCode MoveRoot() {
        ResultCode r = file_->LoadRootBlock();
        if (r != 0) return r;
        file_->PrepareBlockForChange(file_->RootEntry());
        return file_->MarkBlockModified(file_->RootEntry(), false);
    }
    // Table 2 with `count` blocks, then cut to 1 block so that `count` - 1
    // places (and the old roots) are free; returns the free list.
    std::vector<BlockNumber> MakeFreeList(std::uint16_t count) {
        EXPECT_EQ(Write([&] {
                      ResultCode r = MakeTable(*file_, 2);
                      for (std::uint16_t i = 0; r == 0 && i < count; ++i) {
                          r = WriteWholeBlock(*file_, 2, i, PatternBlock(i));
                      }
                      return r;
                  }),
                  0);
        EXPECT_EQ(Write([&] { return file_->SetTableBlockCount(2, 1); }), 0);
        EXPECT_EQ(Write([&] { return file_->SetTableBlockCount(2, 3); }), 0);
        return FreeList();
    }
};

TEST_F(FreeListTest, TwoChangesToOneBlockGiveOnePlaceAndOneFree) {
    ASSERT_EQ(Write([&] {
                  ResultCode r = MakeTable(*file_, 2);
                  if (r == 0) r = WriteWholeBlock(*file_, 2, 0, PatternBlock(1));
                  return r;
              }),
              0);
    BlockNumber old = 0, first = 0, second = 0;
    ASSERT_EQ(Read([&] {
                  old = PlaceOf(2, 0);
                  return ResultCode{0};
              }),
              0);
    ASSERT_EQ(Write([&] {
                  ResultCode r = WriteWholeBlock(*file_, 2, 0, PatternBlock(2));
                  first = PlaceOf(2, 0);
                  if (r == 0) r = WriteWholeBlock(*file_, 2, 0, PatternBlock(3));
                  second = PlaceOf(2, 0);
                  return r;
              }),
              0);
    EXPECT_NE(first, old);
    EXPECT_EQ(first, second);
    const std::vector<BlockNumber> list = FreeList();
    EXPECT_EQ(std::count(list.begin(), list.end(), old), 1);
    EXPECT_SOUND(*file_);
}

TEST_F(FreeListTest, FreedPlacesWaitForTheCommit) {
    ASSERT_EQ(Write([&] {
                  ResultCode r = MakeTable(*file_, 2);
                  for (std::uint16_t i = 0; r == 0 && i < 5; ++i) {
                      r = WriteWholeBlock(*file_, 2, i, PatternBlock(i));
                  }
                  return r;
              }),
              0);
    ASSERT_TRUE(FreeList().size() <= 1);
    std::vector<BlockNumber> freed;
    std::vector<BlockNumber> allocated;
    ASSERT_EQ(Write([&] {
                  for (std::uint16_t i = 0; i < 5; ++i) freed.push_back(PlaceOf(2, i));
                  ResultCode r = file_->SetTableBlockCount(2, 0);
                  for (std::uint16_t i = 0; r == 0 && i < 8; ++i) {
                      BlockNumber n = 0;
                      r = file_->AllocateBlock(&n);
                      allocated.push_back(n);
                      if (r == 0) r = file_->FreeBlock(n);
                  }
                  return r;
              }),
              0);
    for (BlockNumber n : allocated) {
        EXPECT_EQ(std::count(freed.begin(), freed.end(), n), 0) << n;
    }
    EXPECT_SOUND(*file_);
    // After the commit they are handed out again.
    const std::vector<BlockNumber> list = FreeList();
    for (BlockNumber n : freed) EXPECT_EQ(std::count(list.begin(), list.end(), n), 1) << n;
}

TEST_F(FreeListTest, EmptyAndOutOfRangeEntriesAreSkipped) {
    const std::vector<BlockNumber> list = MakeFreeList(6);
    ASSERT_GE(list.size(), 4u);
    ASSERT_EQ(file_->BeginAccess(true), 0);
    ASSERT_EQ(MoveRoot(), 0);  // takes entry 0
    ASSERT_EQ(file_->FreeCursor(), 1);
    // Spoil entries 1 and 2 in the working state: 0, and a number beyond the file.
    ASSERT_EQ(file_->SetBlockNumber(1, 1, 0, BlockKind::kData, false), 0);
    ASSERT_EQ(file_->SetBlockNumber(1, 2, 0x7000, BlockKind::kData, false), 0);
    BlockNumber n = 0;
    ASSERT_EQ(file_->AllocateBlock(&n), 0);
    EXPECT_EQ(n, list[3]);
    EXPECT_EQ(file_->FreeCursor(), 4);
    EXPECT_EQ(file_->EndAccess(1), 1);
}

TEST_F(FreeListTest, TheLastBlockNumberAndThen31) {
    file_.reset();
    std::vector<std::uint8_t> bytes = ReadFileBytes(path_);
    Store16(&bytes[header::kFileBlocks], 0x7fff);
    FixHeaderChecksum(bytes.data());
    ASSERT_TRUE(WriteFileBytes(path_, bytes));
    ASSERT_EQ(OpenFile(), 0);
    ASSERT_EQ(file_->BeginAccess(true), 0);
    BlockNumber n = 0;
    ASSERT_EQ(file_->AllocateBlock(&n), 0);
    EXPECT_EQ(n, 0x7fff);
    EXPECT_EQ(file_->FileBlocks(), 0x8000);
    EXPECT_EQ(file_->AllocateBlock(&n), 31);
    EXPECT_EQ(file_->EndAccess(31), 31);
    // A real change in a full file fails with 31 and leaves the file alone.
    file_.reset();
    Store16(&bytes[header::kFileBlocks], 0x8000);
    FixHeaderChecksum(bytes.data());
    ASSERT_TRUE(WriteFileBytes(path_, bytes));
    ASSERT_EQ(OpenFile(), 0);
    EXPECT_EQ(Write([&] { return MakeTable(*file_, 2); }), 31);
    EXPECT_EQ(ReadFileBytes(path_), bytes);
}

// Two entries consumed, three numbers freed: the first two freed numbers take
// indexes 0 and 1, the entries not consumed stay where they were, the third
// freed number comes last.
TEST_F(FreeListTest, CompactionOrderTwoConsumedThreeFreed) {
    const std::vector<BlockNumber> before = MakeFreeList(6);
    ASSERT_GE(before.size(), 4u);
    const BlockNumber oldRoot = file_->RootBlockNumber() & kBlockNumberMask;
    BlockNumber taken = 0, dataPlace = 0;
    ASSERT_EQ(Write([&] {
                  ResultCode r = MoveRoot();  // consumes entry 0, frees the old root
                  if (r == 0) r = file_->AllocateBlock(&taken);  // consumes entry 1
                  if (r == 0) r = file_->FreeBlock(taken);       // freed second
                  dataPlace = PlaceOf(2, 0);
                  if (r == 0) r = file_->SetBlockNumber(2, 0, 0, BlockKind::kData, true);  // third
                  return r;
              }),
              0);
    ASSERT_EQ(taken, before[1]);
    std::vector<BlockNumber> expected = {oldRoot, taken};
    expected.insert(expected.end(), before.begin() + 2, before.end());
    expected.push_back(dataPlace);
    EXPECT_EQ(FreeList(), expected);
    EXPECT_SOUND(*file_);
}

// Three entries consumed, one number freed: the freed number takes index 0,
// the last two entries of the list fill indexes 1 and 2, the last one first.
TEST_F(FreeListTest, CompactionOrderThreeConsumedOneFreed) {
    const std::vector<BlockNumber> before = MakeFreeList(8);
    ASSERT_GE(before.size(), 6u);
    const BlockNumber oldRoot = file_->RootBlockNumber() & kBlockNumberMask;
    ASSERT_EQ(Write([&] {
                  ResultCode r = MoveRoot();  // consumes entry 0, frees the old root
                  // Positions 1 and 2 have no place: each write consumes an entry.
                  if (r == 0) r = WriteWholeBlock(*file_, 2, 1, PatternBlock(11));
                  if (r == 0) r = WriteWholeBlock(*file_, 2, 2, PatternBlock(12));
                  return r;
              }),
              0);
    const std::size_t n = before.size();
    std::vector<BlockNumber> expected = {oldRoot, before[n - 1], before[n - 2]};
    expected.insert(expected.end(), before.begin() + 3, before.end() - 2);
    EXPECT_EQ(FreeList(), expected);
    EXPECT_SOUND(*file_);
}

// Changes that only touch the root block keep a new file three blocks long:
// the root moves to block 2 and back to block 1, the free list holding the
// other one after each commit.
TEST_F(FreeListTest, RootPingPongsBetweenBlocksOneAndTwo) {
    for (int round = 0; round < 12; ++round) {
        const std::uint16_t table = static_cast<std::uint16_t>(2 + round % 6);
        ASSERT_EQ(Write([&] {
                      return round % 2 == 0
                                 ? MakeTable(*file_, table)
                                 : file_->DeleteTable(static_cast<std::uint16_t>(table - 1));
                  }),
                  0);
        const BlockNumber root = file_->RootBlockNumber();
        EXPECT_EQ(root, round % 2 == 0 ? 2 : 1) << round;
        EXPECT_EQ(file_->FileBlocks(), 3) << round;
        EXPECT_EQ(FreeList(), std::vector<BlockNumber>{static_cast<BlockNumber>(3 - root)})
            << round;
        EXPECT_SOUND(*file_);
    }
    file_.reset();
    EXPECT_EQ(ReadFileBytes(path_).size(), 3u * kBlockSize);
}

TEST_F(FreeListTest, ReadOnlyTransactionChangesNothing) {
    MakeFreeList(5);
    const std::vector<std::uint8_t> bytes = ReadFileBytes(path_);
    ASSERT_EQ(file_->BeginAccess(true), 0);
    BlockImage b;
    for (std::uint16_t i = 0; i < 3; ++i) ASSERT_EQ(ReadWholeBlock(*file_, 2, i, &b), 0);
    EXPECT_FALSE(file_->IsModified());
    EXPECT_EQ(file_->EndAccess(0), 0);
    EXPECT_EQ(ReadFileBytes(path_), bytes);
}

// A long free list is stored through index blocks, which move themselves
// while the list is compacted; the walk must still find every block once.
TEST_F(FreeListTest, LongFreeListThroughIndexBlocks) {
    ASSERT_EQ(Write([&] {
                  ResultCode r = MakeTable(*file_, 2);
                  for (std::uint16_t i = 0; r == 0 && i < 700; ++i) {
                      r = WriteWholeBlock(*file_, 2, i, PatternBlock(i));
                  }
                  return r;
              }),
              0);
    ASSERT_EQ(Write([&] { return file_->SetTableBlockCount(2, 0); }), 0);
    EXPECT_GE(FreeList().size(), 700u);
    std::uint8_t d[kDescriptorSize];
    ASSERT_EQ(Read([&] { return file_->ReadTableDescriptor(1, d); }), 0);
    EXPECT_EQ(d[descriptor::kIndirect], 1);
    EXPECT_SOUND(*file_);
    const std::uint16_t blocks = file_->FileBlocks();
    // Reuse them all, a few at a time.
    for (int round = 0; round < 7; ++round) {
        ASSERT_EQ(Write([&] {
                      ResultCode r = 0;
                      for (std::uint16_t i = 0; r == 0 && i < 100; ++i) {
                          r = WriteWholeBlock(*file_, 2,
                                              static_cast<std::uint16_t>(round * 100 + i),
                                              PatternBlock(5000 + round * 100 + i));
                      }
                      return r;
                  }),
                  0);
        ASSERT_SOUND(*file_);
    }
    EXPECT_LE(file_->FileBlocks(), blocks + 8);
    Reopen();
    BlockImage b;
    for (std::uint16_t i = 0; i < 700; i += 37) {
        ASSERT_EQ(Read([&] { return ReadWholeBlock(*file_, 2, i, &b); }), 0);
        EXPECT_EQ(b, PatternBlock(5000 + i));
    }
}

}  // namespace
}  // namespace quillet::testing
