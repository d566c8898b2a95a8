#pragma once
// Removal of what dead processes left in the runtime folder.

namespace quillet::posix {

// Removes lock files that nobody uses any more and sockets of listeners whose
// process is gone. Safe while other processes use the folder: a lock file is
// only removed under its gate when no user lock is held on it (LockFile.h), and
// a socket only when connecting to it is refused.
void SweepRuntimeFolder(int dirfd);

}  // namespace quillet::posix
