// The private per-user runtime folder.

#include "platform/posix/RuntimeFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "platform/posix/PosixErrors.h"
#include "platform/posix/RuntimeSweep.h"

namespace quillet::posix {

Win32Error OpenPrivateFolder(const char* path, uid_t owner, int* dirfd) {
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // A symlink (ELOOP) or something that is not a directory is refused
        // as not ours; a missing folder is reported as such.
        if (errno == ELOOP || errno == ENOTDIR) return win32::kAccessDenied;
        return Win32FromPathErrno(errno, path);
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        return Win32FromErrno(error);
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != owner || (st.st_mode & 077) != 0) {
        ::close(fd);
        return win32::kAccessDenied;
    }
    *dirfd = fd;
    return win32::kSuccess;
}

namespace {

bool IsOwnDirectory(const char* path, uid_t uid) {
    struct stat st;
    return ::lstat(path, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid;
}

Win32Error MakeAndOpen(const std::string& path, uid_t uid, int* dirfd) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return Win32FromErrno(errno);
    return OpenPrivateFolder(path.c_str(), uid, dirfd);
}

}  // namespace

Win32Error ResolveRuntimeFolder(const char* xdgRuntimeDir, const char* tmpBase, uid_t uid,
                                std::string* path, int* dirfd) {
    std::string chosen;
    if (xdgRuntimeDir != nullptr && xdgRuntimeDir[0] == '/' && IsOwnDirectory(xdgRuntimeDir, uid)) {
        chosen = std::string(xdgRuntimeDir) + "/quillet";
    } else {
        chosen = std::string(tmpBase) + "/quillet-" + std::to_string(uid);
    }
    int fd = -1;
    const Win32Error error = MakeAndOpen(chosen, uid, &fd);
    if (error != win32::kSuccess) return error;
    *path = chosen;
    *dirfd = fd;
    return win32::kSuccess;
}

Win32Error ProcessRuntimeFolder(int* dirfd, std::string* path) {
    // Resolved once; the descriptor stays open for the life of the process.
    static std::mutex guard;
    static int folderFd = -1;
    static std::string folderPath;
    std::lock_guard<std::mutex> lock(guard);
    if (folderFd < 0) {
        std::string resolved;
        int fd = -1;
        const Win32Error error = ResolveRuntimeFolder(std::getenv("XDG_RUNTIME_DIR"), "/tmp",
                                                      ::geteuid(), &resolved, &fd);
        if (error != win32::kSuccess) return error;
        SweepRuntimeFolder(fd);  // leftovers of processes that died
        folderFd = fd;
        folderPath = resolved;
    }
    *dirfd = folderFd;
    if (path != nullptr) *path = folderPath;
    return win32::kSuccess;
}

}  // namespace quillet::posix
