// quillet-bench: converts sample files of about 1, 4, 12 and nearly 16 MiB
// (format 5 to 4 into a new file, format 4 to 3 in place) and prints for each
// the time, the peak resident memory of a child process that does one
// conversion (its VmHWM), and the ratio to copying the same file with a flush to disk,
// measured in the same run.
//
//   quillet-bench [--dir FOLDER] [--runs N] [--sizes 1,4,12,15.5] [--limit]
//
// --limit searches, for each format, the largest sample of the benchmark's
// shape that still converts.
//
// --list-heavy runs the list-heavy sweep instead: files whose eight lists are
// nearly all of their data (sizes 1 to 15.5 MiB unless --sizes is given), each
// converted by the route the converter chooses, with the time, the copy with
// flush, the result's size, whether it ends compacted, the peak memory, its
// phases as below and the same targets.
//
// Every conversion runs in a child process (this program started again with
// --child), so that its peak resident memory is its own. One more child per
// size converts once more (--phases) and prints where the time goes: each
// phase Convert reports, with its time and its file calls by kind (one
// system call each). After each format the targets are checked (PASS/FAIL):
// the largest sample within 3 x (format 5) or 2 x (format 4) of the copy, time
// growing no faster than the bytes allow, peak memory under 32 MiB.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "convert/ConversionFile.h"
#include "convert/ConversionRoute.h"
#include "platform/LittleEndian.h"
#include "storage/IntegrityCheck.h"
#include "tools/SampleBuilder.h"
#include "tools/bench/CountingPlatform.h"

namespace {

using namespace quillet;
using bench::CallCounts;
using bench::CountingPlatform;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// The shape of the benchmark's samples: a dozen lists of some hundred items
// each (the part the steps rewrite) and the bulk in archive tables.
SampleOptions Shape(int format) {
    SampleOptions o;
    o.format = format;
    o.seed = 20;
    o.lists = 12;
    o.items = 60;
    o.depth = 3;
    return o;
}

struct ChildResult {
    int status = -1;     // the child's exit code, or -1
    double seconds = 0;  // the conversion's own time, as the child measured it
    long maxRssKib = 0;
};

// The peak resident memory of this process in KiB (VmHWM), which starts
// afresh with the program image, unlike ru_maxrss, which keeps the high mark
// of the forked copy of the parent.
long PeakResidentKib() {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
    std::fclose(f);
    return kib;
}

// A conversion that times each phase Convert reports, with the file calls each
// made: the phases are those of the route Convert takes, from Convert itself.
class PhasedConversion final : public ConversionFile {
  public:
    explicit PhasedConversion(CountingPlatform& counting)
        : ConversionFile(counting), counting_(counting), before_(counting.Counts()) {}

    void Print() const {
        for (const Phase& p : done_)
            std::printf("  %-38s %7.1f ms  %s\n", p.name, p.ms, p.calls.Describe().c_str());
    }

  protected:
    void PhaseEnded(const char* name) override {
        const auto now = Clock::now();
        done_.push_back({name, Seconds(start_, now) * 1000, counting_.Counts() - before_});
        start_ = now;
        before_ = counting_.Counts();
    }

  private:
    struct Phase {
        const char* name;
        double ms;
        CallCounts calls;
    };
    CountingPlatform& counting_;
    Clock::time_point start_ = Clock::now();
    CallCounts before_;
    std::vector<Phase> done_;
};

// Child side with --phases: one conversion, each of its phases timed.
int RunPhases(int version, const char* target, const char* source) {
    CountingPlatform counting(Platform::Default());
    PhasedConversion file(counting);
    ResultCode rc = file.Convert(target, version, source);
    file.Print();
    if (rc != 0) std::printf("  code %d\n", static_cast<int>(rc));
    return rc == 0 ? 0 : 1;
}

// Child side: one conversion; its time, code and peak memory on stdout. With
// --phases each of its phases is timed instead.
int RunChild(int argc, char** argv) {
    if (argc < 5) return 90;
    const int version = std::atoi(argv[2]);
    const char* target = argv[3];
    const char* source = std::strcmp(argv[4], "-") == 0 ? nullptr : argv[4];
    if (std::strcmp(argv[1], "--phases") == 0) return RunPhases(version, target, source);
    ConversionFile file(Platform::Default());
    const auto start = Clock::now();
    const ResultCode rc = file.Convert(target, version, source);
    std::printf("%.9f %d %ld\n", Seconds(start, Clock::now()), static_cast<int>(rc),
                PeakResidentKib());
    return rc == 0 ? 0 : 1;
}
// Runs this program again as a child: --child when `text` is null, otherwise
// --phases with the child's output in *text.
ChildResult Spawn(const std::string& self, int version, const std::string& target,
                  const std::string& source, std::string* text = nullptr) {
    ChildResult r;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return r;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        close(pipeFds[0]);
        close(pipeFds[1]);
        const std::string v = std::to_string(version);
        execl(self.c_str(), self.c_str(), text ? "--phases" : "--child", v.c_str(), target.c_str(),
              source.empty() ? "-" : source.c_str(), static_cast<char*>(nullptr));
        _exit(91);
    }
    close(pipeFds[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(pipeFds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (text) {
        *text = out;
        return r;
    }
    int code = 0;
    if (std::sscanf(out.c_str(), "%lf %d %ld", &r.seconds, &code, &r.maxRssKib) != 3) r.status = -1;
    if (code != 0) r.status = code;
    return r;
}

// Copying the file and flushing it to disk, the yardstick.
double CopyWithFlush(Platform& p, const std::string& from, const std::string& to) {
    p.RemoveFile(to.c_str());
    const auto start = Clock::now();
    if (p.CopyFileTo(from.c_str(), to.c_str()) != win32::kSuccess) return -1;
    std::unique_ptr<File> f;
    if (p.OpenFile(to.c_str(), FileAccess::kReadWrite, FileShare::kNone,
                   FileDisposition::kOpenExisting, &f) != win32::kSuccess ||
        f->Flush() != win32::kSuccess)
        return -1;
    f.reset();
    return Seconds(start, Clock::now());
}

struct Measure {
    double mib = 0;
    std::uint64_t bytes = 0;
    double convert = 0, copy = 0;
    long rssKib = 0;
    bool ok = false;
    std::string note, phases;
};

bool BuildShaped(int format, double mib, const std::string& path, SampleSummary* s) {
    Platform& system = Platform::Default();
    system.RemoveFile(path.c_str());
    SampleOptions o = Shape(format);
    SampleClockPlatform clock(system, o.seed);
    return BuildSampleOfSize(clock, o, static_cast<std::uint64_t>(mib * 1048576.0), path.c_str(),
                             s) == 0;
}

// One size of one conversion: the best of `runs` conversions and copies.
Measure MeasureOne(const std::string& self, const std::string& dir, int format, double mib,
                   int runs) {
    Platform& p = Platform::Default();
    Measure m;
    m.mib = mib;
    const std::string source = dir + "/bench-source.qdx";
    const std::string target = dir + "/bench-target.qdx";
    const std::string copy = dir + "/bench-copy.qdx";
    SampleSummary summary;
    if (!BuildShaped(format, mib, source, &summary)) {
        m.note = "building the sample failed";
        return m;
    }
    m.bytes = summary.fileBytes;
    m.convert = m.copy = 1e9;
    for (int run = 0; run < runs; ++run) {
        m.copy = std::min(m.copy, CopyWithFlush(p, source, copy));
        ChildResult r;
        p.RemoveFile(target.c_str());
        if (format == 5) {
            r = Spawn(self, 4, target, source);
        } else {
            // In place: each run converts a fresh copy (not timed).
            p.CopyFileTo(source.c_str(), target.c_str());
            r = Spawn(self, 3, target, "");
        }
        if (r.status != 0) {
            m.note = "conversion failed with " + std::to_string(r.status);
            return m;
        }
        m.convert = std::min(m.convert, r.seconds);
        m.rssKib = std::max(m.rssKib, r.maxRssKib);
    }
    // The figures only count for a correct conversion.
    SampleSummary expected;
    std::string problem;
    if (!ProjectSample(summary.options, format - 1, &expected, &problem, format) ||
        VerifySample(p, target.c_str(), expected, &problem) != 0) {
        m.note = "converted file differs: " + problem;
        return m;
    }
    // Where the time goes: the transactions timed one by one.
    p.RemoveFile(target.c_str());
    if (format == 4) p.CopyFileTo(source.c_str(), target.c_str());
    Spawn(self, format - 1, target, format == 5 ? source : "", &m.phases);
    m.ok = true;
    p.RemoveFile(copy.c_str());
    p.RemoveFile(target.c_str());
    p.RemoveFile(source.c_str());
    return m;
}

// The targets, checked on the largest sample (the last measured): its time
// against a plain copy with a flush (at most 3 x from format 5, 2 x from 4),
// the growth from the first sample (at most 16 x from 1 to 15.5 MiB, scaled by
// the bytes for other sizes), and the peak memory of every run (under 32 MiB).
// A benchmark, not a test: it reports, and the exit code does not depend on it.
template <typename M>
void PrintTargets(int format, const std::vector<M>& all) {
    if (all.empty()) return;
    const M& small = all.front();
    const M& large = all.back();
    const double ratioLimit = format == 5 ? 3 : 2;
    const double ratio = large.convert / large.copy;
    long peak = 0;
    for (const M& m : all) peak = std::max(peak, m.rssKib);
    auto verdict = [](bool ok) { return ok ? "PASS" : "FAIL"; };
    std::printf("  target: %.2f MiB in %.1f ms is %.2f x the copy (at most %.0f x): %s\n",
                large.mib, large.convert * 1000, ratio, ratioLimit, verdict(ratio <= ratioLimit));
    if (all.size() >= 2) {
        const double growth = large.convert / small.convert;
        const double bytes = static_cast<double>(large.bytes) / small.bytes;
        const double growthLimit = 16 * bytes / 15.5;
        std::printf("  target: time grows %.1f x for %.1f x the bytes (at most %.1f x): %s\n",
                    growth, bytes, growthLimit, verdict(growth <= growthLimit));
    }
    std::printf("  target: peak resident memory %.1f MiB (under 32): %s\n", peak / 1024.0,
                verdict(peak < 32 * 1024));
}

// The largest sample of the benchmark's shape that converts, by bisection on
// the target size between `lo` (converts) and 16 MiB.
void FindLimit(const std::string& self, const std::string& dir, int format) {
    Platform& p = Platform::Default();
    const std::string source = dir + "/limit-source.qdx";
    const std::string target = dir + "/limit-target.qdx";
    double lo = 8, hi = 16;
    std::uint64_t best = 0;
    std::string failure;
    for (int step = 0; step < 9; ++step) {
        const double mid = (lo + hi) / 2;
        SampleSummary s;
        if (!BuildShaped(format, mid, source, &s)) {
            hi = mid;
            failure = "cannot build";
            continue;
        }
        p.RemoveFile(target.c_str());
        ChildResult r;
        if (format == 5) {
            r = Spawn(self, 4, target, source);
        } else {
            p.CopyFileTo(source.c_str(), target.c_str());
            r = Spawn(self, 3, target, "");
        }
        if (r.status == 0) {
            lo = mid;
            best = std::max(best, s.fileBytes);
        } else {
            hi = mid;
            failure = "code " + std::to_string(r.status) + " at " + std::to_string(s.fileBytes) +
                      " bytes";
        }
    }
    std::printf(
        "format %d to %d: largest converted sample %llu bytes (%.2f MiB); "
        "first failure above it: %s\n",
        format, format - 1, static_cast<unsigned long long>(best), best / 1048576.0,
        failure.empty() ? "none up to 16 MiB" : failure.c_str());
    p.RemoveFile(source.c_str());
    p.RemoveFile(target.c_str());
}

// ---- The list-heavy sweep: files whose lists are nearly all of their data ----

SampleOptions ListHeavyShape(int format) {
    SampleOptions o;
    o.format = format;
    o.seed = 31;
    o.lists = 8;
    o.items = 400;
    o.depth = 2;
    return o;
}

// Whether the converted file ends compacted: every block it refers to lies
// below FileBlocks, nothing is listed twice, and FileBlocks is at most 1 %
// plus 8 blocks plus its map and directory blocks above the blocks it uses.
bool EndsCompacted(Platform& p, const std::string& path, std::string* text) {
    DataFile file(p);
    bool created = false;
    if (file.Open(path.c_str(), &created, OpenReadOnly) != 0 || file.BeginAccess(false) != 0) {
        *text = "cannot open";
        return false;
    }
    const IntegrityReport report = CheckIntegrity(file);
    // The map and directory blocks: the directory's, and one per index block.
    std::uint32_t maps = 0;
    for (std::uint16_t t = 0; t < kTableCount; ++t) {
        std::uint8_t d[kDescriptorSize];
        if (file.ReadTableDescriptor(t, d) != 0 || d[descriptor::kTableType] == 0) continue;
        if (t == kDirectoryTable) {
            maps += Load16(d + descriptor::kBlockCount);
        } else if (d[descriptor::kIndirect] != 0) {
            for (std::size_t slot = 0; slot < kDirectSlots; ++slot) {
                if ((Load16(d + descriptor::kSlots + 2 * slot) & kBlockNumberMask) != 0) ++maps;
            }
        }
    }
    file.EndAccess(0);
    file.Close();
    const std::uint32_t used = report.usedBlocks;
    const std::uint32_t allowed = used + used / 100 + 8 + maps;
    char line[160];
    std::snprintf(line, sizeof line, "FileBlocks %u, used %u, allowed %u%s", report.fileBlocks,
                  used, allowed, report.ok() ? "" : ", integrity findings");
    *text = line;
    bool findings = false;
    for (const IntegrityProblem& problem : report.problems) {
        if (problem.kind != IntegrityProblemKind::kLeaked) findings = true;
    }
    return !findings && report.fileBlocks <= allowed;
}

struct ListHeavyMeasure {
    double mib = 0;
    std::uint64_t bytes = 0, resultBytes = 0;
    double convert = 1e9, copy = 1e9;
    long rssKib = 0;
    bool ok = false, compacted = false;
    const char* route = "";
    std::string note, compaction, phases;
};

// One list-heavy file converted as the converter does it: the route chosen
// from the file, then in place or from the file into a new one.
ListHeavyMeasure MeasureListHeavy(const std::string& self, const std::string& dir, int format,
                                  double mib, int runs) {
    Platform& p = Platform::Default();
    ListHeavyMeasure m;
    m.mib = mib;
    const std::string source = dir + "/heavy-source.qdx";
    const std::string target = dir + "/heavy-target.qdx";
    const std::string copy = dir + "/heavy-copy.qdx";
    p.RemoveFile(source.c_str());
    SampleSummary summary;
    {
        SampleOptions o = ListHeavyShape(format);
        SampleClockPlatform clock(p, o.seed);
        const ResultCode built = BuildListHeavySample(
            clock, o, static_cast<std::uint64_t>(mib * 1048576.0), source.c_str(), &summary);
        if (built != 0) {
            m.note = "building the sample failed with " + std::to_string(built);
            return m;
        }
    }
    m.bytes = summary.fileBytes;
    ConversionRoute route = ConversionRoute::kInPlace;
    if (ChooseConversionRoute(p, source.c_str(), static_cast<std::uint16_t>(format), &route) != 0) {
        m.note = "the route cannot be chosen";
        return m;
    }
    const bool inPlace = route == ConversionRoute::kInPlace;
    m.route = inPlace ? "in place" : "new file";
    for (int run = 0; run < runs; ++run) {
        m.copy = std::min(m.copy, CopyWithFlush(p, source, copy));
        p.RemoveFile(target.c_str());
        ChildResult r;
        if (inPlace) {
            p.CopyFileTo(source.c_str(), target.c_str());
            r = Spawn(self, format - 1, target, "");
        } else {
            r = Spawn(self, format - 1, target, source);
        }
        if (r.status != 0) {
            m.note =
                std::string("conversion (") + m.route + ") failed with " + std::to_string(r.status);
            return m;
        }
        m.convert = std::min(m.convert, r.seconds);
        m.rssKib = std::max(m.rssKib, r.maxRssKib);
    }
    SampleSummary expected;
    std::string problem;
    if (!ProjectSample(summary.options, format - 1, &expected, &problem, format) ||
        VerifySample(p, target.c_str(), expected, &problem) != 0) {
        m.note = "converted file differs: " + problem;
        return m;
    }
    std::error_code ec;
    m.resultBytes = std::filesystem::file_size(target, ec);
    m.compacted = EndsCompacted(p, target, &m.compaction);
    m.ok = true;
    // Where the time goes: the transactions timed one by one.
    p.RemoveFile(target.c_str());
    if (inPlace) p.CopyFileTo(source.c_str(), target.c_str());
    Spawn(self, format - 1, target, inPlace ? "" : source, &m.phases);
    p.RemoveFile(copy.c_str());
    p.RemoveFile(target.c_str());
    p.RemoveFile(source.c_str());
    return m;
}

int ListHeavySweep(const std::string& self, const std::string& dir, int runs,
                   const std::vector<double>& sizes) {
    int failures = 0;
    for (int format : {5, 4}) {
        std::printf("\nlist-heavy, format %d to %d, best of %d\n", format, format - 1, runs);
        std::printf("%8s %10s %9s %11s %9s %7s %10s %9s %10s  %s\n", "MiB", "bytes", "route",
                    "convert ms", "copy ms", "ratio", "result", "peak MiB", "compacted", "blocks");
        std::vector<ListHeavyMeasure> all;
        for (double mib : sizes) {
            const ListHeavyMeasure m = MeasureListHeavy(self, dir, format, mib, runs);
            if (!m.ok) {
                std::printf("%8.2f  %s\n", mib, m.note.c_str());
                ++failures;
                continue;
            }
            std::printf("%8.2f %10llu %9s %11.1f %9.1f %7.2f %10llu %9.1f %10s  %s\n", mib,
                        static_cast<unsigned long long>(m.bytes), m.route, m.convert * 1000,
                        m.copy * 1000, m.convert / m.copy,
                        static_cast<unsigned long long>(m.resultBytes), m.rssKib / 1024.0,
                        m.compacted ? "yes" : "NO", m.compaction.c_str());
            std::printf("%s", m.phases.c_str());
            if (!m.compacted) ++failures;
            all.push_back(m);
        }
        PrintTargets(format, all);
    }
    return failures;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 &&
        (std::strcmp(argv[1], "--child") == 0 || std::strcmp(argv[1], "--phases") == 0))
        return RunChild(argc, argv);

    std::string dir = std::filesystem::temp_directory_path().string();
    int runs = 3;
    bool limit = false;
    bool listHeavy = false;
    bool sizesGiven = false;
    std::vector<double> sizes = {1, 4, 12, 15.5};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--dir" && i + 1 < argc) {
            dir = argv[++i];
        } else if (a == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--limit") {
            limit = true;
        } else if (a == "--list-heavy") {
            listHeavy = true;
        } else if (a == "--sizes" && i + 1 < argc) {
            sizes.clear();
            sizesGiven = true;
            std::string list = argv[++i];
            for (std::size_t at = 0; at < list.size();) {
                std::size_t comma = list.find(',', at);
                if (comma == std::string::npos) comma = list.size();
                sizes.push_back(std::atof(list.substr(at, comma - at).c_str()));
                at = comma + 1;
            }
        } else {
            std::fprintf(stderr,
                         "usage: quillet-bench [--dir FOLDER] [--runs N] [--sizes 1,4,12,15.5] "
                         "[--limit] [--list-heavy]\n");
            return 2;
        }
    }
    std::error_code ec;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    if (ec) return 3;

    if (listHeavy) {
        if (!sizesGiven) sizes = {1, 2, 4, 8, 12, 15.5};
        return ListHeavySweep(self, dir, runs, sizes) == 0 ? 0 : 1;
    }

    int failures = 0;
    for (int format : {5, 4}) {
        std::printf("\nformat %d to %d (%s), best of %d\n", format, format - 1,
                    format == 5 ? "into a new file" : "in place", runs);
        std::printf("%10s %12s %12s %12s %8s %12s\n", "MiB", "bytes", "convert ms", "copy ms",
                    "ratio", "peak RSS MiB");
        std::vector<Measure> all;
        for (double mib : sizes) {
            Measure m = MeasureOne(self, dir, format, mib, runs);
            if (!m.ok) {
                std::printf("%10.2f  %s\n", mib, m.note.c_str());
                ++failures;
                continue;
            }
            std::printf("%10.2f %12llu %12.1f %12.1f %8.2f %12.1f\n", mib,
                        static_cast<unsigned long long>(m.bytes), m.convert * 1000, m.copy * 1000,
                        m.convert / m.copy, m.rssKib / 1024.0);
            std::printf("%s", m.phases.c_str());
            all.push_back(m);
        }
        PrintTargets(format, all);
    }
    if (limit) {
        std::printf("\n");
        FindLimit(self, dir, 5);
        FindLimit(self, dir, 4);
    }
    return failures == 0 ? 0 : 1;
}
