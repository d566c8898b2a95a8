// Failure paths: a step that fails leaves the file as it was committed before
// it; damaged and hostile files get clear codes and stay unchanged; a write or
// flush that fails anywhere in a conversion leaves a sound file that holds
// either the old or the new format.

#include <filesystem>

#include "container/FileHeader.h"
#include "platform/LittleEndian.h"
#include "tests/convert/ConvertFixture.h"
#include "tests/support/FaultPlatform.h"

namespace quillet::testing {
namespace {

std::vector<Image> BigItems(int count, std::uint16_t words) {
    std::vector<Image> items;
    for (int i = 0; i < count; ++i) {
        std::vector<std::uint16_t> values(words);
        for (std::uint16_t w = 0; w < words; ++w)
            values[w] = static_cast<std::uint16_t>(i * 31 + w);
        values[0] = static_cast<std::uint16_t>(words);  // a Blob counts its own word
        items.push_back(MakeImage({{0x0001, {static_cast<std::uint16_t>(i)}}, {0xC002, values}}));
    }
    return items;
}

EntryDef ListEntry(std::uint16_t id, std::int16_t level) {
    EntryDef e;
    e.list = true;
    e.id = id;
    e.level = level;
    return e;
}

EntryDef FolderEntry(std::uint16_t id, std::int16_t level) {
    EntryDef e;
    e.id = id;
    e.level = level;
    e.name = u"folder";
    return e;
}

class FailureTest : public ConvertFixture {
  protected:
    std::string path_ = Path("Damaged.qdx");

    // Two folders and three lists; the last list is the small one.
    FileDef Typical(std::uint16_t version) {
        FileDef def;
        def.version = version;
        def.entries.push_back(FolderEntry(1, 0));
        EntryDef a = ListEntry(2, 1);
        a.format5Fields = version == 5;
        a.columns = {{1, 10, 2, 3, 4}, {2, 7, 1, {}, {}}};
        a.chunk4 = {MakeImage({{0x0001, {1}}})};
        a.items = BigItems(40, 300);
        def.entries.push_back(a);
        def.entries.push_back(FolderEntry(3, 1));
        EntryDef b = ListEntry(4, 2);
        b.format5Fields = version == 5;
        b.items = BigItems(10, 100);
        def.entries.push_back(b);
        EntryDef c = ListEntry(5, 0);
        c.format5Fields = version == 5;
        c.columns = {{1, 0, {}, {}, {}}};
        c.items = BigItems(2, 10);
        def.entries.push_back(c);
        return def;
    }
};

// A broken chunk chain in the last list: 4 to 3 has by then flattened the
// other lists and made three tables; all of it is discarded.
TEST_F(FailureTest, BrokenChunkChainFourToThreeLeavesTheFile) {
    FileDef def = Typical(4);
    ASSERT_EQ(BuildDataFile(platform_, path_, def), 0);
    ASSERT_EQ(SetChunkLengthWord(platform_, path_, def.entries[4].table, 2, 2), 0);
    const std::vector<std::uint8_t> bytes = UsedBytes(platform_, path_);
    const std::vector<std::uint8_t> snapshot = Snapshot(platform_, path_);
    EXPECT_EQ(ConvertInPlace(path_, 3), 7106);
    // Every byte of the header and of every block in use is as it was, and the
    // file has its old length; blocks that were free may have been written.
    EXPECT_EQ(UsedBytes(platform_, path_), bytes);
    EXPECT_EQ(Snapshot(platform_, path_), snapshot);
    EXPECT_EQ(CheckFile(platform_, path_).findings, "");
}

TEST_F(FailureTest, BrokenChunkChainFiveToFourLeavesTheFile) {
    FileDef def = Typical(5);
    ASSERT_EQ(BuildDataFile(platform_, path_, def), 0);
    ASSERT_EQ(SetChunkLengthWord(platform_, path_, def.entries[4].table, 3, 0x10000), 0);
    const std::vector<std::uint8_t> used = UsedBytes(platform_, path_);
    EXPECT_EQ(ConvertInPlace(path_, 4), 7106);
    EXPECT_EQ(UsedBytes(platform_, path_), used);

    // By copy: the source is not written at all, and the step, which reads
    // the lists from the source in the copy's transaction, is discarded with
    // the copy: the new file stays sound and holds nothing of the source.
    const std::vector<std::uint8_t> bytes = ReadFileBytes(path_);
    const std::string target = Path("RXV9.TMP");
    EXPECT_EQ(ConvertCopy(target, 4, path_), 7106);
    EXPECT_EQ(ReadFileBytes(path_), bytes);
    const FileCheck check = CheckFile(platform_, target);
    EXPECT_EQ(check.findings, "");
    EXPECT_EQ(Word(AppHeader(target), 2), 0);
    EXPECT_LE(check.usedBlocks, 4u) << "only the empty file's own blocks";
}

// A block named twice: by the free list and a table (the step-down would
// hand it out and overwrite the list), or by two tables. Refused before
// anything changes.
TEST_F(FailureTest, ABlockNamedTwiceIsRefused) {
    for (int variant = 0; variant < 2; ++variant) {
        SCOPED_TRACE(variant);
        std::filesystem::remove(path_);
        FileDef def = Typical(4);
        ASSERT_EQ(BuildDataFile(platform_, path_, def), 0);
        std::vector<std::uint8_t> raw = ReadFileBytes(path_);
        const std::uint16_t small = def.entries[4].table;  // one block, direct map
        const std::uint16_t other = def.entries[3].table;
        ASSERT_LT(small, 8);
        ASSERT_LT(other, 8);
        const std::size_t slot = descriptor::kSlots;
        const std::uint16_t inUse = Load16(raw.data() + RootDescriptorOffset(raw, small) + slot);
        ASSERT_NE(inUse & kBlockNumberMask, 0);
        const std::uint16_t victim = variant == 0 ? kFreeTable : other;
        ASSERT_EQ(raw[RootDescriptorOffset(raw, victim) + descriptor::kIndirect], 0);
        ASSERT_GT(Load16(raw.data() + RootDescriptorOffset(raw, victim)), 0);
        Store16(raw.data() + RootDescriptorOffset(raw, victim) + slot, inUse);
        ASSERT_TRUE(WriteFileBytes(path_, raw));
        ASSERT_NE(CheckFile(platform_, path_).findings, "");
        EXPECT_EQ(ConvertInPlace(path_, 3), 5);
        EXPECT_EQ(ReadFileBytes(path_), raw);
    }
}

// Table numbers in the AppHeader and in field 41 that name the wrong kind of
// table, or one list table twice.
struct Hostile {
    const char* name;
    std::uint16_t version;
    int indexTable;  // -1: as built; else the AppHeader's ListIndexTable
    int field41;     // -1: none; else the third list entry names this table
    ResultCode code;
};

class HostileTest : public FailureTest, public ::testing::WithParamInterface<Hostile> {};

TEST_P(HostileTest, IsRefusedAndChangesNothing) {
    const Hostile& h = GetParam();
    FileDef def;
    def.version = h.version;
    def.entries.push_back(FolderEntry(1, 0));
    EntryDef a = ListEntry(2, 1);
    a.chunk4 = {MakeImage({{0x0001, {1}}}), MakeImage({{0x0001, {2}}})};
    a.items = BigItems(3, 20);
    def.entries.push_back(a);                // table 2
    def.entries.push_back(ListEntry(3, 1));  // table 3
    if (h.field41 >= 0) {
        EntryDef bad = ListEntry(4, 0);
        bad.forceTable = static_cast<std::uint16_t>(h.field41);
        def.entries.push_back(bad);
    }
    ASSERT_EQ(BuildDataFile(platform_, path_, def), 0);
    ASSERT_EQ(def.indexTable, 4);
    if (h.indexTable >= 0) PatchAppHeader(path_, 4, static_cast<std::uint16_t>(h.indexTable));
    const std::vector<std::uint8_t> bytes = ReadFileBytes(path_);
    EXPECT_EQ(ConvertInPlace(path_, h.version - 1), h.code);
    EXPECT_EQ(ReadFileBytes(path_), bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, HostileTest,
    ::testing::Values(
        Hostile{"IndexIsDirectory5", 5, 0, -1, 7001}, Hostile{"IndexIsFreeList5", 5, 1, -1, 7001},
        Hostile{"IndexIsUnused5", 5, 9, -1, 7001}, Hostile{"IndexIsAList5", 5, 2, -1, 7001},
        Hostile{"IndexOutOfRange5", 5, 500, -1, 9}, Hostile{"IndexIsDirectory4", 4, 0, -1, 7001},
        Hostile{"IndexIsFreeList4", 4, 1, -1, 7001}, Hostile{"IndexIsUnused4", 4, 9, -1, 7001},
        Hostile{"IndexIsAList4", 4, 3, -1, 7001}, Hostile{"ListIsFreeList5", 5, -1, 1, 7001},
        Hostile{"ListIsUnused5", 5, -1, 20, 7001}, Hostile{"ListIsTheIndex5", 5, -1, 4, 7001},
        Hostile{"ListTwice5", 5, -1, 2, 7001}, Hostile{"ListOutOfRange5", 5, -1, 0xFFFF, 9},
        Hostile{"ListIsFreeList4", 4, -1, 1, 7001}, Hostile{"ListIsUnused4", 4, -1, 20, 7001},
        Hostile{"ListIsTheIndex4", 4, -1, 4, 7001}, Hostile{"ListTwice4", 4, -1, 3, 7001},
        Hostile{"ListOutOfRange4", 4, -1, 192, 9}),
    [](const ::testing::TestParamInfo<Hostile>& info) { return std::string(info.param.name); });

// Descriptors of the source that the table copy cannot trust.
TEST_F(FailureTest, CopyOfDamagedSourceTablesIsRefused) {
    struct Case {
        const char* name;
        std::size_t items;  // items of the list in table 2 (30 words each)
        std::size_t field;  // descriptor byte offset to patch
        std::uint16_t value;
        ResultCode code;
    };
    const Case cases[] = {
        {"block count beyond any map", 3, descriptor::kBlockCount, 0xFFFF, 10},
        {"block count just beyond", 3, descriptor::kBlockCount, kMaxTableBlocks + 1, 10},
        {"data block beyond the file", 3, descriptor::kSlots, 0x7000, 3},
        {"index block beyond the file", 700, descriptor::kSlots, 0x7ABC, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(path_);
        FileDef def;
        def.version = 5;
        EntryDef a = ListEntry(2, 0);
        a.items = BigItems(static_cast<int>(c.items), 30);
        def.entries.push_back(a);
        ASSERT_EQ(BuildDataFile(platform_, path_, def), 0);
        ASSERT_EQ(def.entries[0].table, 2);
        std::vector<std::uint8_t> raw = ReadFileBytes(path_);
        Store16(raw.data() + RootDescriptorOffset(raw, 2) + c.field, c.value);
        ASSERT_TRUE(WriteFileBytes(path_, raw));
        const std::string target = Path("Copy.tmp");
        std::filesystem::remove(target);
        EXPECT_EQ(ConvertCopy(target, 4, path_), c.code);
        EXPECT_EQ(ReadFileBytes(path_), raw);
        // The target holds its empty committed start, never a partial copy.
        EXPECT_EQ(CheckFile(platform_, target).findings, "");
        std::vector<std::pair<std::uint16_t, TableInfo>> tables;
        ASSERT_EQ(ListTables(platform_, target, &tables), 0);
        EXPECT_EQ(tables.size(), 2u);
    }
}

// A write or a flush that fails, at each place where a conversion makes one in
// turn: the result is an error, the file is sound, and it holds either its
// old content or the converted one.
class FaultSweepTest : public FailureTest, public ::testing::WithParamInterface<FaultKind> {};

TEST_P(FaultSweepTest, EveryFailureLeavesOldOrNewContent) {
    FileDef def = Typical(4);
    const std::string original = Path("Original.qdx");
    ASSERT_EQ(BuildDataFile(platform_, original, def), 0);
    const std::vector<std::uint8_t> oldSnapshot = Snapshot(platform_, original);

    // A clean run counts the calls and gives the converted content.
    const std::string clean = Path("Clean.qdx");
    std::filesystem::copy_file(original, clean);
    FaultPlatform counting(platform_);
    {
        ConversionFile file(counting);
        ASSERT_EQ(file.Convert(clean.c_str(), 3, nullptr), 0);
    }
    const std::uint64_t calls = counting.Count(GetParam());
    ASSERT_GT(calls, 2u);
    std::vector<Image> cleanLists, cleanFolders, cleanColumns;
    const std::vector<std::uint8_t> cleanApp = AppHeader(clean);
    ASSERT_EQ(ReadRecords(platform_, clean, Word(cleanApp, 4), &cleanLists), 0);
    ASSERT_EQ(ReadRecords(platform_, clean, Word(cleanApp, 8), &cleanFolders), 0);
    ASSERT_EQ(ReadRecords(platform_, clean, Word(cleanApp, 10), &cleanColumns), 0);

    int oldCount = 0;
    int newCount = 0;
    for (std::uint64_t n = 1; n <= calls; ++n) {
        SCOPED_TRACE(n);
        std::filesystem::remove(path_);
        std::filesystem::copy_file(original, path_);
        FaultPlatform faults(platform_);
        faults.FailCall(GetParam(), n, win32::kWriteFault);
        ResultCode result = 0;
        {
            ConversionFile file(faults);
            result = file.Convert(path_.c_str(), 3, nullptr);
        }
        EXPECT_NE(result, 0);
        ASSERT_EQ(CheckFile(platform_, path_).findings, "");
        const std::vector<std::uint8_t> app = AppHeader(path_);
        if (Word(app, 2) == 4) {
            ++oldCount;
            EXPECT_EQ(Snapshot(platform_, path_), oldSnapshot);
            continue;
        }
        ++newCount;
        ASSERT_EQ(Word(app, 2), 3);
        std::vector<Image> lists, folders, columns;
        ASSERT_EQ(ReadRecords(platform_, path_, Word(app, 4), &lists), 0);
        ASSERT_EQ(ReadRecords(platform_, path_, Word(app, 8), &folders), 0);
        ASSERT_EQ(ReadRecords(platform_, path_, Word(app, 10), &columns), 0);
        EXPECT_EQ(lists, cleanLists);
        EXPECT_EQ(folders, cleanFolders);
        EXPECT_EQ(columns, cleanColumns);
        for (const EntryDef& e : def.entries) {
            if (!e.list) continue;
            std::vector<std::uint8_t> content;
            ASSERT_EQ(ReadTableContent(platform_, path_, e.table, 3, 0, false, &content), 0);
            EXPECT_EQ(content, ItemBytes(e.items)) << e.table;
        }
    }
    // The step-down's failures keep the old content, the compaction's the new.
    EXPECT_GT(oldCount, 0);
    EXPECT_GT(newCount, 0);
}

INSTANTIATE_TEST_SUITE_P(Calls, FaultSweepTest,
                         ::testing::Values(FaultKind::kWrite, FaultKind::kFlush),
                         [](const ::testing::TestParamInfo<FaultKind>& info) {
                             return info.param == FaultKind::kWrite ? std::string("Write")
                                                                    : std::string("Flush");
                         });

}  // namespace
}  // namespace quillet::testing
