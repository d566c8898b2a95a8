// Counting and failing chosen calls.

#include "tests/support/FaultPlatform.h"

#include <limits>

namespace quillet::testing {

namespace {

class FaultFile final : public WrappingFile {
  public:
    FaultFile(std::unique_ptr<File> inner, FaultPlatform& faults)
        : WrappingFile(std::move(inner)), faults_(faults) {}

    Win32Error Seek(std::uint64_t offset, std::uint64_t* reached) override {
        const auto decision = faults_.NextCall(FaultKind::kSeek);
        if (decision.fail) return decision.error;
        return inner().Seek(offset, reached);
    }
    Win32Error Read(void* buffer, std::uint32_t count, std::uint32_t* got) override {
        const auto decision = faults_.NextCall(FaultKind::kRead);
        if (decision.fail) {
            *got = 0;
            return decision.error;
        }
        return inner().Read(buffer, count, got);
    }
    Win32Error Write(const void* buffer, std::uint32_t count, std::uint32_t* written) override {
        const auto decision = faults_.NextCall(FaultKind::kWrite);
        if (!decision.fail) return inner().Write(buffer, count, written);
        *written = 0;
        if (decision.shortWrite) {
            std::uint32_t half = 0;
            inner().Write(buffer, count / 2, &half);
            *written = half;
        }
        return decision.error;
    }
    // Positioned calls count and fail as reads and writes do. Where the inner
    // file has none (a zero-byte call answers kNotSupported), nothing counts:
    // the caller's seek and read or write that follow count instead.
    Win32Error ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count,
                      std::uint32_t* got) override {
        if (inner().ReadAt(offset, buffer, 0, got) == win32::kNotSupported) {
            return win32::kNotSupported;
        }
        const auto decision = faults_.NextCall(FaultKind::kRead);
        if (decision.fail) {
            *got = 0;
            return decision.error;
        }
        return inner().ReadAt(offset, buffer, count, got);
    }
    Win32Error WriteAt(std::uint64_t offset, const void* buffer, std::uint32_t count,
                       std::uint32_t* written) override {
        if (inner().WriteAt(offset, buffer, 0, written) == win32::kNotSupported) {
            return win32::kNotSupported;
        }
        const auto decision = faults_.NextCall(FaultKind::kWrite);
        if (!decision.fail) return inner().WriteAt(offset, buffer, count, written);
        *written = 0;
        if (decision.shortWrite) {
            std::uint32_t half = 0;
            inner().WriteAt(offset, buffer, count / 2, &half);
            *written = half;
        }
        return decision.error;
    }
    Win32Error SetEndOfFile() override {
        const auto decision = faults_.NextCall(FaultKind::kSetEndOfFile);
        return decision.fail ? decision.error : inner().SetEndOfFile();
    }
    Win32Error Flush() override {
        const auto decision = faults_.NextCall(FaultKind::kFlush);
        return decision.fail ? decision.error : inner().Flush();
    }
    Win32Error SetLastWriteTime(const FileTime& time) override {
        const auto decision = faults_.NextCall(FaultKind::kSetFileTime);
        return decision.fail ? decision.error : inner().SetLastWriteTime(time);
    }
    Win32Error LockRange(std::uint64_t offset, std::uint64_t length) override {
        const auto decision = faults_.NextCall(FaultKind::kLockRange);
        return decision.fail ? decision.error : inner().LockRange(offset, length);
    }

  private:
    FaultPlatform& faults_;
};

class FaultMutex final : public WrappingMutex {
  public:
    FaultMutex(std::unique_ptr<NamedMutex> inner, FaultPlatform& faults)
        : WrappingMutex(std::move(inner)), faults_(faults) {}

    WaitResult Wait(std::uint32_t timeoutMs) override {
        const auto decision = faults_.NextCall(FaultKind::kMutexWait);
        if (decision.fail) {
            return decision.error == win32::kWaitTimeout ? WaitResult::kTimeout
                                                         : WaitResult::kFailed;
        }
        return inner().Wait(timeoutMs);
    }

  private:
    FaultPlatform& faults_;
};

}  // namespace

void FaultPlatform::FailCall(FaultKind kind, std::uint64_t nth, Win32Error error) {
    std::lock_guard<std::mutex> lock(lock_);
    faults_.push_back({kind, nth, nth, error, false});
}

void FaultPlatform::FailFrom(FaultKind kind, std::uint64_t nth, Win32Error error) {
    std::lock_guard<std::mutex> lock(lock_);
    faults_.push_back({kind, nth, std::numeric_limits<std::uint64_t>::max(), error, false});
}

void FaultPlatform::ShortWriteAt(std::uint64_t nth, Win32Error error) {
    std::lock_guard<std::mutex> lock(lock_);
    faults_.push_back({FaultKind::kWrite, nth, nth, error, true});
}

void FaultPlatform::ClearFaults() {
    std::lock_guard<std::mutex> lock(lock_);
    faults_.clear();
}

std::uint64_t FaultPlatform::Count(FaultKind kind) const {
    std::lock_guard<std::mutex> lock(lock_);
    return counts_[static_cast<std::size_t>(kind)];
}

void FaultPlatform::ResetCounts() {
    std::lock_guard<std::mutex> lock(lock_);
    counts_.fill(0);
}

std::uint64_t FaultPlatform::InjectedFailures() const {
    std::lock_guard<std::mutex> lock(lock_);
    return injected_;
}

FaultPlatform::Decision FaultPlatform::NextCall(FaultKind kind) {
    std::lock_guard<std::mutex> lock(lock_);
    const std::uint64_t number = ++counts_[static_cast<std::size_t>(kind)];
    Decision decision;
    for (const Fault& fault : faults_) {
        if (fault.kind == kind && number >= fault.first && number <= fault.last) {
            decision.fail = true;
            decision.shortWrite = fault.shortWrite;
            decision.error = fault.error;
            ++injected_;
            break;
        }
    }
    return decision;
}

Win32Error FaultPlatform::OpenFile(const char* path, FileAccess access, FileShare share,
                                   FileDisposition disposition, std::unique_ptr<File>* file) {
    const auto decision = NextCall(FaultKind::kOpen);
    if (decision.fail) return decision.error;
    return WrappingPlatform::OpenFile(path, access, share, disposition, file);
}

Win32Error FaultPlatform::CopyFileTo(const char* source, const char* destination) {
    const auto decision = NextCall(FaultKind::kCopy);
    return decision.fail ? decision.error : WrappingPlatform::CopyFileTo(source, destination);
}

Win32Error FaultPlatform::MoveFileTo(const char* from, const char* to) {
    const auto decision = NextCall(FaultKind::kMove);
    return decision.fail ? decision.error : WrappingPlatform::MoveFileTo(from, to);
}

Win32Error FaultPlatform::RemoveFile(const char* path) {
    const auto decision = NextCall(FaultKind::kDelete);
    return decision.fail ? decision.error : WrappingPlatform::RemoveFile(path);
}

Win32Error FaultPlatform::MakeTempFile(const char* folder, const char* prefix, char* out) {
    const auto decision = NextCall(FaultKind::kTempName);
    return decision.fail ? decision.error : WrappingPlatform::MakeTempFile(folder, prefix, out);
}

std::unique_ptr<File> FaultPlatform::WrapFile(std::unique_ptr<File> file) {
    return std::make_unique<FaultFile>(std::move(file), *this);
}

std::unique_ptr<NamedMutex> FaultPlatform::WrapMutex(std::unique_ptr<NamedMutex> mutex) {
    return std::make_unique<FaultMutex>(std::move(mutex), *this);
}

}  // namespace quillet::testing
