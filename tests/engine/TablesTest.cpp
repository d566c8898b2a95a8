// Tables and their block maps: data written and read back across commits and
// reopens, direct maps turning indirect at index 24, tables in directory blocks
// that do not exist yet, free table numbers, sizing, and the rule that a
// position whose map entry was set to 0 never answers from the cache again.

#include <gtest/gtest.h>

#include <cstring>

#include "tests/engine/EngineFixture.h"

namespace quillet::testing {
namespace {

class TablesTest : public DiskFileTest {
  protected:
    void SetUp() override {
        DiskFileTest::SetUp();
        ASSERT_EQ(OpenFile(), 0);
    }
    void ExpectBlock(std::uint16_t table, std::uint16_t index, const BlockImage& want) {
        BlockImage got;
        ASSERT_EQ(Read([&] { return ReadWholeBlock(*file_, table, index, &got); }), 0);
        EXPECT_EQ(got, want) << "table " << table << " index " << index;
    }
    BlockImage Zeros() const { return BlockImage(kBlockSize, 0); }
};

TEST_F(TablesTest, BlocksSurviveCommitAndReopen) {
    ASSERT_EQ(Write([&] {
                  ResultCode r = MakeTable(*file_, 2);
                  for (std::uint16_t i = 0; r == 0 && i < 5; ++i) {
                      r = WriteWholeBlock(*file_, 2, i, PatternBlock(i));
                  }
                  return r;
              }),
              0);
    EXPECT_SOUND(*file_);
    Reopen();
    for (std::uint16_t i = 0; i < 5; ++i) ExpectBlock(2, i, PatternBlock(i));
    EXPECT_EQ(
        Read([&] { return DescriptorField16(*file_, 2, descriptor::kBlockCount) == 5 ? 0 : 1; }),
        0);
}

TEST_F(TablesTest, DataBlock24MakesTheMapIndirectAndKeepsOldPlaces) {
    BlockNumber before[24] = {};
    ASSERT_EQ(Write([&] {
                  ResultCode r = MakeTable(*file_, 2);
                  for (std::uint16_t i = 0; r == 0 && i < 24; ++i) {
                      r = WriteWholeBlock(*file_, 2, i, PatternBlock(100 + i));
                  }
                  return r;
              }),
              0);
    ASSERT_EQ(Read([&] {
                  for (std::uint16_t i = 0; i < 24; ++i) {
                      const ResultCode r = file_->GetBlockNumber(2, i, &before[i]);
                      if (r != 0) return r;
                  }
                  return ResultCode{0};
              }),
              0);
    ASSERT_EQ(Write([&] { return WriteWholeBlock(*file_, 2, 24, PatternBlock(124)); }), 0);
    EXPECT_SOUND(*file_);
    Reopen();
    std::uint8_t d[kDescriptorSize];
    ASSERT_EQ(Read([&] { return file_->ReadTableDescriptor(2, d); }), 0);
    EXPECT_EQ(d[descriptor::kIndirect], 1);
    EXPECT_EQ(d[descriptor::kMapFlag], 1);
    EXPECT_EQ(Load16(d + descriptor::kBlockCount), 25);
    for (std::size_t s = 1; s < kDirectSlots; ++s) EXPECT_EQ(Load16(d + 16 + 2 * s), 0) << s;
    for (std::uint16_t i = 0; i < 24; ++i) {
        BlockNumber now = 0;
        ASSERT_EQ(Read([&] { return file_->GetBlockNumber(2, i, &now); }), 0);
        EXPECT_EQ(now, before[i]) << i;
        ExpectBlock(2, i, PatternBlock(100 + i));
    }
    ExpectBlock(2, 24, PatternBlock(124));
}

TEST_F(TablesTest, FarIndexesUseTheirOwnIndexBlocks) {
    const std::uint16_t indexes[] = {0, 255, 256, 511, 1000, 6143};
    ASSERT_EQ(Write([&] {
                  ResultCode r = MakeTable(*file_, 9);
                  for (std::uint16_t i : indexes) {
                      if (r == 0) r = WriteWholeBlock(*file_, 9, i, PatternBlock(i));
                  }
                  return r;
              }),
              0);
    EXPECT_SOUND(*file_);
    Reopen();
    for (std::uint16_t i : indexes) ExpectBlock(9, i, PatternBlock(i));
    ExpectBlock(9, 5000, Zeros());
    std::uint8_t d[kDescriptorSize];
    ASSERT_EQ(Read([&] { return file_->ReadTableDescriptor(9, d); }), 0);
    EXPECT_EQ(Load16(d + descriptor::kBlockCount), 6144);
    int slots = 0;
    for (std::size_t s = 0; s < kDirectSlots; ++s) slots += Load16(d + 16 + 2 * s) != 0;
    EXPECT_EQ(slots, 4);  // index blocks 0, 1, 3 and 23
    EXPECT_EQ(Write([&] { return WriteWholeBlock(*file_, 9, 6144, PatternBlock(1)); }), 10);
}

TEST_F(TablesTest, Table100InASmallFile) {
    ASSERT_EQ(Write([&] {
                  ResultCode r = 0;
                  for (std::uint16_t t = 2; r == 0 && t <= 10; ++t) r = MakeTable(*file_, t);
                  if (r == 0) r = MakeTable(*file_, 100);
                  if (r == 0) r = WriteWholeBlock(*file_, 100, 0, PatternBlock(7));
                  return r;
              }),
              0);
    EXPECT_SOUND(*file_);
    Reopen();
    std::uint8_t d[kDescriptorSize];
    ASSERT_EQ(Read([&] { return file_->ReadTableDescriptor(0, d); }), 0);
    EXPECT_EQ(Load16(d + descriptor::kBlockCount), 13);
    for (std::size_t k = 2; k < 12; ++k) EXPECT_EQ(Load16(d + 16 + 2 * k), 0) << k;
    EXPECT_NE(Load16(d + 16 + 2 * 1), 0);
    EXPECT_NE(Load16(d + 16 + 2 * 12), 0);
    ExpectBlock(100, 0, PatternBlock(7));
    // Descriptors of tables never created read as zeros, in existing and in
    // missing directory blocks alike.
    for (std::uint16_t t : {11, 50, 99, 101, 191}) {
        ASSERT_EQ(Read([&] { return file_->ReadTableDescriptor(t, d); }), 0);
        for (std::uint8_t byte : d) ASSERT_EQ(byte, 0) << t;
    }
    EXPECT_EQ(Read([&] { return file_->ReadTableDescriptor(192, d); }), 9);
}

TEST_F(TablesTest, FreeTableNumbers) {
    std::uint16_t t = 0;
    ASSERT_EQ(Read([&] { return file_->FindFreeTableNumber(&t); }), 0);
    EXPECT_EQ(t, 2);
    ASSERT_EQ(Write([&] {
                  ResultCode r = 0;
                  for (std::uint16_t n = 2; r == 0 && n <= 7; ++n) r = MakeTable(*file_, n);
                  return r;
              }),
              0);
    ASSERT_EQ(Read([&] { return file_->FindFreeTableNumber(&t); }), 0);
    EXPECT_EQ(t, 8);  // directory block 1 does not exist yet
    std::uint16_t chosen = 0;
    ASSERT_EQ(Write([&] { return file_->CreateTable(&chosen, 5, 6); }), 0);
    EXPECT_EQ(chosen, 8);
    ASSERT_EQ(Write([&] { return file_->DeleteTable(4); }), 0);
    ASSERT_EQ(Read([&] { return file_->FindFreeTableNumber(&t); }), 0);
    EXPECT_EQ(t, 4);
    // Fill every number: then there is none.
    ASSERT_EQ(Write([&] {
                  ResultCode r = 0;
                  for (std::uint16_t n = 0; r == 0 && n < 190; ++n) {
                      std::uint16_t any = 0;
                      r = file_->CreateTable(&any, 1, 0);
                      if (r == 18) return n >= 183 ? ResultCode{0} : ResultCode{99};
                  }
                  return r;
              }),
              0);
    ASSERT_EQ(Read([&] { return file_->FindFreeTableNumber(&t); }), 18);
    EXPECT_SOUND(*file_);
}

TEST_F(TablesTest, NumbersThatAreRefused) {
    EXPECT_EQ(Write([&] { return MakeTable(*file_, 1); }), 17);
    EXPECT_EQ(Write([&] { return MakeTable(*file_, 192); }), 9);
    EXPECT_EQ(Write([&] { return file_->DeleteTable(1); }), 9);
    EXPECT_EQ(Write([&] { return file_->DeleteTable(0); }), 9);
    EXPECT_EQ(Write([&] { return file_->SetTableBlockCount(1, 0); }), 9);
    EXPECT_EQ(Write([&] { return file_->SetTableBlockCount(0, 1); }), 9);
    ASSERT_EQ(Write([&] { return MakeTable(*file_, 2); }), 0);
    EXPECT_EQ(Write([&] { return MakeTable(*file_, 2); }), 17);
    EXPECT_EQ(Write([&] { return file_->SetTableBlockCount(2, 6145); }), 10);
    EXPECT_EQ(Write([&] { return file_->SetTableBlockCount(2, 6144); }), 0);
    BlockNumber n = 1;
    EXPECT_EQ(Read([&] { return file_->GetBlockNumber(2, 6144, &n); }), 0);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(Read([&] { return file_->GetBlockNumber(2, 6145, &n); }), 10);
    EXPECT_EQ(Read([&] { return file_->GetBlockNumber(193, 0, &n); }), 9);
    EXPECT_EQ(Read([&] { return file_->GetBlockNumber(192, 0, &n); }), 9);
    EXPECT_EQ(Write([&] { return file_->SetBlockNumber(2, 24, 5, BlockKind::kIndex, false); }), 10);
    EXPECT_EQ(Write([&] { return file_->SetBlockNumber(2, 6144, 5, BlockKind::kData, false); }),
              10);
    // Deleting a table that does not exist changes nothing.
    const std::vector<std::uint8_t> before = ReadFileBytes(path_);
    EXPECT_EQ(Write([&] { return file_->DeleteTable(50); }), 0);
    EXPECT_EQ(ReadFileBytes(path_), before);
    EXPECT_FALSE(file_->IsModified());
    EXPECT_SOUND(*file_);
}

TEST_F(TablesTest, GrowingReadsZerosAndFreesNothing) {
    ASSERT_EQ(Write([&] {
                  ResultCode r = MakeTable(*file_, 3);
                  if (r == 0) r = WriteWholeBlock(*file_, 3, 0, PatternBlock(1));
                  return r;
              }),
              0);
    const std::uint16_t blocks = file_->FileBlocks();
    ASSERT_EQ(Write([&] { return file_->SetTableBlockCount(3, 40); }), 0);
    EXPECT_SOUND(*file_);
    ExpectBlock(3, 0, PatternBlock(1));
    ExpectBlock(3, 39, Zeros());
    EXPECT_LE(file_->FileBlocks(), blocks + 1);  // at most the moved root
    std::uint8_t d[kDescriptorSize];
    ASSERT_EQ(Read([&] { return file_->ReadTableDescriptor(3, d); }), 0);
    EXPECT_EQ(Load16(d + descriptor::kBlockCount), 40);
    EXPECT_EQ(d[descriptor::kIndirect], 0);  // growing gives no place to anything
    // Shrinking a large, sparse table builds no map blocks to store zeros.
    ASSERT_EQ(Write([&] { return file_->SetTableBlockCount(3, 6144); }), 0);
    ASSERT_EQ(Write([&] { return file_->SetTableBlockCount(3, 1); }), 0);
    ASSERT_EQ(Read([&] { return file_->ReadTableDescriptor(3, d); }), 0);
    EXPECT_EQ(d[descriptor::kIndirect], 0);
    EXPECT_SOUND(*file_);
}

TEST_F(TablesTest, StoringZeroFreesThePlaceButKeepsTheCount) {
    BlockNumber place = 0;
    ASSERT_EQ(Write([&] {
                  ResultCode r = MakeTable(*file_, 2);
                  for (std::uint16_t i = 0; r == 0 && i < 3; ++i) {
                      r = WriteWholeBlock(*file_, 2, i, PatternBlock(i));
                  }
                  return r;
              }),
              0);
    ASSERT_EQ(Read([&] { return file_->GetBlockNumber(2, 1, &place); }), 0);
    ASSERT_NE(place, 0);
    ASSERT_EQ(Write([&] { return file_->SetBlockNumber(2, 1, 0, BlockKind::kData, true); }), 0);
    EXPECT_SOUND(*file_);  // the place is on the free list, not leaked
    ExpectBlock(2, 1, Zeros());
    ExpectBlock(2, 2, PatternBlock(2));
    ASSERT_EQ(
        Read([&] { return DescriptorField16(*file_, 2, descriptor::kBlockCount) == 3 ? 0 : 1; }),
        0);
}

// Shrinking a table to 0 and growing it again: the position reads as zeros
// even though its block was cached, and writing it in the same transaction
// gives it a fresh place; the freed place is never written.
TEST_F(TablesTest, ZeroedMapEntryNeverAnswersFromTheCache) {
    BlockNumber committedPlace = 0;
    ASSERT_EQ(Write([&] {
                  ResultCode r = MakeTable(*file_, 2);
                  if (r == 0) r = WriteWholeBlock(*file_, 2, 0, PatternBlock(1));
                  if (r == 0) r = file_->GetBlockNumber(2, 0, &committedPlace);
                  return r;
              }),
              0);
    committedPlace &= kBlockNumberMask;
    const std::vector<std::uint8_t> committed = ReadFileBytes(path_);
    BlockNumber freshPlace = 0;
    BlockNumber secondPlace = 0;
    BlockImage seen;
    ASSERT_EQ(Write([&] {
                  // Write it in this transaction (fresh place), shrink, grow.
                  ResultCode r = WriteWholeBlock(*file_, 2, 0, PatternBlock(2));
                  if (r == 0) r = file_->GetBlockNumber(2, 0, &freshPlace);
                  if (r == 0) r = file_->SetTableBlockCount(2, 0);
                  if (r == 0) r = file_->SetTableBlockCount(2, 1);
                  if (r == 0) r = ReadWholeBlock(*file_, 2, 0, &seen);
                  if (r != 0) return r;
                  if (seen != BlockImage(kBlockSize, 0)) return ResultCode{101};
                  r = WriteWholeBlock(*file_, 2, 0, PatternBlock(3));
                  if (r == 0) r = file_->GetBlockNumber(2, 0, &secondPlace);
                  return r;
              }),
              0);
    freshPlace &= kBlockNumberMask;
    secondPlace &= kBlockNumberMask;
    EXPECT_NE(secondPlace, freshPlace);
    EXPECT_NE(secondPlace, committedPlace);
    const std::vector<std::uint8_t> after = ReadFileBytes(path_);
    // The committed place was not overwritten by this transaction, and the
    // freed fresh place holds nothing of the dropped contents.
    ASSERT_GE(after.size(), (committedPlace + 1u) * kBlockSize);
    EXPECT_EQ(std::memcmp(&after[committedPlace * kBlockSize],
                          &committed[committedPlace * kBlockSize], kBlockSize),
              0);
    if (after.size() >= (freshPlace + 1u) * kBlockSize) {
        EXPECT_NE(std::memcmp(&after[freshPlace * kBlockSize], PatternBlock(2).data(), kBlockSize),
                  0);
    }
    EXPECT_SOUND(*file_);
    Reopen();
    ExpectBlock(2, 0, PatternBlock(3));
}

// A pinned block whose position is deleted stays valid for its holder, is
// never reused while pinned, and writing it afterwards gives the position a
// block again.
TEST_F(TablesTest, PinnedBlockSurvivesTheDeletionOfItsPosition) {
    ASSERT_EQ(Write([&] {
                  ResultCode r = MakeTable(*file_, 2);
                  if (r == 0) r = MakeTable(*file_, 3);
                  if (r == 0) r = WriteWholeBlock(*file_, 2, 0, PatternBlock(1));
                  return r;
              }),
              0);
    ASSERT_EQ(Write([&] {
                  BlockRef held(*file_);
                  ResultCode r = file_->GetBlock(2, 0, held.Out());
                  if (r == 0) r = file_->SetTableBlockCount(2, 0);
                  if (r != 0) return r;
                  BlockImage other;
                  r = ReadWholeBlock(*file_, 2, 0, &other);  // not the held entry
                  if (r != 0) return r;
                  if (other != BlockImage(kBlockSize, 0)) return ResultCode{101};
                  // Enough other blocks to cycle the cache many times.
                  for (std::uint16_t i = 0; i < 40 && r == 0; ++i) {
                      r = WriteWholeBlock(*file_, 3, i, PatternBlock(500 + i));
                  }
                  if (r != 0) return r;
                  if (std::memcmp(held.data(), PatternBlock(1).data(), kBlockSize) != 0) {
                      return ResultCode{102};
                  }
                  std::memcpy(held.data(), PatternBlock(9).data(), kBlockSize);
                  return held.MarkModifiedAndRelease();
              }),
              0);
    EXPECT_SOUND(*file_);
    Reopen();
    ExpectBlock(2, 0, PatternBlock(9));
    for (std::uint16_t i = 0; i < 40; ++i) ExpectBlock(3, i, PatternBlock(500 + i));
}

}  // namespace
}  // namespace quillet::testing
