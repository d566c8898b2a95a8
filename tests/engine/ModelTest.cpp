// Randomized model-based test: long runs of random operations on a data file
// (tables created and deleted at any number, grown and shrunk, data blocks
// written at any index so that maps turn indirect, blocks freed, application
// header changes; commits, failed accesses that are discarded, undo and redo,
// close and reopen) checked against a plain in-memory model of every table,
// with the integrity walk after every commit and every reopen.
//
// Runs on the in-memory platform, so that files of thousands of blocks cost
// no disk time; the same runs on disk are in the slow program.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <random>
#include <sstream>

#include "tests/engine/EngineFixture.h"
#include "tests/support/PowerLossPlatform.h"

namespace quillet::testing {
namespace {

struct ModelTable {
    std::uint8_t type = 0;
    std::uint8_t subtype = 0;
    std::uint16_t blockCount = 0;
    std::uint16_t recordSize = 0;
    std::map<std::uint16_t, std::uint32_t> blocks;  // index -> pattern seed

    bool operator==(const ModelTable&) const = default;
};

struct Model {
    std::map<std::uint16_t, ModelTable> tables;
    std::uint16_t directoryBlocks = 1;
    std::array<std::uint8_t, 256> app{};

    bool operator==(const Model&) const = default;

    // The number FindFreeTableNumber must give.
    ResultCode ExpectedFreeNumber(std::uint16_t* t) const {
        for (std::uint32_t n = 2; n < kTableCount && n / 8 < directoryBlocks; ++n) {
            if (!tables.count(static_cast<std::uint16_t>(n))) {
                *t = static_cast<std::uint16_t>(n);
                return 0;
            }
        }
        const std::uint32_t next = std::max<std::uint32_t>(2, 8u * directoryBlocks);
        if (next >= kTableCount) return 18;
        *t = static_cast<std::uint16_t>(next);
        return 0;
    }
    void NoteTable(std::uint16_t t) {
        directoryBlocks =
            std::max<std::uint16_t>(directoryBlocks, static_cast<std::uint16_t>(t / 8 + 1));
    }
};

struct RunOptions {
    std::uint32_t seed = 1;
    int operations = 2000;
    bool checkEveryOperation = false;  // the integrity walk also inside transactions
    bool onDisk = false;
};

std::string Name(const RunOptions& o) {
    return "seed " + std::to_string(o.seed) + (o.checkEveryOperation ? " (walk every op)" : "");
}

class ModelRun {
  public:
    ModelRun(Platform& platform, std::string path, RunOptions options)
        : platform_(platform), path_(std::move(path)), options_(options), random_(options.seed) {}

    // Runs every operation; the first mismatch ends the run with a failure.
    void Run();

    int commits = 0, discards = 0, undos = 0, reopens = 0, operations = 0;
    std::uint16_t maxFileBlocks = 0;

  private:
    std::uint32_t Below(std::uint32_t n) { return n == 0 ? 0 : random_() % n; }
    bool Chance(int percent) { return static_cast<int>(Below(100)) < percent; }

    void Open();
    void Transaction();
    void Operation(bool& failed);
    void ReadOnlyAccess();
    void Undo();
    void Verify(const Model& model, bool full);
    // Reads blocks first .. first + count - 1 of table t in one range read
    // and checks each against the model.
    void VerifyRange(const ModelTable& table, std::uint16_t t, std::uint16_t first,
                     std::uint16_t count);
    std::uint16_t PickIndex(const ModelTable& table);
    std::uint16_t PickExisting();
    std::string Where() const {
        return Name(options_) + ", operation " + std::to_string(operations) + " (" + lastOp_ + ")";
    }

    Platform& platform_;
    std::string path_;
    RunOptions options_;
    std::mt19937 random_;
    std::unique_ptr<DataFile> file_;
    Model committed_, working_, previous_;
    bool canUndo_ = false, canRedo_ = false;
    std::uint32_t nextSeed_ = 1;
    std::string lastOp_;
    // Positions touched lately (written, freed, cut off by a shrink): reads
    // and writes come back to them while their blocks are still cached.
    std::vector<std::pair<std::uint16_t, std::uint16_t>> recent_;
    void Touch(std::uint16_t table, std::uint16_t index) {
        if (recent_.size() >= 16) recent_.erase(recent_.begin());
        recent_.emplace_back(table, index);
    }
    bool PickRecent(std::uint16_t* table, std::uint16_t* index) {
        if (recent_.empty()) return false;
        const std::size_t pick =
            Chance(50) ? recent_.size() - 1 : Below(static_cast<std::uint32_t>(recent_.size()));
        const auto& [t, i] = recent_[pick];
        if (!working_.tables.count(t)) return false;
        *table = t;
        *index = i;
        return true;
    }
};

#define MODEL_EXPECT_EQ(a, b)                                                                     \
    do {                                                                                          \
        const auto& va = (a);                                                                     \
        const auto& vb = (b);                                                                     \
        if (!(va == vb)) {                                                                        \
            ADD_FAILURE() << #a << " = " << va << ", " << #b << " = " << vb << " at " << Where(); \
            return;                                                                               \
        }                                                                                         \
    } while (0)

void ModelRun::Open() {
    file_ = std::make_unique<DataFile>(platform_);
    bool created = false;
    const ResultCode r = file_->Open(path_.c_str(), &created, 0);
    MODEL_EXPECT_EQ(r, 0);
    canUndo_ = false;
    canRedo_ = false;
    const std::string findings = IntegrityFindings(*file_);
    MODEL_EXPECT_EQ(findings, std::string());
}

std::uint16_t ModelRun::PickExisting() {
    if (working_.tables.empty()) return 0;
    auto it = working_.tables.begin();
    std::advance(it, Below(static_cast<std::uint32_t>(working_.tables.size())));
    return it->first;
}

std::uint16_t ModelRun::PickIndex(const ModelTable& table) {
    const int kind = static_cast<int>(Below(100));
    if (kind < 45) return static_cast<std::uint16_t>(Below(table.blockCount + 4u));
    if (kind < 65) return static_cast<std::uint16_t>(Below(30));
    if (kind < 75) return static_cast<std::uint16_t>(250 + Below(12));
    if (kind < 85 && !table.blocks.empty()) {
        auto it = table.blocks.begin();
        std::advance(it, Below(static_cast<std::uint32_t>(table.blocks.size())));
        return it->first;
    }
    return static_cast<std::uint16_t>(Below(kMaxTableBlocks));
}

void ModelRun::Operation(bool& failed) {
    ++operations;
    const int kind = static_cast<int>(Below(100));
    const std::uint16_t existing = PickExisting();
    if (kind < 6 || existing == 0) {
        // Create: a chosen number (any, gaps and numbers from 8 on included)
        // or the lowest free one.
        std::uint16_t t = Chance(30) ? 0 : static_cast<std::uint16_t>(2 + Below(kTableCount - 2));
        const auto type = static_cast<std::uint8_t>(1 + Below(250));
        const auto subtype = static_cast<std::uint8_t>(Below(256));
        std::uint16_t expectNumber = t;
        ResultCode expect = 0;
        if (t == 0) {
            expect = working_.ExpectedFreeNumber(&expectNumber);
        } else if (working_.tables.count(t)) {
            expect = 17;
        }
        std::uint16_t got = t;
        lastOp_ = "create " + std::to_string(t);
        const ResultCode r = file_->CreateTable(&got, type, subtype);
        MODEL_EXPECT_EQ(r, expect);
        if (r == 0) {
            MODEL_EXPECT_EQ(got, expectNumber);
            ModelTable table;
            table.type = type;
            table.subtype = subtype;
            working_.tables[got] = table;
            working_.NoteTable(got);
        }
    } else if (kind < 8) {
        lastOp_ = "delete " + std::to_string(existing);
        const ResultCode r = file_->DeleteTable(existing);
        MODEL_EXPECT_EQ(r, 0);
        working_.tables.erase(existing);
    } else if (kind < 13) {
        ModelTable& table = working_.tables[existing];
        std::uint16_t count = 0;
        const int how = static_cast<int>(Below(10));
        if (how < 5) {
            count = static_cast<std::uint16_t>(Below(table.blockCount + 1u));
        } else if (how < 8) {
            count = static_cast<std::uint16_t>(table.blockCount + Below(40));
        } else {
            count = static_cast<std::uint16_t>(Below(kMaxTableBlocks + 1));
        }
        if (count > kMaxTableBlocks) count = kMaxTableBlocks;
        lastOp_ = "size " + std::to_string(existing) + " to " + std::to_string(count);
        const ResultCode r = file_->SetTableBlockCount(existing, count);
        MODEL_EXPECT_EQ(r, 0);
        for (auto it = table.blocks.lower_bound(count); it != table.blocks.end(); ++it) {
            Touch(existing, it->first);
        }
        table.blockCount = count;
        table.blocks.erase(table.blocks.lower_bound(count), table.blocks.end());
    } else if (kind >= 92 && kind < 96) {
        // Churn one position while its block is cached: write it, take its
        // place away (free it, or cut the table below it), read it back as
        // zeros, maybe write it once more.
        ModelTable& table = working_.tables[existing];
        const std::uint16_t index = PickIndex(table);
        const std::uint32_t seed = nextSeed_++;
        lastOp_ = "churn " + std::to_string(existing) + ":" + std::to_string(index);
        MODEL_EXPECT_EQ(WriteWholeBlock(*file_, existing, index, PatternBlock(seed)), 0);
        table.blocks[index] = seed;
        table.blockCount =
            std::max<std::uint16_t>(table.blockCount, static_cast<std::uint16_t>(index + 1));
        if (Chance(50)) {
            MODEL_EXPECT_EQ(file_->SetBlockNumber(existing, index, 0, BlockKind::kData, true), 0);
            table.blocks.erase(index);
        } else {
            MODEL_EXPECT_EQ(file_->SetTableBlockCount(existing, index), 0);
            table.blocks.erase(table.blocks.lower_bound(index), table.blocks.end());
            table.blockCount = index;
            if (Chance(50)) {
                const auto grown = static_cast<std::uint16_t>(index + 1 + Below(8));
                MODEL_EXPECT_EQ(file_->SetTableBlockCount(existing, grown), 0);
                table.blockCount = grown;
            }
        }
        BlockImage got;
        MODEL_EXPECT_EQ(ReadWholeBlock(*file_, existing, index, &got), 0);
        MODEL_EXPECT_EQ(got == BlockImage(kBlockSize, 0), true);
        if (Chance(50)) {
            const std::uint32_t again = nextSeed_++;
            MODEL_EXPECT_EQ(WriteWholeBlock(*file_, existing, index, PatternBlock(again)), 0);
            table.blocks[index] = again;
            table.blockCount =
                std::max<std::uint16_t>(table.blockCount, static_cast<std::uint16_t>(index + 1));
        }
        Touch(existing, index);
    } else if (kind < 73 || kind == 96) {
        std::uint16_t t = existing;
        std::uint16_t index = 0;
        if (!(Chance(20) && PickRecent(&t, &index))) index = PickIndex(working_.tables[t]);
        ModelTable& table = working_.tables[t];
        const std::uint32_t seed = nextSeed_++;
        lastOp_ = "write " + std::to_string(t) + ":" + std::to_string(index);
        const ResultCode r = WriteWholeBlock(*file_, t, index, PatternBlock(seed));
        MODEL_EXPECT_EQ(r, 0);
        Touch(t, index);
        table.blocks[index] = seed;
        table.blockCount =
            std::max<std::uint16_t>(table.blockCount, static_cast<std::uint16_t>(index + 1));
    } else if (kind < 81) {
        // Read a block of the working state.
        std::uint16_t t = existing;
        std::uint16_t index = 0;
        if (!(Chance(50) && PickRecent(&t, &index))) index = PickIndex(working_.tables[t]);
        const ModelTable& table = working_.tables[t];
        BlockImage got;
        lastOp_ = "read " + std::to_string(t) + ":" + std::to_string(index);
        const ResultCode r = ReadWholeBlock(*file_, t, index, &got);
        MODEL_EXPECT_EQ(r, 0);
        auto it = table.blocks.find(index);
        const BlockImage want =
            it == table.blocks.end() ? BlockImage(kBlockSize, 0) : PatternBlock(it->second);
        MODEL_EXPECT_EQ(got == want, true);
        // The same blocks read as a range, past the cache: dirty entries, the
        // write run and places never written must all show as the model has them.
        if (Chance(50) && index < table.blockCount) {
            const auto count = static_cast<std::uint16_t>(
                1 + Below(std::min<std::uint32_t>(table.blockCount - index, 400)));
            lastOp_ += " range of " + std::to_string(count);
            VerifyRange(table, t, index, count);
        }
    } else if (kind < 84) {
        // Free one block's place, keeping the count.
        ModelTable& table = working_.tables[existing];
        std::uint16_t index = PickIndex(table);
        if (!table.blocks.empty() && Chance(70)) {
            auto it = table.blocks.begin();
            std::advance(it, Below(static_cast<std::uint32_t>(table.blocks.size())));
            index = it->first;
        }
        lastOp_ = "free " + std::to_string(existing) + ":" + std::to_string(index);
        const ResultCode r = file_->SetBlockNumber(existing, index, 0, BlockKind::kData, true);
        MODEL_EXPECT_EQ(r, 0);
        Touch(existing, index);
        table.blocks.erase(index);
    } else if (kind < 88) {
        const auto value = static_cast<std::uint16_t>(random_());
        lastOp_ = "record size " + std::to_string(existing);
        const ResultCode r = file_->SetTableRecordSize(existing, value);
        MODEL_EXPECT_EQ(r, 0);
        working_.tables[existing].recordSize = value;
    } else if (kind < 92) {
        const std::uint32_t length = 1 + Below(256);
        std::array<std::uint8_t, 256> bytes = working_.app;
        for (std::uint32_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(random_());
        lastOp_ = "app header";
        const ResultCode r = file_->SetAppHeader(bytes.data(), length);
        MODEL_EXPECT_EQ(r, 0);
        working_.app = bytes;
    } else {
        lastOp_ = "fail";
        failed = true;  // the work of this access fails: it must be discarded
    }
    if (options_.checkEveryOperation) {
        const std::string findings = IntegrityFindings(*file_);
        MODEL_EXPECT_EQ(findings, std::string());
    }
}

void ModelRun::Transaction() {
    MODEL_EXPECT_EQ(file_->BeginAccess(true), 0);
    const int count = 1 + static_cast<int>(Below(Chance(10) ? 60 : 12));
    bool failed = false;
    for (int i = 0; i < count && !failed && !::testing::Test::HasFailure(); ++i) Operation(failed);
    if (::testing::Test::HasFailure()) return;
    const bool modified = file_->IsModified();
    if (!(working_ == committed_)) MODEL_EXPECT_EQ(modified, true);
    lastOp_ = failed ? "end access failed" : "end access";
    const ResultCode r = file_->EndAccess(failed ? 99 : 0);
    if (failed) {
        MODEL_EXPECT_EQ(r, 99);
        ++discards;
        working_ = committed_;
        MODEL_EXPECT_EQ(file_->CanRedo(), false);
        // A dropped transaction that wrote blocks ends the undo; the engine
        // must never claim an undo the model does not have.
        if (!canUndo_) MODEL_EXPECT_EQ(file_->CanUndo(), false);
        canUndo_ = file_->CanUndo();
        canRedo_ = false;
    } else {
        MODEL_EXPECT_EQ(r, 0);
        if (modified) {
            ++commits;
            previous_ = committed_;
            committed_ = working_;
            canUndo_ = true;
            canRedo_ = false;
        }
        const std::string findings = IntegrityFindings(*file_);
        MODEL_EXPECT_EQ(findings, std::string());
    }
    MODEL_EXPECT_EQ(file_->CanUndo(), canUndo_);
    MODEL_EXPECT_EQ(file_->CanRedo(), canRedo_);
    maxFileBlocks = std::max(maxFileBlocks, file_->FileBlocks());
}

void ModelRun::ReadOnlyAccess() {
    // Inside a read access every change is refused and nothing changes.
    MODEL_EXPECT_EQ(file_->BeginAccess(false), 0);
    std::uint16_t t = 0;
    MODEL_EXPECT_EQ(file_->CreateTable(&t, 1, 0), 34);
    const std::uint16_t existing = PickExisting();
    if (existing != 0) {
        MODEL_EXPECT_EQ(WriteWholeBlock(*file_, existing, 0, PatternBlock(1)), 34);
        MODEL_EXPECT_EQ(file_->SetTableBlockCount(existing, 0), 34);
        MODEL_EXPECT_EQ(file_->DeleteTable(existing), 34);
    }
    std::uint8_t sig[16] = {};
    MODEL_EXPECT_EQ(file_->SetAppSignature(sig), 34);
    MODEL_EXPECT_EQ(file_->IsModified(), false);
    MODEL_EXPECT_EQ(file_->EndAccess(0), 0);
}

void ModelRun::Undo() {
    const ResultCode r = file_->UndoLastCommitLocked();
    if (!canUndo_ && !canRedo_) {
        MODEL_EXPECT_EQ(r, 35);
        return;
    }
    MODEL_EXPECT_EQ(r, 0);
    ++undos;
    std::swap(committed_, previous_);
    working_ = committed_;
    std::swap(canUndo_, canRedo_);
    MODEL_EXPECT_EQ(file_->CanUndo(), canUndo_);
    MODEL_EXPECT_EQ(file_->CanRedo(), canRedo_);
    const std::string findings = IntegrityFindings(*file_);
    MODEL_EXPECT_EQ(findings, std::string());
    Verify(committed_, false);
}

void ModelRun::VerifyRange(const ModelTable& table, std::uint16_t t, std::uint16_t first,
                           std::uint16_t count) {
    std::vector<std::uint8_t> range(std::size_t{count} * kBlockSize, 0xA5);
    MODEL_EXPECT_EQ(file_->ReadTableBlocks(t, first, count, range.data()), 0);
    for (std::uint16_t k = 0; k < count; ++k) {
        const auto index = static_cast<std::uint16_t>(first + k);
        auto it = table.blocks.find(index);
        const BlockImage want =
            it == table.blocks.end() ? BlockImage(kBlockSize, 0) : PatternBlock(it->second);
        if (!std::equal(want.begin(), want.end(), range.begin() + std::size_t{k} * kBlockSize)) {
            ADD_FAILURE() << "range read of table " << t << " block " << index << " differs at "
                          << Where();
            return;
        }
    }
}

void ModelRun::Verify(const Model& model, bool full) {
    MODEL_EXPECT_EQ(file_->BeginAccess(false), 0);
    std::array<std::uint8_t, 256> app{};
    file_->GetAppHeader(app.data(), 256);
    MODEL_EXPECT_EQ(app == model.app, true);
    std::uint8_t d[kDescriptorSize];
    MODEL_EXPECT_EQ(file_->ReadTableDescriptor(0, d), 0);
    MODEL_EXPECT_EQ(Load16(d + descriptor::kBlockCount), model.directoryBlocks);
    for (std::uint16_t t = 2; t < kTableCount; ++t) {
        MODEL_EXPECT_EQ(file_->ReadTableDescriptor(t, d), 0);
        auto it = model.tables.find(t);
        if (it == model.tables.end()) {
            MODEL_EXPECT_EQ(static_cast<int>(d[descriptor::kTableType]), 0);
            continue;
        }
        const ModelTable& table = it->second;
        MODEL_EXPECT_EQ(static_cast<int>(d[descriptor::kTableType]), static_cast<int>(table.type));
        MODEL_EXPECT_EQ(static_cast<int>(d[descriptor::kTableSubtype]),
                        static_cast<int>(table.subtype));
        MODEL_EXPECT_EQ(Load16(d + descriptor::kBlockCount), table.blockCount);
        MODEL_EXPECT_EQ(Load16(d + descriptor::kRecordSize), table.recordSize);
        for (const auto& [index, seed] : table.blocks) {
            BlockImage got;
            MODEL_EXPECT_EQ(ReadWholeBlock(*file_, t, index, &got), 0);
            if (got != PatternBlock(seed)) {
                ADD_FAILURE() << "table " << t << " block " << index << " holds seed "
                              << Load32(got.data()) << ", not " << seed << " at " << Where();
                return;
            }
        }
        if (full && table.blockCount > 0) VerifyRange(table, t, 0, table.blockCount);
        // Positions without data read as zeros and have no place.
        const int samples = full ? 40 : 4;
        for (int s = 0; s < samples && table.blockCount > 0; ++s) {
            const auto index = static_cast<std::uint16_t>(Below(table.blockCount));
            if (table.blocks.count(index)) continue;
            BlockNumber n = 1;
            MODEL_EXPECT_EQ(file_->GetBlockNumber(t, index, &n), 0);
            MODEL_EXPECT_EQ(n, 0);
            BlockImage got;
            MODEL_EXPECT_EQ(ReadWholeBlock(*file_, t, index, &got), 0);
            MODEL_EXPECT_EQ(got == BlockImage(kBlockSize, 0), true);
        }
    }
    MODEL_EXPECT_EQ(file_->EndAccess(0), 0);
}

void ModelRun::Run() {
    Open();
    while (operations < options_.operations && !::testing::Test::HasFailure()) {
        const int what = static_cast<int>(Below(100));
        if (what < 80) {
            Transaction();
        } else if (what < 86) {
            Undo();
        } else if (what < 90) {
            ReadOnlyAccess();
        } else if (what < 95) {
            ++reopens;
            file_.reset();
            Open();
            if (!::testing::Test::HasFailure()) Verify(committed_, true);
        } else {
            Verify(committed_, false);
        }
    }
    if (!::testing::Test::HasFailure()) {
        file_.reset();
        Open();
        if (!::testing::Test::HasFailure()) Verify(committed_, true);
    }
}

void RunModel(const RunOptions& options) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    std::unique_ptr<PowerLossPlatform> memory;
    Platform* platform = &Platform::Default();
    std::string path = dir.File("model.qdx");
    if (!options.onDisk) {
        memory = std::make_unique<PowerLossPlatform>(Platform::Default(), dir.path().string());
        platform = memory.get();
    }
    ModelRun run(*platform, path, options);
    run.Run();
    std::cout << "[ model    ] " << Name(options) << ": " << run.operations << " operations, "
              << run.commits << " commits, " << run.discards << " discards, " << run.undos
              << " undos, " << run.reopens << " reopens, up to " << run.maxFileBlocks
              << " blocks\n";
    EXPECT_GT(run.commits, 10);
    // The workload must reach files of thousands of blocks (how far depends on
    // the seed: 12000 operations give 2300 to 2600 blocks).
    EXPECT_GT(run.maxFileBlocks, options.operations / 8);
}

#if defined(QUILLET_ENGINE_FAST_TESTS)

TEST(ModelTest, Seed1) {
    RunModel({1, 10000, false, false});
}
TEST(ModelTest, Seed2) {
    RunModel({2, 10000, false, false});
}
TEST(ModelTest, Seed3) {
    RunModel({3, 10000, false, false});
}
TEST(ModelTest, Seed4WalksAfterEveryOperation) {
    RunModel({4, 3000, true, false});
}

#endif

#if defined(QUILLET_ENGINE_SLOW_TESTS)

TEST(ModelSlowTest, ManySeedsInMemory) {
    for (std::uint32_t seed = 10; seed < 20 && !::testing::Test::HasFailure(); ++seed) {
        RunModel({seed, 12000, false, false});
    }
}
TEST(ModelSlowTest, WalkAfterEveryOperation) {
    for (std::uint32_t seed = 30; seed < 33 && !::testing::Test::HasFailure(); ++seed) {
        RunModel({seed, 5000, true, false});
    }
}
TEST(ModelSlowTest, OnDisk) {
    RunModel({40, 6000, false, true});
}

#endif

}  // namespace
}  // namespace quillet::testing
