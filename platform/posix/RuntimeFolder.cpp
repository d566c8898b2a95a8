// The private per-user runtime folder.

#include "platform/posix/RuntimeFolder.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

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

Win32Error MakeAndOpen(const std::string& path, uid_t uid, int* dirfd) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return Win32FromErrno(errno);
    return OpenPrivateFolder(path.c_str(), uid, dirfd);
}

// The home folder of `uid` from the password database, or the empty text.
std::string HomeOf(uid_t uid) {
    std::vector<char> buffer(16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    while (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (found == nullptr || found->pw_dir == nullptr) return std::string();
    return found->pw_dir;
}

}  // namespace

Win32Error ResolveRuntimeFolder(const char* home, const char* tmpBase, uid_t uid, std::string* path,
                                int* dirfd, std::string* why) {
    path->clear();
    why->clear();
    struct stat homeStat;
    const bool hasHome = home != nullptr && home[0] == '/' && ::stat(home, &homeStat) == 0 &&
                         S_ISDIR(homeStat.st_mode);
    std::string chosen;
    if (hasHome) {
        std::string folder(home);
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        chosen = folder + (folder == "/" ? "" : "/") + ".quillet";
        *path = chosen;
        // Whoever may change the home folder could swap our folder in it.
        if ((homeStat.st_uid != uid && homeStat.st_uid != 0) || (homeStat.st_mode & 022) != 0) {
            *why = "the home folder " + folder + " may be changed by other users";
            return win32::kAccessDenied;
        }
    } else {
        chosen = std::string(tmpBase) + "/quillet-" + std::to_string(uid);
        *path = chosen;
    }
    int fd = -1;
    const Win32Error error = MakeAndOpen(chosen, uid, &fd);
    if (error == win32::kAccessDenied) {
        *why =
            "it is not a folder of this user alone (it must be a real folder owned by this "
            "user that no one else may use; another user may have made it)";
        return error;
    }
    if (error != win32::kSuccess) {
        *why = "it cannot be created or opened (system error " + std::to_string(error) + ")";
        return error;
    }
    *dirfd = fd;
    return win32::kSuccess;
}

Win32Error ProcessRuntimeFolder(int* dirfd, std::string* path) {
    // Resolved once; the descriptor stays open for the life of the process.
    static std::mutex guard;
    static int folderFd = -1;
    static std::string folderPath;
    static bool told = false;
    std::lock_guard<std::mutex> lock(guard);
    if (folderFd < 0) {
        const uid_t uid = ::geteuid();
        const std::string home = HomeOf(uid);
        std::string resolved;
        std::string why;
        int fd = -1;
        const Win32Error error = ResolveRuntimeFolder(home.empty() ? nullptr : home.c_str(), "/tmp",
                                                      uid, &resolved, &fd, &why);
        if (error != win32::kSuccess) {
            if (!told) {
                told = true;
                std::fprintf(stderr,
                             "The folder for the locks of open files, %s, cannot be used: %s.\n",
                             resolved.empty() ? "(none)" : resolved.c_str(), why.c_str());
            }
            return error;
        }
        SweepRuntimeFolder(fd);  // leftovers of processes that died
        folderFd = fd;
        folderPath = resolved;
    }
    *dirfd = folderFd;
    if (path != nullptr) *path = folderPath;
    return win32::kSuccess;
}

}  // namespace quillet::posix
