// libFuzzer harness over quillet-check's whole path: the bytes are a data
// file on an in-memory disk; the check reads it (header, block tree, tables,
// list index and every list), runs the compaction and the conversion on
// copies in memory, and writes its text and JSON reports. A broken property
// (the file changed, an exit code outside 0..2, JSON that does not read back)
// is returned as its account.

#include <cstdint>
#include <string>
#include <vector>

#include "check/DryRunPlatform.h"
#include "check/FileReport.h"
#include "check/JsonWriter.h"
#include "check/TextReport.h"
#include "tests/check/JsonRead.h"

namespace quillet::testing {

std::string FuzzCheck(const std::uint8_t* data, std::size_t size) {
    // The disk of this run: files, mutexes and shared blocks in memory only.
    DryRunPlatform disk(Platform::Default());
    const std::string path = "fuzz-input.qdx";
    const std::vector<std::uint8_t> input(data, data + size);
    disk.PutFile(path, input);

    std::vector<FileReport> reports;
    reports.push_back(CheckFile(disk, path.c_str(), nullptr));
    const FileReport& report = reports.back();

    const std::vector<std::uint8_t>* after = disk.FileBytes(path);
    if (!after || *after != input) return "the check changed the file";
    if (report.ExitCode() < 0 || report.ExitCode() > 2) return "exit code outside 0..2";
    if (ReportToText(disk, report).empty()) return "empty text report";
    bool ok = false;
    const JsonValue json = JsonReader(ReportsToJson(disk, reports)).Read(&ok);
    if (!ok || json["files"].items.size() != 1) return "the JSON report does not read back";
    return "";
}

}  // namespace quillet::testing
