// Table buffers through the storage engine: block counts and LastBlockUsed of
// the worked examples, which blocks a save writes, complemented storage,
// binding checks, loading once, failed saves and damaged descriptors.

#include <gtest/gtest.h>

#include <numeric>

#include "records/RecordCodes.h"
#include "records/TableBuffer.h"
#include "tests/records/EngineFixture.h"

namespace quillet {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 9));
    return b;
}

class TableBufferTest : public testing::EngineTest {
  protected:
    // Creates a record table holding `content`; returns its number.
    std::uint16_t CreateWith(const Bytes& content, bool inverted = false) {
        std::uint16_t table = 0;
        TableBuffer buffer(3, 0, 2);
        buffer.SetInverted(inverted);
        EXPECT_EQ(
            InWriteAccess([&]() -> ResultCode {
                const ResultCode r = buffer.BindCreate(*file_, &table);
                if (r) return r;
                if (!buffer.Resize(static_cast<std::int32_t>(content.size()))) return -1;
                if (!content.empty() &&
                    !buffer.Write(content.data(), 0, static_cast<std::int32_t>(content.size()))) {
                    return -2;
                }
                return buffer.Save();
            }),
            0);
        return table;
    }
    Bytes LoadContent(std::uint16_t table, bool inverted = false) {
        TableBuffer buffer(3, 0, 2);
        buffer.SetInverted(inverted);
        Bytes content;
        EXPECT_EQ(InReadAccess([&]() -> ResultCode {
                      ResultCode r = buffer.BindOpen(*file_, table);
                      if (!r) r = buffer.Load();
                      if (!r && buffer.Size() > 0) {
                          content.assign(buffer.Data(), buffer.Data() + buffer.Size());
                      }
                      return r;
                  }),
                  0);
        return content;
    }
};

TEST_F(TableBufferTest, BlockCountAndLastBlockUsed) {
    const Bytes a = Pattern(1024, 1);
    const Bytes b = Pattern(1026, 2);
    const std::uint16_t ta = CreateWith(a);
    const std::uint16_t tb = CreateWith(b);
    const std::uint16_t te = CreateWith({});
    Reopen();
    EXPECT_EQ(BlockCount(ta), 2);
    EXPECT_EQ(LastBlockUsed(ta), 256);
    EXPECT_EQ(BlockCount(tb), 3);
    EXPECT_EQ(LastBlockUsed(tb), 1);
    EXPECT_EQ(BlockCount(te), 0);
    EXPECT_EQ(LastBlockUsed(te), 0);
    const Bytes da = Descriptor(ta);
    EXPECT_EQ(da[descriptor::kTableType], 3);
    EXPECT_EQ(da[descriptor::kTableSubtype], 0);
    EXPECT_EQ(Load16(da.data() + descriptor::kRecordSize), 2);
    EXPECT_EQ(LoadContent(ta), a);
    EXPECT_EQ(LoadContent(tb), b);
    EXPECT_EQ(LoadContent(te), Bytes());
    // The stored blocks hold the content as it is.
    const Bytes raw = RawBlocks(ta);
    EXPECT_EQ(raw, a);
}

TEST_F(TableBufferTest, SaveWritesOnlyTheChangedBlocks) {
    const std::uint16_t table = CreateWith(Pattern(1024, 3));
    Reopen();
    const BlockNumber place0 = PlaceOf(table, 0);
    const BlockNumber place1 = PlaceOf(table, 1);
    TableBuffer buffer(3, 0, 2);
    ASSERT_EQ(InWriteAccess([&]() -> ResultCode {
                  ResultCode r = buffer.BindOpen(*file_, table);
                  if (!r) r = buffer.Load();
                  if (r) return r;
                  EXPECT_FALSE(buffer.IsDirty());
                  const std::uint8_t four[4] = {9, 9, 9, 9};
                  EXPECT_TRUE(buffer.Write(four, 600, 4));
                  EXPECT_EQ(buffer.DirtyStart(), 600);
                  EXPECT_EQ(buffer.DirtyEnd(), 604);
                  return buffer.Save();
              }),
              0);
    // Copy-on-write moved the written block only.
    EXPECT_EQ(PlaceOf(table, 0), place0);
    EXPECT_NE(PlaceOf(table, 1), place1);
    Bytes expected = Pattern(1024, 3);
    for (int i = 600; i < 604; ++i) expected[static_cast<std::size_t>(i)] = 9;
    EXPECT_EQ(LoadContent(table), expected);

    // Shrinking to 100 marks [100, 1024), zeroes it, and leaves one block.
    ASSERT_EQ(InWriteAccess([&]() -> ResultCode {
                  ResultCode r = buffer.BindOpen(*file_, table);
                  if (!r) r = buffer.Load();
                  if (r) return r;
                  EXPECT_TRUE(buffer.Resize(100));
                  EXPECT_EQ(buffer.DirtyStart(), 100);
                  EXPECT_EQ(buffer.DirtyEnd(), 1024);
                  EXPECT_EQ(buffer.Size(), 100);
                  // Growing again shows zeros, not the old bytes.
                  EXPECT_TRUE(buffer.Resize(104));
                  for (int i = 100; i < 104; ++i) EXPECT_EQ(buffer.Data()[i], 0);
                  EXPECT_TRUE(buffer.Resize(100));
                  return buffer.Save();
              }),
              0);
    Reopen();
    EXPECT_EQ(BlockCount(table), 1);
    EXPECT_EQ(LastBlockUsed(table), 50);
    EXPECT_EQ(LoadContent(table), Bytes(expected.begin(), expected.begin() + 100));
    // The bytes of the last block past the content go out as zeros.
    const Bytes raw = RawBlocks(table);
    ASSERT_EQ(raw.size(), 512u);
    EXPECT_EQ(Bytes(raw.begin() + 100, raw.end()), Bytes(412, 0));
}

TEST_F(TableBufferTest, InvertedStorage) {
    const std::uint16_t table = CreateWith({0x00, 0x01}, true);
    Reopen();
    const Bytes raw = RawBlocks(table);
    ASSERT_EQ(raw.size(), 512u);
    EXPECT_EQ(raw[0], 0xFF);
    EXPECT_EQ(raw[1], 0xFE);
    EXPECT_EQ(LastBlockUsed(table), 1);
    EXPECT_EQ(LoadContent(table, true), Bytes({0x00, 0x01}));
    EXPECT_EQ(LoadContent(table, false), Bytes({0xFF, 0xFE}));
}

TEST_F(TableBufferTest, BindingChecks) {
    std::uint16_t chunked = 0;
    std::uint16_t wide = 0;
    ASSERT_EQ(InWriteAccess([&]() -> ResultCode {
                  ResultCode r = file_->CreateTable(&chunked, 7, 3);
                  if (!r) r = file_->CreateTable(&wide, 3, 0);
                  if (!r) r = file_->SetTableRecordSize(wide, 4);
                  return r;
              }),
              0);
    TableBuffer buffer(3, 0, 2);
    EXPECT_EQ(InReadAccess([&] { return buffer.BindOpen(*file_, chunked); }), kTableWrongType);
    EXPECT_EQ(buffer.file(), file_.get());
    EXPECT_EQ(buffer.table(), chunked);
    EXPECT_EQ(InReadAccess([&] { return buffer.BindOpen(*file_, wide); }), kTableWrongRecordSize);
    buffer.Unbind();
    EXPECT_EQ(buffer.file(), nullptr);
    EXPECT_EQ(buffer.Load(), kTableNotBound);
    EXPECT_EQ(buffer.Save(), kTableNotBound);
    // A table whose record size is 0 is accepted.
    std::uint16_t bare = 0;
    ASSERT_EQ(InWriteAccess([&] { return file_->CreateTable(&bare, 3, 0); }), 0);
    EXPECT_EQ(InReadAccess([&] { return buffer.BindOpen(*file_, bare); }), 0);
}

TEST_F(TableBufferTest, LoadsOnceUntilReset) {
    const std::uint16_t table = CreateWith(Pattern(10, 4));
    TableBuffer reader(3, 0, 2);
    ASSERT_EQ(InReadAccess([&]() -> ResultCode {
                  ResultCode r = reader.BindOpen(*file_, table);
                  return r ? r : reader.Load();
              }),
              0);
    // Another buffer changes the table.
    TableBuffer writer(3, 0, 2);
    ASSERT_EQ(InWriteAccess([&]() -> ResultCode {
                  ResultCode r = writer.BindOpen(*file_, table);
                  if (!r) r = writer.Load();
                  if (r) return r;
                  const std::uint8_t x[2] = {0xAA, 0xBB};
                  writer.Write(x, 0, 2);
                  return writer.Save();
              }),
              0);
    ASSERT_EQ(InReadAccess([&] { return reader.Load(); }), 0);
    const Bytes original = Pattern(10, 4);
    EXPECT_EQ(Bytes(reader.Data(), reader.Data() + 2),
              Bytes(original.begin(), original.begin() + 2));
    ASSERT_EQ(reader.Reset(0), 0);
    EXPECT_FALSE(reader.IsLoaded());
    ASSERT_EQ(InReadAccess([&] { return reader.Load(); }), 0);
    EXPECT_EQ(Bytes(reader.Data(), reader.Data() + 2), Bytes({0xAA, 0xBB}));
}

TEST_F(TableBufferTest, FailedSaveStaysDirty) {
    const std::uint16_t table = CreateWith(Pattern(700, 5));
    TableBuffer buffer(3, 0, 2);
    ResultCode saved = 0;
    ASSERT_EQ(InReadAccess([&]() -> ResultCode {
                  ResultCode r = buffer.BindOpen(*file_, table);
                  if (!r) r = buffer.Load();
                  if (r) return r;
                  const std::uint8_t x[1] = {0x42};
                  buffer.Write(x, 650, 1);
                  saved = buffer.Save();  // a read access cannot write
                  return 0;
              }),
              0);
    EXPECT_NE(saved, 0);
    EXPECT_TRUE(buffer.IsDirty());
    ASSERT_EQ(InWriteAccess([&] { return buffer.Save(); }), 0);
    EXPECT_FALSE(buffer.IsDirty());
    Bytes expected = Pattern(700, 5);
    expected[650] = 0x42;
    Reopen();
    EXPECT_EQ(LoadContent(table), expected);
}

TEST_F(TableBufferTest, DamagedDescriptors) {
    const std::uint16_t table = CreateWith(Pattern(1024, 6));
    // LastBlockUsed 0 with blocks present reads as a full last block.
    ASSERT_EQ(InWriteAccess([&] { return file_->SetTableLastBlockUsed(table, 0); }), 0);
    EXPECT_EQ(LoadContent(table), Pattern(1024, 6));
    // More bytes in the last block than a block holds is refused.
    ASSERT_EQ(InWriteAccess([&] { return file_->SetTableLastBlockUsed(table, 257); }), 0);
    TableBuffer buffer(3, 0, 2);
    EXPECT_EQ(InReadAccess([&]() -> ResultCode {
                  ResultCode r = buffer.BindOpen(*file_, table);
                  return r ? r : buffer.Load();
              }),
              kTableContentUnavailable);
    EXPECT_FALSE(buffer.IsLoaded());
    EXPECT_EQ(buffer.Size(), 0);
    ASSERT_EQ(InWriteAccess([&] { return file_->SetTableLastBlockUsed(table, 0xFFFF); }), 0);
    EXPECT_EQ(InReadAccess([&] { return buffer.Load(); }), kTableContentUnavailable);
    // A block count beyond the blocks that exist reads the missing ones as zeros.
    ASSERT_EQ(InWriteAccess([&]() -> ResultCode {
                  ResultCode r = file_->SetTableLastBlockUsed(table, 256);
                  return r ? r : file_->SetTableBlockCount(table, 3);
              }),
              0);
    Bytes expected = Pattern(1024, 6);
    expected.resize(1536, 0);
    EXPECT_EQ(LoadContent(table), expected);
}

TEST_F(TableBufferTest, ClearAndAdoptedStorage) {
    const std::uint16_t table = CreateWith(Pattern(600, 7));
    TableBuffer buffer(3, 0, 2);
    ASSERT_EQ(InWriteAccess([&]() -> ResultCode {
                  ResultCode r = buffer.BindOpen(*file_, table);
                  if (r) return r;
                  EXPECT_TRUE(buffer.Clear());
                  EXPECT_TRUE(buffer.IsLoaded());
                  // A block that is not a whole number of 512 bytes is not read past.
                  auto* block = static_cast<std::uint8_t*>(std::malloc(6));
                  for (int i = 0; i < 6; ++i) block[i] = static_cast<std::uint8_t>(i + 1);
                  EXPECT_TRUE(buffer.AdoptStorage(block, 6));
                  EXPECT_TRUE(buffer.IsDirty());
                  return buffer.Save();
              }),
              0);
    EXPECT_EQ(LoadContent(table), Bytes({1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(BlockCount(table), 1);
    EXPECT_EQ(LastBlockUsed(table), 3);
}

// A buffer that keeps its storage between bindings (and was reserved larger
// than any table) shows each table exactly: nothing of a larger table loaded
// before shows through a smaller one, a growth reads as zeros, and a table
// written through it holds only its own bytes.
TEST_F(TableBufferTest, KeptStorageShowsNothingOfTheTableBefore) {
    const Bytes large = Pattern(3000, 11);
    const Bytes small = Pattern(700, 29);
    const std::uint16_t tl = CreateWith(large);
    const std::uint16_t ts = CreateWith(small);
    const std::uint16_t tn = CreateWith({});
    TableBuffer buffer(3, 0, 2);
    buffer.SetKeepStorage(true);
    ASSERT_TRUE(buffer.Reserve(8192));
    ASSERT_EQ(InWriteAccess([&]() -> ResultCode {
                  for (std::uint16_t table : {tl, ts, tl, tn}) {
                      ResultCode r = buffer.BindOpen(*file_, table);
                      if (!r) r = buffer.Load();
                      if (r) return r;
                      const Bytes& want = table == tl ? large : table == ts ? small : Bytes{};
                      EXPECT_EQ(Bytes(buffer.Data(), buffer.Data() + buffer.Size()), want)
                          << "table " << table;
                      EXPECT_GE(buffer.Capacity(), 8192);
                  }
                  // The empty table grows: zeros, not the large table's bytes.
                  EXPECT_TRUE(buffer.Resize(1000));
                  EXPECT_EQ(Bytes(buffer.Data(), buffer.Data() + 1000), Bytes(1000, 0));
                  const std::uint8_t mark[2] = {0xAB, 0xCD};
                  EXPECT_TRUE(buffer.Write(mark, 998, 2));
                  const ResultCode saved = buffer.Save();
                  buffer.Unbind();
                  return saved;
              }),
              0);
    Bytes expected(1000, 0);
    expected[998] = 0xAB;
    expected[999] = 0xCD;
    EXPECT_EQ(LoadContent(tn), expected);
    EXPECT_EQ(LoadContent(tl), large);
}

// Retarget moves loaded content to an empty table of the same type, where the
// next save writes it whole; the table it came from is never written, and a
// table that is not empty or of another type is refused.
TEST_F(TableBufferTest, RetargetWritesTheWholeContentIntoTheEmptyTable) {
    const Bytes content = Pattern(1500, 41);
    const std::uint16_t from = CreateWith(content, true);
    const std::uint16_t full = CreateWith(Pattern(10, 3), true);
    std::uint16_t empty = 0;
    std::uint16_t other = 0;
    ASSERT_EQ(InWriteAccess([&]() -> ResultCode {
                  ResultCode r = file_->CreateTable(&empty, 3, 0);
                  if (!r) r = file_->CreateTable(&other, 4, 0);
                  return r;
              }),
              0);
    const Bytes descriptor = Descriptor(from);
    TableBuffer buffer(3, 0, 2);
    buffer.SetInverted(true);
    ASSERT_EQ(InWriteAccess([&]() -> ResultCode {
                  ResultCode r = buffer.BindOpen(*file_, from);
                  if (r) return r;
                  EXPECT_EQ(buffer.Retarget(*file_, empty), kTableNotBound) << "not loaded yet";
                  r = buffer.Load();
                  if (r) return r;
                  EXPECT_EQ(buffer.Retarget(*file_, other), kTableWrongType);
                  EXPECT_EQ(buffer.Retarget(*file_, full), kTableContentUnavailable);
                  EXPECT_EQ(buffer.table(), from) << "a refusal keeps the binding";
                  r = buffer.Retarget(*file_, empty);
                  if (r) return r;
                  const std::uint8_t mark = 0x5A;
                  EXPECT_TRUE(buffer.Write(&mark, 0, 1));
                  return buffer.Save();
              }),
              0);
    Bytes expected = content;
    expected[0] = 0x5A;
    EXPECT_EQ(LoadContent(empty, true), expected);
    EXPECT_EQ(BlockCount(empty), 3);
    EXPECT_EQ(LoadContent(from, true), content);
    EXPECT_EQ(Descriptor(from), descriptor);
}

// Assign replaces the whole content as Resize and Write would: a shorter
// content saves as exactly its bytes, a longer one too, and what lies past
// the new size reads as zero when the content grows again.
TEST_F(TableBufferTest, AssignReplacesTheWholeContent) {
    const std::uint16_t table = CreateWith(Pattern(1500, 5));
    const Bytes shorter = Pattern(700, 17);
    const Bytes longer = Pattern(1300, 23);
    TableBuffer buffer(3, 0, 2);
    ASSERT_EQ(InWriteAccess([&]() -> ResultCode {
                  ResultCode r = buffer.BindOpen(*file_, table);
                  if (!r) r = buffer.Load();
                  if (r) return r;
                  EXPECT_TRUE(buffer.Assign(shorter.data(), 700));
                  EXPECT_TRUE(buffer.IsDirty());
                  return buffer.Save();
              }),
              0);
    EXPECT_EQ(LoadContent(table), shorter);
    EXPECT_EQ(BlockCount(table), 2);
    EXPECT_EQ(LastBlockUsed(table), (700 - 512) / 2);
    ASSERT_EQ(InWriteAccess([&]() -> ResultCode {
                  ResultCode r = buffer.BindOpen(*file_, table);
                  if (!r) r = buffer.Load();
                  if (r) return r;
                  EXPECT_TRUE(buffer.Assign(longer.data(), 1300));
                  EXPECT_TRUE(buffer.Assign(longer.data(), 1000));
                  EXPECT_TRUE(buffer.Resize(1400));
                  EXPECT_EQ(Bytes(buffer.Data() + 1000, buffer.Data() + 1400), Bytes(400, 0));
                  return buffer.Save();
              }),
              0);
    Bytes expected(longer.begin(), longer.begin() + 1000);
    expected.resize(1400, 0);
    EXPECT_EQ(LoadContent(table), expected);
}

// SaveFrom writes the caller's bytes as the table's whole content: the stored
// blocks are those Assign and Save would give, for a shorter content (the
// tail freed), a longer one, an empty one and complemented storage, and the
// buffer is left to load the table again.
TEST_F(TableBufferTest, SaveFromStoresWhatAssignAndSaveWould) {
    const Bytes source = Pattern(4000, 41);
    for (const bool inverted : {false, true}) {
        for (const std::int32_t length : {700, 2600, 0, 1024}) {
            SCOPED_TRACE(::testing::Message() << "inverted " << inverted << ", " << length);
            const std::uint16_t direct = CreateWith(Pattern(1500, 5), inverted);
            const std::uint16_t assigned = CreateWith(Pattern(1500, 5), inverted);
            // Bytes from an odd offset, as a chunk lies inside a larger content.
            const std::uint8_t* from = source.data() + 333;
            TableBuffer buffer(3, 0, 2);
            buffer.SetInverted(inverted);
            ASSERT_EQ(InWriteAccess([&]() -> ResultCode {
                          ResultCode r = buffer.BindOpen(*file_, direct);
                          if (!r) r = buffer.Load();
                          if (!r) r = buffer.SaveFrom(from, length);
                          if (r) return r;
                          EXPECT_FALSE(buffer.IsLoaded());
                          r = buffer.Load();
                          if (!r) {
                              EXPECT_EQ(buffer.Size(), length);
                          }
                          buffer.Unbind();
                          if (!r) r = buffer.BindOpen(*file_, assigned);
                          if (!r) r = buffer.Load();
                          if (!r && !buffer.Assign(from, length)) r = -1;
                          if (!r) r = buffer.Save();
                          buffer.Unbind();
                          return r;
                      }),
                      0);
            EXPECT_EQ(RawBlocks(direct), RawBlocks(assigned));
            EXPECT_EQ(BlockCount(direct), BlockCount(assigned));
            EXPECT_EQ(LastBlockUsed(direct), LastBlockUsed(assigned));
            EXPECT_EQ(LoadContent(direct, inverted), Bytes(from, from + length));
        }
    }
    TableBuffer unbound(3, 0, 2);
    EXPECT_EQ(unbound.SaveFrom(source.data(), 10), kTableNotBound);
    const std::uint16_t table = CreateWith(Pattern(600, 9));
    EXPECT_EQ(InWriteAccess([&]() -> ResultCode {
                  TableBuffer buffer(3, 0, 2);
                  const ResultCode r = buffer.BindOpen(*file_, table);
                  if (r) return r;
                  EXPECT_EQ(buffer.SaveFrom(source.data(), -1), kTableContentUnavailable);
                  EXPECT_EQ(buffer.SaveFrom(nullptr, 10), kTableContentUnavailable);
                  EXPECT_EQ(buffer.SaveFrom(source.data(), 6144 * 512 + 1),
                            kTableContentUnavailable);
                  return 0;
              }),
              0);
    EXPECT_EQ(LoadContent(table), Pattern(600, 9));
}

}  // namespace
}  // namespace quillet
