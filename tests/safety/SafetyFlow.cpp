#include "tests/safety/SafetyFlow.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "app/Converter.h"
#include "container/DataFile.h"
#include "container/FileHeader.h"
#include "convert/ConversionRoute.h"
#include "tests/support/EngineTestUtil.h"
#include "tests/support/TempDir.h"

namespace quillet::testing {
namespace {

constexpr char kSuccessText[] = "The file was converted successfully.";
constexpr char kBackupFailedText[] = "Unable to make a backup copy of the file.";

// The list-heavy samples' free list and slices: a few hundred entries, so
// that a few hundred list blocks overflow a one-commit step.
constexpr std::uint32_t kListHeavyFreeList = 200;
constexpr std::uint32_t kListHeavySlice = 8;

// Paths of the real disk use the system's separator, those of the memory
// disk '/'.
std::string BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string StemOf(const std::string& path) {
    const std::string base = BaseName(path);
    const std::size_t dot = base.rfind('.');
    return dot == std::string::npos ? base : base.substr(0, dot);
}

}  // namespace

bool UserPlatform::ShowOpenFileDialog(const OpenFileDialog&, char* path) {
    const std::size_t n = std::min(chosen_.size(), kMaxPath - 1);
    std::memcpy(path, chosen_.data(), n);
    path[n] = '\0';
    return true;
}

MessageAnswer UserPlatform::ShowMessageBox(const char* text, const char*, MessageButtons,
                                           MessageIcon) {
    messages_.emplace_back(text ? text : "");
    return MessageAnswer::kOk;
}

std::string FlowOutcome::Describe() const {
    std::ostringstream s;
    s << "exit " << exitCode;
    for (const auto& m : messages) s << " | " << m;
    return s.str();
}

FlowOutcome RunFlow(Platform& inner, const std::string& chosen, const SliceLimits& limits) {
    // A fixed virtual clock: every run reads the same times in the same order,
    // so a conversion that succeeds writes the same bytes as the reference.
    SampleClockPlatform clock(inner, 7);
    UserPlatform user(clock, chosen);
    FlowOutcome out;
    out.exitCode = RunConverter(user, nullptr, limits);
    out.messages = user.messages();
    const bool successShown =
        std::find(out.messages.begin(), out.messages.end(), kSuccessText) != out.messages.end();
    bool errorShown = false;
    for (const auto& m : out.messages) {
        if (m.rfind("Error ", 0) == 0 || m == kBackupFailedText) errorShown = true;
    }
    out.succeeded = out.exitCode == 0 && successShown && !errorShown;
    out.reportedError = out.exitCode != 0 || errorShown;
    return out;
}

std::vector<Sample> Samples(int format, bool large) {
    std::vector<Sample> out;
    auto add = [&](const std::string& name, SampleOptions o) {
        o.format = format;
        Sample s;
        s.name = name;
        s.options = o;
        s.throughTemporaryFile = format == 5;
        TempDir dir;
        PowerLossPlatform disk(Platform::Default(), dir.path().string());
        SampleClockPlatform clock(disk, o.seed);
        const std::string path = PathIn(disk, "sample.qdx");
        if (BuildSample(clock, o, path.c_str(), nullptr) != 0) return;  // reported by the caller
        s.bytes = *disk.CurrentBytes(path);
        out.push_back(std::move(s));
    };
    SampleOptions one;
    one.seed = 11;
    one.lists = 1;
    one.items = 6;
    one.depth = 1;
    one.columns = 3;
    add("one-list", one);

    SampleOptions several;
    several.seed = 12;
    several.lists = 4;
    several.items = 25;
    several.depth = 2;
    several.columns = 12;
    several.archiveBytes = 6000;
    add("several-lists", several);

    SampleOptions indirect;
    indirect.seed = 13;
    indirect.lists = 2;
    indirect.items = 15;
    indirect.depth = 2;
    indirect.columns = 5;
    indirect.archiveBytes = 30000;  // a bulk table of more than 24 blocks: an indirect map
    add("indirect-map", indirect);

    if (large) {
        SampleOptions big;
        big.seed = 14;
        big.lists = 8;
        big.items = 60;
        big.depth = 4;
        big.archiveBytes = 60000;
        add("large", big);
    }
    return out;
}

Sample ListHeavySample(int format, int items) {
    Sample s;
    s.name = "list-heavy";
    s.options.format = format;
    s.options.seed = 15;
    s.options.lists = 8;
    s.options.items = items;
    s.options.depth = 2;
    s.options.columns = 4;
    s.limits.freeListEntries = kListHeavyFreeList;
    s.limits.freedPerSlice = kListHeavySlice;
    s.limits.margin = 16;
    s.throughTemporaryFile = true;
    s.stepWithCopy = true;
    // The step to 4 frees almost nothing on its blocks, which it changes in
    // place; the step to 3 reads the lists from the source into tables the
    // copy left empty, and frees only the index. Either makes one commit with
    // the copy and leaves the compaction little or nothing to gain, since no
    // block had to move.
    s.minStepCommits = 1;
    s.minCompactionPasses = 0;
    TempDir dir;
    PowerLossPlatform disk(Platform::Default(), dir.path().string());
    SampleClockPlatform clock(disk, s.options.seed);
    const std::string path = PathIn(disk, "sample.qdx");
    if (BuildSample(clock, s.options, path.c_str(), nullptr) == 0) {
        s.bytes = *disk.CurrentBytes(path);  // empty bytes are reported by the caller
    }
    return s;
}

std::string PathIn(PowerLossPlatform& disk, const std::string& name) {
    char full[kMaxPath] = {};
    disk.GetFullPath(name.c_str(), full, sizeof full);
    return full;
}

Reference MakeReference(const Sample& sample, std::string* problem) {
    Reference ref;
    problem->clear();
    TempDir dir;
    PowerLossPlatform disk(Platform::Default(), dir.path().string());
    const std::string chosen = PathIn(disk, "List.qdx");
    disk.PutFile(chosen, sample.bytes);
    ResultCode rc = ReadFileState(disk, chosen.c_str(), &ref.original);
    if (rc != 0) {
        *problem = "the sample does not read: " + std::to_string(rc);
        return ref;
    }
    ConversionRoute route = ConversionRoute::kInPlace;
    rc = ChooseConversionRoute(disk, chosen.c_str(), static_cast<std::uint16_t>(sample.format()),
                               &route, sample.limits);
    if (rc != 0 ||
        (route == ConversionRoute::kThroughTemporaryFile) != sample.throughTemporaryFile) {
        *problem = "the route is not the sample's (" + std::to_string(rc) + ")";
        return ref;
    }
    // The file the conversion writes: its FileBlocks at each commit (the
    // flush after a header write).
    std::vector<std::uint16_t> committedBlocks;
    disk.SetFlushObserver([&](const std::string&, const Bytes& durable, bool header) {
        if (header && durable.size() >= header::kFileBlocks + 2) {
            committedBlocks.push_back(static_cast<std::uint16_t>(
                durable[header::kFileBlocks] | (durable[header::kFileBlocks + 1] << 8)));
        }
    });
    const FlowOutcome outcome = RunFlow(disk, chosen, sample.limits);
    disk.SetFlushObserver(nullptr);
    if (!outcome.succeeded) {
        *problem = "the clean conversion failed: " + outcome.Describe();
        return ref;
    }
    ref.commits = static_cast<int>(committedBlocks.size());
    // Without a pass every commit belongs to the step.
    ref.stepCommits = ref.commits;
    for (std::size_t i = 1; i < committedBlocks.size(); ++i) {
        if (committedBlocks[i] >= committedBlocks[i - 1]) continue;
        // Commit i is a pass's cut, commit i - 1 its first commit.
        if (ref.compactionPasses == 0) ref.stepCommits = static_cast<int>(i) - 1;
        ++ref.compactionPasses;
    }
    // Before the first pass's first commit: through a temporary file the new
    // file's first commit and the container copy's (none when the step runs
    // with the copy), then the step's.
    const int slices = ref.stepCommits - (!sample.throughTemporaryFile ? 0
                                          : sample.stepWithCopy        ? 1
                                                                       : 2);
    if (slices < sample.minStepCommits || ref.compactionPasses < sample.minCompactionPasses) {
        *problem = "the clean conversion made " + std::to_string(slices) + " step commits and " +
                   std::to_string(ref.compactionPasses) + " compaction passes";
        return ref;
    }
    ref.convertedBytes = *disk.CurrentBytes(chosen);
    std::string findings = InspectImage(ref.convertedBytes, &ref.converted);
    if (!findings.empty()) {
        *problem = "the clean conversion gave an unsound file: " + findings;
        return ref;
    }
    // The converted file must be what the builder says the older format holds.
    SampleSummary expected;
    std::string why;
    const int target = sample.format() == 5 ? 4 : 3;
    if (!ProjectSample(sample.options, target, &expected, &why, sample.format())) {
        *problem = "no projection: " + why;
        return ref;
    }
    rc = VerifySample(disk, chosen.c_str(), expected, &why);
    if (rc != 0) *problem = "the clean conversion differs from the projection: " + why;
    return ref;
}

std::string InspectImage(const Bytes& bytes, FileState* state) {
    TempDir dir;
    PowerLossPlatform disk(Platform::Default(), dir.path().string());
    const std::string path = PathIn(disk, "image.qdx");
    disk.PutFile(path, bytes);
    {
        DataFile file(disk);
        bool created = false;
        const ResultCode rc = file.Open(path.c_str(), &created, OpenReadOnly);
        if (rc != 0) return "open failed with " + std::to_string(rc);
        const std::string findings = IntegrityFindings(file);
        if (!findings.empty()) return "integrity: " + findings;
    }
    const ResultCode rc = ReadFileState(disk, path.c_str(), state);
    if (rc != 0) return "reading the content failed with " + std::to_string(rc);
    if (*disk.CurrentBytes(path) != bytes) return "opening for reading changed the file";
    return "";
}

std::vector<std::string> TempFiles(const DiskImage& image) {
    std::vector<std::string> out;
    for (const auto& [path, bytes] : image) {
        const std::string base = BaseName(path);
        if (base.rfind("RXV", 0) == 0 && base.size() > 4 &&
            base.substr(base.size() - 4) == ".TMP") {
            out.push_back(path);
        }
    }
    return out;
}

std::vector<std::string> BackupFiles(const DiskImage& image, const std::string& chosen) {
    std::vector<std::string> out;
    const std::string prefix = StemOf(chosen) + " Backup";
    for (const auto& [path, bytes] : image) {
        if (BaseName(path).rfind(prefix, 0) == 0) out.push_back(path);
    }
    return out;
}

}  // namespace quillet::testing
