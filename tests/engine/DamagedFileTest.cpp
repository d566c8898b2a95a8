// Damaged and hostile files: truncated files, wrong markers and checksums,
// block numbers beyond the file, impossible counts, and random garbage in the
// blocks of the tree. Every case ends with a code, never a crash, a hang or a
// read outside a buffer (the sanitizer build checks the last), and the
// integrity walk names the damage it can see.

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "tests/engine/EngineFixture.h"
#include "tests/support/PowerLossPlatform.h"

namespace quillet::testing {
namespace {

class DamagedFileTest : public DiskFileTest {
  protected:
    void SetUp() override {
        DiskFileTest::SetUp();
        ASSERT_EQ(OpenFile(), 0);
        // Tables 2 (direct, 10 blocks), 3 (indirect, 300 blocks) and 20 (in
        // directory block 2).
        ASSERT_EQ(Write([&] {
                      ResultCode r = MakeTable(*file_, 2);
                      if (r == 0) r = MakeTable(*file_, 3);
                      if (r == 0) r = MakeTable(*file_, 20);
                      for (std::uint16_t i = 0; r == 0 && i < 10; ++i) {
                          r = WriteWholeBlock(*file_, 2, i, PatternBlock(i));
                      }
                      for (std::uint16_t i = 0; r == 0 && i < 300; ++i) {
                          r = WriteWholeBlock(*file_, 3, i, PatternBlock(1000 + i));
                      }
                      if (r == 0) r = WriteWholeBlock(*file_, 20, 0, PatternBlock(20));
                      return r;
                  }),
                  0);
        ASSERT_EQ(Write([&] { return file_->SetTableBlockCount(2, 5); }), 0);  // a free list
        file_.reset();
        good_ = ReadFileBytes(path_);
        ASSERT_GT(good_.size(), 300u * kBlockSize);
    }
    ResultCode OpenImage(const std::vector<std::uint8_t>& bytes,
                         std::uint32_t flags = OpenShareRead) {
        file_.reset();
        EXPECT_TRUE(WriteFileBytes(path_, bytes));
        return OpenFile(flags);
    }
    std::uint8_t* RootOf(std::vector<std::uint8_t>& bytes) {
        return &bytes[(Load16(&bytes[header::kRootBlockNumber]) & kBlockNumberMask) * kBlockSize];
    }
    IntegrityReport Walk() {
        IntegrityReport report;
        EXPECT_EQ(file_->BeginAccess(false), 0);
        report = CheckIntegrity(*file_);
        file_->EndAccess(0);
        return report;
    }
    static bool Has(const IntegrityReport& r, IntegrityProblemKind kind) {
        for (const IntegrityProblem& p : r.problems) {
            if (p.kind == kind) return true;
        }
        return false;
    }
    std::vector<std::uint8_t> good_;
};

TEST_F(DamagedFileTest, TheUndamagedFileIsSound) {
    ASSERT_EQ(OpenImage(good_), 0);
    const IntegrityReport r = Walk();
    EXPECT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.usedBlocks + r.freeBlocks + r.leakedBlocks, r.fileBlocks);
    EXPECT_EQ(r.tables, 3u);
    EXPECT_GE(r.freeBlocks, 5u);
}

TEST_F(DamagedFileTest, TruncatedFiles) {
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{511}}) {
        std::vector<std::uint8_t> bytes(good_.begin(), good_.begin() + size);
        EXPECT_EQ(OpenImage(bytes), 3) << size;
        EXPECT_FALSE(file_->file()) << size;  // closed again after the failure
    }
    // Header whole, root block missing or cut.
    const std::size_t root =
        (Load16(&good_[header::kRootBlockNumber]) & kBlockNumberMask) * kBlockSize;
    std::vector<std::uint8_t> bytes(good_.begin(), good_.begin() + root + 100);
    EXPECT_EQ(OpenImage(bytes), 3);
    // Data blocks cut off: the file opens; reading them gives 3.
    bytes.assign(good_.begin(), good_.begin() + good_.size() / 2);
    if (bytes.size() <= root + kBlockSize) bytes.resize(root + kBlockSize);
    ASSERT_EQ(OpenImage(bytes), 0);
    int shortReads = 0;
    ASSERT_EQ(file_->BeginAccess(false), 0);
    for (std::uint16_t i = 0; i < 300; ++i) {
        BlockImage b;
        const ResultCode r = ReadWholeBlock(*file_, 3, i, &b);
        if (r == 3) {
            ++shortReads;
        } else {
            ASSERT_EQ(r, 0);
            EXPECT_EQ(b, PatternBlock(1000 + i));
        }
    }
    file_->EndAccess(0);
    EXPECT_GT(shortReads, 0);
    EXPECT_FALSE(Walk().ok());
}

TEST_F(DamagedFileTest, HeaderDamage) {
    std::vector<std::uint8_t> bytes = good_;
    Store16(&bytes[header::kMarker1], 0x1234);
    EXPECT_EQ(OpenImage(bytes), 5);
    bytes = good_;
    bytes[200] ^= 0x40;
    EXPECT_EQ(OpenImage(bytes), 6);
    bytes = good_;
    Store16(&bytes[header::kHeaderSizeField], 1024);
    FixHeaderChecksum(bytes.data());
    EXPECT_EQ(OpenImage(bytes), 7);
    // A root number beyond FileBlocks is not read at all.
    bytes = good_;
    Store16(&bytes[header::kRootBlockNumber],
            static_cast<std::uint16_t>(Load16(&bytes[header::kFileBlocks]) + 3));
    FixHeaderChecksum(bytes.data());
    EXPECT_EQ(OpenImage(bytes), 3);
    // A fresh flag on the root number is stale: the committed root is still
    // copied before it changes, never changed in place.
    bytes = good_;
    const std::uint16_t root = Load16(&bytes[header::kRootBlockNumber]);
    Store16(&bytes[header::kRootBlockNumber], static_cast<std::uint16_t>(root | kFreshFlag));
    FixHeaderChecksum(bytes.data());
    ASSERT_EQ(OpenImage(bytes), 0);
    ASSERT_EQ(Write([&] { return MakeTable(*file_, 4); }), 0);
    EXPECT_NE(file_->RootBlockNumber(), root);
    const std::vector<std::uint8_t> after = ReadFileBytes(path_);
    ASSERT_GE(after.size(), (root + 1u) * kBlockSize);
    EXPECT_EQ(std::memcmp(&after[root * kBlockSize], &bytes[root * kBlockSize], kBlockSize), 0);
    EXPECT_SOUND(*file_);
    // A root number of just the flag means no root: the file gets a new one.
    bytes = good_;
    Store16(&bytes[header::kRootBlockNumber], 0x8000);
    FixHeaderChecksum(bytes.data());
    ASSERT_EQ(OpenImage(bytes), 0);
    EXPECT_EQ(file_->RootBlockNumber(), Load16(&good_[header::kFileBlocks]));
}

TEST_F(DamagedFileTest, BlockNumbersBeyondTheFile) {
    std::vector<std::uint8_t> bytes = good_;
    std::uint8_t* root = RootOf(bytes);
    const std::uint16_t blocks = Load16(&bytes[header::kFileBlocks]);
    Store16(root + 2 * kDescriptorSize + descriptor::kSlots + 2,
            static_cast<std::uint16_t>(blocks + 5));
    Store16(root + 3 * kDescriptorSize + descriptor::kSlots,
            0x7ffe);  // table 3's first index block
    ASSERT_EQ(OpenImage(bytes), 0);
    BlockImage b;
    EXPECT_EQ(Read([&] { return ReadWholeBlock(*file_, 2, 1, &b); }), 3);
    EXPECT_EQ(Read([&] { return ReadWholeBlock(*file_, 3, 10, &b); }), 3);
    EXPECT_EQ(Read([&] { return ReadWholeBlock(*file_, 2, 0, &b); }), 0);
    const IntegrityReport r = Walk();
    EXPECT_TRUE(Has(r, IntegrityProblemKind::kBeyondEnd)) << r.Describe();
    // Changing the damaged table fails and leaves the file as it was.
    EXPECT_EQ(Write([&] { return WriteWholeBlock(*file_, 3, 10, PatternBlock(1)); }), 3);
    EXPECT_EQ(ReadFileBytes(path_), bytes);
}

TEST_F(DamagedFileTest, ImpossibleCountsAreBounded) {
    std::vector<std::uint8_t> bytes = good_;
    std::uint8_t* root = RootOf(bytes);
    // Table 7, the last descriptor of the root block: its slots end at the
    // block's end, so a map index past 23 would read beyond the buffer.
    std::uint8_t* d7 = root + 7 * kDescriptorSize;
    d7[descriptor::kTableType] = 9;
    d7[descriptor::kIndirect] = 1;
    Store16(d7 + descriptor::kBlockCount, 0xffff);
    // The free list claims 60000 entries and the directory 200 blocks.
    Store16(root + kDescriptorSize + descriptor::kBlockCount, 60000);
    Store16(root + descriptor::kBlockCount, 200);
    ASSERT_EQ(OpenImage(bytes), 0);
    BlockNumber n = 1;
    EXPECT_EQ(Read([&] { return file_->GetBlockNumber(7, 6144, &n); }), 0);
    EXPECT_EQ(n, 0);
    std::uint16_t t = 0;
    EXPECT_EQ(Read([&] { return file_->FindFreeTableNumber(&t); }), 0);
    EXPECT_EQ(t, 4);
    // Shrinking the hostile table stops at what a map can hold.
    EXPECT_EQ(Write([&] { return file_->SetTableBlockCount(7, 0); }), 10);
    const IntegrityReport r = Walk();
    EXPECT_TRUE(Has(r, IntegrityProblemKind::kBadStructure)) << r.Describe();
}

TEST_F(DamagedFileTest, WalkNamesDoubleUseAndLeaks) {
    ASSERT_EQ(OpenImage(good_), 0);
    BlockNumber shared = 0, replaced = 0, dropped = 0;
    ASSERT_EQ(Read([&] { return file_->GetBlockNumber(2, 0, &shared); }), 0);
    ASSERT_EQ(Read([&] { return file_->GetBlockNumber(2, 1, &replaced); }), 0);
    const std::uint16_t length = DescriptorField16(*file_, 1, descriptor::kBlockCount);
    ASSERT_EQ(Read([&] {
                  return file_->GetBlockNumber(1, static_cast<std::uint16_t>(length - 1), &dropped);
              }),
              0);
    shared &= kBlockNumberMask;
    replaced &= kBlockNumberMask;
    dropped &= kBlockNumberMask;
    file_.reset();
    std::vector<std::uint8_t> bytes = good_;
    std::uint8_t* root = RootOf(bytes);
    Store16(root + 2 * kDescriptorSize + descriptor::kSlots + 2 * 1, shared);  // table 2 block 1
    const std::uint16_t freeLength = Load16(root + kDescriptorSize + descriptor::kBlockCount);
    ASSERT_GE(freeLength, 2);
    Store16(root + kDescriptorSize + descriptor::kBlockCount,
            static_cast<std::uint16_t>(freeLength - 1));
    ASSERT_EQ(OpenImage(bytes), 0);
    const IntegrityReport r = Walk();
    ASSERT_TRUE(Has(r, IntegrityProblemKind::kDoubleUse)) << r.Describe();
    ASSERT_TRUE(Has(r, IntegrityProblemKind::kLeaked)) << r.Describe();
    // Two blocks lost their only reference: table 2's old block 1 and the
    // free-list entry cut off.
    EXPECT_EQ(r.leakedBlocks, 2u);
    EXPECT_EQ(r.leaked, (std::vector<std::uint32_t>{std::min(replaced, dropped),
                                                    std::max(replaced, dropped)}));
    for (const IntegrityProblem& p : r.problems) {
        if (p.kind != IntegrityProblemKind::kDoubleUse) continue;
        EXPECT_EQ(p.block, shared);
        EXPECT_EQ(p.table, 2);
        EXPECT_EQ(p.firstTable, 2);
        EXPECT_NE(p.index, p.firstIndex);
    }
}

// Random garbage written over blocks of the tree (root, directory, index
// blocks, free list): opening, reading every table, walking and changing the
// file end with codes, never a crash or a hang.
TEST_F(DamagedFileTest, RandomGarbageInTreeBlocks) {
    TempDir memoryRoot;
    std::mt19937 random(77);
    const std::uint16_t blocks = Load16(&good_[header::kFileBlocks]);
    int opened = 0, failedCleanly = 0;
    for (int round = 0; round < 300; ++round) {
        std::vector<std::uint8_t> bytes = good_;
        const int hits = 1 + static_cast<int>(random() % 4);
        for (int h = 0; h < hits; ++h) {
            // Mostly the root block and small numbers (directory and map
            // blocks come first), sometimes anywhere.
            std::uint16_t block = static_cast<std::uint16_t>(
                random() % 3 == 0 ? 1 + random() % (blocks - 1)
                                  : Load16(&bytes[header::kRootBlockNumber]) & kBlockNumberMask);
            if (block == 0 || (block + 1u) * kBlockSize > bytes.size()) continue;
            std::uint8_t* b = &bytes[block * kBlockSize];
            const int how = static_cast<int>(random() % 3);
            if (how == 0) {
                for (std::size_t i = 0; i < kBlockSize; ++i)
                    b[i] = static_cast<std::uint8_t>(random());
            } else {
                for (int k = 0; k < 8; ++k) {
                    Store16(
                        b + 2 * (random() % 256),
                        static_cast<std::uint16_t>(how == 1 ? random() : random() % (blocks + 20)));
                }
            }
        }
        PowerLossPlatform memory(Platform::Default(),
                                 memoryRoot.path().string() + "/r" + std::to_string(round));
        memory.PutFile("garbage.qdx", bytes);
        DataFile file(memory);
        bool created = false;
        const ResultCode opening = file.Open("garbage.qdx", &created, 0);
        if (opening != 0) {
            ++failedCleanly;
            continue;
        }
        ++opened;
        ASSERT_EQ(file.BeginAccess(false), 0);
        (void)CheckIntegrity(file);
        for (std::uint16_t t = 0; t < kTableCount; ++t) {
            std::uint8_t d[kDescriptorSize];
            if (file.ReadTableDescriptor(t, d) != 0) continue;
            const std::uint16_t count =
                std::min<std::uint16_t>(Load16(d + descriptor::kBlockCount), 400);
            for (std::uint16_t i = 0; i < count; ++i) {
                BlockImage b;
                (void)ReadWholeBlock(file, t, i, &b);
            }
        }
        file.EndAccess(0);
        // Changes: whatever they answer, the object stays usable.
        (void)InAccess(file, true, [&] {
            std::uint16_t any = 0;
            ResultCode r = file.CreateTable(&any, 4, 0);
            if (r == 0) r = WriteWholeBlock(file, any, 30, PatternBlock(3));
            if (r == 0) r = file.DeleteTable(3);
            if (r == 0) r = file.SetTableBlockCount(2, 0);
            return r;
        });
        EXPECT_EQ(file.AccessDepth(), 0);
        EXPECT_EQ(file.BeginAccess(false), 0);
        file.EndAccess(0);
    }
    EXPECT_GT(opened, 100);
    std::cout << "[ garbage  ] " << opened << " damaged files opened, " << failedCleanly
              << " refused\n";
}

}  // namespace
}  // namespace quillet::testing
