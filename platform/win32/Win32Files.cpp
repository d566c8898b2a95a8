// Files and paths on Windows: CreateFileA handles and the path calls.

#include <windows.h>

#include <cstring>
#include <limits>
#include <vector>

#include "platform/win32/Win32Internal.h"
#include "platform/win32/Win32Platform.h"

namespace quillet {

namespace {

using win32detail::LastErrorOr;

DWORD Low32(std::uint64_t value) {
    return static_cast<DWORD>(value & 0xffffffffU);
}
DWORD High32(std::uint64_t value) {
    return static_cast<DWORD>(value >> 32);
}

class Win32File final : public File {
  public:
    Win32File(HANDLE handle, FileAccess access) : handle_(handle), access_(access) {}
    Win32File(const Win32File&) = delete;
    Win32File& operator=(const Win32File&) = delete;

    // Ranges still locked through this handle are unlocked before the handle
    // is closed: Windows releases them on close only eventually, and another
    // process must be able to lock the range as soon as this object is gone.
    ~Win32File() override {
        for (const LockedRange& range : locked_) {
            ::UnlockFile(handle_, Low32(range.offset), High32(range.offset), Low32(range.length),
                         High32(range.length));
        }
        ::CloseHandle(handle_);
    }

    // SetFilePointerEx from FILE_BEGIN. Offsets above the largest signed 64-bit
    // value cannot be expressed and fail with win32::kNegativeSeek.
    Win32Error Seek(std::uint64_t offset, std::uint64_t* reached) override {
        if (offset > static_cast<std::uint64_t>(std::numeric_limits<LONGLONG>::max())) {
            return win32::kNegativeSeek;
        }
        LARGE_INTEGER distance;
        distance.QuadPart = static_cast<LONGLONG>(offset);
        LARGE_INTEGER position;
        if (!::SetFilePointerEx(handle_, distance, &position, FILE_BEGIN)) {
            return LastErrorOr(win32::kInvalidParameter);
        }
        *reached = static_cast<std::uint64_t>(position.QuadPart);
        return win32::kSuccess;
    }

    Win32Error Read(void* buffer, std::uint32_t count, std::uint32_t* got) override {
        DWORD done = 0;
        if (!::ReadFile(handle_, buffer, count, &done, nullptr)) {
            *got = 0;
            return LastErrorOr(win32::kReadFault);
        }
        *got = done;
        return win32::kSuccess;
    }

    Win32Error Write(const void* buffer, std::uint32_t count, std::uint32_t* written) override {
        DWORD done = 0;
        const BOOL ok = ::WriteFile(handle_, buffer, count, &done, nullptr);
        *written = done;
        if (!ok) return LastErrorOr(win32::kWriteFault);
        // WriteFile on a disk file either writes everything or fails; a short
        // count without an error is still reported as a failure.
        if (done != count) return win32::kDiskFull;
        return win32::kSuccess;
    }

    // SetEndOfFile. On a handle opened for reading only it fails with
    // win32::kAccessDenied, as Windows reports it (Wine reports
    // ERROR_INVALID_HANDLE there).
    Win32Error SetEndOfFile() override {
        if (access_ == FileAccess::kRead) return win32::kAccessDenied;
        if (!::SetEndOfFile(handle_)) return LastErrorOr(win32::kWriteFault);
        return win32::kSuccess;
    }

    Win32Error Flush() override {
        if (!::FlushFileBuffers(handle_)) return LastErrorOr(win32::kWriteFault);
        return win32::kSuccess;
    }

    Win32Error SetLastWriteTime(const FileTime& time) override {
        FILETIME written;
        written.dwLowDateTime = time.low;
        written.dwHighDateTime = time.high;
        if (!::SetFileTime(handle_, nullptr, nullptr, &written)) {
            return LastErrorOr(win32::kInvalidParameter);
        }
        return win32::kSuccess;
    }

    // LockFile. A second lock of a range this handle already holds fails with
    // win32::kLockViolation as well (Windows locks do not nest).
    Win32Error LockRange(std::uint64_t offset, std::uint64_t length) override {
        if (!::LockFile(handle_, Low32(offset), High32(offset), Low32(length), High32(length))) {
            return LastErrorOr(win32::kLockViolation);
        }
        locked_.push_back(LockedRange{offset, length});
        return win32::kSuccess;
    }

    // UnlockFile. Fails with ERROR_NOT_LOCKED (158), as Windows does, when this
    // handle holds no lock of exactly that range; the system is then not asked
    // (Wine would answer ERROR_LOCK_VIOLATION).
    Win32Error UnlockRange(std::uint64_t offset, std::uint64_t length) override {
        auto it = locked_.begin();
        while (it != locked_.end() && (it->offset != offset || it->length != length)) ++it;
        if (it == locked_.end()) return kNotLocked;
        if (!::UnlockFile(handle_, Low32(offset), High32(offset), Low32(length), High32(length))) {
            return LastErrorOr(kNotLocked);
        }
        locked_.erase(it);
        return win32::kSuccess;
    }

  private:
    struct LockedRange {
        std::uint64_t offset;
        std::uint64_t length;
    };
    static constexpr Win32Error kNotLocked = 158;  // ERROR_NOT_LOCKED
    HANDLE handle_;
    FileAccess access_;
    std::vector<LockedRange> locked_;
};

DWORD AccessBits(FileAccess access) {
    return access == FileAccess::kRead ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
}

DWORD ShareBits(FileShare share) {
    switch (share) {
        case FileShare::kNone:
            return 0;
        case FileShare::kRead:
            return FILE_SHARE_READ;
        case FileShare::kReadWrite:
            return FILE_SHARE_READ | FILE_SHARE_WRITE;
    }
    return 0;
}

}  // namespace

// CreateFileA(path, access, share, no security attributes, OPEN_ALWAYS,
// OPEN_EXISTING or CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS). A null path
// fails with win32::kInvalidParameter. Writing access to an existing file with
// the read-only attribute fails with win32::kAccessDenied before the system is
// asked: Windows refuses it, but Wine running as root would grant it.
Win32Error Win32Platform::OpenFile(const char* path, FileAccess access, FileShare share,
                                   FileDisposition disposition, std::unique_ptr<File>* file) {
    file->reset();
    if (path == nullptr) return win32::kInvalidParameter;
    if (access == FileAccess::kReadWrite) {
        const DWORD attributes = ::GetFileAttributesA(path);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            return win32::kAccessDenied;
        }
    }
    DWORD create = OPEN_EXISTING;
    if (disposition == FileDisposition::kOpenAlways) create = OPEN_ALWAYS;
    if (disposition == FileDisposition::kCreateNew) create = CREATE_NEW;
    HANDLE handle = ::CreateFileA(path, AccessBits(access), ShareBits(share), nullptr, create,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastErrorOr(win32::kInvalidHandle);
    *file = std::make_unique<Win32File>(handle, access);
    return win32::kSuccess;
}

// GetFullPathNameA. The system answers a buffer that is too small with the
// size it needs instead of failing; that answer becomes
// win32::kFilenameExcedRange.
Win32Error Win32Platform::GetFullPath(const char* path, char* out, std::size_t outSize) {
    if (path == nullptr || out == nullptr || outSize == 0) return win32::kInvalidParameter;
    const DWORD size = outSize > 0x7fffffffU ? 0x7fffffffU : static_cast<DWORD>(outSize);
    const DWORD length = ::GetFullPathNameA(path, size, out, nullptr);
    if (length == 0) return LastErrorOr(win32::kInvalidName);
    if (length >= size) return win32::kFilenameExcedRange;
    return win32::kSuccess;
}

Win32Error Win32Platform::GetPathAttributes(const char* path, std::uint32_t* attributes) {
    if (path == nullptr) return win32::kInvalidParameter;
    const DWORD found = ::GetFileAttributesA(path);
    if (found == INVALID_FILE_ATTRIBUTES) return LastErrorOr(win32::kFileNotFound);
    *attributes = found;
    return win32::kSuccess;
}

// CopyFileA(source, destination, TRUE). A name that is taken is refused before
// the copy starts, so that a copy failing later (a missing source, a full disk)
// removes only the partial destination that it made itself.
Win32Error Win32Platform::CopyFileTo(const char* source, const char* destination) {
    if (source == nullptr || destination == nullptr) return win32::kInvalidParameter;
    if (::GetFileAttributesA(destination) != INVALID_FILE_ATTRIBUTES) return win32::kFileExists;
    if (!::CopyFileA(source, destination, TRUE)) {
        const Win32Error error = LastErrorOr(win32::kAccessDenied);
        if (error != win32::kFileExists && error != win32::kAlreadyExists) {
            ::DeleteFileA(destination);
        }
        return error;
    }
    return win32::kSuccess;
}

Win32Error Win32Platform::CopyAccess(const char* source, const char* destination) {
    if (source == nullptr || destination == nullptr) return win32::kInvalidParameter;
    return win32::kSuccess;
}

Win32Error Win32Platform::MoveFileTo(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) return win32::kInvalidParameter;
    if (!::MoveFileA(from, to)) return LastErrorOr(win32::kAccessDenied);
    return win32::kSuccess;
}

Win32Error Win32Platform::RemoveFile(const char* path) {
    if (path == nullptr) return win32::kInvalidParameter;
    if (!::DeleteFileA(path)) return LastErrorOr(win32::kFileNotFound);
    return win32::kSuccess;
}

// GetTempFileNameA(folder, prefix, 0, out).
// - An empty folder is passed to the system as "." (the system itself would
//   refuse it or use the root of the drive), and the ".\" the system puts in
//   front of the name is removed: the result is the bare name, relative to the
//   current folder.
// - A folder so long that the name could not fit in kMaxPath bytes fails with
//   win32::kFilenameExcedRange before the system is asked.
// - The system chooses the letter case of the hexadecimal digits and of the
//   extension (".tmp" under Wine), and adds a backslash after a folder that
//   does not end with one (even after a "/").
Win32Error Win32Platform::MakeTempFile(const char* folder, const char* prefix, char* out) {
    if (folder == nullptr || prefix == nullptr || out == nullptr) return win32::kInvalidParameter;
    // Folder, backslash, three prefix letters, four digits, ".TMP", zero.
    if (std::strlen(folder) + 1 + 3 + 4 + 4 + 1 > kMaxPath) return win32::kFilenameExcedRange;
    const bool current = folder[0] == '\0';
    char name[kMaxPath];
    if (::GetTempFileNameA(current ? "." : folder, prefix, 0, name) == 0) {
        return LastErrorOr(win32::kPathNotFound);
    }
    const char* result = name;
    if (current && result[0] == '.' && (result[1] == '\\' || result[1] == '/')) result += 2;
    std::memcpy(out, result, std::strlen(result) + 1);
    return win32::kSuccess;
}

}  // namespace quillet
