// Simulated power loss at every write. A clean run records the file's logical
// content at each commit (the flush that follows a header write). Then the run
// is repeated with the machine stopping right after write k, for every k, and
// the disk is rebuilt with the unflushed writes lost or kept: all lost, all
// kept, a fixed number of seeded random subsets and seeded kept prefixes.
// Each such disk must hold a file that opens, passes the integrity walk and
// holds a committed state: the one made durable last before the stop, or the
// next one, never a mix.
//
// Model assumptions (see PowerLossPlatform): one write call is never torn;
// renames, copies, creations and deletions are durable when the call returns.

#include <gtest/gtest.h>

#include <iostream>
#include <random>
#include <sstream>

#include "container/DataFile.h"
#include "tests/safety/SafetyFlow.h"
#include "tests/support/EngineTestUtil.h"
#include "tests/support/TempDir.h"

namespace quillet::testing {
namespace {

// Average items per list of the list-heavy samples (ListHeavySample): about
// 270 blocks, and about 850 blocks. Both copy and step in one transaction;
// the step to 3 reads the lists from the source.
[[maybe_unused]] constexpr int kQuickListHeavyItems = 160;
[[maybe_unused]] constexpr int kSlowListHeavyItems = 400;

#ifdef QUILLET_SAFETY_SLOW
constexpr int kRandomSubsets = 10;
constexpr int kRandomPrefixes = 4;
#else
constexpr int kRandomSubsets = 6;
constexpr int kRandomPrefixes = 2;
#endif

// One durable commit of one file in the clean run.
struct CommitPoint {
    std::uint64_t writesBefore = 0;  // writes done when the commit became durable
    Bytes bytes;
    FileState state;
};

// Records every commit of every file on the disk.
class CommitRecorder {
  public:
    explicit CommitRecorder(PowerLossPlatform& disk) : disk_(disk) {
        disk.SetFlushObserver([this](const std::string& path, const Bytes& durable, bool header) {
            if (header) commits_[path].push_back({disk_.WriteCount(), durable, {}});
        });
    }
    ~CommitRecorder() { disk_.SetFlushObserver(nullptr); }

    // Reads each recorded commit's content; a commit that is not sound is a
    // fault of the clean run already.
    std::string Resolve() {
        for (auto& [path, list] : commits_) {
            for (std::size_t i = 0; i < list.size(); ++i) {
                const std::string f = InspectImage(list[i].bytes, &list[i].state);
                if (!f.empty()) return path + " commit " + std::to_string(i) + ": " + f;
            }
        }
        return "";
    }
    std::map<std::string, std::vector<CommitPoint>>& commits() { return commits_; }

  private:
    PowerLossPlatform& disk_;
    std::map<std::string, std::vector<CommitPoint>> commits_;
};

// The loss combinations tried at one stop point.
std::vector<PowerLossPlatform::KeepChoice> Choices(const PowerLossPlatform& disk,
                                                   std::uint64_t stop) {
    std::vector<PowerLossPlatform::KeepChoice> out;
    out.push_back([](const std::string&, std::size_t) { return false; });
    out.push_back([](const std::string&, std::size_t) { return true; });
    if (disk.PendingTotal() < 2) return out;
    for (int r = 0; r < kRandomSubsets; ++r) {
        auto keep = std::make_shared<std::map<std::pair<std::string, std::size_t>, bool>>();
        std::mt19937 rng(static_cast<std::uint32_t>(stop * 1000 + static_cast<std::uint64_t>(r)));
        for (const auto& path : disk.Paths()) {
            const auto pending = disk.Pending(path);
            for (std::size_t i = 0; i < pending.size(); ++i) (*keep)[{path, i}] = rng() & 1;
        }
        out.push_back([keep](const std::string& p, std::size_t i) {
            auto it = keep->find({p, i});
            return it != keep->end() && it->second;
        });
    }
    // A disk that writes in order but stopped part-way: the changes up to a
    // point are kept, the rest lost.
    for (int r = 0; r < kRandomPrefixes; ++r) {
        std::mt19937 rng(static_cast<std::uint32_t>(stop * 7919 + static_cast<std::uint64_t>(r)));
        std::map<std::string, std::size_t> cut;
        for (const auto& path : disk.Paths()) {
            const std::size_t n = disk.Pending(path).size();
            cut[path] = n == 0 ? 0 : rng() % (n + 1);
        }
        out.push_back([cut](const std::string& p, std::size_t i) {
            auto it = cut.find(p);
            return it != cut.end() && i < it->second;
        });
    }
    return out;
}

// What may be on the disk for a file after a stop following write `stop`: the
// last commit durable by then, and the one after it. A commit whose flush came
// when `stop` writes were done did not happen: the machine stopped right after
// that write, before the flush. -1 when no commit of the file was durable yet.
int LastDurable(const std::vector<CommitPoint>& commits, std::uint64_t stop) {
    int last = -1;
    for (std::size_t i = 0; i < commits.size(); ++i) {
        if (commits[i].writesBefore < stop) last = static_cast<int>(i);
    }
    return last;
}

std::string CheckCommitted(const Bytes& bytes, const std::vector<CommitPoint>& commits, int last) {
    FileState state;
    const std::string findings = InspectImage(bytes, &state);
    if (!findings.empty()) return findings;
    if (last >= 0 && state == commits[static_cast<std::size_t>(last)].state) return "";
    if (static_cast<std::size_t>(last + 1) < commits.size() &&
        state == commits[static_cast<std::size_t>(last + 1)].state) {
        return "";
    }
    std::ostringstream s;
    s << "holds neither commit " << last << " nor " << last + 1;
    if (last >= 0) {
        s << ": vs " << last << ": "
          << DescribeDifference(state, commits[static_cast<std::size_t>(last)].state);
    }
    for (std::size_t i = 0; i < commits.size(); ++i) {
        if (state == commits[i].state) s << " (it equals commit " << i << ")";
    }
    return s.str();
}

struct Figures {
    std::uint64_t stopPoints = 0;
    std::uint64_t images = 0;
    std::uint64_t commits = 0;
};

// ---- The converter flow ----

void PowerLossOverFlow(const Sample& sample, Figures* out) {
    Figures& figures = *out;
    std::string problem;
    const Reference ref = MakeReference(sample, &problem);
    EXPECT_EQ(problem, "");
    if (!problem.empty()) return;

    // The clean run.
    TempDir cleanDir;
    PowerLossPlatform clean(Platform::Default(), cleanDir.path().string());
    const std::string chosen = PathIn(clean, "List.qdx");
    const std::string cleanRoot = PathIn(clean, ".");
    clean.PutFile(chosen, sample.bytes);
    std::map<std::string, std::vector<CommitPoint>> commits;
    {
        CommitRecorder recorder(clean);
        const FlowOutcome outcome = RunFlow(clean, chosen, sample.limits);
        EXPECT_TRUE(outcome.succeeded) << outcome.Describe();
        EXPECT_EQ(recorder.Resolve(), "");
        commits = recorder.commits();
    }
    const std::uint64_t writes = clean.WriteCount();
    EXPECT_GT(writes, 0u);
    std::string target = chosen;
    if (sample.throughTemporaryFile) {
        EXPECT_EQ(commits.size(), 1u) << "writes went to more than the temporary file";
        EXPECT_EQ(commits.count(chosen), 0u) << "the chosen file was written";
        if (commits.size() != 1) return;
        target = commits.begin()->first;
    } else {
        EXPECT_EQ(commits.size(), 1u);
        // The state before the conversion is the first committed state.
        CommitPoint original;
        original.bytes = sample.bytes;
        original.state = ref.original;
        commits[chosen].insert(commits[chosen].begin(), original);
    }
    const auto& points = commits[target];
    figures.commits = points.size();
    EXPECT_EQ(points.back().state, ref.converted) << "the last commit is not the conversion";

    for (std::uint64_t stop = 1; stop <= writes; ++stop) {
        SCOPED_TRACE("stop after write " + std::to_string(stop));
        TempDir dir;
        PowerLossPlatform disk(Platform::Default(), dir.path().string());
        const std::string localChosen = PathIn(disk, "List.qdx");
        const std::string diskRoot = PathIn(disk, ".");  // asked before the stop
        disk.PutFile(localChosen, sample.bytes);
        disk.StopAfterWrite(stop);
        const FlowOutcome outcome = RunFlow(disk, localChosen, sample.limits);
        EXPECT_TRUE(disk.Stopped());
        EXPECT_FALSE(outcome.succeeded) << "success reported although the machine stopped";
        ++figures.stopPoints;
        // The paths of this disk differ from the clean one's only by its root.
        auto local = [&](const std::string& cleanPath) {
            return diskRoot + cleanPath.substr(cleanRoot.size());
        };
        const int last = LastDurable(points, stop);
        for (const auto& keep : Choices(disk, stop)) {
            const DiskImage image = disk.ImageAfterLoss(keep);
            ++figures.images;
            const auto chosenIt = image.find(local(chosen));
            if (sample.throughTemporaryFile) {
                ASSERT_NE(chosenIt, image.end()) << "the chosen file is gone";
                EXPECT_EQ(chosenIt->second, sample.bytes) << "the chosen file changed";
                const auto temp = image.find(local(target));
                if (temp != image.end() && last >= 0) {
                    const std::string p = CheckCommitted(temp->second, points, last);
                    EXPECT_EQ(p, "") << "temporary file";
                    if (!p.empty()) return;
                }
            } else {
                const auto backups = BackupFiles(image, local(chosen));
                ASSERT_EQ(backups.size(), 1u);
                EXPECT_EQ(image.at(backups.front()), sample.bytes) << "the backup changed";
                ASSERT_NE(chosenIt, image.end()) << "the chosen file is gone";
                const std::string p = CheckCommitted(chosenIt->second, points, last);
                EXPECT_EQ(p, "");
                if (!p.empty()) return;  // one account of a fault is enough
            }
        }
    }
    return;
}

void PowerLossOverSamples(int format, bool large, const std::vector<std::string>& only = {}) {
    const auto samples = Samples(format, large);
    ASSERT_FALSE(samples.empty());
    Figures total;
    int runs = 0;
    for (const Sample& sample : samples) {
        if (!only.empty() && std::find(only.begin(), only.end(), sample.name) == only.end())
            continue;
        SCOPED_TRACE("sample " + sample.name);
        Figures f;
        PowerLossOverFlow(sample, &f);
        std::cout << "[power loss] format " << format << " sample " << sample.name << ": "
                  << f.stopPoints << " stop points, " << f.images << " disk images, " << f.commits
                  << " commits" << std::endl;
        // The shortest flow, format 5 through a temporary file whose copy and
        // step are one commit, has five: the new file's creation (two
        // flushes), the commit of both (two), the rename.
        EXPECT_GE(f.stopPoints, 5u);
        total.stopPoints += f.stopPoints;
        total.images += f.images;
        total.commits += f.commits;
        ++runs;
    }
    std::cout << "[power loss] total, format " << format << ", " << runs
              << " samples: " << total.stopPoints << " stop points, " << total.images
              << " disk images, " << total.commits << " commits" << std::endl;
}

// The list-heavy sample of ListHeavySample through its route.
void PowerLossOverListHeavy(int format, int items) {
    const Sample sample = ListHeavySample(format, items);
    ASSERT_FALSE(sample.bytes.empty()) << "the sample could not be built";
    Figures f;
    PowerLossOverFlow(sample, &f);
    std::cout << "[power loss] format " << format << " list-heavy sample: " << f.stopPoints
              << " stop points, " << f.images << " disk images, " << f.commits << " commits"
              << std::endl;
    EXPECT_GT(f.stopPoints, 5u);
}

// ---- The engine alone: a random workload of transactions ----

// Runs a seeded sequence of transactions on a new file: tables created and
// deleted, blocks written (beyond 24, so that maps become indirect), tables
// shortened and lengthened, attributes set; every fifth transaction is
// abandoned (its fresh blocks may have been written by eviction). Returns the
// first unexpected code.
ResultCode EngineWorkload(Platform& platform, const std::string& path, std::uint32_t seed,
                          int transactions) {
    std::mt19937 rng(seed);
    DataFile file(platform);
    bool created = false;
    ResultCode r = file.Open(path.c_str(), &created, OpenShareRead);
    if (r != 0) return r;
    std::vector<std::uint16_t> tables;
    for (int t = 0; t < transactions; ++t) {
        r = file.BeginAccess(true);
        if (r != 0) return r;
        ResultCode work = 0;
        const int ops = 1 + static_cast<int>(rng() % 4);
        for (int o = 0; o < ops && work == 0; ++o) {
            const unsigned what = tables.empty() ? 0 : rng() % 10;
            if (what == 0 && tables.size() < 6) {
                std::uint16_t number = 0;
                work = file.CreateTable(&number, 3, 0);
                if (work == 0) tables.push_back(number);
            } else if (what <= 5 && !tables.empty()) {
                const std::uint16_t table = tables[rng() % tables.size()];
                const int count = 1 + static_cast<int>(rng() % 6);
                const std::uint16_t start = static_cast<std::uint16_t>(rng() % 40);
                for (int i = 0; i < count && work == 0; ++i) {
                    work = WriteWholeBlock(file, table, static_cast<std::uint16_t>(start + i),
                                           PatternBlock(rng()));
                }
            } else if (what == 6 && !tables.empty()) {
                const std::uint16_t table = tables[rng() % tables.size()];
                work = file.SetTableBlockCount(table, static_cast<std::uint16_t>(rng() % 30));
            } else if (what == 7 && !tables.empty()) {
                const std::uint16_t table = tables[rng() % tables.size()];
                work = file.SetTableRecordSize(table, static_cast<std::uint16_t>(rng()));
            } else if (!tables.empty()) {
                const std::size_t at = rng() % tables.size();
                work = file.DeleteTable(tables[at]);
                if (work == 0) tables.erase(tables.begin() + static_cast<std::ptrdiff_t>(at));
            }
        }
        const bool abandon = t % 5 == 4;
        r = file.EndAccess(abandon ? 1 : work);
        if (abandon) {
            if (r != 1) return r;
            // The abandoned transaction's tables may be gone: ask the file.
            tables.clear();
            if ((r = file.BeginAccess(false)) != 0) return r;
            for (std::uint16_t n = 2; n < 48; ++n) {
                std::uint8_t d[kDescriptorSize];
                if (file.ReadTableDescriptor(n, d) == 0 && d[descriptor::kTableType] != 0)
                    tables.push_back(n);
            }
            if ((r = file.EndAccess(0)) != 0) return r;
        } else if (r != 0) {
            return r;
        }
    }
    return file.Close();
}

// With `lyingDisk` the stopped runs use a disk whose flushes make nothing
// durable, and the images that hold no committed state are counted in
// *badImages instead of failing the test.
void PowerLossOverEngine(std::uint32_t seed, int transactions, Figures* out, bool lyingDisk = false,
                         std::uint64_t* badImages = nullptr) {
    Figures& figures = *out;
    TempDir cleanDir;
    PowerLossPlatform clean(Platform::Default(), cleanDir.path().string());
    const std::string path = PathIn(clean, "engine.qdx");
    std::vector<CommitPoint> points;
    {
        CommitRecorder recorder(clean);
        EXPECT_EQ(EngineWorkload(clean, path, seed, transactions), 0);
        EXPECT_EQ(recorder.Resolve(), "");
        points = recorder.commits()[path];
    }
    figures.commits = points.size();
    const std::uint64_t writes = clean.WriteCount();
    for (std::uint64_t stop = 1; stop <= writes; ++stop) {
        SCOPED_TRACE("stop after write " + std::to_string(stop));
        TempDir dir;
        PowerLossPlatform disk(Platform::Default(), dir.path().string());
        const std::string local = PathIn(disk, "engine.qdx");
        disk.IgnoreFlushes(lyingDisk);
        disk.StopAfterWrite(stop);
        // The run's own result is not judged: a stop inside an abandoned last
        // transaction leaves nothing that could report it.
        EngineWorkload(disk, local, seed, transactions);
        EXPECT_TRUE(disk.Stopped());
        ++figures.stopPoints;
        const int last = LastDurable(points, stop);
        if (last < 0) continue;  // the file never held a committed state
        for (const auto& keep : Choices(disk, stop)) {
            const DiskImage image = disk.ImageAfterLoss(keep);
            ++figures.images;
            const auto it = image.find(local);
            ASSERT_NE(it, image.end());
            const std::string p = CheckCommitted(it->second, points, last);
            if (badImages != nullptr) {
                if (!p.empty()) ++*badImages;
                continue;
            }
            EXPECT_EQ(p, "");
            if (!p.empty()) return;
        }
    }
}

// A stop after either rename of the format 5 flow. Renames are durable, so
// no write is lost here; what the stop shows is where the user finds the data.
// After the first rename the chosen name is empty: the original lies intact
// under the backup name and the converted file under the temporary name.
// After the second the conversion is complete. The original bytes are never
// lost, and no file holds anything but the original or the converted bytes.
[[maybe_unused]] void StopAtRenames(const Sample& sample) {
    std::string problem;
    const Reference ref = MakeReference(sample, &problem);
    ASSERT_EQ(problem, "");
    for (std::uint64_t move = 1; move <= 2; ++move) {
        SCOPED_TRACE("stop after rename " + std::to_string(move));
        TempDir dir;
        PowerLossPlatform disk(Platform::Default(), dir.path().string());
        const std::string chosen = PathIn(disk, "List.qdx");
        disk.PutFile(chosen, sample.bytes);
        disk.StopAfterMove(move);
        const FlowOutcome outcome = RunFlow(disk, chosen);
        ASSERT_TRUE(disk.Stopped());
        // The second rename is the flow's last call on the disk.
        EXPECT_EQ(outcome.succeeded, move == 2) << outcome.Describe();
        // The truncation after the compaction is never flushed: compare
        // content, since a lost truncation leaves bytes past the last block.
        for (const auto& image : {disk.ImageAllLost(), disk.ImageAllKept()}) {
            const auto backups = BackupFiles(image, chosen);
            ASSERT_EQ(backups.size(), 1u);
            EXPECT_EQ(image.at(backups.front()), sample.bytes);
            const auto temps = TempFiles(image);
            const auto chosenIt = image.find(chosen);
            const Bytes* converted = nullptr;
            if (move == 1) {
                EXPECT_EQ(chosenIt, image.end());
                ASSERT_EQ(temps.size(), 1u);
                converted = &image.at(temps.front());
            } else {
                EXPECT_TRUE(temps.empty());
                ASSERT_NE(chosenIt, image.end());
                converted = &chosenIt->second;
            }
            FileState state;
            ASSERT_EQ(InspectImage(*converted, &state), "");
            EXPECT_EQ(state, ref.converted);
        }
    }
}

#ifndef QUILLET_SAFETY_SLOW

TEST(PowerLossTest, FormatFiveStopBetweenTheRenames) {
    for (const Sample& sample : Samples(5, false)) {
        if (sample.name != "one-list") continue;
        StopAtRenames(sample);
    }
}

TEST(PowerLossTest, EngineTransactionsSurviveEveryStop) {
    for (std::uint32_t seed : {1u, 2u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Figures f;
        PowerLossOverEngine(seed, 30, &f);
        std::cout << "[power loss] engine workload seed " << seed << ": " << f.stopPoints
                  << " stop points, " << f.images << " disk images, " << f.commits << " commits"
                  << std::endl;
        EXPECT_GT(f.commits, 20u);
    }
}

// The checks above can fail: on a disk that ignores flushes, the header of a
// commit may reach the disk without the blocks it names, and some of the
// images must then hold no committed state.
TEST(PowerLossTest, ChecksSeeADiskThatIgnoresFlushes) {
    Figures f;
    std::uint64_t bad = 0;
    PowerLossOverEngine(1, 12, &f, true, &bad);
    EXPECT_GT(bad, 0u);
    std::cout << "[power loss] lying disk: " << bad << " of " << f.images
              << " images hold no committed state" << std::endl;
}

// The quick runs use the two smallest samples; the richer ones are in
// safety_slow_tests.
TEST(PowerLossTest, FormatFiveThroughTemporaryFile) {
    PowerLossOverSamples(5, false, {"one-list", "indirect-map"});
}

TEST(PowerLossTest, FormatFourInPlace) {
    PowerLossOverSamples(4, false, {"one-list", "indirect-map"});
}

// The route of files whose lists fill most of the format's limit (see
// ListHeavySample): the copy and the step in one transaction; format 4 goes
// through a temporary file too, its lists read from the source.
TEST(PowerLossTest, ListHeavyFormatFiveCopiedAndSteppedTogether) {
    PowerLossOverListHeavy(5, kQuickListHeavyItems);
}

TEST(PowerLossTest, ListHeavyFormatFourThroughTemporaryFile) {
    PowerLossOverListHeavy(4, kQuickListHeavyItems);
}

#else

TEST(PowerLossSlowTest, EngineTransactionsSurviveEveryStop) {
    for (std::uint32_t seed = 10; seed < 16; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Figures f;
        PowerLossOverEngine(seed, 80, &f);
        std::cout << "[power loss] engine workload seed " << seed << ": " << f.stopPoints
                  << " stop points, " << f.images << " disk images, " << f.commits << " commits"
                  << std::endl;
    }
}

TEST(PowerLossSlowTest, FormatFiveRichSamples) {
    PowerLossOverSamples(5, true, {"several-lists", "large"});
}

TEST(PowerLossSlowTest, FormatFourRichSamples) {
    PowerLossOverSamples(4, true, {"several-lists", "large"});
}

TEST(PowerLossSlowTest, ListHeavyFormatFiveCopiedAndSteppedTogether) {
    PowerLossOverListHeavy(5, kSlowListHeavyItems);
}

TEST(PowerLossSlowTest, ListHeavyFormatFourThroughTemporaryFile) {
    PowerLossOverListHeavy(4, kSlowListHeavyItems);
}

#endif

}  // namespace
}  // namespace quillet::testing
