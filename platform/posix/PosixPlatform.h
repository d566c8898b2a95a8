#pragma once
// `Platform` on Linux. Win32 semantics are rebuilt from POSIX calls:
// - share modes, named mutexes and named shared blocks use small lock files in a
//   private per-user runtime folder (RuntimeFolder.h, LockFile.h) with
//   open-file-description locks, so they hold between processes and between
//   handles of one process alike;
// - a "window" is a Unix datagram socket in the runtime folder;
// - the ANSI code page is UTF-8;
// - errors are errno values mapped to Win32 error numbers (PosixErrors.h).
//
// The dialog and the message boxes are in TerminalUi.cpp.

#include <mutex>
#include <vector>

#include "platform/Platform.h"
#include "platform/posix/LockFile.h"

namespace quillet {

class PosixPlatform final : public Platform {
  public:
    PosixPlatform() = default;

    Win32Error OpenFile(const char* path, FileAccess access, FileShare share,
                        FileDisposition disposition, std::unique_ptr<File>* file) override;
    Win32Error GetFullPath(const char* path, char* out, std::size_t outSize) override;
    Win32Error GetPathAttributes(const char* path, std::uint32_t* attributes) override;
    Win32Error CopyFileTo(const char* source, const char* destination) override;
    Win32Error CopyAccess(const char* source, const char* destination) override;
    Win32Error MoveFileTo(const char* from, const char* to) override;
    Win32Error RemoveFile(const char* path) override;
    Win32Error MakeTempFile(const char* folder, const char* prefix, char* out) override;
    char Separator() const override { return '/'; }

    Win32Error OpenNamedMutex(const char* name, std::unique_ptr<NamedMutex>* mutex) override;
    Win32Error OpenSharedBlock(const char* name, bool* existed,
                               std::unique_ptr<SharedBlock>* block) override;
    void SleepMs(std::uint32_t milliseconds) override;

    bool IsWindow(std::uint32_t handle) override;
    Win32Error PostWindowMessage(std::uint32_t handle, std::uint32_t message) override;
    Win32Error CreateWindowListener(std::unique_ptr<WindowListener>* listener) override;

    void* LocalAllocZeroed(std::size_t bytes) override;
    void* LocalReAllocZeroed(void* block, std::size_t bytes) override;
    void LocalFreeBlock(void* block) override;
    void PrepareMemory(void* block, std::size_t bytes) override;

    int AnsiToWide(const char* text, int length, char16_t* out, int outCount) override;
    int WideToAnsi(const char16_t* text, int length, char* out, int outSize) override;
    const char* FindLastChar(const char* text, char c) override;

    FileTime SystemTimeAsFileTime() override;
    SystemTime LocalTime() override;
    std::uint32_t TickCount() override;

    // Implemented in TerminalUi.cpp.
    bool ShowOpenFileDialog(const OpenFileDialog& dialog, char* path) override;
    MessageAnswer ShowMessageBox(const char* text, const char* caption, MessageButtons buttons,
                                 MessageIcon icon) override;

  private:
    // The temporary names made by MakeTempFile, reserved until destruction.
    std::mutex reservationsGuard_;
    std::vector<posix::LockFile> reservations_;
};

}  // namespace quillet
