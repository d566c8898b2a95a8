// The engine test program: GoogleTest, or a child mode when started with
// "--child" by a test that needs a second process.

#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>

#include "tests/platform/ChildProcess.h"

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
