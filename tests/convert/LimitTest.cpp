// Files of thousands of blocks. The free list lives in table 1's block map and
// holds at most 6144 entries, and a transaction never reuses the blocks it
// frees: a step-down that rewrites more blocks than that fails with 10 and
// must leave the file as it was. A file whose step-down fits but whose
// compaction could overflow the free list is converted and left uncompacted.

#include <filesystem>

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

TEST_F(LimitTest, FiveToFourRewritingTooManyBlocksFailsAndLeavesTheSource) {
    FileDef def = Big(5, 5, 42);
    ASSERT_EQ(BuildDataFile(platform_, path_, def), 0);
    const std::vector<std::uint8_t> bytes = ReadFileBytes(path_);
    const std::string target = Path("RXV0.TMP");
    EXPECT_EQ(ConvertCopy(target, 4, path_), 10);
    EXPECT_EQ(ReadFileBytes(path_), bytes);
    // The copy stays sound at format 5; the caller deletes it.
    EXPECT_EQ(CheckFile(platform_, target).findings, "");
    EXPECT_EQ(Word(AppHeader(target), 2), 5);
}

// The step-down fits, the compaction could not: converted, sound, and the
// file keeps its length.
TEST_F(LimitTest, FourToThreeThatFitsIsConvertedEvenWhenItCannotBeCompacted) {
    FileDef def = Big(4, 4, 42);  // about 5300 blocks of items
    ASSERT_EQ(BuildDataFile(platform_, path_, def), 0);
    ASSERT_EQ(ConvertInPlace(path_, 3), 0);
    ExpectSound(path_);
    EXPECT_EQ(Word(AppHeader(path_), 2), 3);
    ExpectItems(def, 3, 0, false, 0);
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
