#pragma once
// The in-memory machine every file harness runs on: a PowerLossPlatform in
// write-through mode (files in memory, no power-loss bookkeeping) over a host
// whose named mutexes and shared blocks live in this process only. Nothing a
// run does reaches the file system, and parallel runs never meet. New
// harnesses take their input from here too (see FuzzTargets.h).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/PowerLossPlatform.h"
#include "platform/WrappingPlatform.h"

namespace quillet::testing {

// A recursive mutex of one thread: every wait succeeds, a release without a
// wait fails as ReleaseMutex does.
class LocalMutex : public NamedMutex {
  public:
    WaitResult Wait(std::uint32_t) override {
        ++depth_;
        return WaitResult::kAcquired;
    }
    Win32Error Release() override {
        if (depth_ == 0) return 288;  // ERROR_NOT_OWNER
        --depth_;
        return win32::kSuccess;
    }

  private:
    int depth_ = 0;
};

// A shared block nobody else sees: zeros when opened.
class LocalBlock : public SharedBlock {
  public:
    std::uint8_t* Data() override { return bytes_; }

  private:
    std::uint8_t bytes_[kSize] = {};
};

// The system's own memory, text and time calls; mutexes, shared blocks and
// sleeps local to the run.
class FuzzHost : public WrappingPlatform {
  public:
    FuzzHost() : WrappingPlatform(Platform::Default()) {}
    Win32Error OpenNamedMutex(const char*, std::unique_ptr<NamedMutex>* mutex) override {
        *mutex = std::make_unique<LocalMutex>();
        return win32::kSuccess;
    }
    Win32Error OpenSharedBlock(const char*, bool* existed,
                               std::unique_ptr<SharedBlock>* block) override {
        *existed = false;
        *block = std::make_unique<LocalBlock>();
        return win32::kSuccess;
    }
    void SleepMs(std::uint32_t) override {}
};

// An in-memory disk holding the input as `input` ("/fuzz/input.qdx"); other
// files may be created in "/fuzz".
struct FuzzDisk {
    FuzzHost host;
    PowerLossPlatform disk{host, "/fuzz"};
    const std::string input = "/fuzz/input.qdx";
    FuzzDisk(const std::uint8_t* data, std::size_t size) {
        disk.SetWriteThrough(true);
        disk.PutFile(input, std::vector<std::uint8_t>(data, data + size));
    }
};

}  // namespace quillet::testing
