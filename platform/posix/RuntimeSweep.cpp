// Removal of lock files and sockets left behind by processes that died.

#include "platform/posix/RuntimeSweep.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/LockFile.h"

namespace quillet::posix {

namespace {

// Whether a listener still listens on the socket `name` in the folder. The
// socket is reached through /proc/self/fd so that the folder's path length
// does not matter.
bool SocketIsDead(int dirfd, const std::string& name) {
    const std::string path = "/proc/self/fd/" + std::to_string(dirfd) + "/" + name;
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() + 1 > sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    const bool refused = result != 0 && errno == ECONNREFUSED;
    ::close(fd);
    return refused;
}

}  // namespace

void SweepRuntimeFolder(int dirfd) {
    const int listFd = ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) return;
    DIR* folder = ::fdopendir(listFd);
    if (folder == nullptr) {
        ::close(listFd);
        return;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(folder)) names.emplace_back(entry->d_name);
    ::closedir(folder);

    for (const std::string& name : names) {
        if (name.size() < 3 || name[1] != '-') continue;
        struct stat st;
        if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (name[0] == 'w' && S_ISSOCK(st.st_mode)) {
            if (SocketIsDead(dirfd, name)) ::unlinkat(dirfd, name.c_str(), 0);
        } else if ((name[0] == 'f' || name[0] == 'm' || name[0] == 'r' || name[0] == 's') &&
                   S_ISREG(st.st_mode)) {
            LockFile file;
            // Close() removes the file when no other description holds a user lock.
            if (LockFile::OpenGated(dirfd, name, false, &file) == win32::kSuccess) file.Close();
        }
    }
}

}  // namespace quillet::posix
