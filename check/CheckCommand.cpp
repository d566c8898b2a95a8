// quillet-check's command line: options, the reports in order, progress
// lines for slow files, and the exit code.

#include "check/CheckCommand.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "check/FileReport.h"
#include "check/JsonWriter.h"
#include "check/TextReport.h"

#ifndef QUILLET_CHECK_VERSION
#define QUILLET_CHECK_VERSION "0"
#endif

namespace quillet {

const char kCheckVersionText[] = "quillet-check " QUILLET_CHECK_VERSION "\n";

namespace {

constexpr char kHelpText[] =
    "Usage: quillet-check [--json] FILE...\n"
    "Tells what is in each Quillet data file, whether it is sound, and what the\n"
    "converter would do with it. Files are only read, never changed; a file that\n"
    "another program has open for reading can be checked.\n"
    "\n"
    "  --json      print one JSON document instead of the plain report\n"
    "  --help      print this help and end\n"
    "  --version   print the version and end\n"
    "  --          every argument after this one is a file\n"
    "\n"
    "Exit code: 0 when every file is sound, 1 when a problem was found,\n"
    "2 for a usage error or a file that cannot be read.\n";

constexpr int kUsageError = 2;
constexpr std::uint32_t kProgressAfterMs = 1000;

}  // namespace

int RunCheck(Platform& platform, int argc, const char* const* argv, CheckOutput& output) {
    bool json = false;
    bool optionsEnded = false;
    std::vector<const char*> files;
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        if (!optionsEnded && arg[0] == '-' && arg[1] == '-') {
            if (std::strcmp(arg, "--") == 0) {
                optionsEnded = true;
            } else if (std::strcmp(arg, "--json") == 0) {
                json = true;
            } else if (std::strcmp(arg, "--help") == 0) {
                output.Out(kHelpText);
                return 0;
            } else if (std::strcmp(arg, "--version") == 0) {
                output.Out(kCheckVersionText);
                return 0;
            } else {
                output.Err(std::string("quillet-check: unknown option ") + arg +
                           "\nTry quillet-check --help.\n");
                return kUsageError;
            }
        } else if (arg[0] == '\0') {
            output.Err("quillet-check: an empty file name\n");
            return kUsageError;
        } else {
            files.push_back(arg);
        }
    }
    if (files.empty()) {
        output.Err("quillet-check: no file given\nUsage: quillet-check [--json] FILE...\n");
        return kUsageError;
    }

    int exitCode = 0;
    std::vector<FileReport> reports;
    for (const char* path : files) {
        // A line on standard error at most once a second, from the first
        // second on, so that a long check shows it is still going.
        const std::uint32_t start = platform.TickCount();
        std::uint32_t lastShown = start;
        bool shown = false;
        const ProgressFunction progress = [&](const char* stage) {
            const std::uint32_t now = platform.TickCount();
            if (now - start < kProgressAfterMs) return;
            if (shown && now - lastShown < kProgressAfterMs) return;
            shown = true;
            lastShown = now;
            output.Err(std::string("quillet-check: ") + path + ": " + stage + "...\n");
        };
        FileReport report = CheckFile(platform, path, progress);
        exitCode = std::max(exitCode, report.ExitCode());
        if (json) {
            reports.push_back(std::move(report));
        } else {
            if (path != files.front()) output.Out("\n");
            output.Out(ReportToText(platform, report));
        }
    }
    if (json) output.Out(ReportsToJson(platform, reports));
    return exitCode;
}

}  // namespace quillet
