// The quillet-check test program: GoogleTest, or a child mode when started
// with "--child" by a test that needs a second process:
//
//   hold <path>   opens the data file for reading the way a reader of the
//                 list manager does (read-only, others may read), says
//                 "open <code>", and keeps it open until the end of input.

#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <iostream>
#include <string>

#include "container/DataFile.h"
#include "tests/platform/ChildProcess.h"

namespace quillet::testing {

int RunChildMode(int argc, char** argv) {
    if (argc != 2 || std::strcmp(argv[0], "hold") != 0) return 2;
    DataFile file(Platform::Default());
    bool created = false;
    const ResultCode r = file.Open(argv[1], &created, OpenReadOnly | OpenShareRead);
    std::cout << "open " << r << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    return 0;
}

}  // namespace quillet::testing

int main(int argc, char** argv) {
#ifdef SIGPIPE
    ::signal(SIGPIPE, SIG_IGN);  // a child that died must not kill the test
#endif
    if (argc >= 2 && std::strcmp(argv[1], "--child") == 0) {
        return quillet::testing::RunChildMode(argc - 2, argv + 2);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
