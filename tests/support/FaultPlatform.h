#pragma once
// FaultPlatform: a WrappingPlatform that makes chosen calls fail, and counts
// the calls of every kind so that a test can learn how many a run made (and
// then fail each of them in turn).
//
// Calls are counted per kind from 1, over the life of the object or since the
// last ResetCounts; a failing call counts too. A failed call does not reach
// the inner platform, so it changes nothing (no bytes read or written, the file
// position stays), except a short write, which writes the first half of its
// bytes through the inner file and then reports the failure with that count.
// A failed mutex wait reports WaitResult::kTimeout when the error given is
// win32::kWaitTimeout and WaitResult::kFailed otherwise.
//
// Files and mutexes opened through a FaultPlatform refer to it: it must
// outlive them. It may be used from several threads.

#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/WrappingPlatform.h"

namespace quillet::testing {

enum class FaultKind {
    kOpen,
    kRead,
    kWrite,
    kSeek,
    kFlush,
    kSetEndOfFile,
    kSetFileTime,
    kLockRange,
    kCopy,
    kMove,
    kDelete,
    kTempName,
    kMutexWait,
};
constexpr std::size_t kFaultKindCount = 13;

class FaultPlatform : public WrappingPlatform {
  public:
    explicit FaultPlatform(Platform& inner) : WrappingPlatform(inner) {}

    // The nth call of `kind` (from 1) fails with `error`.
    void FailCall(FaultKind kind, std::uint64_t nth, Win32Error error);
    // Every call of `kind` from the nth on fails with `error`.
    void FailFrom(FaultKind kind, std::uint64_t nth, Win32Error error);
    // The nth write writes half its bytes (rounded down) and fails with `error`.
    void ShortWriteAt(std::uint64_t nth, Win32Error error);
    // Removes every armed fault; the counts stay.
    void ClearFaults();

    std::uint64_t Count(FaultKind kind) const;
    void ResetCounts();
    // How many calls failed because of an armed fault.
    std::uint64_t InjectedFailures() const;

    Win32Error OpenFile(const char* path, FileAccess access, FileShare share,
                        FileDisposition disposition, std::unique_ptr<File>* file) override;
    Win32Error CopyFileTo(const char* source, const char* destination) override;
    Win32Error MoveFileTo(const char* from, const char* to) override;
    Win32Error RemoveFile(const char* path) override;
    Win32Error MakeTempFile(const char* folder, const char* prefix, char* out) override;

    // What the next call of `kind` has to do; counts the call.
    struct Decision {
        bool fail = false;
        bool shortWrite = false;
        Win32Error error = win32::kSuccess;
    };
    Decision NextCall(FaultKind kind);

  protected:
    std::unique_ptr<File> WrapFile(std::unique_ptr<File> file) override;
    std::unique_ptr<NamedMutex> WrapMutex(std::unique_ptr<NamedMutex> mutex) override;

  private:
    struct Fault {
        FaultKind kind;
        std::uint64_t first;
        std::uint64_t last;  // inclusive
        Win32Error error;
        bool shortWrite;
    };
    mutable std::mutex lock_;
    std::array<std::uint64_t, kFaultKindCount> counts_{};
    std::vector<Fault> faults_;
    std::uint64_t injected_ = 0;
};

}  // namespace quillet::testing
