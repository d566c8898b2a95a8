#pragma once
// The private per-user folder that holds the lock files of share modes, named
// mutexes and shared blocks, and the sockets of window listeners.
//
// It is $XDG_RUNTIME_DIR/quillet when XDG_RUNTIME_DIR names a directory owned
// by us, else /tmp/quillet-<uid>. Either way the folder itself must be a real
// directory (not a symlink) owned by us with no group or other permissions;
// anything else is refused with kAccessDenied, so another user can neither
// create our lock files first nor redirect them.

#include <sys/types.h>

#include <string>

#include "platform/ResultCode.h"

namespace quillet::posix {

// Opens `path` as a directory without following a symlink in its last
// component and checks that it is owned by `owner` and has no group or other
// permission bits. On success *dirfd is the open directory (close-on-exec).
Win32Error OpenPrivateFolder(const char* path, uid_t owner, int* dirfd);

// Chooses, creates when missing (mode 0700) and checks the runtime folder for
// user `uid`, given the value of XDG_RUNTIME_DIR (null when unset) and the
// folder for the fallback (normally "/tmp").
Win32Error ResolveRuntimeFolder(const char* xdgRuntimeDir, const char* tmpBase, uid_t uid,
                                std::string* path, int* dirfd);

// The runtime folder of this process, resolved once on first success and kept
// open for the life of the process. *path may be null.
Win32Error ProcessRuntimeFolder(int* dirfd, std::string* path);

}  // namespace quillet::posix
