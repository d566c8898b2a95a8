#pragma once
// Names for mutexes and shared blocks that no other test (or test process)
// uses at the same time.

#include <unistd.h>

#include <random>
#include <string>

namespace quillet::testing {

inline std::string UniqueName(const std::string& what) {
    std::random_device random;
    return "test/" + what + "/" + std::to_string(::getpid()) + "-" + std::to_string(random()) +
           std::to_string(random());
}

}  // namespace quillet::testing
