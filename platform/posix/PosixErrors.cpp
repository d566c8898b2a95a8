// errno to Win32 error numbers.

#include "platform/posix/PosixErrors.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>

namespace quillet::posix {

Win32Error Win32FromErrno(int error) {
    switch (error) {
        case 0:
            return win32::kSuccess;
        case ENOENT:
            return win32::kFileNotFound;
        case ENOTDIR:
            return win32::kPathNotFound;
        case EACCES:
        case EPERM:
        case EISDIR:
            return win32::kAccessDenied;
        case EEXIST:
            return win32::kFileExists;
        case ENOSPC:
        case EDQUOT:
            return win32::kDiskFull;
        case EROFS:
            return win32::kWriteProtect;
        case ENAMETOOLONG:
            return win32::kFilenameExcedRange;
        case EBADF:
            return win32::kInvalidHandle;
        case ENOMEM:
            return win32::kNotEnoughMemory;
        case EMFILE:
        case ENFILE:
            return win32::kTooManyOpenFiles;
        case EINVAL:
            return win32::kInvalidParameter;
        case ELOOP:
            return win32::kInvalidName;
        case EBUSY:
        case ETXTBSY:
            return win32::kSharingViolation;
        case EAGAIN:
            return win32::kLockViolation;
        case EXDEV:
            return kNotSameDevice;
        case ENOTEMPTY:
            return win32::kDirNotEmpty;
        case EFBIG:
            return kFileTooLarge;
        case EOPNOTSUPP:
            return win32::kNotSupported;
        case EIO:
        default:
            return win32::kGenFailure;
    }
}

Win32Error Win32FromPathErrno(int error, const char* path) {
    if (error != ENOENT || path == nullptr) return Win32FromErrno(error);
    std::string folder(path);
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    const auto slash = folder.rfind('/');
    if (slash == std::string::npos) return win32::kFileNotFound;  // in the current folder
    folder.resize(slash == 0 ? 1 : slash);
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return win32::kPathNotFound;
    return win32::kFileNotFound;
}

}  // namespace quillet::posix
