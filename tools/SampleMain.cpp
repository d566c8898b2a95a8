// quillet-sample: writes sample data files of formats 3, 4 and 5, or checks one.
//
//   quillet-sample --format 5 --seed 1 --lists 8 --items 200 --depth 3 --out demo/List.qdx
//   quillet-sample --format 5 --target-mib 12 --out big.qdx
//   quillet-sample --check demo/List.qdx

#include <cstdio>
#include <string>

#include "tools/SampleBuilder.h"

namespace {

constexpr const char* kUsage =
    "usage: quillet-sample [--format 3|4|5] [--seed N] [--lists N] [--items N] [--depth N]\n"
    "                      [--folders N] [--columns N] [--archive-kib N] [--target-mib N]\n"
    "                      [--no-gap] [--force] [--quiet] --out PATH\n"
    "       quillet-sample --check PATH\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace quillet;
    SampleCommand command;
    std::string message;
    if (!ParseSampleCommand(argc - 1, argv + 1, &command, &message)) {
        std::fprintf(stderr, "quillet-sample: %s\n%s", message.c_str(), kUsage);
        return 2;
    }
    Platform& system = Platform::Default();
    if (!command.check.empty()) {
        std::string report;
        const ResultCode rc = CheckSampleFile(system, command.check.c_str(), &report);
        std::fputs(report.c_str(), stdout);
        std::printf("%s: %s (code %d)\n", command.check.c_str(), rc == 0 ? "sound" : "NOT sound",
                    static_cast<int>(rc));
        return rc == 0 ? 0 : 1;
    }
    std::uint32_t attributes = 0;
    if (system.GetPathAttributes(command.out.c_str(), &attributes) == win32::kSuccess) {
        if (!command.force) {
            std::fprintf(stderr, "quillet-sample: %s exists (use --force to replace it)\n",
                         command.out.c_str());
            return 1;
        }
        system.RemoveFile(command.out.c_str());
    }
    SampleClockPlatform platform(system, command.options.seed);
    SampleSummary summary;
    const ResultCode rc =
        command.targetMib > 0
            ? BuildSampleOfSize(platform, command.options,
                                static_cast<std::uint64_t>(command.targetMib * 1048576.0),
                                command.out.c_str(), &summary)
            : BuildSample(platform, command.options, command.out.c_str(), &summary);
    if (rc != 0) {
        std::fprintf(stderr, "quillet-sample: building %s failed with code %d\n",
                     command.out.c_str(), static_cast<int>(rc));
        return 1;
    }
    if (!command.quiet) {
        int folders = 0;
        for (const auto& e : summary.entries) folders += e.isList ? 0 : 1;
        std::printf(
            "%s: format %d, %zu lists, %d folders, %lld items, %zu archive tables, "
            "%llu bytes\n",
            command.out.c_str(), summary.format, summary.lists.size(), folders,
            static_cast<long long>(summary.totalItems), summary.archives.size(),
            static_cast<unsigned long long>(summary.fileBytes));
    }
    return 0;
}
