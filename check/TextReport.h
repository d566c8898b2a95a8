#pragma once
// The plain-words form of a file report, as quillet-check prints it.

#include <string>

#include "check/FileReport.h"

namespace quillet {

// Several lines, each ending in a newline. `platform` converts list names to
// the system's code page.
std::string ReportToText(Platform& platform, const FileReport& report);

}  // namespace quillet
