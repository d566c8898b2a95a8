// Named mutexes with Win32 semantics: recursive ownership by a thread, waits
// with a timeout, and abandonment when the owner ends without releasing.
//
// Two levels of exclusion:
// - between threads of this process, a process-wide table gives every name one
//   `MutexState` (owner thread, recursion count, std::mutex + condition
//   variable); every handle of that name in this process shares it;
// - between processes, the state holds one open file description of the
//   name's lock file (LockFile.h), and the owning process holds an exclusive
//   OFD lock on byte kOwnerByte. Another process's lock is polled with a short
//   sleep, never past the timeout.
// The lock file's first 8 bytes record the pid of the owning process, written
// after taking the lock and cleared before releasing it. A new owner that
// finds a pid there knows that the previous owner (a process that died, or a
// thread of ours that ended) never released: the wait reports kAbandoned.

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/LockFile.h"
#include "platform/posix/PosixErrors.h"
#include "platform/posix/PosixPlatform.h"
#include "platform/posix/RuntimeFolder.h"

namespace quillet {

namespace {

using posix::LockFile;

constexpr off_t kOwnerByte = posix::kFirstUserByte + 1;
constexpr off_t kOwnerRecordSize = 8;
constexpr std::uint32_t kInfinite = 0xFFFFFFFF;
constexpr std::uint32_t kMaxRecursion = 0x7FFFFFFF;

struct MutexState {
    std::mutex lock;
    std::condition_variable changed;
    LockFile file;  // not open for an unnamed mutex
    std::thread::id owner;
    std::uint32_t recursion = 0;
    bool abandoned = false;  // unnamed mutexes only: an owner thread ended
};

struct MutexTable {
    std::mutex guard;
    std::map<std::string, std::weak_ptr<MutexState>> byName;
};

MutexTable& Table() {
    // Never destroyed, so threads that end after main returns still find it.
    static MutexTable* table = new MutexTable;
    return *table;
}

// The mutexes that the current thread owns, so that its end can abandon them.
struct ThreadOwnership {
    std::vector<std::pair<MutexState*, std::weak_ptr<MutexState>>> owned;
    ~ThreadOwnership();
};
thread_local ThreadOwnership tOwnership;

std::uint64_t ReadOwnerRecord(int fd) {
    unsigned char bytes[kOwnerRecordSize] = {};
    ssize_t n;
    do {
        n = ::pread(fd, bytes, sizeof bytes, 0);
    } while (n < 0 && errno == EINTR);
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
    return n == kOwnerRecordSize ? value : 0;
}

void WriteOwnerRecord(int fd, std::uint64_t value) {
    unsigned char bytes[kOwnerRecordSize];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    ssize_t n;
    do {
        n = ::pwrite(fd, bytes, sizeof bytes, 0);
    } while (n < 0 && errno == EINTR);
    // A failed write only loses the abandonment report, never the exclusion.
}

ThreadOwnership::~ThreadOwnership() {
    const auto me = std::this_thread::get_id();
    for (auto& entry : owned) {
        const std::shared_ptr<MutexState> state = entry.second.lock();
        if (!state) continue;
        std::lock_guard<std::mutex> lock(state->lock);
        if (state->owner != me) continue;
        state->owner = std::thread::id();
        state->recursion = 0;
        if (state->file.IsOpen()) {
            // The owner record stays: the next owner learns of the abandonment.
            state->file.Unlock(kOwnerByte, 1);
        } else {
            state->abandoned = true;
        }
        state->changed.notify_all();
    }
}

class PosixNamedMutex final : public NamedMutex {
  public:
    explicit PosixNamedMutex(std::shared_ptr<MutexState> state) : state_(std::move(state)) {}

    WaitResult Wait(std::uint32_t timeoutMs) override {
        MutexState& s = *state_;
        const auto me = std::this_thread::get_id();
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        std::unique_lock<std::mutex> lock(s.lock);
        if (s.owner == me) {
            if (s.recursion >= kMaxRecursion) return WaitResult::kFailed;
            ++s.recursion;
            return WaitResult::kAcquired;
        }
        for (;;) {
            if (s.owner == std::thread::id()) {
                bool abandoned = false;
                bool taken = false;
                if (s.file.IsOpen()) {
                    const Win32Error error = s.file.TryLock(kOwnerByte, 1, true);
                    if (error == win32::kSuccess) {
                        abandoned = ReadOwnerRecord(s.file.Fd()) != 0;
                        WriteOwnerRecord(s.file.Fd(), static_cast<std::uint64_t>(::getpid()));
                        taken = true;
                    } else if (error != win32::kLockViolation) {
                        return WaitResult::kFailed;
                    }
                } else {
                    abandoned = s.abandoned;
                    s.abandoned = false;
                    taken = true;
                }
                if (taken) {
                    s.owner = me;
                    s.recursion = 1;
                    tOwnership.owned.emplace_back(state_.get(), state_);
                    return abandoned ? WaitResult::kAbandoned : WaitResult::kAcquired;
                }
            }
            const auto now = std::chrono::steady_clock::now();
            if (timeoutMs != kInfinite && now >= deadline) return WaitResult::kTimeout;
            // A thread of ours wakes us on release; another process's release
            // can only be seen by trying again.
            auto pause = std::chrono::steady_clock::duration(std::chrono::milliseconds(2));
            if (s.owner != std::thread::id()) pause = std::chrono::milliseconds(100);
            if (timeoutMs != kInfinite && deadline - now < pause) pause = deadline - now;
            s.changed.wait_for(lock, pause);
        }
    }

    Win32Error Release() override {
        MutexState& s = *state_;
        std::lock_guard<std::mutex> lock(s.lock);
        if (s.owner != std::this_thread::get_id()) return posix::kNotOwner;
        if (--s.recursion > 0) return win32::kSuccess;
        if (s.file.IsOpen()) {
            WriteOwnerRecord(s.file.Fd(), 0);
            s.file.Unlock(kOwnerByte, 1);
        }
        s.owner = std::thread::id();
        auto& owned = tOwnership.owned;
        for (auto it = owned.begin(); it != owned.end(); ++it) {
            if (it->first == state_.get()) {
                owned.erase(it);
                break;
            }
        }
        s.changed.notify_all();
        return win32::kSuccess;
    }

  private:
    std::shared_ptr<MutexState> state_;
};

}  // namespace

Win32Error PosixPlatform::OpenNamedMutex(const char* name, std::unique_ptr<NamedMutex>* mutex) {
    if (name == nullptr || name[0] == '\0') {
        // Unnamed: private to this process, no lock file.
        *mutex = std::make_unique<PosixNamedMutex>(std::make_shared<MutexState>());
        return win32::kSuccess;
    }
    int dirfd = -1;
    Win32Error error = posix::ProcessRuntimeFolder(&dirfd, nullptr);
    if (error != win32::kSuccess) return error;

    MutexTable& table = Table();
    std::lock_guard<std::mutex> lock(table.guard);
    for (auto it = table.byName.begin(); it != table.byName.end();) {
        it = it->second.expired() ? table.byName.erase(it) : std::next(it);
    }
    const std::string key(name);
    auto found = table.byName.find(key);
    if (found != table.byName.end()) {
        if (auto state = found->second.lock()) {
            *mutex = std::make_unique<PosixNamedMutex>(std::move(state));
            return win32::kSuccess;
        }
    }
    auto state = std::make_shared<MutexState>();
    bool existed = false;
    error = posix::OpenNamedObject(dirfd, posix::NamedObjectBaseName('m', key), key,
                                   kOwnerRecordSize, &state->file, &existed);
    if (error != win32::kSuccess) return error;
    table.byName[key] = state;
    *mutex = std::make_unique<PosixNamedMutex>(std::move(state));
    return win32::kSuccess;
}

}  // namespace quillet
