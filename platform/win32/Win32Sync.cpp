// Named mutexes and named shared blocks on Windows: kernel objects in the
// session's namespace, shared by every process that opens the same name.
//
// Mutexes and file mappings share one namespace on Windows: a mutex and a
// shared block of the same name cannot both exist (the second creation fails
// with ERROR_INVALID_HANDLE). The container never uses one name for both: its
// mapping name is the mutex name followed by "/MAP".

#include <windows.h>

#include <cstring>

#include "platform/win32/Win32Internal.h"
#include "platform/win32/Win32Platform.h"

namespace quillet {

namespace {

using win32detail::KernelObjectName;
using win32detail::LastErrorOr;

class Win32Mutex final : public NamedMutex {
  public:
    explicit Win32Mutex(HANDLE handle) : handle_(handle) {}
    Win32Mutex(const Win32Mutex&) = delete;
    Win32Mutex& operator=(const Win32Mutex&) = delete;
    ~Win32Mutex() override { ::CloseHandle(handle_); }

    // WaitForSingleObject. WAIT_ABANDONED means the calling thread now owns
    // the mutex although its previous owner ended while holding it.
    WaitResult Wait(std::uint32_t timeoutMs) override {
        // INFINITE (0xFFFFFFFF) would wait without bound; the contract promises
        // a bounded wait, so the largest finite timeout is used instead.
        const DWORD timeout = timeoutMs == INFINITE ? INFINITE - 1 : timeoutMs;
        switch (::WaitForSingleObject(handle_, timeout)) {
            case WAIT_OBJECT_0:
                return WaitResult::kAcquired;
            case WAIT_ABANDONED:
                return WaitResult::kAbandoned;
            case WAIT_TIMEOUT:
                return WaitResult::kTimeout;
            default:
                return WaitResult::kFailed;
        }
    }

    Win32Error Release() override {
        if (!::ReleaseMutex(handle_)) return LastErrorOr(288);  // ERROR_NOT_OWNER
        return win32::kSuccess;
    }

  private:
    HANDLE handle_;
};

class Win32SharedBlock final : public SharedBlock {
  public:
    Win32SharedBlock(HANDLE mapping, std::uint8_t* view) : mapping_(mapping), view_(view) {}
    Win32SharedBlock(const Win32SharedBlock&) = delete;
    Win32SharedBlock& operator=(const Win32SharedBlock&) = delete;
    ~Win32SharedBlock() override {
        ::UnmapViewOfFile(view_);
        ::CloseHandle(mapping_);
    }
    std::uint8_t* Data() override { return view_; }

  private:
    HANDLE mapping_;
    std::uint8_t* view_;
};

}  // namespace

// CreateMutexA(no security attributes, not initially owned, name). Names that
// the system would reject (a backslash, MAX_PATH bytes or more) are replaced by
// a hashed name of fixed length (see KernelObjectName), so every name works.
// A null or empty name makes an unnamed mutex that only this handle reaches.
Win32Error Win32Platform::OpenNamedMutex(const char* name, std::unique_ptr<NamedMutex>* mutex) {
    mutex->reset();
    const bool unnamed = name == nullptr || name[0] == '\0';
    const std::string objectName = unnamed ? std::string() : KernelObjectName(name);
    HANDLE handle = ::CreateMutexA(nullptr, FALSE, unnamed ? nullptr : objectName.c_str());
    if (handle == nullptr) return LastErrorOr(win32::kInvalidHandle);
    *mutex = std::make_unique<Win32Mutex>(handle);
    return win32::kSuccess;
}

// CreateFileMappingA(INVALID_HANDLE_VALUE, no security attributes,
// PAGE_READWRITE, 512 bytes, name) and MapViewOfFile of all 512 bytes for
// reading and writing. *existed comes from ERROR_ALREADY_EXISTS right after
// the creation call. Names are treated as in OpenNamedMutex; a null or empty
// name makes an unnamed block that only this object reaches.
Win32Error Win32Platform::OpenSharedBlock(const char* name, bool* existed,
                                          std::unique_ptr<SharedBlock>* block) {
    block->reset();
    const bool unnamed = name == nullptr || name[0] == '\0';
    const std::string objectName = unnamed ? std::string() : KernelObjectName(name);
    HANDLE mapping = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                          static_cast<DWORD>(SharedBlock::kSize),
                                          unnamed ? nullptr : objectName.c_str());
    if (mapping == nullptr) return LastErrorOr(win32::kInvalidHandle);
    const bool wasOpen = ::GetLastError() == ERROR_ALREADY_EXISTS;
    void* view = ::MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, SharedBlock::kSize);
    if (view == nullptr) {
        const Win32Error error = LastErrorOr(win32::kNotEnoughMemory);
        ::CloseHandle(mapping);
        return error;
    }
    *existed = wasOpen;
    *block = std::make_unique<Win32SharedBlock>(mapping, static_cast<std::uint8_t*>(view));
    return win32::kSuccess;
}

void Win32Platform::SleepMs(std::uint32_t milliseconds) {
    ::Sleep(milliseconds);
}

}  // namespace quillet
