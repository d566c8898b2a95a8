// The entry point of quillet-check, on every platform a console program.

#include <cstdio>

#include "check/CheckCommand.h"

namespace {

class StandardStreams final : public quillet::CheckOutput {
  public:
    void Out(const std::string& text) override {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
    void Err(const std::string& text) override {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
};

}  // namespace

int main(int argc, char** argv) {
    StandardStreams streams;
    return quillet::RunCheck(quillet::Platform::Default(), argc > 0 ? argc - 1 : 0,
                             argc > 0 ? argv + 1 : argv, streams);
}
