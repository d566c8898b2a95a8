// Open files: share modes, reading and writing, byte-range locks.

#include "platform/posix/PosixFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <limits>

#include "platform/posix/PosixErrors.h"
#include "platform/posix/RuntimeFolder.h"

namespace quillet::posix {

namespace {

constexpr off_t kHasReadByte = 1;
constexpr off_t kHasWriteByte = 2;
constexpr off_t kDeniesReadByte = 3;
constexpr off_t kDeniesWriteByte = 4;
constexpr off_t kRangeBase = 16;
constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

// 100 ns intervals from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kUnixEpochAsFileTime = 116444736000000000;

std::string IdentityName(const struct stat& st) {
    char name[64];
    std::snprintf(name, sizeof name, "f-%llx-%llx", static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    return name;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The end of [offset, offset + length), saturated at 2^64 - 1.
std::uint64_t RangeEnd(std::uint64_t offset, std::uint64_t length) {
    return length > std::numeric_limits<std::uint64_t>::max() - offset
               ? std::numeric_limits<std::uint64_t>::max()
               : offset + length;
}

}  // namespace

bool IsWritableByUs(const char* path, const struct stat& st) {
    if (::geteuid() == 0 && (st.st_mode & 0222) == 0) return false;
    return ::faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) == 0;
}

Win32Error OpenPosixFile(const char* path, FileAccess access, FileShare share,
                         FileDisposition disposition, std::unique_ptr<PosixFile>* file) {
    if (path == nullptr || path[0] == '\0') return win32::kPathNotFound;
    const bool write = access == FileAccess::kReadWrite;
    int dirfd = -1;
    Win32Error error = ProcessRuntimeFolder(&dirfd, nullptr);
    if (error != win32::kSuccess) return error;

    // Retried when the file was renamed or removed between our open and our
    // gate: the share check must be made on the file that the path names.
    for (int round = 0; round < 100; ++round) {
        const int flags = (write ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
        // A file is only ever created new (O_EXCL, which never follows a
        // symlink) and private; whoever needs other permissions gives them.
        const int createFlags = flags | O_CREAT | O_EXCL | O_NOFOLLOW;
        int fd =
            ::open(path, disposition == FileDisposition::kCreateNew ? createFlags : flags, 0600);
        if (fd < 0 && errno == ENOENT && disposition == FileDisposition::kOpenAlways) {
            fd = ::open(path, createFlags, 0600);
            if (fd < 0 && errno == EEXIST) {
                struct stat entry;
                // A symlink that points nowhere: opening it found nothing, and
                // creating would write wherever it points.
                if (::lstat(path, &entry) == 0 && S_ISLNK(entry.st_mode)) return win32::kFileExists;
                continue;  // created by someone else meanwhile: open that one
            }
        }
        if (fd < 0) {
            if (errno == EINTR) continue;
            return Win32FromPathErrno(errno, path);
        }
        struct stat st;
        if (::fstat(fd, &st) != 0) {
            error = Win32FromErrno(errno);
            ::close(fd);
            return error;
        }
        // Only regular files: a folder is refused as on Win32, and a FIFO or
        // device is no data file (O_NONBLOCK kept the open from waiting).
        if (!S_ISREG(st.st_mode) || (write && !IsWritableByUs(path, st))) {
            ::close(fd);
            return win32::kAccessDenied;
        }
        const int status = ::fcntl(fd, F_GETFL);
        if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
            error = Win32FromErrno(errno);
            ::close(fd);
            return error;
        }

        LockFile locks;
        error = LockFile::OpenGated(dirfd, IdentityName(st), true, &locks);
        if (error != win32::kSuccess) {
            ::close(fd);
            return error;
        }
        struct stat now;
        if (::stat(path, &now) != 0 || !SameFile(now, st)) {
            ::close(fd);
            continue;
        }

        const bool deniesRead = share == FileShare::kNone;
        const bool deniesWrite = share != FileShare::kReadWrite;
        const bool conflict = locks.OthersHold(kDeniesReadByte, 1, true) ||
                              (write && locks.OthersHold(kDeniesWriteByte, 1, true)) ||
                              (deniesRead && locks.OthersHold(kHasReadByte, 1, true)) ||
                              (deniesWrite && locks.OthersHold(kHasWriteByte, 1, true));
        if (conflict) {
            ::close(fd);
            return win32::kSharingViolation;
        }
        error = locks.TryLock(kHasReadByte, 1, false);
        if (error == win32::kSuccess && write) error = locks.TryLock(kHasWriteByte, 1, false);
        if (error == win32::kSuccess && deniesRead)
            error = locks.TryLock(kDeniesReadByte, 1, false);
        if (error == win32::kSuccess && deniesWrite) {
            error = locks.TryLock(kDeniesWriteByte, 1, false);
        }
        if (error != win32::kSuccess) {
            ::close(fd);
            return error;
        }
        locks.ReleaseGate();
        *file = std::make_unique<PosixFile>(fd, write, std::move(locks));
        return win32::kSuccess;
    }
    return win32::kSharingViolation;
}

Win32Error GateUnusedFile(const char* path, LockFile* gate) {
    struct stat st;
    if (::lstat(path, &st) != 0) return Win32FromPathErrno(errno, path);
    int dirfd = -1;
    Win32Error error = ProcessRuntimeFolder(&dirfd, nullptr);
    if (error != win32::kSuccess) return error;
    LockFile locks;
    error = LockFile::OpenGated(dirfd, IdentityName(st), true, &locks);
    if (error != win32::kSuccess) return error;
    struct stat now;
    if (::lstat(path, &now) != 0) return Win32FromPathErrno(errno, path);
    if (!SameFile(now, st)) return win32::kSharingViolation;  // changed under us
    if (locks.HasOtherUsers()) return win32::kSharingViolation;
    *gate = std::move(locks);
    return win32::kSuccess;
}

PosixFile::PosixFile(int fd, bool writable, LockFile shareLocks)
    : fd_(fd), writable_(writable), shareLocks_(std::move(shareLocks)) {}

PosixFile::~PosixFile() {
    ::close(fd_);
    shareLocks_.Close();
}

Win32Error PosixFile::Seek(std::uint64_t offset, std::uint64_t* reached) {
    if (offset > kMaxOffset) return win32::kNegativeSeek;
    const off_t at = ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET);
    if (at < 0) return Win32FromErrno(errno);
    *reached = static_cast<std::uint64_t>(at);
    return win32::kSuccess;
}

namespace {

// Reads up to `count` bytes at `offset` (pread), or at the current position
// when `offset` is negative (read), continuing short reads; short only at
// the end of the file. On failure *got is 0.
Win32Error ReadFully(int fd, char* p, std::uint32_t count, std::int64_t offset,
                     std::uint32_t* got) {
    std::uint32_t total = 0;
    while (total < count) {
        const ssize_t n = offset < 0 ? ::read(fd, p + total, count - total)
                                     : ::pread(fd, p + total, count - total,
                                               static_cast<off_t>(offset + total));
        if (n < 0) {
            if (errno == EINTR) continue;
            *got = 0;
            return Win32FromErrno(errno);
        }
        if (n == 0) break;  // end of file
        total += static_cast<std::uint32_t>(n);
    }
    *got = total;
    return win32::kSuccess;
}

// Writes `count` bytes at `offset` (pwrite), or at the current position when
// `offset` is negative (write), continuing short writes; *written is what
// was written, also on failure.
Win32Error WriteFully(int fd, const char* p, std::uint32_t count, std::int64_t offset,
                      std::uint32_t* written) {
    std::uint32_t total = 0;
    while (total < count) {
        const ssize_t n = offset < 0 ? ::write(fd, p + total, count - total)
                                     : ::pwrite(fd, p + total, count - total,
                                                static_cast<off_t>(offset + total));
        if (n < 0) {
            if (errno == EINTR) continue;
            *written = total;
            return Win32FromErrno(errno);
        }
        if (n == 0) {
            *written = total;
            return win32::kDiskFull;
        }
        total += static_cast<std::uint32_t>(n);
    }
    *written = total;
    return win32::kSuccess;
}

}  // namespace

Win32Error PosixFile::Read(void* buffer, std::uint32_t count, std::uint32_t* got) {
    return ReadFully(fd_, static_cast<char*>(buffer), count, -1, got);
}

Win32Error PosixFile::Write(const void* buffer, std::uint32_t count, std::uint32_t* written) {
    *written = 0;
    if (!writable_) return win32::kAccessDenied;
    return WriteFully(fd_, static_cast<const char*>(buffer), count, -1, written);
}

Win32Error PosixFile::ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count,
                             std::uint32_t* got) {
    *got = 0;
    if (offset > kMaxOffset - count) return win32::kNegativeSeek;
    return ReadFully(fd_, static_cast<char*>(buffer), count, static_cast<std::int64_t>(offset),
                     got);
}

Win32Error PosixFile::WriteAt(std::uint64_t offset, const void* buffer, std::uint32_t count,
                              std::uint32_t* written) {
    *written = 0;
    if (!writable_) return win32::kAccessDenied;
    if (offset > kMaxOffset - count) return win32::kNegativeSeek;
    return WriteFully(fd_, static_cast<const char*>(buffer), count,
                      static_cast<std::int64_t>(offset), written);
}

Win32Error PosixFile::SetEndOfFile() {
    if (!writable_) return win32::kAccessDenied;
    const off_t at = ::lseek(fd_, 0, SEEK_CUR);
    if (at < 0) return Win32FromErrno(errno);
    while (::ftruncate(fd_, at) != 0) {
        if (errno != EINTR) return Win32FromErrno(errno);
    }
    return win32::kSuccess;
}

Win32Error PosixFile::Flush() {
    if (!writable_) return win32::kAccessDenied;
    while (::fsync(fd_) != 0) {
        if (errno != EINTR) return Win32FromErrno(errno);
    }
    return win32::kSuccess;
}

Win32Error PosixFile::StartWriteBack(std::uint64_t offset, std::uint64_t length) {
    if (!writable_) return win32::kAccessDenied;
#if defined(__linux__)
    // Starts write-out of the dirty pages in the range and returns; it waits
    // for neither the data nor the metadata to reach the disk.
    if (offset > kMaxOffset || length > kMaxOffset - offset) return win32::kInvalidParameter;
    while (::sync_file_range(fd_, static_cast<off64_t>(offset), static_cast<off64_t>(length),
                             SYNC_FILE_RANGE_WRITE) != 0) {
        if (errno != EINTR) return Win32FromErrno(errno);
    }
#else
    (void)offset;
    (void)length;
#endif
    return win32::kSuccess;
}

Win32Error PosixFile::SetLastWriteTime(const FileTime& time) {
    if (!writable_) return win32::kAccessDenied;
    const std::uint64_t ticks = (static_cast<std::uint64_t>(time.high) << 32) | time.low;
    if (ticks > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return win32::kInvalidParameter;
    }
    const std::int64_t sinceUnix = static_cast<std::int64_t>(ticks) - kUnixEpochAsFileTime;
    std::int64_t seconds = sinceUnix / 10000000;
    std::int64_t rest = sinceUnix % 10000000;
    if (rest < 0) {
        rest += 10000000;
        seconds -= 1;
    }
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;  // access time stays
    times[1].tv_sec = static_cast<time_t>(seconds);
    times[1].tv_nsec = static_cast<long>(rest * 100);
    if (::futimens(fd_, times) != 0) return Win32FromErrno(errno);
    return win32::kSuccess;
}

Win32Error PosixFile::LockRange(std::uint64_t offset, std::uint64_t length) {
    if (length == 0 || offset > kMaxOffset - kRangeBase) return win32::kInvalidParameter;
    // A range that reaches past what a lock offset can express is locked to
    // the end of every file, which is the same for all practical purposes.
    const std::uint64_t start = offset + kRangeBase;
    const off_t lockLength = length > kMaxOffset - start ? 0 : static_cast<off_t>(length);
    for (const auto& held : ranges_) {
        // Win32 refuses an overlapping lock even through the same handle.
        if (offset < RangeEnd(held.first, held.second) && held.first < RangeEnd(offset, length)) {
            return win32::kLockViolation;
        }
    }
    const Win32Error error = shareLocks_.TryLock(static_cast<off_t>(start), lockLength, true);
    if (error != win32::kSuccess) return error;
    ranges_.emplace_back(offset, length);
    return win32::kSuccess;
}

Win32Error PosixFile::UnlockRange(std::uint64_t offset, std::uint64_t length) {
    for (auto it = ranges_.begin(); it != ranges_.end(); ++it) {
        if (it->first == offset && it->second == length) {
            const std::uint64_t start = offset + kRangeBase;
            const off_t lockLength = length > kMaxOffset - start ? 0 : static_cast<off_t>(length);
            shareLocks_.Unlock(static_cast<off_t>(start), lockLength);
            ranges_.erase(it);
            return win32::kSuccess;
        }
    }
    return kNotLocked;
}

}  // namespace quillet::posix
