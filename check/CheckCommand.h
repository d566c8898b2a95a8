#pragma once
// The command line of quillet-check, run against any Platform so that tests
// can call it: quillet-check [--json] FILE..., --help, --version.

#include <string>

#include "platform/Platform.h"

namespace quillet {

// Where the program's output goes: the report on standard output, usage
// errors and progress lines on standard error.
class CheckOutput {
  public:
    virtual ~CheckOutput() = default;
    virtual void Out(const std::string& text) = 0;
    virtual void Err(const std::string& text) = 0;
};

// Runs the program with its arguments (argv[0] excluded) and returns the exit
// code: 0 when every file is sound, 1 when a problem was found in any, 2 for a
// usage error or a file that cannot be read.
int RunCheck(Platform& platform, int argc, const char* const* argv, CheckOutput& output);

// The version line of --version.
extern const char kCheckVersionText[];

}  // namespace quillet
