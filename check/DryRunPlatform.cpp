// The in-memory files, mutexes and shared blocks of a dry run.

#include "check/DryRunPlatform.h"

#include <algorithm>
#include <cstring>

namespace quillet {

namespace {

using Bytes = std::vector<std::uint8_t>;

class MemoryFile final : public File {
  public:
    MemoryFile(std::shared_ptr<Bytes> bytes, bool writable)
        : bytes_(std::move(bytes)), writable_(writable) {}

    // Any position is accepted, as SetFilePointer accepts one beyond the end.
    Win32Error Seek(std::uint64_t offset, std::uint64_t* reached) override {
        position_ = offset;
        *reached = offset;
        return win32::kSuccess;
    }
    // Reads what lies between the position and the end; short at the end.
    Win32Error Read(void* buffer, std::uint32_t count, std::uint32_t* got) override {
        *got = 0;
        if (position_ < bytes_->size()) {
            const std::uint64_t available = bytes_->size() - position_;
            const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, available));
            std::memcpy(buffer, bytes_->data() + position_, n);
            position_ += n;
            *got = n;
        }
        return win32::kSuccess;
    }
    // Fails with kAccessDenied on a read-only handle and with kDiskFull when
    // the file would pass the dry run's bound; nothing is written then.
    Win32Error Write(const void* buffer, std::uint32_t count, std::uint32_t* written) override {
        *written = 0;
        if (!writable_) return win32::kAccessDenied;
        const std::uint64_t end = position_ + count;
        if (end > kMaxDryRunFileBytes) return win32::kDiskFull;
        if (end > bytes_->size()) bytes_->resize(static_cast<std::size_t>(end));
        if (count > 0) std::memcpy(bytes_->data() + position_, buffer, count);
        position_ = end;
        *written = count;
        return win32::kSuccess;
    }
    Win32Error SetEndOfFile() override {
        if (!writable_) return win32::kAccessDenied;
        if (position_ > kMaxDryRunFileBytes) return win32::kDiskFull;
        bytes_->resize(static_cast<std::size_t>(position_));
        return win32::kSuccess;
    }
    Win32Error Flush() override { return win32::kSuccess; }
    Win32Error SetLastWriteTime(const FileTime&) override { return win32::kSuccess; }
    // Only this handle ever locks these files, so every lock is granted.
    Win32Error LockRange(std::uint64_t, std::uint64_t) override { return win32::kSuccess; }
    Win32Error UnlockRange(std::uint64_t, std::uint64_t) override { return win32::kSuccess; }

  private:
    std::shared_ptr<Bytes> bytes_;
    bool writable_;
    std::uint64_t position_ = 0;
};

class LocalMutex final : public NamedMutex {
  public:
    WaitResult Wait(std::uint32_t) override {
        ++depth_;
        return WaitResult::kAcquired;
    }
    Win32Error Release() override {
        if (depth_ == 0) return 288;  // ERROR_NOT_OWNER
        --depth_;
        return win32::kSuccess;
    }

  private:
    int depth_ = 0;
};

class LocalBlock final : public SharedBlock {
  public:
    std::uint8_t* Data() override { return bytes_; }

  private:
    std::uint8_t bytes_[kSize] = {};
};

}  // namespace

void DryRunPlatform::PutFile(const std::string& path, std::vector<std::uint8_t> bytes) {
    files_[path] = std::make_shared<Bytes>(std::move(bytes));
}

const std::vector<std::uint8_t>* DryRunPlatform::FileBytes(const std::string& path) const {
    const auto it = files_.find(path);
    return it == files_.end() ? nullptr : it->second.get();
}

Win32Error DryRunPlatform::OpenFile(const char* path, FileAccess access, FileShare,
                                    FileDisposition disposition, std::unique_ptr<File>* file) {
    auto it = files_.find(path);
    if (it != files_.end() && disposition == FileDisposition::kCreateNew) {
        return win32::kFileExists;
    }
    if (it == files_.end()) {
        if (disposition == FileDisposition::kOpenExisting) return win32::kFileNotFound;
        it = files_.emplace(path, std::make_shared<Bytes>()).first;
    }
    *file = std::make_unique<MemoryFile>(it->second, access == FileAccess::kReadWrite);
    return win32::kSuccess;
}

Win32Error DryRunPlatform::GetFullPath(const char* path, char* out, std::size_t outSize) {
    const std::size_t length = std::strlen(path);
    if (length + 1 > outSize) return win32::kFilenameExcedRange;
    std::memcpy(out, path, length + 1);
    return win32::kSuccess;
}

Win32Error DryRunPlatform::GetPathAttributes(const char* path, std::uint32_t* attributes) {
    if (files_.count(path) == 0) return win32::kFileNotFound;
    *attributes = kFileAttributeNormal;
    return win32::kSuccess;
}

Win32Error DryRunPlatform::CopyFileTo(const char* source, const char* destination) {
    const auto it = files_.find(source);
    if (it == files_.end()) return win32::kFileNotFound;
    // As on disk, a copy never replaces what stands at its destination.
    if (files_.count(destination) != 0) return win32::kFileExists;
    files_[destination] = std::make_shared<Bytes>(*it->second);
    return win32::kSuccess;
}

// Files in memory have no permissions to carry over.
Win32Error DryRunPlatform::CopyAccess(const char* source, const char* destination) {
    if (files_.count(source) == 0 || files_.count(destination) == 0) return win32::kFileNotFound;
    return win32::kSuccess;
}

Win32Error DryRunPlatform::MoveFileTo(const char* from, const char* to) {
    const auto it = files_.find(from);
    if (it == files_.end()) return win32::kFileNotFound;
    if (files_.count(to) != 0) return win32::kAlreadyExists;
    auto bytes = it->second;
    files_.erase(it);
    files_.emplace(to, std::move(bytes));
    return win32::kSuccess;
}

Win32Error DryRunPlatform::RemoveFile(const char* path) {
    return files_.erase(path) == 0 ? win32::kFileNotFound : win32::kSuccess;
}

Win32Error DryRunPlatform::MakeTempFile(const char*, const char*, char*) {
    return win32::kNotSupported;
}

Win32Error DryRunPlatform::OpenNamedMutex(const char*, std::unique_ptr<NamedMutex>* mutex) {
    *mutex = std::make_unique<LocalMutex>();
    return win32::kSuccess;
}

Win32Error DryRunPlatform::OpenSharedBlock(const char*, bool* existed,
                                           std::unique_ptr<SharedBlock>* block) {
    *existed = false;
    *block = std::make_unique<LocalBlock>();
    return win32::kSuccess;
}

void DryRunPlatform::SleepMs(std::uint32_t) {}

bool DryRunPlatform::IsWindow(std::uint32_t) {
    return false;
}

Win32Error DryRunPlatform::PostWindowMessage(std::uint32_t, std::uint32_t) {
    return win32::kInvalidWindowHandle;
}

Win32Error DryRunPlatform::CreateWindowListener(std::unique_ptr<WindowListener>*) {
    return win32::kNotSupported;
}

bool DryRunPlatform::ShowOpenFileDialog(const OpenFileDialog&, char*) {
    return false;
}

MessageAnswer DryRunPlatform::ShowMessageBox(const char*, const char*, MessageButtons,
                                             MessageIcon) {
    return MessageAnswer::kCancel;
}

}  // namespace quillet
