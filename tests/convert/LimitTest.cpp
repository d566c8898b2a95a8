// Files of thousands of blocks. The free list lives in table 1's block map and
// holds at most 6144 entries, and a transaction never reuses the blocks it
// frees: an in-place step-down that rewrites more blocks than that fails with
// 10 and must leave the file as it was; the new file of copy mode commits in
// slices instead. A compaction whose moves could overflow the free list runs
// in several smaller passes.

#include <filesystem>

#include "convert/ConversionRoute.h"
#include "platform/LittleEndian.h"
#include "tests/convert/ConvertFixture.h"

namespace quillet::testing {
namespace {

// Items of `words` + 4 words (8004: a little over 31 blocks each).
std::vector<Image> Items(int count, std::uint16_t seed, std::uint16_t words = 8000) {
    std::vector<Image> items;
    for (int i = 0; i < count; ++i) {
        std::vector<std::uint16_t> blob(words);
        blob[0] = words;
        for (std::size_t w = 1; w < blob.size(); ++w) {
            blob[w] = static_cast<std::uint16_t>(seed * 7919u + i * 131u + w);
        }
        items.push_back(MakeImage({{0x0001, {static_cast<std::uint16_t>(i)}}, {0xC002, blob}}));
    }
    return items;
}

// `lists` lists of `itemsPerList` items each, under one folder.
FileDef Big(std::uint16_t version, int lists, int itemsPerList, std::uint16_t words = 8000) {
    FileDef def;
    def.version = version;
    EntryDef folder;
    folder.id = 1;
    folder.name = u"archive";
    def.entries.push_back(folder);
    for (int l = 0; l < lists; ++l) {
        EntryDef e;
        e.list = true;
        e.id = static_cast<std::uint16_t>(10 + l);
        e.level = 1;
        e.format5Fields = version == 5;
        e.columns = {{1, 10, {}, {}, {}}};
        e.chunk4 = {MakeImage({{0x0001, {1}}})};
        e.items = Items(itemsPerList, static_cast<std::uint16_t>(l), words);
        def.entries.push_back(e);
    }
    return def;
}

class LimitTest : public ConvertFixture {
  protected:
    std::string path_ = Path("Big.qdx");

    // The BlockCount of a table of path_.
    std::uint32_t TableOf(std::uint16_t table) {
        DataFile file(platform_);
        bool created = false;
        std::uint8_t d[kDescriptorSize] = {};
        if (file.Open(path_.c_str(), &created, OpenReadOnly) == 0 && file.BeginAccess(false) == 0) {
            file.EndAccess(file.ReadTableDescriptor(table, d));
        }
        return Load16(d + descriptor::kBlockCount);
    }

    void ExpectItems(const FileDef& def, std::uint8_t type, std::uint8_t subtype, bool inverted,
                     int chunk) {
        for (const EntryDef& e : def.entries) {
            if (!e.list) continue;
            if (chunk == 0) {
                std::vector<std::uint8_t> content;
                ASSERT_EQ(
                    ReadTableContent(platform_, path_, e.table, type, subtype, inverted, &content),
                    0);
                EXPECT_EQ(content, ItemBytes(e.items)) << e.table;
            } else {
                std::vector<Image> items;
                ASSERT_EQ(ReadChunkRecords(platform_, path_, e.table, 5, &items), 0);
                EXPECT_EQ(items, e.items) << e.table;
            }
        }
    }
};

TEST_F(LimitTest, FourToThreeRewritingTooManyBlocksFailsAndLeavesTheFile) {
    FileDef def = Big(4, 5, 42);  // about 6600 blocks of items
    ASSERT_EQ(BuildDataFile(platform_, path_, def), 0);
    const std::vector<std::uint8_t> snapshot = Snapshot(platform_, path_);
    const std::vector<std::uint8_t> used = UsedBytes(platform_, path_);
    ASSERT_GT(used.size(), 6144u * 512);
    EXPECT_EQ(ConvertInPlace(path_, 3), 10);
    EXPECT_EQ(Snapshot(platform_, path_), snapshot);
    // The header, every block in use and the length are as they were; the
    // discarded transaction wrote only into blocks that were free.
    EXPECT_EQ(UsedBytes(platform_, path_), used);
    EXPECT_EQ(CheckFile(platform_, path_).findings, "");
    EXPECT_EQ(Word(AppHeader(path_), 2), 4);
}

// The new file of copy mode commits the step in slices when one transaction
// cannot hold it, so the blocks it frees are used again: converted, sound,
// compacted, and the source is only read.
TEST_F(LimitTest, FiveToFourRewritingTooManyBlocksForOneCommitIsConvertedInSlices) {
    FileDef def = Big(5, 5, 42);  // about 6600 blocks of items
    ASSERT_EQ(BuildDataFile(platform_, path_, def), 0);
    const std::vector<std::uint8_t> bytes = ReadFileBytes(path_);
    const std::string target = Path("RXV0.TMP");
    EXPECT_EQ(ConvertCopy(target, 4, path_), 0);
    EXPECT_EQ(ReadFileBytes(path_), bytes);
    ExpectCompacted(target);
    EXPECT_EQ(Word(AppHeader(target), 2), 4);
    const std::string converted = path_;
    path_ = target;
    ExpectItems(def, 0, 0, false, 5);
    path_ = converted;
}

// The same step to 3 through a new file (the route of a format 4 file that the
// in-place step cannot hold), the lists read from the source: converted and
// compacted.
TEST_F(LimitTest, FourToThreeThroughANewFileIsConvertedAndCompacted) {
    FileDef def = Big(4, 5, 42);
    ASSERT_EQ(BuildDataFile(platform_, path_, def), 0);
    ConversionRoute route = ConversionRoute::kInPlace;
    ASSERT_EQ(ChooseConversionRoute(platform_, path_.c_str(), 4, &route), 0);
    EXPECT_EQ(route, ConversionRoute::kThroughTemporaryFile);
    const std::string target = Path("RXV1.TMP");
    EXPECT_EQ(ConvertCopy(target, 3, path_), 0);
    ExpectCompacted(target);
    EXPECT_EQ(Word(AppHeader(target), 2), 3);
    path_ = target;
    ExpectItems(def, 3, 0, false, 0);
}

// The step-down fits in one transaction, one compaction pass could not hold
// its moves: several smaller passes compact the file.
TEST_F(LimitTest, FourToThreeThatFitsIsCompactedInSeveralPasses) {
    FileDef def = Big(4, 4, 42);  // about 5300 blocks of items
    ASSERT_EQ(BuildDataFile(platform_, path_, def), 0);
    ASSERT_EQ(ConvertInPlace(path_, 3), 0);
    ExpectCompacted(path_);
    EXPECT_EQ(Word(AppHeader(path_), 2), 3);
    ExpectItems(def, 3, 0, false, 0);
}

// The same band in format 5, through a new file: the one-transaction step
// doubles the file, the passes bring it back.
TEST_F(LimitTest, FiveToFourThatFitsIsCompactedInSeveralPasses) {
    FileDef def = Big(5, 4, 42);
    ASSERT_EQ(BuildDataFile(platform_, path_, def), 0);
    const std::string source = Path("Source.qdx");
    std::filesystem::rename(path_, source);
    ASSERT_EQ(ConvertCopy(path_, 4, source), 0);
    ExpectCompacted(path_);
    ExpectItems(def, 0, 0, false, 5);
}

// One list of over 6000 blocks, more than one transaction can rewrite: the
// format 5 file converts into a new file, and so does the format 4 file, whose
// route says so.
TEST_F(LimitTest, ASingleListOfSixThousandBlocksConvertsInBothFormats) {
    for (std::uint16_t version : {5, 4}) {
        SCOPED_TRACE(version);
        std::filesystem::remove(path_);
        FileDef def = Big(version, 1, 195);  // 195 items of 31 blocks and more
        ASSERT_EQ(BuildDataFile(platform_, path_, def), 0);
        ASSERT_GE(TableOf(def.entries[1].table), 6000u);
        ConversionRoute route = ConversionRoute::kInPlace;
        ASSERT_EQ(ChooseConversionRoute(platform_, path_.c_str(), version, &route), 0);
        EXPECT_EQ(route, ConversionRoute::kThroughTemporaryFile);
        const std::string target = Path("RXV6.TMP");
        std::filesystem::remove(target);
        ASSERT_EQ(ConvertCopy(target, version - 1, path_), 0);
        ExpectCompacted(target);
        const std::string source = path_;
        path_ = target;
        if (version == 5) {
            ExpectItems(def, 0, 0, false, 5);
        } else {
            ExpectItems(def, 3, 0, false, 0);
        }
        path_ = source;
    }
}

// Free-list entries of 0 and at or beyond FileBlocks are passed over by the
// allocation: a format 4 file holding them is valid, converts in place, and
// the compaction drops them.
TEST_F(LimitTest, FreeListEntriesOfZeroAndBeyondTheFileAreConverted) {
    FileDef def = Big(4, 2, 3);
    ASSERT_EQ(BuildDataFile(platform_, path_, def), 0);
    {
        DataFile file(platform_);
        bool created = false;
        ASSERT_EQ(file.Open(path_.c_str(), &created, 0), 0);
        ASSERT_EQ(file.BeginAccess(true), 0);
        std::uint8_t d[kDescriptorSize];
        ASSERT_EQ(file.ReadTableDescriptor(kFreeTable, d), 0);
        const std::uint16_t length = Load16(d + descriptor::kBlockCount);
        const std::uint16_t end = file.FileBlocks();
        // Entry length + 1 is beyond the file, entry length stays 0, then one
        // entry at FileBlocks itself and one far beyond.
        ResultCode r = file.SetBlockNumber(kFreeTable, length + 1, end + 50, BlockKind::kData, 0);
        if (r == 0) r = file.SetBlockNumber(kFreeTable, length + 2, end, BlockKind::kData, false);
        if (r == 0) r = file.SetBlockNumber(kFreeTable, length + 3, 0x7ff0, BlockKind::kData, 0);
        ASSERT_EQ(file.EndAccess(r), 0);
    }
    ASSERT_EQ(ConvertInPlace(path_, 3), 0);
    ExpectCompacted(path_);
    EXPECT_EQ(Word(AppHeader(path_), 2), 3);
    ExpectItems(def, 3, 0, false, 0);
}

// A used table with BlockCount 0 comes through the container copy with its
// type bytes, RecordSize and LastBlockUsed, and no blocks.
TEST_F(LimitTest, AnEmptyUsedTableIsCopiedWithItsAttributes) {
    FileDef def = Big(5, 1, 1);
    ASSERT_EQ(BuildDataFile(platform_, path_, def), 0);
    {
        DataFile file(platform_);
        bool created = false;
        ASSERT_EQ(file.Open(path_.c_str(), &created, 0), 0);
        ASSERT_EQ(file.BeginAccess(true), 0);
        std::uint16_t table = 150;
        ResultCode r = file.CreateTable(&table, 9, 4);
        if (r == 0) r = file.SetTableRecordSize(table, 77);
        if (r == 0) r = file.SetTableLastBlockUsed(table, 5);
        ASSERT_EQ(file.EndAccess(r), 0);
    }
    const std::string target = Path("RXV2.TMP");
    ASSERT_EQ(ConvertCopy(target, 4, path_), 0);
    DataFile file(platform_);
    bool created = false;
    ASSERT_EQ(file.Open(target.c_str(), &created, OpenReadOnly), 0);
    ASSERT_EQ(file.BeginAccess(false), 0);
    std::uint8_t d[kDescriptorSize];
    ASSERT_EQ(file.ReadTableDescriptor(150, d), 0);
    EXPECT_EQ(d[descriptor::kTableType], 9);
    EXPECT_EQ(d[descriptor::kTableSubtype], 4);
    EXPECT_EQ(Load16(d + descriptor::kBlockCount), 0);
    EXPECT_EQ(Load16(d + descriptor::kRecordSize), 77);
    EXPECT_EQ(Load16(d + descriptor::kLastBlockUsed), 5);
    file.EndAccess(0);
}

// The largest step-down of this shape: the free list ends 2 entries short of
// its 6144, too full even for the compaction's first renewals. Converted,
// sound, not compacted; one more item per list and the step-down fails.
TEST_F(LimitTest, AStepDownThatNearlyFillsTheFreeListIsConverted) {
    FileDef def = Big(4, 4, 382, 1020);  // 6144 blocks
    ASSERT_EQ(BuildDataFile(platform_, path_, def), 0);
    ASSERT_EQ(ConvertInPlace(path_, 3), 0);
    ExpectSound(path_);
    EXPECT_EQ(Word(AppHeader(path_), 2), 3);
    ExpectItems(def, 3, 0, false, 0);

    std::filesystem::remove(path_);
    FileDef more = Big(4, 4, 383, 1020);
    ASSERT_EQ(BuildDataFile(platform_, path_, more), 0);
    const std::vector<std::uint8_t> used = UsedBytes(platform_, path_);
    EXPECT_EQ(ConvertInPlace(path_, 3), 10);
    EXPECT_EQ(UsedBytes(platform_, path_), used);
}

// The route's estimate of the in-place step: a file whose one transaction
// leaves the compaction room stays in place (and ends compacted there); the
// file above, whose step leaves the free list too full to compact, and one
// item more per list, which the step cannot hold at all, go through a new
// file. Asking only reads.
TEST_F(LimitTest, TheRouteKeepsInPlaceWhatTheOneTransactionHolds) {
    ConversionRoute route = ConversionRoute::kThroughTemporaryFile;
    FileDef fits = Big(4, 4, 360, 1020);
    ASSERT_EQ(BuildDataFile(platform_, path_, fits), 0);
    ASSERT_EQ(ChooseConversionRoute(platform_, path_.c_str(), 4, &route), 0);
    EXPECT_EQ(route, ConversionRoute::kInPlace);
    ASSERT_EQ(ChooseConversionRoute(platform_, path_.c_str(), 5, &route), 0);
    EXPECT_EQ(route, ConversionRoute::kThroughTemporaryFile);
    ASSERT_EQ(ConvertInPlace(path_, 3), 0);
    ExpectCompacted(path_);

    for (int items : {382, 383}) {
        SCOPED_TRACE(items);
        std::filesystem::remove(path_);
        FileDef more = Big(4, 4, items, 1020);
        ASSERT_EQ(BuildDataFile(platform_, path_, more), 0);
        const std::vector<std::uint8_t> bytes = ReadFileBytes(path_);
        route = ConversionRoute::kInPlace;
        ASSERT_EQ(ChooseConversionRoute(platform_, path_.c_str(), 4, &route), 0);
        EXPECT_EQ(route, ConversionRoute::kThroughTemporaryFile);
        EXPECT_EQ(ReadFileBytes(path_), bytes);
    }
}

// Below the compaction's limit the same shape is converted and compacted.
TEST_F(LimitTest, FourToThreeOfAMediumFileIsCompacted) {
    FileDef def = Big(4, 2, 43);  // about 2700 blocks of items
    ASSERT_EQ(BuildDataFile(platform_, path_, def), 0);
    ASSERT_EQ(ConvertInPlace(path_, 3), 0);
    ExpectCompacted(path_);
    ExpectItems(def, 3, 0, false, 0);
}

TEST_F(LimitTest, FiveToFourOfAMediumFileIsCompacted) {
    FileDef def = Big(5, 2, 43);
    ASSERT_EQ(BuildDataFile(platform_, path_, def), 0);
    const std::string source = Path("Source.qdx");
    std::filesystem::rename(path_, source);
    ASSERT_EQ(ConvertCopy(path_, 4, source), 0);
    ExpectCompacted(path_);
    ExpectItems(def, 0, 0, false, 5);
}

}  // namespace
}  // namespace quillet::testing
