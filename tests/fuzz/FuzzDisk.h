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

#include "platform/WrappingPlatform.h"
#include "tests/support/PowerLossPlatform.h"

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
// files may be created in "/fuzz". The disks are kept from one run to the next
// (cleared in between, see PowerLossPlatform::Clear): setting one up and
// growing its files from nothing again cost as much as a short run. A run that
// needs a second disk at the same time (the input before a change) gets
// another one.
class FuzzDisk {
  public:
    FuzzDisk(const std::uint8_t* data, std::size_t size) : machine_(Take()), disk(machine_->disk) {
        disk.PutFile(input, std::vector<std::uint8_t>(data, data + size));
    }
    ~FuzzDisk() {
        disk.Clear();
        Idle().push_back(std::move(machine_));
    }
    FuzzDisk(const FuzzDisk&) = delete;
    FuzzDisk& operator=(const FuzzDisk&) = delete;

  private:
    struct Machine {
        FuzzHost host;
        PowerLossPlatform disk{host, "/fuzz"};
        Machine() { disk.SetWriteThrough(true); }
    };
    static std::vector<std::unique_ptr<Machine>>& Idle() {
        thread_local std::vector<std::unique_ptr<Machine>> idle;
        return idle;
    }
    static std::unique_ptr<Machine> Take() {
        auto& idle = Idle();
        if (idle.empty()) return std::make_unique<Machine>();
        auto machine = std::move(idle.back());
        idle.pop_back();
        return machine;
    }

    std::unique_ptr<Machine> machine_;

  public:
    PowerLossPlatform& disk;
    const std::string input = "/fuzz/input.qdx";
};

}  // namespace quillet::testing
