// I/O failures and power loss. Every write, seek and flush of a transaction
// fails in turn (through the fault-injecting platform): the access ends with a
// code and the file on disk is the last committed one. Then the machine stops
// after every single write of a run of transactions (the in-memory disk with a
// write cache): whatever part of the unflushed writes survives, the file opens
// in the state of the last commit or of the one in progress, and is sound.

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "tests/engine/EngineFixture.h"
#include "tests/support/FaultPlatform.h"
#include "tests/support/PowerLossPlatform.h"

namespace quillet::testing {
namespace {

// Everything the application can see in a file, as text: the application
// area and, for every table, its kind, count and the blocks' first words.
std::string StateOf(DataFile& file) {
    std::string state;
    const ResultCode begun = file.BeginAccess(false);
    if (begun != 0) return "access " + std::to_string(begun);
    std::uint8_t app[256];
    file.GetAppHeader(app, 256);
    for (std::uint8_t b : app) state += std::to_string(b) + ",";
    for (std::uint16_t t = 2; t < kTableCount; ++t) {
        std::uint8_t d[kDescriptorSize];
        if (file.ReadTableDescriptor(t, d) != 0) return state + " descriptor error";
        if (d[descriptor::kTableType] == 0) continue;
        const std::uint16_t count = Load16(d + descriptor::kBlockCount);
        state += "\nT" + std::to_string(t) + " type " + std::to_string(d[descriptor::kTableType]) +
                 " count " + std::to_string(count) + ":";
        for (std::uint16_t i = 0; i < count; ++i) {
            BlockImage b;
            const ResultCode r = ReadWholeBlock(file, t, i, &b);
            if (r != 0) return state + " read error " + std::to_string(r);
            if (b == BlockImage(kBlockSize, 0)) continue;
            const bool pattern = b == PatternBlock(Load32(b.data()));
            state +=
                " " + std::to_string(i) + "=" + (pattern ? std::to_string(Load32(b.data())) : "?");
        }
    }
    file.EndAccess(0);
    return state;
}

// One transaction of the scripted runs: creates, fills, shrinks and deletes
// tables, enough to move index blocks, the root and the free list.
ResultCode ScriptStep(DataFile& file, int step) {
    return InAccess(file, true, [&]() -> ResultCode {
        ResultCode r = 0;
        const auto t = static_cast<std::uint16_t>(2 + step % 3);
        std::uint8_t d[kDescriptorSize];
        r = file.ReadTableDescriptor(t, d);
        if (r == 0 && d[descriptor::kTableType] == 0) {
            std::uint16_t n = t;
            r = file.CreateTable(&n, 5, 0);
        }
        for (int k = 0; r == 0 && k < 12; ++k) {
            const auto index = static_cast<std::uint16_t>((step * 7 + k * 5) % 40);
            r = WriteWholeBlock(file, t, index,
                                PatternBlock(static_cast<std::uint32_t>(step * 100 + k + 1)));
        }
        if (r == 0 && step % 4 == 3) r = file.SetTableBlockCount(t, 10);
        if (r == 0 && step % 5 == 4)
            r = file.DeleteTable(static_cast<std::uint16_t>(2 + (step + 1) % 3));
        std::uint8_t app[8] = {static_cast<std::uint8_t>(step), 1, 2, 3, 4, 5, 6, 7};
        if (r == 0) r = file.SetAppHeader(app, sizeof app);
        return r;
    });
}

class FaultInjectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        path_ = dir_.File("faults.qdx");
        DataFile file(Platform::Default());
        bool created = false;
        // Shared for reading, so that the bytes can be read while it is open.
        ASSERT_EQ(file.Open(path_.c_str(), &created, OpenShareRead), 0);
        for (int step = 0; step < 4; ++step) ASSERT_EQ(ScriptStep(file, step), 0);
        committed_ = ReadFileBytes(path_);
        ASSERT_GE(committed_.size(), 512u);
        committedState_ = StateOf(file);
    }
    TempDir dir_;
    std::string path_;
    std::vector<std::uint8_t> committed_;
    std::string committedState_;
};

TEST_F(FaultInjectionTest, EveryFailedCallLeavesTheLastCommit) {
    // Learn how many calls of each kind the transaction makes.
    std::map<FaultKind, std::uint64_t> calls;
    std::string changedState;
    DataFile::TransferCounts transfers;
    {
        FaultPlatform faults(Platform::Default());
        DataFile file(faults);
        bool created = false;
        ASSERT_EQ(file.Open(path_.c_str(), &created, 0), 0);
        faults.ResetCounts();
        ASSERT_EQ(ScriptStep(file, 4), 0);
        for (FaultKind k : {FaultKind::kWrite, FaultKind::kSeek, FaultKind::kFlush}) {
            calls[k] = faults.Count(k);
        }
        changedState = StateOf(file);
        transfers = file.Transfers();
    }
    ASSERT_NE(changedState, committedState_);
    // Neighbouring blocks go out in one call: the sweep fails writes of
    // several blocks at once, and short writes that stop inside such a run.
    ASSERT_GE(calls[FaultKind::kWrite], 5u);
    ASSERT_GE(transfers.blocksWritten, 10u);
    ASSERT_GT(transfers.blocksWritten, transfers.writeCalls);
    ASSERT_EQ(calls[FaultKind::kFlush], 2u);
    int runs = 0;
    for (const auto& [kind, count] : calls) {
        for (std::uint64_t n = 1; n <= count; ++n) {
            for (int shortWrite = 0; shortWrite < (kind == FaultKind::kWrite ? 2 : 1);
                 ++shortWrite) {
                // The header write is the last write; a torn header is
                // beyond what one header write can protect against.
                if (shortWrite && n == count) continue;
                ASSERT_TRUE(WriteFileBytes(path_, committed_));
                FaultPlatform faults(Platform::Default());
                DataFile file(faults);
                bool created = false;
                ASSERT_EQ(file.Open(path_.c_str(), &created, 0), 0);
                faults.ResetCounts();
                if (shortWrite) {
                    faults.ShortWriteAt(n, win32::kDiskFull);
                } else {
                    faults.FailCall(
                        kind, n,
                        kind == FaultKind::kFlush ? win32::kWriteFault : win32::kGenFailure);
                }
                const ResultCode r = ScriptStep(file, 4);
                ++runs;
                const bool lastFlush = kind == FaultKind::kFlush && n == count;
                EXPECT_NE(r, 0) << static_cast<int>(kind) << " call " << n;
                EXPECT_EQ(file.AccessDepth(), 0);
                EXPECT_FALSE(file.IsModified());
                file.Close();
                DataFile check(Platform::Default());
                ASSERT_EQ(check.Open(path_.c_str(), &created, OpenShareRead), 0);
                EXPECT_EQ(IntegrityFindings(check), "") << static_cast<int>(kind) << " call " << n;
                const std::string state = StateOf(check);
                if (lastFlush) {
                    // The header went out; only its flush failed: the new
                    // state is on disk as the system got it.
                    EXPECT_EQ(state, changedState);
                } else {
                    EXPECT_EQ(state, committedState_) << static_cast<int>(kind) << " call " << n;
                    const std::vector<std::uint8_t> bytes = ReadFileBytes(path_);
                    ASSERT_GE(bytes.size(), 512u);
                    EXPECT_EQ(
                        std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 512),
                        std::vector<std::uint8_t>(committed_.begin(), committed_.begin() + 512));
                }
            }
        }
    }
    // At least 5 writes, each failed whole and cut short, and the 2 flushes;
    // seeks only where the file has no positioned calls.
    EXPECT_GT(runs, 12);
}

TEST_F(FaultInjectionTest, FailedUndoWriteKeepsTheCommittedHeader) {
    FaultPlatform faults(Platform::Default());
    DataFile file(faults);
    bool created = false;
    ASSERT_EQ(file.Open(path_.c_str(), &created, 0), 0);
    ASSERT_EQ(ScriptStep(file, 4), 0);
    const std::string after = StateOf(file);
    faults.ResetCounts();
    faults.FailCall(FaultKind::kWrite, 1, win32::kGenFailure);
    EXPECT_EQ(file.UndoLastCommitLocked(), 4);
    EXPECT_FALSE(file.CanUndo());
    EXPECT_FALSE(file.CanRedo());
    EXPECT_EQ(StateOf(file), after);
    EXPECT_EQ(IntegrityFindings(file), "");
}

// ---- Power loss ----

TEST(PowerLossTest, EveryStopPointOpensInACommittedState) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    constexpr int kSteps = 10;
    // The reference run: the state after creation and after every commit.
    std::vector<std::string> states;
    std::uint64_t totalWrites = 0;
    {
        PowerLossPlatform disk(Platform::Default(), dir.path().string() + "/reference");
        DataFile file(disk);
        bool created = false;
        ASSERT_EQ(file.Open("power.qdx", &created, 0), 0);
        states.push_back(StateOf(file));
        for (int step = 0; step < kSteps; ++step) {
            ASSERT_EQ(ScriptStep(file, step), 0);
            states.push_back(StateOf(file));
        }
        totalWrites = disk.WriteCount();
    }
    ASSERT_GT(totalWrites, 50u);
    std::mt19937 random(5);
    int images = 0;
    for (std::uint64_t stop = 1; stop <= totalWrites; ++stop) {
        PowerLossPlatform disk(Platform::Default(),
                               dir.path().string() + "/stop" + std::to_string(stop));
        disk.StopAfterWrite(stop);
        int completed = -1;  // commits whose EndAccess succeeded; -1: not even created
        {
            DataFile file(disk);
            bool created = false;
            if (file.Open("power.qdx", &created, 0) == 0) {
                completed = 0;
                for (int step = 0; step < kSteps; ++step) {
                    if (ScriptStep(file, step) != 0) break;
                    ++completed;
                }
            }
        }
        ASSERT_TRUE(disk.Stopped()) << stop;
        std::vector<DiskImage> survivors = {disk.ImageAllLost(), disk.ImageAllKept()};
        for (int k = 0; k < 3; ++k) {
            const std::uint32_t salt = random();
            survivors.push_back(disk.ImageAfterLoss([salt](const std::string&, std::size_t i) {
                return ((salt >> (i % 32)) & 1) != 0;
            }));
        }
        for (const DiskImage& image : survivors) {
            ++images;
            PowerLossPlatform after(Platform::Default(),
                                    dir.path().string() + "/after" + std::to_string(images));
            for (const auto& [path, bytes] : image) {
                if (path.size() >= 10 && path.compare(path.size() - 10, 10, "/power.qdx") == 0) {
                    after.PutFile("power.qdx", bytes);
                }
            }
            DataFile file(after);
            bool created = false;
            const ResultCode r = file.Open("power.qdx", &created, 0);
            if (completed < 0) {
                // The creation itself was cut short: a missing or short file
                // is refused or made anew; either way nothing was promised.
                if (r == 0) {
                    EXPECT_EQ(IntegrityFindings(file), "") << stop;
                }
                continue;
            }
            ASSERT_EQ(r, 0) << "stop " << stop;
            EXPECT_FALSE(created);
            ASSERT_EQ(IntegrityFindings(file), "") << "stop " << stop;
            const std::string state = StateOf(file);
            const bool last = state == states[completed];
            const bool next =
                completed + 1 < static_cast<int>(states.size()) && state == states[completed + 1];
            EXPECT_TRUE(last || next)
                << "stop after write " << stop << ", " << completed << " commits done";
        }
    }
    std::cout << "[ power    ] " << totalWrites << " stop points, " << images
              << " disk images after loss\n";
}

}  // namespace
}  // namespace quillet::testing
