// Chunk views and chunked record lists over an in-memory buffer: the fresh
// 48-byte layout, growing and shrinking a chunk, the chunks after the last, and
// a randomized test of resize, write and move against a vector of payloads.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/LittleEndian.h"
#include "records/ChunkView.h"
#include "records/ChunkedTable.h"
#include "tests/records/RecordTestUtil.h"
#include "tests/records/TestBuffer.h"
#include "tests/records/TestPlatform.h"

namespace quillet {
namespace {

using testing::ImageOf;
using testing::TestBuffer;
using testing::TestPlatform;
using testing::Words;
using Bytes = std::vector<std::uint8_t>;

void Put32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void Put16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

// The fresh content for a creation at 2003-07-01 00:00:00 and tick 0x01020304.
Bytes FreshContent() {
    Bytes b;
    Put32(b, 20);
    Put16(b, 5);
    for (int i = 0; i < 6; ++i) b.push_back(0);
    Put32(b, 1057017600);
    Put32(b, 0x01020304);
    Put32(b, 12);
    for (std::uint16_t w : {4, 0x4004, 0, 0}) Put16(b, w);
    for (int i = 0; i < 4; ++i) Put32(b, 4);
    return b;
}

struct FreshSet {
    TestPlatform platform;
    TestBuffer buffer;
    ChunkedRecordSet set{platform};
    FreshSet() {
        platform.now.year = 2003;
        platform.now.month = 7;
        platform.now.day = 1;
        platform.ticks = 0x01020304;
        EXPECT_EQ(set.Bind(&buffer), 0);
        EXPECT_EQ(set.InitializeNew(), 0);
    }
};

TEST(ChunkedRecordSet, FreshContentIsExact) {
    FreshSet f;
    EXPECT_EQ(f.buffer.Bytes(), FreshContent());
    EXPECT_EQ(f.buffer.Size(), 48);
    std::int32_t count = -1;
    ASSERT_EQ(f.set.CountChunkRecords(1, &count), 0);
    EXPECT_EQ(count, 1);
    for (std::int16_t chunk = 2; chunk <= 5; ++chunk) {
        ASSERT_EQ(f.set.CountChunkRecords(chunk, &count), 0);
        EXPECT_EQ(count, 0);
    }
    PropertyRecord record(f.platform);
    ASSERT_EQ(f.set.GetChunkRecord(1, 0, record), 0);
    EXPECT_EQ(ImageOf(record), Words({4, 0x4004, 0, 0}));
    // Initializing again lays out the same content from scratch.
    f.platform.ticks = 7;
    ASSERT_EQ(f.set.InitializeNew(), 0);
    Bytes expected = FreshContent();
    Store32(expected.data() + 16, 7);
    EXPECT_EQ(f.buffer.Bytes(), expected);
}

TEST(ChunkView, GrowingAChunkMovesTheLaterOnes) {
    FreshSet f;
    ChunkView& view = f.set.view();
    view.SelectChunk(1);
    EXPECT_EQ(view.Size(), 8);
    ASSERT_TRUE(view.Resize(10));
    EXPECT_EQ(view.Size(), 10);
    const Bytes grown = f.buffer.Bytes();
    ASSERT_EQ(grown.size(), 52u);
    EXPECT_EQ(Load32(grown.data() + 20), 14u);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(Load32(grown.data() + 36 + 4 * k), 4u);
    // The payload kept its first 8 bytes.
    const Bytes fresh = FreshContent();
    EXPECT_EQ(Bytes(grown.begin() + 24, grown.begin() + 32),
              Bytes(fresh.begin() + 24, fresh.begin() + 32));
    ASSERT_TRUE(view.Resize(8));
    EXPECT_EQ(f.buffer.Bytes(), FreshContent());
}

TEST(ChunkView, ChunksAfterTheLast) {
    FreshSet f;
    ChunkView& view = f.set.view();
    view.SelectChunk(6);
    std::int32_t offset = 0;
    ASSERT_EQ(view.LocateChunk(&offset), 0);
    EXPECT_EQ(offset, 12);
    EXPECT_EQ(view.Size(), 0);
    EXPECT_EQ(view.Data(), nullptr);
    std::int32_t count = -1;
    ASSERT_EQ(f.set.CountChunkRecords(7, &count), 0);
    EXPECT_EQ(count, 0);
    PropertyRecord record(f.platform);
    ASSERT_EQ(record.SetShort(0x0001, 3), 0);
    EXPECT_EQ(f.set.InsertChunkRecord(7, -1, record), kListResizeFailed);
    EXPECT_EQ(view.LocateChunk(&offset), kChunkMissing);
    EXPECT_EQ(view.Data(), nullptr);
    EXPECT_EQ(view.Size(), 0);
    EXPECT_FALSE(view.Write("x", 0, 1));
    EXPECT_FALSE(view.Resize(4));
    EXPECT_EQ(f.buffer.Bytes(), FreshContent());

    // Inserting into chunk 6 appends it.
    ASSERT_EQ(f.set.InsertChunkRecord(6, -1, record), 0);
    Bytes expected = FreshContent();
    Put32(expected, 10);
    for (std::uint16_t w : {3, 0x0001, 3}) Put16(expected, w);
    const Bytes content = f.buffer.Bytes();
    ASSERT_GE(content.size(), 58u);
    EXPECT_EQ(Bytes(content.begin(), content.begin() + 58), expected);
    EXPECT_EQ(f.buffer.Size(), 60);  // padded to whole units
    ASSERT_EQ(f.set.CountChunkRecords(6, &count), 0);
    EXPECT_EQ(count, 1);
    ASSERT_EQ(f.set.CountChunkRecords(7, &count), 0);
    EXPECT_EQ(count, 0);
}

TEST(ChunkedRecordList, EmptyChunksAndCopies) {
    FreshSet f;
    PropertyRecord record(f.platform);
    ASSERT_EQ(record.SetShort(0x0001, 3), 0);
    EXPECT_EQ(f.set.ReplaceChunkRecord(4, 0, record), kListNoSuchRecord);
    EXPECT_EQ(f.set.DeleteChunkRecord(4, 0), kListNoSuchRecord);

    TestBuffer destination;
    destination.SetBytes({1, 2, 3});
    ASSERT_EQ(f.set.CopyChunk(5, destination), 0);
    EXPECT_EQ(destination.Size(), 0);
    ASSERT_EQ(f.set.CopyChunk(1, destination), 0);
    EXPECT_EQ(destination.Words(), Words({4, 0x4004, 0, 0}));
    destination.failResize = true;
    EXPECT_EQ(f.set.CopyChunk(1, destination), kListResizeFailed);

    // Records in one chunk leave the others alone.
    ASSERT_EQ(f.set.InsertChunkRecord(3, -1, record), 0);
    ASSERT_EQ(f.set.InsertChunkRecord(3, 0, record), 0);
    ASSERT_EQ(f.set.DeleteChunkRecord(1, 0), 0);
    std::int32_t count = 0;
    ASSERT_EQ(f.set.CountChunkRecords(3, &count), 0);
    EXPECT_EQ(count, 2);
    ASSERT_EQ(f.set.CountChunkRecords(1, &count), 0);
    EXPECT_EQ(count, 0);
    ASSERT_EQ(f.set.CountChunkRecords(2, &count), 0);
    EXPECT_EQ(count, 0);
    const Bytes content = f.buffer.Bytes();
    const Bytes fresh = FreshContent();
    EXPECT_EQ(Bytes(content.begin(), content.begin() + 20),
              Bytes(fresh.begin(), fresh.begin() + 20));

    // Unbinding saves through the view; afterwards operations find no list.
    const int saves = f.buffer.saves;
    ASSERT_EQ(f.set.Unbind(), 0);
    EXPECT_EQ(f.buffer.saves, saves + 1);
    EXPECT_EQ(f.set.CountChunkRecords(1, &count), kListNotOpen);
    EXPECT_EQ(f.set.Save(), kListNotOpen);
    EXPECT_EQ(f.set.InitializeNew(), kChunkNoTarget);
    EXPECT_EQ(f.set.CopyChunk(1, destination), kListNotOpen);
}

TEST(ChunkView, WithoutTargetOrStorage) {
    ChunkView view;
    EXPECT_EQ(view.SelectChunk(3), 0);
    EXPECT_EQ(view.chunk(), 0);
    std::int32_t offset = 0;
    EXPECT_EQ(view.LocateChunk(&offset), kChunkNoTarget);
    EXPECT_EQ(view.Load(), kChunkNoTarget);
    EXPECT_EQ(view.Save(), kChunkNoTarget);
    EXPECT_EQ(view.Reset(1), 0);
    EXPECT_FALSE(view.IsDirty());
    EXPECT_EQ(view.Data(), nullptr);
    EXPECT_EQ(view.Size(), 0);
    EXPECT_FALSE(view.Resize(0));
    EXPECT_TRUE(view.Clear());

    TestBuffer empty;
    view.BindView(&empty, 0);
    ASSERT_EQ(view.LocateChunk(&offset), 0);
    EXPECT_EQ(view.SelectChunk(1), 0);
    EXPECT_EQ(view.LocateChunk(&offset), kChunkNoTarget);
    view.SelectChunk(0);
    ASSERT_TRUE(view.Resize(3));
    EXPECT_EQ(empty.Bytes(), Bytes({7, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(view.Write("abc", 0, 3));
    EXPECT_FALSE(view.Write("abcd", 0, 4));
    EXPECT_FALSE(view.Write("a", -1, 1));
    EXPECT_FALSE(view.Move(-1, 0, 1));
    EXPECT_TRUE(view.Move(1, 0, 2));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(view.Data()), 3), "aab");
}

// ---- Randomized: resize, write and move against a vector of payloads ----

void CheckLayout(TestBuffer& buffer, ChunkView& view, const std::vector<Bytes>& model) {
    std::int64_t units = 0;
    for (std::size_t k = 0; k < model.size(); ++k) {
        view.SelectChunk(static_cast<std::int16_t>(k));
        ASSERT_EQ(view.Size(), static_cast<std::int32_t>(model[k].size())) << "chunk " << k;
        if (!model[k].empty()) {
            ASSERT_EQ(Bytes(view.Data(), view.Data() + view.Size()), model[k]) << "chunk " << k;
        }
        ASSERT_EQ(Load32(buffer.Data() + units * 4), model[k].size() + 4);
        units += (static_cast<std::int64_t>(model[k].size()) + 3) / 4 + 1;
    }
    ASSERT_EQ(buffer.Size(), units * 4);
    view.SelectChunk(static_cast<std::int16_t>(model.size() + 1));
    std::int32_t offset = 0;
    ASSERT_EQ(view.LocateChunk(&offset), kChunkMissing);
}

TEST(ChunkView, RandomOperationsMatchModel) {
    std::mt19937 rng(99);
    for (int round = 0; round < 30; ++round) {
        TestBuffer buffer;
        ChunkView view;
        view.BindView(&buffer, 0);
        std::vector<Bytes> model;
        for (int step = 0; step < 300; ++step) {
            const auto k = static_cast<std::int16_t>(rng() % (model.size() + 1));
            view.SelectChunk(k);
            const bool exists = static_cast<std::size_t>(k) < model.size();
            const int op = static_cast<int>(rng() % 3);
            if (op == 0 || !exists) {
                const auto n = static_cast<std::int32_t>(rng() % 40);
                ASSERT_TRUE(view.Resize(n));
                if (!exists) model.emplace_back();
                Bytes& payload = model[static_cast<std::size_t>(k)];
                // Bytes kept: the first min(old, n); new ones are not defined
                // by the layout, so the model takes what the view shows.
                const std::size_t kept = std::min<std::size_t>(payload.size(), n);
                payload.resize(static_cast<std::size_t>(n));
                for (std::size_t i = kept; i < payload.size(); ++i) payload[i] = view.Data()[i];
            } else if (op == 1) {
                Bytes& payload = model[static_cast<std::size_t>(k)];
                const auto offset = static_cast<std::int32_t>(rng() % (payload.size() + 3));
                const auto length = static_cast<std::int32_t>(rng() % 6);
                Bytes data(static_cast<std::size_t>(length));
                for (auto& b : data) b = static_cast<std::uint8_t>(rng());
                const bool fits = static_cast<std::size_t>(offset + length) <= payload.size();
                ASSERT_EQ(view.Write(data.data(), offset, length), fits);
                if (fits) std::copy(data.begin(), data.end(), payload.begin() + offset);
            } else {
                Bytes& payload = model[static_cast<std::size_t>(k)];
                const auto size = static_cast<std::int32_t>(payload.size());
                const auto source = static_cast<std::int32_t>(rng() % (size + 2));
                const auto destination = static_cast<std::int32_t>(rng() % (size + 2));
                const auto length = static_cast<std::int32_t>(rng() % 8);
                const bool fits = source + length <= size && destination + length <= size;
                ASSERT_EQ(view.Move(destination, source, length), fits);
                if (fits) {
                    Bytes moved(payload.begin() + source, payload.begin() + source + length);
                    std::copy(moved.begin(), moved.end(), payload.begin() + destination);
                }
            }
            CheckLayout(buffer, view, model);
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
}

}  // namespace
}  // namespace quillet
