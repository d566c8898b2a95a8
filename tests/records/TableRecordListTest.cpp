// Record lists kept in tables: the stored form of the worked example, binding
// errors, no saving on destruction, sorted insertion, and randomized lists
// saved, reopened through the engine and compared with their models.

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "records/RecordCodes.h"
#include "records/RecordList.h"
#include "tests/records/EngineFixture.h"
#include "tests/records/RecordTestUtil.h"

namespace quillet {
namespace {

using testing::ImageOf;
using testing::Words;
using Bytes = std::vector<std::uint8_t>;

class TableRecordListTest : public testing::EngineTest {
  protected:
    // Every record of the list in table `table`, read after a reopen.
    std::vector<Words> ReadBack(std::uint16_t table) {
        Reopen();
        std::vector<Words> images;
        FileRecordList list;
        EXPECT_EQ(InReadAccess([&]() -> ResultCode {
                      ResultCode r = list.OpenList(*file_, table);
                      if (r) return r;
                      std::int32_t count = 0;
                      r = list.CountRecords(&count);
                      for (std::int32_t i = 0; !r && i < count; ++i) {
                          PropertyRecord record(platform_);
                          r = list.GetRecord(i, record);
                          if (!r) images.push_back(ImageOf(record));
                      }
                      const ResultCode closed = list.CloseList();
                      return r ? r : closed;
                  }),
                  0);
        return images;
    }
};

TEST_F(TableRecordListTest, WorkedExampleStoredForm) {
    std::uint16_t table = 0;
    FileRecordList list;
    EXPECT_EQ(list.file(), nullptr);
    ASSERT_EQ(InWriteAccess([&]() -> ResultCode {
                  ResultCode r = list.CreateList(*file_, &table);
                  if (r) return r;
                  PropertyRecord first(platform_);
                  PropertyRecord empty(platform_);
                  r = first.SetShort(0x0001, 5);
                  if (!r) r = list.InsertRecord(-1, first);
                  if (!r) r = list.InsertRecord(-1, empty);
                  if (!r) r = list.Flush();
                  return r;
              }),
              0);
    EXPECT_EQ(list.file(), file_.get());
    EXPECT_GE(table, 2);
    ASSERT_EQ(list.CloseList(), 0);
    Reopen();
    const Bytes raw = RawBlocks(table);
    ASSERT_EQ(raw.size(), 512u);
    EXPECT_EQ(Bytes(raw.begin(), raw.begin() + 8), Bytes({3, 0, 1, 0, 5, 0, 1, 0}));
    EXPECT_EQ(BlockCount(table), 1);
    EXPECT_EQ(LastBlockUsed(table), 4);
    const std::vector<std::uint8_t> d = Descriptor(table);
    EXPECT_EQ(d[descriptor::kTableType], kRecordTableType);
    EXPECT_EQ(d[descriptor::kTableSubtype], kRecordTableSubtype);
    EXPECT_EQ(ReadBack(table), std::vector<Words>({{3, 0x0001, 5}, {1}}));
}

TEST_F(TableRecordListTest, OpenListOnAnotherKindOfTable) {
    std::uint16_t chunked = 0;
    ASSERT_EQ(InWriteAccess([&] { return file_->CreateTable(&chunked, 7, 3); }), 0);
    TableRecordList list;
    std::int32_t count = 0;
    EXPECT_EQ(InReadAccess([&] { return list.OpenList(*file_, chunked); }), kTableWrongType);
    EXPECT_EQ(list.buffer(), nullptr);
    EXPECT_EQ(list.CountRecords(&count), kListNotOpen);
    EXPECT_EQ(list.Flush(), kListNotOpen);
    FileRecordList remembered;
    EXPECT_EQ(InReadAccess([&] { return remembered.OpenList(*file_, chunked); }), kTableWrongType);
    EXPECT_EQ(remembered.file(), nullptr);
}

TEST_F(TableRecordListTest, DestructionDoesNotSave) {
    std::uint16_t table = 0;
    {
        TableRecordList list;
        ASSERT_EQ(InWriteAccess([&]() -> ResultCode {
                      ResultCode r = list.CreateList(*file_, &table);
                      PropertyRecord record(platform_);
                      if (!r) r = record.SetShort(0x0001, 1);
                      if (!r) r = list.InsertRecord(-1, record);
                      if (!r) r = list.Flush();
                      return r;
                  }),
                  0);
        ASSERT_EQ(InWriteAccess([&]() -> ResultCode {
                      PropertyRecord record(platform_);
                      ResultCode r = record.SetShort(0x0001, 2);
                      if (!r) r = list.InsertRecord(-1, record);
                      return r;  // the list goes without Flush or CloseList
                  }),
                  0);
    }
    EXPECT_EQ(ReadBack(table), std::vector<Words>({{3, 0x0001, 1}}));
}

TEST_F(TableRecordListTest, RandomListsSavedAndReopened) {
    std::mt19937 rng(31337);
    std::vector<std::uint16_t> tables(3);
    std::vector<std::vector<Words>> models(3);
    for (int round = 0; round < 12; ++round) {
        for (std::size_t t = 0; t < tables.size(); ++t) {
            FileRecordList list;
            ASSERT_EQ(InWriteAccess([&]() -> ResultCode {
                          ResultCode r = tables[t] == 0 ? list.CreateList(*file_, &tables[t])
                                                        : list.OpenList(*file_, tables[t]);
                          if (r) return r;
                          std::vector<Words>& model = models[t];
                          for (int step = 0; step < 40 && !r; ++step) {
                              PropertyRecord record(platform_);
                              std::u16string text(rng() % 60,
                                                  u'a' + static_cast<char16_t>(rng() % 26));
                              r = record.SetString(0x8001, text.c_str());
                              if (!r) r = record.SetLong(0x4002, static_cast<std::int32_t>(rng()));
                              if (r) break;
                              const auto n = static_cast<std::int32_t>(rng() % (model.size() + 1));
                              const bool exists = static_cast<std::size_t>(n) < model.size();
                              const unsigned op = rng() % 5;
                              if (op < 3 || !exists) {
                                  r = list.InsertRecord(n, record);
                                  model.insert(model.begin() + n, ImageOf(record));
                              } else if (op == 3) {
                                  r = list.ReplaceRecord(n, record);
                                  model[static_cast<std::size_t>(n)] = ImageOf(record);
                              } else {
                                  r = list.DeleteRecord(n);
                                  model.erase(model.begin() + n);
                              }
                          }
                          if (!r) r = list.Flush();
                          const ResultCode closed = list.CloseList();
                          return r ? r : closed;
                      }),
                      0);
        }
        if (round % 3 == 2) {
            for (std::size_t t = 0; t < tables.size(); ++t) {
                ASSERT_EQ(ReadBack(tables[t]), models[t]) << "round " << round << " table " << t;
            }
        }
    }
    // The contents span several blocks.
    EXPECT_GT(BlockCount(tables[0]), 1);
}

// ---- Sorted lists ----

struct Keyed {
    bool has3;
    std::int16_t v3;
    bool has1;
    std::int16_t v1;
    std::int16_t id;
};

// The order of the sorted list: by field 3, then field 1; a missing field
// before a present one.
int CompareKeyed(const Keyed& a, const Keyed& b) {
    const auto one = [](bool ha, std::int16_t va, bool hb, std::int16_t vb) {
        if (!ha && !hb) return 0;
        if (!ha) return -1;
        if (!hb) return 1;
        return va < vb ? -1 : (va > vb ? 1 : 0);
    };
    const int r = one(a.has3, a.v3, b.has3, b.v3);
    return r ? r : one(a.has1, a.v1, b.has1, b.v1);
}

ResultCode MakeKeyed(PropertyRecord& record, const Keyed& k) {
    ResultCode r = 0;
    if (k.has1) r = record.SetShort(0x0001, static_cast<std::uint16_t>(k.v1));
    if (!r && k.has3) r = record.SetShort(0x0003, static_cast<std::uint16_t>(k.v3));
    if (!r) r = record.SetShort(0x0009, static_cast<std::uint16_t>(k.id));
    return r;
}

class SortedRecordListTest : public TableRecordListTest {};

TEST_F(SortedRecordListTest, WorkedExampleOrder) {
    const FieldTag keys[] = {0x0003, 0x0001};
    PropertyRecord probe(platform_);
    SortedRecordList list(keys, 2, &probe);
    std::uint16_t table = 0;
    const std::vector<Keyed> inserts = {
        {true, 2, true, 1, 0}, {true, 1, true, 5, 1}, {true, 2, true, 0, 2}, {true, 1, true, 5, 3}};
    ASSERT_EQ(InWriteAccess([&]() -> ResultCode {
                  ResultCode r = list.CreateList(*file_, &table);
                  for (const Keyed& k : inserts) {
                      PropertyRecord record(platform_);
                      if (!r) r = MakeKeyed(record, k);
                      if (!r) r = list.InsertSorted(record);
                  }
                  if (!r) r = list.Flush();
                  const ResultCode closed = list.CloseList();
                  return r ? r : closed;
              }),
              0);
    EXPECT_FALSE(probe.HasImage());
    const std::vector<Words> stored = ReadBack(table);
    ASSERT_EQ(stored.size(), 4u);
    const std::int16_t expectedIds[] = {3, 1, 2, 0};
    for (std::size_t i = 0; i < 4; ++i) {
        PropertyRecord record(platform_);
        ASSERT_EQ(testing::LoadImage(record, stored[i]), 0);
        std::uint16_t id = 0;
        ASSERT_EQ(record.GetShort(0x0009, &id), 1);
        EXPECT_EQ(id, expectedIds[i]) << "position " << i;
    }
}

TEST_F(SortedRecordListTest, RandomInsertsMatchStableModel) {
    std::mt19937 rng(123);
    const FieldTag keys[] = {0x0003, 0x0001};
    PropertyRecord probe(platform_);
    SortedRecordList list(keys, 2, &probe);
    std::uint16_t table = 0;
    std::vector<Keyed> model;
    ASSERT_EQ(InWriteAccess([&]() -> ResultCode {
                  ResultCode r = list.CreateList(*file_, &table);
                  for (std::int16_t id = 0; id < 400 && !r; ++id) {
                      const Keyed k{rng() % 5 != 0, static_cast<std::int16_t>(rng() % 7 - 3),
                                    rng() % 5 != 0, static_cast<std::int16_t>(rng() % 5 - 2), id};
                      PropertyRecord record(platform_);
                      r = MakeKeyed(record, k);
                      if (!r) r = list.InsertSorted(record);
                      // Before the first element that is not smaller.
                      auto at = model.begin();
                      while (at != model.end() && CompareKeyed(*at, k) < 0) ++at;
                      model.insert(at, k);
                  }
                  if (!r) r = list.Flush();
                  const ResultCode closed = list.CloseList();
                  return r ? r : closed;
              }),
              0);
    const std::vector<Words> stored = ReadBack(table);
    ASSERT_EQ(stored.size(), model.size());
    for (std::size_t i = 0; i < stored.size(); ++i) {
        PropertyRecord record(platform_);
        ASSERT_EQ(testing::LoadImage(record, stored[i]), 0);
        std::uint16_t id = 0;
        ASSERT_EQ(record.GetShort(0x0009, &id), 1);
        ASSERT_EQ(static_cast<std::int16_t>(id), model[i].id) << "position " << i;
    }
}

}  // namespace
}  // namespace quillet
