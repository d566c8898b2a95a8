#pragma once
// The private per-user folder that holds the lock files of share modes, named
// mutexes and shared blocks, and the sockets of window listeners.
//
// Every process of one user must meet in the same folder, or their share
// modes and mutexes would not see each other; so the folder is chosen from the
// user id alone, never from the environment: ".quillet" in the user's home
// folder as the password database names it, or, for a user without a home
// folder there, /tmp/quillet-<uid>. The folder itself must be a real directory
// (not a symlink) owned by us with no group or other permissions; anything else
// is refused with kAccessDenied, so another user can neither create our lock
// files first nor redirect them. A home folder that others could change (not
// ours or root's, or writable by group or others) is refused the same way.

#include <sys/types.h>

#include <string>

#include "platform/ResultCode.h"

namespace quillet::posix {

// Opens `path` as a directory without following a symlink in its last
// component and checks that it is owned by `owner` and has no group or other
// permission bits. On success *dirfd is the open directory (close-on-exec).
Win32Error OpenPrivateFolder(const char* path, uid_t owner, int* dirfd);

// Chooses, creates when missing (mode 0700) and checks the runtime folder for
// user `uid`, given the user's home folder from the password database (null
// when there is none) and the folder for the fallback (normally "/tmp").
// *path is the folder chosen, also on failure (empty when none could be
// named); *why then tells in a few words what is wrong with it.
Win32Error ResolveRuntimeFolder(const char* home, const char* tmpBase, uid_t uid, std::string* path,
                                int* dirfd, std::string* why);

// The runtime folder of this process, resolved once on first success and kept
// open for the life of the process. *path may be null. A failure is told once
// on standard error, naming the folder and the reason.
Win32Error ProcessRuntimeFolder(int* dirfd, std::string* path);

}  // namespace quillet::posix
