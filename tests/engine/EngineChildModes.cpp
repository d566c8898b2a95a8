// What the engine test program does when started as a child process: one
// scenario per mode on a data file, reporting on standard output and taking
// orders from standard input, one line at a time.

#include <iostream>
#include <memory>
#include <string>

#include "container/DataFile.h"
#include "platform/LittleEndian.h"
#include "tests/platform/ChildProcess.h"

namespace quillet::testing {

namespace {

void Say(const std::string& line) {
    std::cout << line << std::endl;
}

}  // namespace

int RunChildMode(int argc, char** argv) {
    if (argc < 1) return 2;
    const std::string mode = argv[0];
    (void)argv;
    Say("unknown mode " + mode);
    return 2;
}

}  // namespace quillet::testing
