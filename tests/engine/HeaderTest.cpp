// The file header and a new file's first two blocks, byte for byte; header
// validation with its order of checks and the legacy layout; the version rules
// for read-only and read/write opens.

#include <gtest/gtest.h>

#include <cstring>

#include "tests/engine/EngineFixture.h"

namespace quillet::testing {
namespace {

// The exact image of a new file: header in block 0, root block in block 1.
std::vector<std::uint8_t> NewFileGolden() {
    std::vector<std::uint8_t> g(1024, 0);
    std::memcpy(g.data(), "*Orvane Systems*", 16);
    std::memcpy(g.data() + 16, "\r\n\r\nThis is an Orvane Systems data file.", 40);
    Store16(&g[128], 0xFFFF);
    Store16(&g[130], 0xDAEC);
    Store16(&g[132], 0xCD88);  // makes the 256 words sum to zero
    Store16(&g[134], 512);
    Store16(&g[136], 1);
    Store16(&g[156], 1);  // root block 1, fresh flag cleared by the commit
    Store16(&g[158], 2);  // FileBlocks
    Store32(&g[160], 1);  // CommitCount
    Store32(&g[164], 1);  // ExtraLong
    // Root block: descriptor 0, the directory.
    std::uint8_t* root = &g[512];
    Store16(root + 0, 1);        // BlockCount
    root[2] = 0;                 // Indirect
    root[3] = 1;                 // MapFlag
    root[4] = 2;                 // TableType
    root[5] = 0;                 // TableSubtype
    Store16(root + 6, 64);       // RecordSize
    Store16(root + 8, 2);        // LastBlockUsed
    Store16(root + 16, 0x8001);  // slot 0: the root's own number, as stored while fresh
    // Descriptor 1, the free-block table.
    root[64 + 4] = 1;
    return g;
}

class HeaderTest : public DiskFileTest {};

TEST_F(HeaderTest, NewFileIsExactlyTheGoldenTwoBlocks) {
    bool created = false;
    ASSERT_EQ(OpenFile(0, &created), 0);
    EXPECT_TRUE(created);
    EXPECT_FALSE(file_->CanUndo());  // the creation cannot be undone
    file_.reset();
    const std::vector<std::uint8_t> bytes = ReadFileBytes(path_);
    ASSERT_EQ(bytes.size(), 1024u);
    const std::vector<std::uint8_t> golden = NewFileGolden();
    for (std::size_t i = 0; i < golden.size(); ++i) {
        ASSERT_EQ(bytes[i], golden[i]) << "byte " << i;
    }
    EXPECT_EQ(HeaderWordSum(bytes.data()), 0);
}

TEST_F(HeaderTest, ReopenedNewFileIsNotCreatedAndSound) {
    ASSERT_EQ(OpenFile(), 0);
    file_.reset();
    bool created = true;
    ASSERT_EQ(OpenFile(0, &created), 0);
    EXPECT_FALSE(created);
    EXPECT_EQ(file_->FileBlocks(), 2);
    EXPECT_EQ(file_->RootBlockNumber(), 1);
    EXPECT_EQ(file_->SeenCommitCount(), 1u);
    EXPECT_SOUND(*file_);
}

// ---- ValidateHeader on images ----

std::vector<std::uint8_t> ValidHeader() {
    std::vector<std::uint8_t> g = NewFileGolden();
    g.resize(512);
    return g;
}

TEST(ValidateHeader, AcceptsTheGoldenAndAnySignatureBytes) {
    std::vector<std::uint8_t> h = ValidHeader();
    EXPECT_EQ(DataFile::ValidateHeader(h.data(), false), 0);
    std::memcpy(h.data(), "not our own text", 16);
    FixHeaderChecksum(h.data());
    EXPECT_EQ(DataFile::ValidateHeader(h.data(), false), 0);
    EXPECT_EQ(std::memcmp(h.data(), "not our own text", 16), 0);  // left as it was
}

TEST(ValidateHeader, MarkerIsCheckedBeforeChecksum) {
    std::vector<std::uint8_t> h = ValidHeader();
    Store16(&h[130], 0xDAED);
    FixHeaderChecksum(h.data());  // the sum is right, the marker is not
    EXPECT_EQ(DataFile::ValidateHeader(h.data(), false), 5);
    Store16(&h[130], 0xDAEC);  // marker right, sum now wrong
    EXPECT_EQ(DataFile::ValidateHeader(h.data(), false), 6);
    Store16(&h[128], 0);  // both wrong: the marker wins
    EXPECT_EQ(DataFile::ValidateHeader(h.data(), false), 5);
}

TEST(ValidateHeader, HeaderSizeAndVersionRules) {
    std::vector<std::uint8_t> h = ValidHeader();
    Store16(&h[134], 511);
    FixHeaderChecksum(h.data());
    EXPECT_EQ(DataFile::ValidateHeader(h.data(), true), 7);

    const struct {
        std::uint16_t version;
        ResultCode readWrite;
        ResultCode readOnly;
    } cases[] = {{0, 0, 0}, {1, 0, 0}, {2, 8, 0}, {3, 8, 8}, {0x8001, 8, 8}};
    for (const auto& c : cases) {
        h = ValidHeader();
        Store16(&h[136], c.version);
        FixHeaderChecksum(h.data());
        std::vector<std::uint8_t> copy = h;
        EXPECT_EQ(DataFile::ValidateHeader(h.data(), false), c.readWrite) << c.version;
        EXPECT_EQ(DataFile::ValidateHeader(copy.data(), true), c.readOnly) << c.version;
    }
}

TEST(ValidateHeader, ChecksumErrorsAreSeenInEveryWord) {
    for (std::size_t word = 0; word < 256; ++word) {
        std::vector<std::uint8_t> h = ValidHeader();
        h[2 * word] ^= 0x10;
        const ResultCode r = DataFile::ValidateHeader(h.data(), false);
        if (word == 64 || word == 65) {
            EXPECT_EQ(r, 5) << word;  // the marker words
        } else {
            EXPECT_EQ(r, 6) << word;
        }
    }
}

TEST(ValidateHeader, LegacyLayoutIsConverted) {
    std::vector<std::uint8_t> current = ValidHeader();
    std::memcpy(&current[16], "some older banner text that is not ours", 39);
    current[127] = 0x7e;
    FixHeaderChecksum(current.data());
    // The legacy form: the two 128-byte halves in the other order.
    std::vector<std::uint8_t> legacy(512);
    std::memcpy(&legacy[0], &current[128], 128);
    std::memcpy(&legacy[128], &current[0], 128);
    std::memcpy(&legacy[256], &current[256], 256);
    ASSERT_EQ(HeaderWordSum(legacy.data()), 0);

    ASSERT_EQ(DataFile::ValidateHeader(legacy.data(), false), 0);
    EXPECT_EQ(std::memcmp(&legacy[0], "*Orvane Systems*", 16), 0);
    std::uint8_t banner[112] = {};
    std::memcpy(banner, "\r\n\r\nThis is an Orvane Systems data file.", 40);
    EXPECT_EQ(std::memcmp(&legacy[16], banner, 112), 0);
    EXPECT_EQ(legacy[127], 0);
    EXPECT_EQ(std::memcmp(&legacy[128], &current[128], 128), 0);  // the former first half

    // A legacy image with a bad sum is refused with 6, one with a bad marker
    // in its own place is not legacy and is refused with 5.
    std::vector<std::uint8_t> bad = legacy;
    std::memcpy(&bad[0], &current[128], 128);
    std::memcpy(&bad[128], &current[0], 128);
    bad[300] ^= 1;
    EXPECT_EQ(DataFile::ValidateHeader(bad.data(), false), 6);
}

TEST_F(HeaderTest, LegacyFileOpensAndIsWrittenInTheCurrentLayout) {
    ASSERT_EQ(OpenFile(), 0);
    file_.reset();
    std::vector<std::uint8_t> bytes = ReadFileBytes(path_);
    std::vector<std::uint8_t> legacy = bytes;
    std::memcpy(&legacy[0], &bytes[128], 128);
    std::memcpy(&legacy[128], &bytes[0], 128);
    ASSERT_TRUE(WriteFileBytes(path_, legacy));

    ASSERT_EQ(OpenFile(), 0);
    EXPECT_SOUND(*file_);
    // Opening alone writes nothing: the file keeps its legacy form.
    EXPECT_EQ(ReadFileBytes(path_), legacy);
    ASSERT_EQ(Write([&] { return MakeTable(*file_, 2); }), 0);
    file_.reset();
    const std::vector<std::uint8_t> after = ReadFileBytes(path_);
    EXPECT_EQ(std::memcmp(after.data(), "*Orvane Systems*", 16), 0);
    EXPECT_EQ(Load16(&after[128]), 0xFFFF);
    EXPECT_EQ(HeaderWordSum(after.data()), 0);
    ASSERT_EQ(OpenFile(), 0);
    EXPECT_SOUND(*file_);
}

TEST_F(HeaderTest, VersionTwoOpensOnlyReadOnly) {
    ASSERT_EQ(OpenFile(), 0);
    file_.reset();
    for (std::uint16_t version : {2, 3}) {
        std::vector<std::uint8_t> bytes = ReadFileBytes(path_);
        Store16(&bytes[136], version);
        FixHeaderChecksum(bytes.data());
        ASSERT_TRUE(WriteFileBytes(path_, bytes));
        EXPECT_EQ(OpenFile(0), 8) << version;
        EXPECT_EQ(OpenFile(OpenReadOnly), version == 2 ? 0 : 8) << version;
        if (version == 2) {
            EXPECT_TRUE(file_->IsReadOnly());
            EXPECT_EQ(file_->BeginAccess(true), 32);
            EXPECT_SOUND(*file_);
        }
        file_.reset();
    }
}

TEST_F(HeaderTest, FileWithoutRootGetsOneOnOpen) {
    ASSERT_EQ(OpenFile(), 0);
    file_.reset();
    std::vector<std::uint8_t> bytes = ReadFileBytes(path_);
    bytes.resize(512);
    Store16(&bytes[156], 0);
    Store16(&bytes[158], 1);
    FixHeaderChecksum(bytes.data());
    ASSERT_TRUE(WriteFileBytes(path_, bytes));

    bool created = true;
    ASSERT_EQ(OpenFile(0, &created), 0);
    EXPECT_FALSE(created);
    EXPECT_EQ(file_->RootBlockNumber(), 1);
    EXPECT_EQ(file_->FileBlocks(), 2);
    EXPECT_FALSE(file_->CanUndo());
    EXPECT_SOUND(*file_);
    file_.reset();
    const std::vector<std::uint8_t> after = ReadFileBytes(path_);
    ASSERT_EQ(after.size(), 1024u);
    EXPECT_EQ(Load32(&after[160]), 2u);  // the header-only file had 1 commit before
    EXPECT_EQ(std::memcmp(&after[512], &NewFileGolden()[512], 512), 0);
}

TEST_F(HeaderTest, HeaderWrittenByEveryCommitValidates) {
    ASSERT_EQ(OpenFile(), 0);
    std::uint8_t app[256];
    for (int round = 0; round < 20; ++round) {
        for (int i = 0; i < 256; ++i) app[i] = static_cast<std::uint8_t>(round * 37 + i * 11);
        ASSERT_EQ(Write([&] { return file_->SetAppHeader(app, 256); }), 0);
        std::vector<std::uint8_t> bytes = ReadFileBytes(path_);
        ASSERT_GE(bytes.size(), 512u);
        EXPECT_EQ(HeaderWordSum(bytes.data()), 0);
        EXPECT_EQ(DataFile::ValidateHeader(bytes.data(), false), 0);
        EXPECT_EQ(std::memcmp(&bytes[256], app, 256), 0);
        EXPECT_EQ(Load32(&bytes[160]), static_cast<std::uint32_t>(round + 2));
    }
}

}  // namespace
}  // namespace quillet::testing
