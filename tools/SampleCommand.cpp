// The command line of quillet-sample.

#include <cstdlib>
#include <cstring>

#include "tools/SampleBuilder.h"

namespace quillet {

namespace {

bool ReadNumber(const char* text, double lo, double hi, double* out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (*end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

}  // namespace

bool ParseSampleCommand(int argc, const char* const* argv, SampleCommand* out,
                        std::string* message) {
    SampleCommand c;
    auto fail = [message](const std::string& m) {
        if (message) *message = m;
        return false;
    };
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--force") {
            c.force = true;
            continue;
        }
        if (a == "--quiet") {
            c.quiet = true;
            continue;
        }
        if (a == "--keep-gap") continue;
        if (a == "--no-gap") {
            c.options.tableGap = false;
            continue;
        }
        if (i + 1 >= argc) return fail("missing value after " + a);
        const char* v = argv[++i];
        double n = 0;
        auto number = [&](double lo, double hi) {
            if (!ReadNumber(v, lo, hi, &n))
                return fail(a + " wants a number from " + std::to_string(static_cast<long>(lo)) +
                            " to " + std::to_string(static_cast<long>(hi)));
            return true;
        };
        if (a == "--format") {
            if (!number(3, 5)) return false;
            c.options.format = static_cast<int>(n);
        } else if (a == "--seed") {
            if (!number(0, 4294967295.0)) return false;
            c.options.seed = static_cast<std::uint32_t>(n);
        } else if (a == "--lists") {
            if (!number(0, 150)) return false;
            c.options.lists = static_cast<int>(n);
        } else if (a == "--items") {
            if (!number(0, 20000)) return false;
            c.options.items = static_cast<int>(n);
        } else if (a == "--depth") {
            if (!number(1, 16)) return false;
            c.options.depth = static_cast<int>(n);
        } else if (a == "--folders") {
            if (!number(0, 150)) return false;
            c.options.folders = static_cast<int>(n);
        } else if (a == "--columns") {
            if (!number(1, 40)) return false;
            c.options.columns = static_cast<int>(n);
        } else if (a == "--archive-kib") {
            if (!number(0, 16384)) return false;
            c.options.archiveBytes = static_cast<std::int64_t>(n * 1024);
        } else if (a == "--target-mib") {
            if (!number(0.01, 16)) return false;
            c.targetMib = n;
        } else if (a == "--out") {
            c.out = v;
        } else if (a == "--check") {
            c.check = v;
        } else {
            return fail("unknown argument " + a);
        }
    }
    if (c.out.empty() && c.check.empty()) return fail("give --out PATH or --check PATH");
    if (!c.out.empty() && !c.check.empty()) return fail("--out and --check exclude each other");
    *out = c;
    return true;
}

}  // namespace quillet
