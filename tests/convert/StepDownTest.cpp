// The rules of the two step-downs on outlines, folders and columns that the
// whole-conversion tests do not reach: clamped levels, unnamed folders, empty
// indexes, folder-only indexes, absent column types.

#include "tests/convert/ConvertFixture.h"

namespace quillet::testing {
namespace {

class StepDownTest : public ConvertFixture {
  protected:
    std::string Build(FileDef& def) {
        const std::string path = Path("Steps.qdx");
        EXPECT_EQ(BuildDataFile(platform_, path, def), 0);
        return path;
    }
};

EntryDef Entry(bool list, std::uint16_t id, std::int16_t level,
               std::optional<std::u16string> name = std::nullopt) {
    EntryDef e;
    e.list = list;
    e.id = id;
    e.level = level;
    e.name = std::move(name);
    return e;
}

TEST_F(StepDownTest, LevelsAreClampedAndTheDeepestFolderNeverBecomesAParent) {
    FileDef def;
    def.version = 4;
    def.entries = {
        Entry(false, 1, -3, u"neg"),  // counts as level 0
        Entry(false, 2, 1),           // no name: no field 0x8003
        Entry(false, 3, 14, u"d14"),  // no folder at 13: parent 0
        Entry(false, 4, 15, u"d15"),  // parent 3
        Entry(false, 5, 40, u"d40"),  // counts as 15: parent 3 again, not 4
        Entry(true, 6, 40),           // a list at 15: parent 3
        Entry(true, 7, 2),            // parent 2
        Entry(false, 8, 0, u"top"),   // a new top folder
        Entry(true, 9, 1),            // parent 8
    };
    const std::string path = Build(def);
    ASSERT_EQ(ConvertInPlace(path, 3), 0);
    ExpectCompacted(path);
    const std::vector<std::uint8_t> app = AppHeader(path);

    std::vector<Image> folders, lists;
    ASSERT_EQ(ReadRecords(platform_, path, Word(app, 8), &folders), 0);
    EXPECT_EQ(folders, (std::vector<Image>{
                           {10, 0x0001, 1, 0x8003, 'n', 'e', 'g', 0, 0x0023, 0},
                           {5, 0x0001, 2, 0x0023, 1},
                           {10, 0x0001, 3, 0x8003, 'd', '1', '4', 0, 0x0023, 0},
                           {10, 0x0001, 4, 0x8003, 'd', '1', '5', 0, 0x0023, 3},
                           {10, 0x0001, 5, 0x8003, 'd', '4', '0', 0, 0x0023, 3},
                           {10, 0x0001, 8, 0x8003, 't', 'o', 'p', 0, 0x0023, 0},
                       }));
    ASSERT_EQ(ReadRecords(platform_, path, Word(app, 4), &lists), 0);
    ASSERT_EQ(lists.size(), 3u);
    const std::uint16_t expectedParents[] = {3, 2, 8};
    for (std::size_t i = 0; i < lists.size(); ++i) {
        ASSERT_GE(lists[i].size(), 2u);
        EXPECT_EQ(lists[i][lists[i].size() - 2], 0x0023) << i;
        EXPECT_EQ(lists[i].back(), expectedParents[i]) << i;
    }
}

TEST_F(StepDownTest, AnEmptyIndexGivesThreeEmptyListsAndTheIndexGoes) {
    FileDef def;
    def.version = 4;
    const std::string path = Build(def);
    ASSERT_EQ(def.indexTable, 2);
    ASSERT_EQ(ConvertInPlace(path, 3), 0);
    ExpectSound(path);
    const std::vector<std::uint8_t> app = AppHeader(path);
    // Table 2 is still the index while the new lists are made.
    EXPECT_EQ(Word(app, 4), 3);
    EXPECT_EQ(Word(app, 8), 4);
    EXPECT_EQ(Word(app, 10), 5);
    std::vector<std::pair<std::uint16_t, TableInfo>> tables;
    ASSERT_EQ(ListTables(platform_, path, &tables), 0);
    ASSERT_EQ(tables.size(), 5u);
    EXPECT_EQ(tables[2].first, 3);
    for (std::size_t i = 2; i < tables.size(); ++i) {
        EXPECT_EQ(tables[i].second.type, 3);
        EXPECT_EQ(tables[i].second.blockCount, 0);
    }
}

TEST_F(StepDownTest, ColumnsOfEveryKind) {
    FileDef def;
    def.version = 4;
    EntryDef a = Entry(true, 20, 0);
    a.columns = {
        {5, {}, 1, 1, 1},    // no type: type 0 added, fields 8, 9, 10 gone
        {4, 7, 8, 9, 10},    // Yes/No keeps 8
        {3, 11, 8, {}, {}},  // Linked becomes String
        {2, 10, {}, 9, {}},  // 3 State becomes Number
        {1, 6, 8, {}, 10},   // others keep their type, lose 8
        {3, 2, {}, {}, {}},  // equal keys with the third: goes before it
    };
    EntryDef b = Entry(true, 19, 0);  // a lower identifier sorts first
    b.columns = {{9, 1, {}, {}, {}}};
    def.entries = {a, b};
    const std::string path = Build(def);
    ASSERT_EQ(ConvertInPlace(path, 3), 0);
    std::vector<Image> columns;
    ASSERT_EQ(ReadRecords(platform_, path, Word(AppHeader(path), 10), &columns), 0);
    EXPECT_EQ(columns, (std::vector<Image>{
                           {7, 0x0001, 9, 0x0003, 19, 0x0004, 1},
                           {7, 0x0001, 1, 0x0003, 20, 0x0004, 6},
                           {7, 0x0001, 2, 0x0003, 20, 0x0004, 4},
                           {7, 0x0001, 3, 0x0003, 20, 0x0004, 2},
                           {7, 0x0001, 3, 0x0003, 20, 0x0004, 0},
                           {9, 0x0001, 4, 0x0003, 20, 0x0004, 7, 0x0008, 8},
                           {7, 0x0001, 5, 0x0003, 20, 0x0004, 0},
                       }));
}

TEST_F(StepDownTest, FiveToFourWithOnlyFoldersChangesOnlyTheVersion) {
    FileDef def;
    def.version = 5;
    def.entries = {Entry(false, 1, 0, u"a"), Entry(false, 2, 1, u"b")};
    const std::string path = Build(def);
    std::vector<Image> before;
    ASSERT_EQ(ReadRecords(platform_, path, def.indexTable, &before), 0);
    const std::vector<std::uint8_t> app = AppHeader(path);
    ASSERT_EQ(ConvertInPlace(path, 4), 0);
    ExpectSound(path);
    std::vector<Image> after;
    ASSERT_EQ(ReadRecords(platform_, path, def.indexTable, &after), 0);
    EXPECT_EQ(after, before);
    std::vector<std::uint8_t> expected = app;
    expected[2] = 4;
    EXPECT_EQ(AppHeader(path), expected);
}

TEST_F(StepDownTest, FiveToFourWithAnEmptyIndex) {
    FileDef def;
    def.version = 5;
    const std::string path = Build(def);
    ASSERT_EQ(ConvertInPlace(path, 4), 0);
    ExpectSound(path);
    EXPECT_EQ(Word(AppHeader(path), 2), 4);
    std::vector<Image> index;
    ASSERT_EQ(ReadRecords(platform_, path, def.indexTable, &index), 0);
    EXPECT_TRUE(index.empty());
}

}  // namespace
}  // namespace quillet::testing
