// Paths and whole-file operations: full path, attributes, copy, move, delete,
// temporary names. The separator is '/'.

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/posix/LockFile.h"
#include "platform/posix/PosixErrors.h"
#include "platform/posix/PosixFile.h"
#include "platform/posix/PosixPlatform.h"

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
    struct stat st;
    if (::stat(path, &st) != 0) return posix::Win32FromPathErrno(errno, path);
    if (S_ISDIR(st.st_mode)) {
        *attributes = kFileAttributeDirectory;
    } else {
        *attributes =
            posix::IsWritableByUs(path, st) ? kFileAttributeNormal : kFileAttributeReadOnly;
    }
    return win32::kSuccess;
}

Win32Error PosixPlatform::CopyFileTo(const char* source, const char* destination) {
    if (source == nullptr || destination == nullptr) return win32::kInvalidParameter;
    // The source is read with others allowed to read only, the destination is
    // written exclusively; copying a file onto itself is a sharing violation
    // (as on Win32) instead of truncating the source.
    std::unique_ptr<posix::PosixFile> from;
    Win32Error error = posix::OpenPosixFile(source, FileAccess::kRead, FileShare::kRead,
                                            FileDisposition::kOpenExisting, &from);
    if (error != win32::kSuccess) return error;
    std::unique_ptr<posix::PosixFile> to;
    error = posix::OpenPosixFile(destination, FileAccess::kReadWrite, FileShare::kNone,
                                 FileDisposition::kOpenAlways, &to);
    if (error != win32::kSuccess) return error;
    error = to->SetEndOfFile();  // at position 0: drop the old contents
    if (error != win32::kSuccess) return error;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        std::uint32_t got = 0;
        error = from->Read(buffer.data(), static_cast<std::uint32_t>(buffer.size()), &got);
        if (error != win32::kSuccess) return error;
        if (got == 0) break;
        std::uint32_t written = 0;
        error = to->Write(buffer.data(), got, &written);
        if (error != win32::kSuccess) return error;
    }
    return to->Flush();
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

Win32Error PosixPlatform::MakeTempFile(const char* folder, const char* prefix, char* out) {
    if (folder == nullptr || out == nullptr) return win32::kInvalidParameter;
    std::string base(folder);
    if (!base.empty() && base.back() != '/') base += '/';
    if (prefix != nullptr) base.append(prefix, ::strnlen(prefix, 3));
    std::random_device random;
    const unsigned start = random() & 0xFFFF;
    for (unsigned i = 0; i < 0x10000; ++i) {
        const unsigned number = (start + i) & 0xFFFF;
        if (number == 0) continue;  // names use the numbers 1 to FFFF
        char tail[16];
        std::snprintf(tail, sizeof tail, "%04X.TMP", number);
        const std::string name = base + tail;
        if (name.size() + 1 > kMaxPath) return win32::kFilenameExcedRange;
        const int fd =
            ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd >= 0) {
            ::close(fd);
            std::memcpy(out, name.c_str(), name.size() + 1);
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
