// Paths and whole-file operations: full path, attributes, copy, move, delete,
// temporary names. The separator is '/'.

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "platform/posix/LockFile.h"
#include "platform/posix/PosixErrors.h"
#include "platform/posix/PosixFile.h"
#include "platform/posix/PosixPlatform.h"
#include "platform/posix/RuntimeFolder.h"

namespace quillet {

namespace {

Win32Error CurrentFolder(std::string* folder) {
    std::vector<char> buffer(256);
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
            *folder = buffer.data();
            return win32::kSuccess;
        }
        if (errno != ERANGE || buffer.size() > (1u << 20)) return posix::Win32FromErrno(errno);
        buffer.resize(buffer.size() * 2);
    }
}

Win32Error CopyOut(const std::string& text, char* out, std::size_t outSize) {
    if (text.size() + 1 > outSize) return win32::kFilenameExcedRange;
    std::memcpy(out, text.c_str(), text.size() + 1);
    return win32::kSuccess;
}

}  // namespace

Win32Error PosixPlatform::GetFullPath(const char* path, char* out, std::size_t outSize) {
    if (path == nullptr || out == nullptr) return win32::kInvalidParameter;
    if (path[0] == '\0') return win32::kInvalidName;
    std::string combined;
    if (path[0] != '/') {
        const Win32Error error = CurrentFolder(&combined);
        if (error != win32::kSuccess) return error;
        combined += '/';
    }
    combined += path;

    // Fold "." and ".." textually; ".." at the root stays at the root. The
    // file need not exist and symlinks are not resolved.
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at <= combined.size()) {
        std::size_t next = combined.find('/', at);
        if (next == std::string::npos) next = combined.size();
        const std::string part = combined.substr(at, next - at);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = next + 1;
    }
    std::string result;
    for (const auto& part : parts) result += "/" + part;
    if (result.empty()) result.push_back('/');  // the root itself
    const std::size_t length = std::strlen(path);
    if (path[length - 1] == '/' && result != "/") result += '/';
    return CopyOut(result, out, outSize);
}

Win32Error PosixPlatform::GetPathAttributes(const char* path, std::uint32_t* attributes) {
    if (path == nullptr || path[0] == '\0') return win32::kPathNotFound;
    // Whether anything stands at the name is decided without following a
    // symlink: a link that points nowhere still takes the name.
    struct stat st;
    if (::lstat(path, &st) != 0) return posix::Win32FromPathErrno(errno, path);
    const bool link = S_ISLNK(st.st_mode);
    if (link && ::stat(path, &st) != 0) {
        *attributes = kFileAttributeNormal | kFileAttributeReparsePoint;
        return win32::kSuccess;
    }
    if (S_ISDIR(st.st_mode)) {
        *attributes = kFileAttributeDirectory;
    } else {
        *attributes =
            posix::IsWritableByUs(path, st) ? kFileAttributeNormal : kFileAttributeReadOnly;
    }
    if (link) *attributes |= kFileAttributeReparsePoint;
    return win32::kSuccess;
}

namespace {

// Gives the open file `fd` the permission bits of `source` and, where the
// system allows it, its group. When the group cannot be given, the group's
// bits are dropped: they would open the file to another group than the
// source's. Set-id and sticky bits are never copied.
Win32Error GiveAccessOf(const struct stat& source, int fd) {
    struct stat own;
    if (::fstat(fd, &own) != 0) return posix::Win32FromErrno(errno);
    mode_t mode = source.st_mode & 0777;
    if (own.st_gid != source.st_gid && ::fchown(fd, static_cast<uid_t>(-1), source.st_gid) != 0) {
        mode &= ~static_cast<mode_t>(070);
    }
    if (::fchmod(fd, mode) != 0) return posix::Win32FromErrno(errno);
    return win32::kSuccess;
}

// Removes `path` only while it still names the file open as `fd`: a failed
// copy takes back what it made and nothing that stands there instead.
void RemoveIfStill(const char* path, int fd) {
    struct stat opened;
    struct stat named;
    if (::fstat(fd, &opened) == 0 && ::lstat(path, &named) == 0 && opened.st_dev == named.st_dev &&
        opened.st_ino == named.st_ino) {
        ::unlink(path);
    }
}

}  // namespace

Win32Error PosixPlatform::CopyFileTo(const char* source, const char* destination) {
    if (source == nullptr || destination == nullptr) return win32::kInvalidParameter;
    // The source is read with others allowed to read only, the destination is
    // created new and written exclusively.
    std::unique_ptr<posix::PosixFile> from;
    Win32Error error = posix::OpenPosixFile(source, FileAccess::kRead, FileShare::kRead,
                                            FileDisposition::kOpenExisting, &from);
    if (error != win32::kSuccess) return error;
    struct stat sourceStat;
    if (::fstat(from->Descriptor(), &sourceStat) != 0) return posix::Win32FromErrno(errno);
    std::unique_ptr<posix::PosixFile> to;
    error = posix::OpenPosixFile(destination, FileAccess::kReadWrite, FileShare::kNone,
                                 FileDisposition::kCreateNew, &to);
    if (error != win32::kSuccess) return error;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        std::uint32_t got = 0;
        error = from->Read(buffer.data(), static_cast<std::uint32_t>(buffer.size()), &got);
        if (error != win32::kSuccess || got == 0) break;
        std::uint32_t written = 0;
        error = to->Write(buffer.data(), got, &written);
        if (error != win32::kSuccess) break;
    }
    if (error == win32::kSuccess) error = GiveAccessOf(sourceStat, to->Descriptor());
    if (error == win32::kSuccess) {
        // The last-write time of the source, as CopyFileA keeps it.
        struct timespec times[2];
        times[0].tv_sec = 0;
        times[0].tv_nsec = UTIME_OMIT;
        times[1] = sourceStat.st_mtim;
        if (::futimens(to->Descriptor(), times) != 0) error = posix::Win32FromErrno(errno);
    }
    if (error == win32::kSuccess) error = to->Flush();
    if (error != win32::kSuccess) RemoveIfStill(destination, to->Descriptor());
    return error;
}

Win32Error PosixPlatform::CopyAccess(const char* source, const char* destination) {
    if (source == nullptr || destination == nullptr) return win32::kInvalidParameter;
    struct stat sourceStat;
    if (::stat(source, &sourceStat) != 0) return posix::Win32FromPathErrno(errno, source);
    const int fd = ::open(destination, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP) return win32::kAccessDenied;
        return posix::Win32FromPathErrno(errno, destination);
    }
    struct stat st;
    Win32Error error = win32::kSuccess;
    if (::fstat(fd, &st) != 0) {
        error = posix::Win32FromErrno(errno);
    } else if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        error = win32::kAccessDenied;  // not a file of ours
    } else {
        error = GiveAccessOf(sourceStat, fd);
    }
    ::close(fd);
    return error;
}

Win32Error PosixPlatform::MoveFileTo(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) return win32::kInvalidParameter;
    posix::LockFile gate;
    const Win32Error error = posix::GateUnusedFile(from, &gate);
    if (error != win32::kSuccess) return error;
    // rename(2) would replace `to`; RENAME_NOREPLACE makes the check and the
    // rename one step.
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return win32::kSuccess;
    if (errno == EEXIST) return win32::kAlreadyExists;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        return posix::Win32FromPathErrno(errno, to);
    }
    // File systems without RENAME_NOREPLACE: link(2) never replaces either.
    if (::link(from, to) != 0) {
        if (errno == EEXIST) return win32::kAlreadyExists;
        return posix::Win32FromPathErrno(errno, to);
    }
    if (::unlink(from) != 0) {
        const int unlinkError = errno;
        ::unlink(to);
        return posix::Win32FromErrno(unlinkError);
    }
    return win32::kSuccess;
}

Win32Error PosixPlatform::RemoveFile(const char* path) {
    if (path == nullptr || path[0] == '\0') return win32::kPathNotFound;
    struct stat st;
    if (::lstat(path, &st) != 0) return posix::Win32FromPathErrno(errno, path);
    // DeleteFileA refuses folders and files with the read-only attribute.
    if (S_ISDIR(st.st_mode)) return win32::kAccessDenied;
    if (S_ISREG(st.st_mode) && !posix::IsWritableByUs(path, st)) return win32::kAccessDenied;
    posix::LockFile gate;
    const Win32Error error = posix::GateUnusedFile(path, &gate);
    if (error != win32::kSuccess) return error;
    if (::unlink(path) != 0) return posix::Win32FromPathErrno(errno, path);
    return win32::kSuccess;
}

namespace {

// The reservation of a temporary name: a named object in the runtime folder
// keyed by the name's absolute path. *existed is true when a live process
// (this one included, through another reservation) holds it.
Win32Error ReserveName(int runtimeFd, const std::string& name, posix::LockFile* reservation,
                       bool* existed) {
    char full[kMaxPath];
    PosixPlatform paths;
    const Win32Error error = paths.GetFullPath(name.c_str(), full, sizeof full);
    if (error != win32::kSuccess) return error;
    const std::string key(full);
    return posix::OpenNamedObject(runtimeFd, posix::NamedObjectBaseName('r', key), key, 0,
                                  reservation, existed);
}

// Whether `name` is "<prefix>XXXX.TMP" with four upper-case hexadecimal digits.
bool IsTempName(const std::string& name, const std::string& prefix) {
    if (name.size() != prefix.size() + 8 || name.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    for (std::size_t i = prefix.size(); i < prefix.size() + 4; ++i) {
        const char c = name[i];
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return name.compare(prefix.size() + 4, 4, ".TMP") == 0;
}

// Removes the temporary files of `prefix` in `folder` (with its separator, or
// empty for the current folder) that runs of this user left behind when they
// were killed: regular files of ours, reserved by no live process and open
// nowhere. Anything else stays, whoever made it.
void RemoveStaleTempFiles(int runtimeFd, const std::string& folder, const std::string& prefix) {
    DIR* listing = ::opendir(folder.empty() ? "." : folder.c_str());
    if (listing == nullptr) return;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(listing)) {
        if (IsTempName(entry->d_name, prefix)) names.emplace_back(entry->d_name);
    }
    ::closedir(listing);
    for (const std::string& name : names) {
        const std::string path = folder + name;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
            continue;
        }
        posix::LockFile reservation;
        bool existed = true;
        if (ReserveName(runtimeFd, path, &reservation, &existed) != win32::kSuccess || existed) {
            continue;
        }
        posix::LockFile gate;
        if (posix::GateUnusedFile(path.c_str(), &gate) != win32::kSuccess) continue;
        struct stat now;
        if (::lstat(path.c_str(), &now) == 0 && now.st_dev == st.st_dev &&
            now.st_ino == st.st_ino) {
            ::unlink(path.c_str());
        }
    }
}

}  // namespace

Win32Error PosixPlatform::MakeTempFile(const char* folder, const char* prefix, char* out) {
    if (folder == nullptr || out == nullptr) return win32::kInvalidParameter;
    std::string base(folder);
    if (!base.empty() && base.back() != '/') base += '/';
    const std::string start3 = prefix != nullptr ? std::string(prefix, ::strnlen(prefix, 3)) : "";
    int runtimeFd = -1;
    Win32Error error = posix::ProcessRuntimeFolder(&runtimeFd, nullptr);
    if (error != win32::kSuccess) return error;
    if (!start3.empty()) RemoveStaleTempFiles(runtimeFd, base, start3);
    base += start3;
    std::random_device random;
    const unsigned start = random() & 0xFFFF;
    for (unsigned i = 0; i < 0x10000; ++i) {
        const unsigned number = (start + i) & 0xFFFF;
        if (number == 0) continue;  // names use the numbers 1 to FFFF
        char tail[16];
        std::snprintf(tail, sizeof tail, "%04X.TMP", number);
        const std::string name = base + tail;
        if (name.size() + 1 > kMaxPath) return win32::kFilenameExcedRange;
        // Reserved before it exists, so that no sweep takes it for a leftover.
        posix::LockFile reservation;
        bool existed = false;
        error = ReserveName(runtimeFd, name, &reservation, &existed);
        if (error != win32::kSuccess) return error;
        if (existed) continue;
        const int fd = ::open(
            name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
        if (fd >= 0) {
            ::close(fd);
            std::memcpy(out, name.c_str(), name.size() + 1);
            std::lock_guard<std::mutex> lock(reservationsGuard_);
            reservations_.push_back(std::move(reservation));
            return win32::kSuccess;
        }
        if (errno == EEXIST || errno == EINTR) continue;
        return posix::Win32FromPathErrno(errno, name.c_str());
    }
    return win32::kFileExists;
}

Win32Error PosixPlatform::OpenFile(const char* path, FileAccess access, FileShare share,
                                   FileDisposition disposition, std::unique_ptr<File>* file) {
    std::unique_ptr<posix::PosixFile> opened;
    const Win32Error error = posix::OpenPosixFile(path, access, share, disposition, &opened);
    if (error != win32::kSuccess) return error;
    *file = std::move(opened);
    return win32::kSuccess;
}

}  // namespace quillet
