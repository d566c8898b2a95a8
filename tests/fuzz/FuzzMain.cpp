// The libFuzzer entry point of one harness; QUILLET_FUZZ_TARGET names its body
// (declared in the generated FuzzTargetList.h, see tests/fuzz/Harnesses.cmake). A broken property
// aborts, so libFuzzer keeps the input as a crash.

#include <cstdio>
#include <cstdlib>

#include "FuzzTargetList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem = quillet::testing::QUILLET_FUZZ_TARGET(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "broken property: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
