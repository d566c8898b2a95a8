#pragma once
// Names for mutexes and shared blocks that no other test (or test process)
// uses at the same time.

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include <random>
#include <string>

namespace quillet::testing {

inline long ProcessId() {
#ifdef _WIN32
    return static_cast<long>(::_getpid());
#else
    return static_cast<long>(::getpid());
#endif
}

inline std::string UniqueName(const std::string& what) {
    std::random_device random;
    return "test/" + what + "/" + std::to_string(ProcessId()) + "-" + std::to_string(random()) +
           std::to_string(random());
}

}  // namespace quillet::testing
