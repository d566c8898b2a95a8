#pragma once
// The Windows platform: every call of `Platform` passes straight through to
// the Win32 call named in its contract (ANSI forms, code page CP_ACP).
//
// This header declares the class only; <windows.h> is included by the .cpp
// files of this folder and nowhere else. The implementation is split by topic:
// Win32Files.cpp (files and paths), Win32Sync.cpp (named mutexes and shared
// blocks), Win32Windows.cpp (window liveness, posted messages, listeners),
// Win32UserInterface.cpp (open-file dialog, message boxes) and
// Win32Platform.cpp (memory, text, time and `Platform::Default`).
//
// Where the Win32 call itself is looser than the contract in Platform.h, the
// refinement is stated next to the function in its .cpp file.

#include "platform/Platform.h"

namespace quillet {

class Win32Platform final : public Platform {
  public:
    Win32Platform() = default;
    Win32Platform(const Win32Platform&) = delete;
    Win32Platform& operator=(const Win32Platform&) = delete;

    Win32Error OpenFile(const char* path, FileAccess access, FileShare share,
                        FileDisposition disposition, std::unique_ptr<File>* file) override;
    Win32Error GetFullPath(const char* path, char* out, std::size_t outSize) override;
    Win32Error GetPathAttributes(const char* path, std::uint32_t* attributes) override;
    Win32Error CopyFileTo(const char* source, const char* destination) override;
    Win32Error CopyAccess(const char* source, const char* destination) override;
    Win32Error MoveFileTo(const char* from, const char* to) override;
    Win32Error RemoveFile(const char* path) override;
    Win32Error MakeTempFile(const char* folder, const char* prefix, char* out) override;
    char Separator() const override { return '\\'; }

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

    int AnsiToWide(const char* text, int length, char16_t* out, int outCount) override;
    int WideToAnsi(const char16_t* text, int length, char* out, int outSize) override;
    const char* FindLastChar(const char* text, char c) override;

    FileTime SystemTimeAsFileTime() override;
    SystemTime LocalTime() override;
    std::uint32_t TickCount() override;

    bool ShowOpenFileDialog(const OpenFileDialog& dialog, char* path) override;
    MessageAnswer ShowMessageBox(const char* text, const char* caption, MessageButtons buttons,
                                 MessageIcon icon) override;
};

}  // namespace quillet
