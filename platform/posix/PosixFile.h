#pragma once
// Open files with Win32 share modes and byte-range locks.
//
// Every handle has its own lock file description on the lock file of the data
// file's identity (device and inode), "f-<dev>-<ino>" in the runtime folder.
// A handle holds shared locks on the bytes that describe it:
//   1 it has read access       2 it has write access
//   3 it denies read to others 4 it denies write to others
// A new open checks, with the gate held, that nobody denies what it asks for
// and that nobody has what it denies, then takes its own bytes. LockRange locks
// [16 + offset, ...) of the same lock file exclusively, which works for
// read-only handles too (an OFD write lock on the data file would need write
// access). The locks are advisory: they exclude other handles of this layer,
// and reads and writes are not checked against them.

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "platform/Platform.h"
#include "platform/posix/LockFile.h"

namespace quillet::posix {

class PosixFile final : public File {
  public:
    PosixFile(int fd, bool writable, LockFile shareLocks);
    ~PosixFile() override;
    PosixFile(const PosixFile&) = delete;
    PosixFile& operator=(const PosixFile&) = delete;

    Win32Error Seek(std::uint64_t offset, std::uint64_t* reached) override;
    Win32Error Read(void* buffer, std::uint32_t count, std::uint32_t* got) override;
    Win32Error Write(const void* buffer, std::uint32_t count, std::uint32_t* written) override;
    Win32Error ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count,
                      std::uint32_t* got) override;
    Win32Error WriteAt(std::uint64_t offset, const void* buffer, std::uint32_t count,
                       std::uint32_t* written) override;
    Win32Error SetEndOfFile() override;
    Win32Error Flush() override;
    Win32Error StartWriteBack(std::uint64_t offset, std::uint64_t length) override;
    Win32Error SetLastWriteTime(const FileTime& time) override;
    Win32Error LockRange(std::uint64_t offset, std::uint64_t length) override;
    Win32Error UnlockRange(std::uint64_t offset, std::uint64_t length) override;

    // The open descriptor, for metadata calls (fstat, fchmod) of this layer.
    int Descriptor() const { return fd_; }

  private:
    int fd_;
    bool writable_;
    LockFile shareLocks_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges_;  // locked through this handle
};

Win32Error OpenPosixFile(const char* path, FileAccess access, FileShare share,
                         FileDisposition disposition, std::unique_ptr<PosixFile>* file);

// Whether we may write the file (as the read-only attribute sees it). Root may
// write anything, so for root a file without any write permission bit counts
// as read-only, like a file with the read-only attribute on Win32.
bool IsWritableByUs(const char* path, const struct stat& st);

// For renaming and removing: fails with kSharingViolation while any handle of
// this layer is open on the file at `path` (Win32 handles never allow others to
// delete or rename the file). On success *gate holds the gate of that file's
// lock file, which keeps new opens out until it is closed. `path` itself is
// not followed when it is a symlink.
Win32Error GateUnusedFile(const char* path, LockFile* gate);

}  // namespace quillet::posix
