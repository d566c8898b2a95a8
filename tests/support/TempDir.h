#pragma once
// A fresh, empty folder for one test, removed with everything in it when the
// object goes. Names are unique across processes, so tests may run in parallel.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace quillet::testing {

class TempDir {
  public:
    TempDir() {
        std::random_device rd;
        std::mt19937_64 gen(rd() ^
                            static_cast<unsigned long long>(
                                std::chrono::steady_clock::now().time_since_epoch().count()));
        for (int attempt = 0; attempt < 100; ++attempt) {
            auto candidate =
                std::filesystem::temp_directory_path() / ("quillet-test-" + std::to_string(gen()));
            std::error_code ec;
            if (std::filesystem::create_directory(candidate, ec)) {
                path_ = candidate;
                return;
            }
        }
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The full path of `name` inside the folder, as a string for the C APIs,
    // with the system's own separators ('/' inside `name` becomes '\\' on
    // Windows, as a full path from the system would have it).
    std::string File(const std::string& name) const {
        return (path_ / name).make_preferred().string();
    }

  private:
    std::filesystem::path path_;
};

}  // namespace quillet::testing
