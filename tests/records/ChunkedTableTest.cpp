// Chunked tables through the storage engine: the fresh 48-byte content and its
// complemented storage, binding errors, a failed creation that leaves no table,
// copying a chunk into a table of its own, and randomized chunk lists saved,
// reopened and compared with their models.

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "records/ChunkedTable.h"
#include "records/RecordCodes.h"
#include "records/RecordList.h"
#include "tests/records/EngineFixture.h"
#include "tests/records/RecordTestUtil.h"

namespace quillet {
namespace {

using testing::ImageOf;
using testing::Words;
using Bytes = std::vector<std::uint8_t>;

class ChunkedTableTest : public testing::EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        platform_.now.year = 2004;
        platform_.now.month = 3;
        platform_.now.day = 1;
        platform_.ticks = 0xA1B2C3D4;
    }
    std::uint16_t CreateFresh() {
        std::uint16_t table = 0;
        ChunkedTable chunked(platform_);
        EXPECT_EQ(InWriteAccess([&]() -> ResultCode {
                      const ResultCode r = chunked.CreateList(*file_, &table);
                      const ResultCode closed = chunked.CloseList();
                      return r ? r : closed;
                  }),
                  0);
        return table;
    }
    // Every record of chunks 1 to `last`, after a reopen.
    std::vector<std::vector<Words>> ReadChunks(std::uint16_t table, std::int16_t last) {
        Reopen();
        std::vector<std::vector<Words>> chunks;
        ChunkedTable chunked(platform_);
        EXPECT_EQ(InReadAccess([&]() -> ResultCode {
                      ResultCode r = chunked.OpenList(*file_, table);
                      for (std::int16_t c = 1; c <= last && !r; ++c) {
                          std::vector<Words> images;
                          std::int32_t count = 0;
                          r = chunked.CountChunkRecords(c, &count);
                          for (std::int32_t i = 0; i < count && !r; ++i) {
                              PropertyRecord record(platform_);
                              r = chunked.GetChunkRecord(c, i, record);
                              if (!r) images.push_back(ImageOf(record));
                          }
                          chunks.push_back(images);
                      }
                      const ResultCode closed = chunked.CloseList();
                      return r ? r : closed;
                  }),
                  0);
        return chunks;
    }
};

Bytes FreshContent() {
    Bytes b = {20, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0};
    const std::uint32_t seconds = 1078099200;  // 2004-03-01 00:00:00
    const std::uint32_t ticks = 0xA1B2C3D4;
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(seconds >> (8 * i)));
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(ticks >> (8 * i)));
    for (std::uint8_t x : {12, 0, 0, 0, 4, 0, 0x04, 0x40, 0, 0, 0, 0}) b.push_back(x);
    for (int k = 0; k < 4; ++k) {
        for (std::uint8_t x : {4, 0, 0, 0}) b.push_back(x);
    }
    return b;
}

TEST_F(ChunkedTableTest, FreshContentAndItsStorage) {
    const std::uint16_t table = CreateFresh();
    Reopen();
    const std::vector<std::uint8_t> d = Descriptor(table);
    EXPECT_EQ(d[descriptor::kTableType], kChunkedTableType);
    EXPECT_EQ(d[descriptor::kTableSubtype], kChunkedTableSubtype);
    EXPECT_EQ(Load16(d.data() + descriptor::kRecordSize), 2);
    EXPECT_EQ(BlockCount(table), 1);
    EXPECT_EQ(LastBlockUsed(table), 24);
    // On disk every byte is complemented.
    const Bytes raw = RawBlocks(table);
    ASSERT_EQ(raw.size(), 512u);
    const Bytes fresh = FreshContent();
    ASSERT_EQ(fresh.size(), 48u);
    for (std::size_t i = 0; i < 48; ++i) {
        EXPECT_EQ(raw[i], static_cast<std::uint8_t>(~fresh[i])) << "byte " << i;
    }
    // Read back through a chunked table: the content and the counts.
    ChunkedTable chunked(platform_);
    ASSERT_EQ(InReadAccess([&]() -> ResultCode {
                  ResultCode r = chunked.OpenList(*file_, table);
                  if (r) return r;
                  EXPECT_EQ(chunked.tableBuffer().Load(), 0);
                  EXPECT_EQ(Bytes(chunked.tableBuffer().Data(), chunked.tableBuffer().Data() + 48),
                            fresh);
                  std::int32_t count = -1;
                  EXPECT_EQ(chunked.CountChunkRecords(1, &count), 0);
                  EXPECT_EQ(count, 1);
                  for (std::int16_t c = 2; c <= 5; ++c) {
                      EXPECT_EQ(chunked.CountChunkRecords(c, &count), 0);
                      EXPECT_EQ(count, 0);
                  }
                  PropertyRecord record(platform_);
                  EXPECT_EQ(chunked.ReplaceChunkRecord(4, 0, record), kListNoSuchRecord);
                  EXPECT_EQ(chunked.DeleteChunkRecord(4, 0), kListNoSuchRecord);
                  return chunked.CloseList();
              }),
              0);
}

TEST_F(ChunkedTableTest, OpenListOnARecordTable) {
    std::uint16_t records = 0;
    ASSERT_EQ(InWriteAccess([&] { return file_->CreateTable(&records, 3, 0); }), 0);
    ChunkedTable chunked(platform_);
    std::int32_t count = 0;
    EXPECT_EQ(InReadAccess([&] { return chunked.OpenList(*file_, records); }), kTableWrongType);
    EXPECT_EQ(chunked.CountChunkRecords(1, &count), kListNotOpen);
    EXPECT_EQ(chunked.boundBuffer(), nullptr);
    EXPECT_EQ(chunked.tableBuffer().file(), nullptr);
}

TEST_F(ChunkedTableTest, FailedCreationLeavesNoTable) {
    ChunkedTable chunked(platform_);
    std::uint16_t table = 0;
    ResultCode created = 0;
    ASSERT_EQ(InWriteAccess([&]() -> ResultCode {
                  // The record of chunk 1 cannot get its memory.
                  platform_.failLocalAlloc = true;
                  created = chunked.CreateList(*file_, &table);
                  platform_.failLocalAlloc = false;
                  return 0;  // commit whatever is left
              }),
              0);
    EXPECT_EQ(created, kRecordNoMemory);
    EXPECT_EQ(table, 0);
    EXPECT_EQ(chunked.boundBuffer(), nullptr);
    Reopen();
    for (std::uint16_t t = 2; t < 8; ++t) {
        EXPECT_EQ(Descriptor(t)[descriptor::kTableType], 0) << "table " << t;
    }
}

TEST_F(ChunkedTableTest, CopyChunkIntoARecordTable) {
    const std::uint16_t table = CreateFresh();
    std::uint16_t copy = 0;
    std::vector<Words> model;
    ASSERT_EQ(InWriteAccess([&]() -> ResultCode {
                  ChunkedTable chunked(platform_);
                  ResultCode r = chunked.OpenList(*file_, table);
                  for (int i = 0; i < 30 && !r; ++i) {
                      PropertyRecord record(platform_);
                      r = record.SetShort(0x0002, static_cast<std::uint16_t>(i));
                      if (!r) r = record.SetStringAnsi(0x8004, "a column definition");
                      if (!r) r = chunked.InsertChunkRecord(3, -1, record);
                      model.push_back(ImageOf(record));
                  }
                  TableRecordList destination;
                  if (!r) r = destination.CreateList(*file_, &copy);
                  if (!r) r = chunked.CopyChunk(3, destination.tableBuffer());
                  if (!r) r = destination.Flush();
                  const ResultCode closedCopy = destination.CloseList();
                  const ResultCode closed = chunked.CloseList();
                  return r ? r : (closed ? closed : closedCopy);
              }),
              0);
    Reopen();
    std::vector<Words> copied;
    TableRecordList list;
    ASSERT_EQ(InReadAccess([&]() -> ResultCode {
                  ResultCode r = list.OpenList(*file_, copy);
                  std::int32_t count = 0;
                  if (!r) r = list.CountRecords(&count);
                  for (std::int32_t i = 0; i < count && !r; ++i) {
                      PropertyRecord record(platform_);
                      r = list.GetRecord(i, record);
                      copied.push_back(ImageOf(record));
                  }
                  return r;
              }),
              0);
    EXPECT_EQ(copied, model);
    // The copy is a plain record table: not complemented.
    const Bytes raw = RawBlocks(copy);
    ASSERT_GE(raw.size(), 2u);
    EXPECT_EQ(raw[0], model[0][0]);
    EXPECT_EQ(ReadChunks(table, 5)[2], model);
}

TEST_F(ChunkedTableTest, RandomChunkListsSavedAndReopened) {
    std::mt19937 rng(2718);
    const std::uint16_t table = CreateFresh();
    // Chunks 1 to 6: the fresh five and one appended.
    std::vector<std::vector<Words>> model = {{{4, 0x4004, 0, 0}}, {}, {}, {}, {}, {}};
    for (int round = 0; round < 10; ++round) {
        ASSERT_EQ(InWriteAccess([&]() -> ResultCode {
                      ChunkedTable chunked(platform_);
                      ResultCode r = chunked.OpenList(*file_, table);
                      for (int step = 0; step < 30 && !r; ++step) {
                          const auto chunk = static_cast<std::int16_t>(1 + rng() % 6);
                          std::vector<Words>& list = model[static_cast<std::size_t>(chunk - 1)];
                          PropertyRecord record(platform_);
                          std::u16string text(rng() % 40, u'k');
                          r = record.SetString(0x8001, text.c_str());
                          if (!r) r = record.SetShort(0x0002, static_cast<std::uint16_t>(rng()));
                          if (r) break;
                          const auto n = static_cast<std::int32_t>(rng() % (list.size() + 1));
                          const bool exists = static_cast<std::size_t>(n) < list.size();
                          const unsigned op = rng() % 4;
                          if (op < 2 || !exists) {
                              r = chunked.InsertChunkRecord(chunk, n, record);
                              list.insert(list.begin() + n, ImageOf(record));
                          } else if (op == 2) {
                              r = chunked.ReplaceChunkRecord(chunk, n, record);
                              list[static_cast<std::size_t>(n)] = ImageOf(record);
                          } else {
                              r = chunked.DeleteChunkRecord(chunk, n);
                              list.erase(list.begin() + n);
                          }
                      }
                      const ResultCode closed = chunked.CloseList();
                      return r ? r : closed;
                  }),
                  0);
        if (round % 3 == 0 || round == 9) {
            ASSERT_EQ(ReadChunks(table, 6), model) << "round " << round;
        }
    }
}

}  // namespace
}  // namespace quillet
