// The fuzzing harnesses under the ordinary build: every input kept in
// tests/fuzz/regressions/<harness>/ (each one once made a harness fail, or ran slow
// enough to be flagged) and in tests/fuzz/corpus/<harness>/ (the merged, minimised
// corpus a fuzzing campaign grew: inputs that reach deep into the program) is
// replayed, and a seeded mutation pass over sample files
// and record contents runs every harness on inputs of the kinds the fuzzers
// start from, so that a build without clang exercises them too.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "FuzzTargetList.h"
#include "tests/support/PowerLossPlatform.h"
#include "tests/support/TempDir.h"
#include "tools/SampleBuilder.h"

namespace quillet::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs every harness on every file of root/<harness name>/ (README files
// aside); returns the number of inputs run.
int ReplayFolders(const std::filesystem::path& root) {
    int replayed = 0;
    for (const NamedFuzzTarget& harness : kFuzzTargets) {
        const auto folder = root / harness.name;
        if (!std::filesystem::is_directory(folder)) continue;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            if (!entry.is_regular_file() || entry.path().filename() == "README") continue;
            const Bytes input = ReadAll(entry.path());
            EXPECT_EQ(input.size(), entry.file_size()) << entry.path().string();
            EXPECT_EQ(harness.target(input.data(), input.size()), "") << entry.path().string();
            ++replayed;
        }
    }
    return replayed;
}

TEST(FuzzRegressionTest, EveryKeptInputPasses) {
    const std::filesystem::path root = QUILLET_FUZZ_REGRESSIONS;
    const int replayed = ReplayFolders(root);
    std::cout << "[fuzz regressions] " << replayed << " inputs replayed" << std::endl;
    EXPECT_GT(replayed, 0) << "no regression input found under " << root;
}

TEST(FuzzRegressionTest, EveryCorpusInputPasses) {
    const std::filesystem::path root = QUILLET_FUZZ_CORPUS;
    const int replayed = ReplayFolders(root);
    std::cout << "[fuzz corpus] " << replayed << " inputs replayed" << std::endl;
    EXPECT_GT(replayed, 0) << "no corpus input found under " << root;
}

// fuzz_convert passes by the inputs whose tables claim more than it fuzzes;
// the kept ones among them are converted in full here.
TEST(FuzzRegressionTest, KeptInputsWithLargeClaimsConvertInFull) {
    int replayed = 0;
    for (const std::filesystem::path root : {QUILLET_FUZZ_REGRESSIONS, QUILLET_FUZZ_CORPUS}) {
        for (const auto& entry : std::filesystem::directory_iterator(root / "convert")) {
            if (!entry.is_regular_file() || entry.path().filename() == "README") continue;
            const Bytes input = ReadAll(entry.path());
            if (ClaimedBlocks(input.data(), input.size()) <= kFuzzedClaimedBlocks) continue;
            EXPECT_EQ(ConvertInFull(input.data(), input.size()), "") << entry.path().string();
            ++replayed;
        }
    }
    std::cout << "[large claims] " << replayed << " inputs converted in full" << std::endl;
    EXPECT_GT(replayed, 0) << "no kept input claims more than " << kFuzzedClaimedBlocks;
}

// Sample files of each format, small.
std::vector<Bytes> SampleFiles() {
    std::vector<Bytes> out;
    TempDir dir;
    PowerLossPlatform disk(Platform::Default(), dir.path().string());
    int n = 0;
    for (int format : {3, 4, 5}) {
        SampleOptions o;
        o.format = format;
        o.seed = static_cast<std::uint32_t>(40 + format);
        o.lists = 2;
        o.items = 5;
        o.depth = 2;
        o.columns = 12;
        o.archiveBytes = format == 5 ? 13000 : 0;
        SampleClockPlatform clock(disk, o.seed);
        const std::string path = dir.File("s" + std::to_string(n++) + ".qdx");
        if (BuildSample(clock, o, path.c_str(), nullptr) == 0) {
            out.push_back(*disk.CurrentBytes(path));
        }
    }
    return out;
}

// Flips bytes, overwrites 16-bit words with edge values, cuts and repeats
// blocks: the damage that reaches the parsers of block numbers and counts.
Bytes Mutate(const Bytes& input, std::mt19937& rng) {
    Bytes b = input;
    if (b.empty()) return b;
    const int edits = 1 + static_cast<int>(rng() % 6);
    static const std::uint16_t kEdges[] = {0, 1, 0x7fff, 0x8000, 0xffff, 24, 25, 256, 6144, 6145};
    for (int e = 0; e < edits; ++e) {
        const std::size_t at = rng() % b.size();
        switch (rng() % 5) {
            case 0:
                b[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
                break;
            case 1:
                if (at + 1 < b.size()) {
                    const std::uint16_t v = kEdges[rng() % std::size(kEdges)];
                    b[at & ~std::size_t{1}] = static_cast<std::uint8_t>(v);
                    b[(at & ~std::size_t{1}) + 1] = static_cast<std::uint8_t>(v >> 8);
                }
                break;
            case 2:
                b.resize(at);
                break;
            case 3:
                if (b.size() >= 1024) {  // copy one block over another
                    const std::size_t blocks = b.size() / 512;
                    const std::size_t from = rng() % blocks, to = 1 + rng() % (blocks - 1);
                    std::copy_n(b.begin() + static_cast<std::ptrdiff_t>(from * 512), 512,
                                b.begin() + static_cast<std::ptrdiff_t>(to * 512));
                }
                break;
            default:
                b[at] = static_cast<std::uint8_t>(rng());
                break;
        }
        if (b.empty()) break;
    }
    return b;
}

TEST(FuzzRegressionTest, HarnessesHoldOnMutatedSamples) {
    const std::vector<Bytes> files = SampleFiles();
    ASSERT_EQ(files.size(), 3u);
    std::mt19937 rng(20240611);
    int runs = 0;
    for (const NamedFuzzTarget& harness : kFuzzTargets) {
        SCOPED_TRACE(harness.name);
        // The unchanged inputs first: the properties hold for sound files.
        for (const Bytes& f : files) EXPECT_EQ(harness.target(f.data(), f.size()), "");
        EXPECT_EQ(harness.target(nullptr, 0), "");
        for (int i = 0; i < 60; ++i) {
            const Bytes m = Mutate(files[static_cast<std::size_t>(i) % files.size()], rng);
            const std::string problem = harness.target(m.data(), m.size());
            EXPECT_EQ(problem, "") << "mutation " << i;
            ++runs;
        }
    }
    EXPECT_EQ(runs, 60 * static_cast<int>(std::size(kFuzzTargets)));
}

}  // namespace
}  // namespace quillet::testing
