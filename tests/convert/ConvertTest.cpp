// Whole conversions through Convert: 5 to 4 by copying, 4 to 3 in place, 5 to
// 3 in one call, and the refusals. Results are read back through the engine
// and the record layer and compared with images written out by hand.

#include <cstring>
#include <filesystem>

#include "container/FileHeader.h"
#include "tests/convert/ConvertFixture.h"

namespace quillet::testing {
namespace {

std::vector<Image> Items(int count, std::uint16_t seed) {
    std::vector<Image> items;
    for (int i = 0; i < count; ++i) {
        const std::u16string text = u"item " + std::u16string(1, char16_t(u'a' + (i + seed) % 26));
        items.push_back(MakeImage(
            {{0x0001, {static_cast<std::uint16_t>(i)}}, {0x0002, {seed}}, {0x8002, Text(text)}}));
    }
    return items;
}

EntryDef Folder(std::uint16_t id, std::int16_t level, std::u16string name) {
    EntryDef e;
    e.id = id;
    e.level = level;
    e.name = std::move(name);
    return e;
}

EntryDef List(std::uint16_t id, std::int16_t level) {
    EntryDef e;
    e.list = true;
    e.id = id;
    e.level = level;
    return e;
}

class ConvertTest : public ConvertFixture {};

TEST_F(ConvertTest, FiveToFourByCopyRemovesOnlyTheFormatFiveData) {
    FileDef def;
    def.version = 5;
    def.entries.push_back(Folder(1, 0, u"Top"));
    EntryDef a = List(2, 1);
    a.format5Fields = true;
    a.columns = {{1, 0, {}, 4, {}}, {2, 10, 3, {}, 7}};
    a.chunk4 = {MakeImage({{0x0001, {1}}}), MakeImage({{0x0001, {2}}}), MakeImage({{0x0001, {3}}})};
    a.items = Items(40, 1);
    def.entries.push_back(a);
    EntryDef b = List(3, 0);  // none of the three fields, chunk 4 empty
    def.entries.push_back(b);
    EntryDef c = List(4, 0);
    c.format5Fields = true;
    c.chunk4 = {MakeImage({{0x0007, {9}}})};
    c.items = Items(900, 2);  // some 30 blocks
    def.entries.push_back(c);
    const std::string source = Path("List.qdx");
    ASSERT_EQ(BuildDataFile(platform_, source, def), 0);

    // A banner with bytes after its end, and extra fields of our own.
    std::vector<std::uint8_t> raw = ReadFileBytes(source);
    std::memset(raw.data() + header::kBanner, 'x', header::kBannerSize);
    std::memcpy(raw.data() + header::kBanner, "My lists\0junk", 13);
    raw[header::kExtraWord] = 0x34;
    raw[header::kExtraWord + 1] = 0x12;
    raw[header::kExtraLong] = 0x78;
    raw[header::kExtraLong + 3] = 0x56;
    FixHeaderChecksum(raw.data());
    ASSERT_TRUE(WriteFileBytes(source, raw));

    const std::string target = Path("RXV1.TMP");
    ASSERT_EQ(ConvertCopy(target, 4, source), 0);
    EXPECT_EQ(ReadFileBytes(source), raw) << "the source is only read";
    ExpectCompacted(target);

    const std::vector<std::uint8_t> converted = ReadFileBytes(target);
    std::vector<std::uint8_t> banner(112, 0);
    std::memcpy(banner.data(), "My lists", 8);
    EXPECT_EQ(std::vector<std::uint8_t>(converted.begin() + 16, converted.begin() + 128), banner);
    EXPECT_EQ(Word(converted, header::kExtraWord), 0x1234);
    EXPECT_EQ(Word(converted, header::kExtraLong), 0x0078);
    EXPECT_EQ(Word(converted, header::kExtraLong + 2), 0x5600);

    std::vector<std::pair<std::uint16_t, TableInfo>> before, after;
    ASSERT_EQ(ListTables(platform_, source, &before), 0);
    ASSERT_EQ(ListTables(platform_, target, &after), 0);
    ASSERT_EQ(before.size(), after.size());
    for (std::size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(before[i].first, after[i].first);
        EXPECT_EQ(before[i].second.type, after[i].second.type);
        EXPECT_EQ(before[i].second.subtype, after[i].second.subtype);
    }

    const std::vector<std::uint8_t> app = AppHeader(target);
    const std::vector<std::uint8_t> oldApp = AppHeader(source);
    EXPECT_EQ(Word(app, 0), 64);
    EXPECT_EQ(Word(app, 2), 4);
    EXPECT_TRUE(std::equal(app.begin() + 4, app.end(), oldApp.begin() + 4));

    std::vector<Image> oldIndex, newIndex;
    ASSERT_EQ(ReadRecords(platform_, source, def.indexTable, &oldIndex), 0);
    ASSERT_EQ(ReadRecords(platform_, target, def.indexTable, &newIndex), 0);
    EXPECT_EQ(oldIndex, newIndex);

    for (const EntryDef& e : def.entries) {
        if (!e.list) continue;
        SCOPED_TRACE(e.id);
        EntryDef plain = e;
        plain.format5Fields = false;
        std::vector<Image> header, columns, chunk4, items;
        ASSERT_EQ(ReadChunkRecords(platform_, target, e.table, 1, &header), 0);
        ASSERT_EQ(header.size(), 1u);
        EXPECT_EQ(header[0], ListHeaderImage(plain));
        ASSERT_EQ(ReadChunkRecords(platform_, target, e.table, 2, &columns), 0);
        ASSERT_EQ(columns.size(), e.columns.size());
        for (std::size_t i = 0; i < columns.size(); ++i) {
            EXPECT_EQ(columns[i], ColumnImage(e.columns[i]));
        }
        ASSERT_EQ(ReadChunkRecords(platform_, target, e.table, 4, &chunk4), 0);
        std::vector<Image> expected4 = e.chunk4;
        if (!expected4.empty()) expected4.erase(expected4.begin());
        EXPECT_EQ(chunk4, expected4);
        ASSERT_EQ(ReadChunkRecords(platform_, target, e.table, 5, &items), 0);
        EXPECT_EQ(items, e.items);
    }
}

// The outline A (folder, 0), B (folder, 1), L (list, 2), C (folder, 1),
// M (list, 1): B and C get parent A, L gets B, M gets A, A gets 0.
class OutlineTest : public ConvertFixture {
  protected:
    FileDef def_;
    std::string path_;

    void Build(std::uint16_t version) {
        def_.version = version;
        def_.entries.push_back(Folder(10, 0, u"A"));
        def_.entries.push_back(Folder(11, 1, u"B"));
        EntryDef l = List(12, 2);
        l.format5Fields = version == 5;
        l.columns = {{2, 10, 5, 1, 1}, {1, 7, 9, {}, {}}};
        l.items = Items(300, 3);
        l.chunk4 = {MakeImage({{0x0001, {1}}})};
        def_.entries.push_back(l);
        def_.entries.push_back(Folder(13, 1, u"C"));
        EntryDef m = List(14, 1);
        m.format5Fields = version == 5;
        m.columns = {{1, 11, 3, {}, {}}, {1, 3, {}, {}, 2}};
        def_.entries.push_back(m);
        path_ = Path("Outline.qdx");
        ASSERT_EQ(BuildDataFile(platform_, path_, def_), 0);
        // Lists first, in entry order, then the index.
        ASSERT_EQ(def_.entries[2].table, 2);
        ASSERT_EQ(def_.entries[4].table, 3);
        ASSERT_EQ(def_.indexTable, 4);
    }

    void ExpectFormatThree() {
        ExpectCompacted(path_);
        const std::vector<std::uint8_t> app = AppHeader(path_);
        EXPECT_EQ(Word(app, 0), 64);
        EXPECT_EQ(Word(app, 2), 3);
        // New lists take the lowest free numbers: list records, folder
        // records, then the columns; the old index goes.
        EXPECT_EQ(Word(app, 4), 5);
        EXPECT_EQ(Word(app, 8), 6);
        EXPECT_EQ(Word(app, 10), 7);
        ExpectAppFillerKept(app);

        std::vector<std::pair<std::uint16_t, TableInfo>> tables;
        ASSERT_EQ(ListTables(platform_, path_, &tables), 0);
        std::vector<std::uint16_t> numbers;
        for (const auto& [t, info] : tables) {
            numbers.push_back(t);
            if (t >= 2) {
                EXPECT_EQ(info.type, 3) << t;
                EXPECT_EQ(info.subtype, 0) << t;
                EXPECT_EQ(info.recordSize, 2) << t;
            }
        }
        EXPECT_EQ(numbers, (std::vector<std::uint16_t>{0, 1, 2, 3, 5, 6, 7}));

        std::vector<Image> lists, folders, columns;
        ASSERT_EQ(ReadRecords(platform_, path_, 5, &lists), 0);
        EXPECT_EQ(
            lists,
            (std::vector<Image>{
                {15, 0x0001, 12, 0x8001, 'H', '1', '2', 0, 0x0002, 2, 0x4004, 0, 0, 0x0023, 11},
                {15, 0x0001, 14, 0x8001, 'H', '1', '4', 0, 0x0002, 3, 0x4004, 0, 0, 0x0023, 10},
            }));
        ASSERT_EQ(ReadRecords(platform_, path_, 6, &folders), 0);
        EXPECT_EQ(folders, (std::vector<Image>{
                               {8, 0x0001, 10, 0x8003, 'A', 0, 0x0023, 0},
                               {8, 0x0001, 11, 0x8003, 'B', 0, 0x0023, 10},
                               {8, 0x0001, 13, 0x8003, 'C', 0, 0x0023, 10},
                           }));
        ASSERT_EQ(ReadRecords(platform_, path_, 7, &columns), 0);
        EXPECT_EQ(columns, (std::vector<Image>{
                               // List 12: type 7 keeps field 8; type 10 becomes 4.
                               {9, 0x0001, 1, 0x0003, 12, 0x0004, 7, 0x0008, 9},
                               {7, 0x0001, 2, 0x0003, 12, 0x0004, 4},
                               // List 14, equal keys: the later definition first;
                               // type 11 becomes 0 and loses field 8.
                               {7, 0x0001, 1, 0x0003, 14, 0x0004, 3},
                               {7, 0x0001, 1, 0x0003, 14, 0x0004, 0},
                           }));

        // Each list's table holds exactly its former chunk 5, uncomplemented.
        std::vector<std::uint8_t> content;
        ASSERT_EQ(ReadTableContent(platform_, path_, 2, 3, 0, false, &content), 0);
        EXPECT_EQ(content, ItemBytes(def_.entries[2].items));
        std::vector<Image> items;
        ASSERT_EQ(ReadRecords(platform_, path_, 2, &items), 0);
        EXPECT_EQ(items, def_.entries[2].items);
        ASSERT_EQ(ReadTableContent(platform_, path_, 3, 3, 0, false, &content), 0);
        EXPECT_TRUE(content.empty());
        TableInfo info;
        ASSERT_EQ(ReadTableInfo(platform_, path_, 3, &info), 0);
        EXPECT_EQ(info.blockCount, 0);
        EXPECT_EQ(info.lastBlockUsed, 0);
    }
};

TEST_F(OutlineTest, FourToThreeInPlace) {
    Build(4);
    ASSERT_EQ(ConvertInPlace(path_, 3), 0);
    ExpectFormatThree();
}

TEST_F(OutlineTest, FiveToThreeInOneConvertRunsBothSteps) {
    Build(5);
    ASSERT_EQ(ConvertInPlace(path_, 3), 0);
    // The list records come out without the format 5 fields.
    ExpectFormatThree();
}

TEST_F(OutlineTest, FiveToThreeByCopyLeavesTheSource) {
    Build(5);
    const std::vector<std::uint8_t> original = ReadFileBytes(path_);
    const std::string source = Path("Source.qdx");
    std::filesystem::rename(path_, source);
    ASSERT_EQ(ConvertCopy(path_, 3, source), 0);
    EXPECT_EQ(ReadFileBytes(source), original);
    ExpectFormatThree();
}

// Every refusal happens before anything is written.
struct Refusal {
    std::uint16_t version;
    int target;
    bool badSignature;
    ResultCode code;
};

class RefusalTest : public ConvertFixture, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusalTest, InPlaceChangesNothing) {
    const Refusal& r = GetParam();
    FileDef def;
    def.version = 4;
    EntryDef l = List(5, 0);
    l.items = Items(10, 1);
    def.entries.push_back(l);
    const std::string path = Path("Refused.qdx");
    ASSERT_EQ(BuildDataFile(platform_, path, def), 0);
    PatchAppHeader(path, 2, r.version);
    if (r.badSignature) {
        std::uint8_t other[16] = {'T', 0, 'a', 0, 'l', 0, 'l', 0, 'y', 0, 's', 0, 'e', 0, 'T', 0};
        PatchAppSignature(path, other);
    }
    const std::vector<std::uint8_t> before = ReadFileBytes(path);
    EXPECT_EQ(ConvertInPlace(path, r.target), r.code);
    EXPECT_EQ(ReadFileBytes(path), before);
}

INSTANTIATE_TEST_SUITE_P(Versions, RefusalTest,
                         ::testing::Values(Refusal{4, 3, true, 38}, Refusal{5, 4, true, 38},
                                           Refusal{3, 3, false, 46}, Refusal{4, 4, false, 46},
                                           Refusal{3, 4, false, 46}, Refusal{6, 4, false, 46},
                                           Refusal{0xFFFF, 3, false, 46}, Refusal{5, 2, false, 46},
                                           Refusal{4, 0, false, 46}, Refusal{0, 3, false, 46}));

TEST_F(ConvertTest, CopyModeRefusesAnExistingTarget) {
    FileDef def;
    def.version = 5;
    def.entries.push_back(List(1, 0));
    const std::string source = Path("S.qdx");
    ASSERT_EQ(BuildDataFile(platform_, source, def), 0);
    FileDef other;
    other.version = 4;
    const std::string dataTarget = Path("T.qdx");
    ASSERT_EQ(BuildDataFile(platform_, dataTarget, other), 0);
    const std::string textTarget = Path("T.txt");
    ASSERT_TRUE(WriteFileBytes(textTarget, {'h', 'e', 'l', 'l', 'o'}));
    const std::vector<std::uint8_t> sourceBytes = ReadFileBytes(source);

    for (const std::string& target : {dataTarget, textTarget}) {
        const std::vector<std::uint8_t> before = ReadFileBytes(target);
        EXPECT_EQ(ConvertCopy(target, 4, source), -80) << target;
        EXPECT_EQ(ReadFileBytes(target), before) << target;
    }
    EXPECT_EQ(ReadFileBytes(source), sourceBytes);
}

TEST_F(ConvertTest, InPlaceWithoutAFileLeavesNoFile) {
    const std::string path = Path("Missing.qdx");
    EXPECT_EQ(ConvertInPlace(path, 3), 46);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

TEST_F(ConvertTest, CopyModeWithoutASourceFailsAndCreatesNoSource) {
    const std::string source = Path("NoSource.qdx");
    const std::string target = Path("RXV2.TMP");
    EXPECT_EQ(ConvertCopy(target, 4, source), 33);
    EXPECT_FALSE(std::filesystem::exists(source));
}

TEST_F(ConvertTest, CopyModeRefusalLeavesTheSourceAndNamesTheCode) {
    FileDef def;
    def.version = 4;  // already at the target
    def.entries.push_back(List(1, 0));
    const std::string source = Path("Four.qdx");
    ASSERT_EQ(BuildDataFile(platform_, source, def), 0);
    const std::vector<std::uint8_t> before = ReadFileBytes(source);
    const std::string target = Path("RXV3.TMP");
    EXPECT_EQ(ConvertCopy(target, 4, source), 46);
    EXPECT_EQ(ReadFileBytes(source), before);
    // The copy itself was committed and stays sound; the caller deletes it.
    ExpectSound(target);
    EXPECT_EQ(Word(AppHeader(target), 2), 4);
}

}  // namespace
}  // namespace quillet::testing
