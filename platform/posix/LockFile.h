#pragma once
// Lock files in the runtime folder, the common ground of share modes, named
// mutexes and named shared blocks.
//
// A lock file is only a place for open-file-description (OFD) locks: such a
// lock belongs to one open(2) of the file, so two handles of one process
// exclude each other just like two processes do, and every lock of a process
// goes away when it dies. Byte 0 is the gate: whoever checks the locks of the
// others and then takes its own holds the gate meanwhile, so check-then-take is
// atomic across processes. Every byte from 1 on belongs to the users of the
// file; a file on which nobody holds a user lock is unused, and its last user
// removes it on close.
//
// Removing a lock file races with a process that has just opened it by name;
// OpenGated therefore checks, with the gate held, that the file it opened is
// still the one linked under the name, and starts again if it is not.

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "platform/ResultCode.h"

namespace quillet::posix {

constexpr off_t kGateByte = 0;
constexpr off_t kFirstUserByte = 1;

class LockFile {
  public:
    LockFile() = default;
    ~LockFile() { Close(); }
    LockFile(LockFile&& other) noexcept;
    LockFile& operator=(LockFile&& other) noexcept;
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;

    // Opens `name` in the folder `dirfd` (creating it, mode 0600, when `create`)
    // and takes the gate. Without `create`, a missing file is kFileNotFound.
    static Win32Error OpenGated(int dirfd, const std::string& name, bool create, LockFile* out);

    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

    // The gate waits (polling) at most about ten seconds for another holder.
    Win32Error TakeGate();
    void ReleaseGate();

    // A lock of [start, start + length) for this open file description; length 0
    // means "to the end of any file". Never waits: a conflicting lock of another
    // description fails with kLockViolation.
    Win32Error TryLock(off_t start, off_t length, bool exclusive);
    void Unlock(off_t start, off_t length);

    // Whether another open file description holds a lock in the range that
    // conflicts with a lock of the given kind (a shared probe only finds
    // exclusive locks; an exclusive probe finds any lock).
    bool OthersHold(off_t start, off_t length, bool exclusive) const;

    // Whether any other description holds any user lock on this file.
    bool HasOtherUsers() const { return OthersHold(kFirstUserByte, 0, true); }

    // Closes the file and, when no other description holds a user lock, removes
    // it from the folder first.
    void Close();

  private:
    int dirfd_ = -1;
    std::string name_;
    int fd_ = -1;
    bool gateHeld_ = false;
};

// Named objects (mutexes, shared blocks) keep their first `dataSize` bytes for
// themselves and store the object's full name after them. File names are
//   <kind>-<FNV-1a 64 of the name, 16 hex digits>-<up to 32 letters and digits
//   of the name, others as '_'>-<slot>
// and the stored full name decides: two names that share a file name take
// different slots, so a hash collision can never join two objects.
std::string NamedObjectBaseName(char kind, const std::string& name);

// Opens (or creates) the lock file of the named object with file names
// <baseName>-<slot>. An unused file (no user lock on it) is reset to
// `dataSize` zero bytes followed by the name, and *existed is false; a file in
// use with the same name is joined and *existed is true. On success the gate is
// released and this description holds a shared lock on byte kFirstUserByte.
Win32Error OpenNamedObject(int dirfd, const std::string& baseName, const std::string& name,
                           off_t dataSize, LockFile* out, bool* existed);

}  // namespace quillet::posix
