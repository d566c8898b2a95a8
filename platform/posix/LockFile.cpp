// Lock files with a gate, and the lock files of named objects.

#include "platform/posix/LockFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "platform/posix/PosixErrors.h"

namespace quillet::posix {

namespace {

struct flock MakeLock(short type, off_t start, off_t length) {
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = length;
    lock.l_pid = 0;  // required for OFD locks
    return lock;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

LockFile::LockFile(LockFile&& other) noexcept
    : dirfd_(other.dirfd_),
      name_(std::move(other.name_)),
      fd_(std::exchange(other.fd_, -1)),
      gateHeld_(std::exchange(other.gateHeld_, false)) {}

LockFile& LockFile::operator=(LockFile&& other) noexcept {
    if (this != &other) {
        Close();
        dirfd_ = other.dirfd_;
        name_ = std::move(other.name_);
        fd_ = std::exchange(other.fd_, -1);
        gateHeld_ = std::exchange(other.gateHeld_, false);
    }
    return *this;
}

Win32Error LockFile::OpenGated(int dirfd, const std::string& name, bool create, LockFile* out) {
    // A few rounds at most: each retry means a last user removed the file
    // between our open and our gate.
    for (int round = 0; round < 100; ++round) {
        const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0);
        const int fd = ::openat(dirfd, name.c_str(), flags, 0600);
        if (fd < 0) {
            if (errno == EINTR) continue;
            return Win32FromErrno(errno);
        }
        LockFile file;
        file.dirfd_ = dirfd;
        file.name_ = name;
        file.fd_ = fd;
        const Win32Error gate = file.TakeGate();
        if (gate != win32::kSuccess) {
            file.fd_ = -1;
            ::close(fd);
            return gate;
        }
        struct stat opened;
        struct stat linked;
        if (::fstat(fd, &opened) != 0) {
            const int error = errno;
            file.ReleaseGate();
            file.fd_ = -1;
            ::close(fd);
            return Win32FromErrno(error);
        }
        const bool stillLinked =
            ::fstatat(dirfd, name.c_str(), &linked, AT_SYMLINK_NOFOLLOW) == 0 &&
            SameFile(opened, linked);
        if (!stillLinked) {
            file.ReleaseGate();
            file.fd_ = -1;
            ::close(fd);
            if (!create) return win32::kFileNotFound;
            continue;
        }
        if (!S_ISREG(opened.st_mode)) {
            file.ReleaseGate();
            file.fd_ = -1;
            ::close(fd);
            return win32::kAccessDenied;
        }
        *out = std::move(file);
        return win32::kSuccess;
    }
    return win32::kGenFailure;
}

Win32Error LockFile::TakeGate() {
    if (gateHeld_) return win32::kSuccess;
    // The gate is held only for a few system calls, so it is normally free at
    // once. A holder that is stopped (not dead: death frees it) must not hang
    // us for ever, hence the bound.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto pause = std::chrono::microseconds(100);
    for (;;) {
        const Win32Error error = TryLock(kGateByte, 1, true);
        if (error == win32::kSuccess) {
            gateHeld_ = true;
            return win32::kSuccess;
        }
        if (error != win32::kLockViolation) return error;
        if (std::chrono::steady_clock::now() >= deadline) return win32::kSharingViolation;
        std::this_thread::sleep_for(pause);
        if (pause < std::chrono::milliseconds(5)) pause *= 2;
    }
}

void LockFile::ReleaseGate() {
    if (!gateHeld_) return;
    Unlock(kGateByte, 1);
    gateHeld_ = false;
}

Win32Error LockFile::TryLock(off_t start, off_t length, bool exclusive) {
    struct flock lock = MakeLock(exclusive ? F_WRLCK : F_RDLCK, start, length);
    for (;;) {
        if (::fcntl(fd_, F_OFD_SETLK, &lock) == 0) return win32::kSuccess;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EACCES) return win32::kLockViolation;
        return Win32FromErrno(errno);
    }
}

void LockFile::Unlock(off_t start, off_t length) {
    struct flock lock = MakeLock(F_UNLCK, start, length);
    while (::fcntl(fd_, F_OFD_SETLK, &lock) != 0 && errno == EINTR) {
    }
}

bool LockFile::OthersHold(off_t start, off_t length, bool exclusive) const {
    struct flock lock = MakeLock(exclusive ? F_WRLCK : F_RDLCK, start, length);
    for (;;) {
        if (::fcntl(fd_, F_OFD_GETLK, &lock) == 0) return lock.l_type != F_UNLCK;
        if (errno != EINTR) return true;  // cannot tell: assume the worst
    }
}

void LockFile::Close() {
    if (fd_ < 0) return;
    if (TakeGate() == win32::kSuccess) {
        // Exclusive over every user byte: granted only when no other
        // description holds any user lock, i.e. we are the last user.
        if (TryLock(kFirstUserByte, 0, true) == win32::kSuccess) {
            ::unlinkat(dirfd_, name_.c_str(), 0);
        }
    }
    ::close(fd_);  // drops every lock of this description, the gate included
    fd_ = -1;
    gateHeld_ = false;
}

std::string NamedObjectBaseName(char kind, const std::string& name) {
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a, 64 bits
    for (const unsigned char c : name) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    static const char kHex[] = "0123456789abcdef";
    std::string result(1, kind);
    result += '-';
    for (int shift = 60; shift >= 0; shift -= 4) result += kHex[(hash >> shift) & 0xF];
    result += '-';
    for (std::size_t i = 0; i < name.size() && i < 32; ++i) {
        const char c = name[i];
        const bool plain =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        result += plain ? c : '_';
    }
    return result;
}

namespace {

Win32Error WriteAll(int fd, const void* data, std::size_t size, off_t offset) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, p, size, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Win32FromErrno(errno);
        }
        p += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return win32::kSuccess;
}

// Whether the file holds exactly `dataSize` bytes and then `name`.
bool StoresName(int fd, off_t dataSize, const std::string& name) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    if (st.st_size != dataSize + static_cast<off_t>(name.size())) return false;
    std::vector<char> stored(name.size());
    std::size_t got = 0;
    while (got < stored.size()) {
        const ssize_t n = ::pread(fd, stored.data() + got, stored.size() - got,
                                  dataSize + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return std::memcmp(stored.data(), name.data(), name.size()) == 0;
}

}  // namespace

Win32Error OpenNamedObject(int dirfd, const std::string& baseName, const std::string& name,
                           off_t dataSize, LockFile* out, bool* existed) {
    for (int slot = 0; slot < 256; ++slot) {
        LockFile file;
        const std::string fileName = baseName + "-" + std::to_string(slot);
        Win32Error error = LockFile::OpenGated(dirfd, fileName, true, &file);
        if (error != win32::kSuccess) return error;
        bool joined = false;
        if (file.HasOtherUsers()) {
            if (!StoresName(file.Fd(), dataSize, name)) continue;  // another name's slot
            joined = true;
        } else {
            // New, or left behind by users that are all gone: start afresh.
            if (::ftruncate(file.Fd(), 0) != 0 || ::ftruncate(file.Fd(), dataSize) != 0) {
                return Win32FromErrno(errno);
            }
            error = WriteAll(file.Fd(), name.data(), name.size(), dataSize);
            if (error != win32::kSuccess) return error;
        }
        error = file.TryLock(kFirstUserByte, 1, false);
        if (error != win32::kSuccess) return error;
        file.ReleaseGate();
        *out = std::move(file);
        *existed = joined;
        return win32::kSuccess;
    }
    return win32::kTooManyOpenFiles;
}

}  // namespace quillet::posix
