#pragma once
// WrappingPlatform: a Platform that passes every call to another Platform, for
// tools and tests that watch or change some calls and leave the rest alone
// (the sample builder's virtual clock, the benchmark's call counts, the fault
// and power-loss platforms of the tests). Each call does exactly what the
// inner platform's does, with its result; it adds no state of its own.
//
// Every File it opens is wrapped in a File that forwards too (WrapFile), and
// every NamedMutex in a forwarding NamedMutex (WrapMutex); a subclass
// overrides the calls or the wrappers it cares about. Wrapped objects hold no
// reference to the WrappingPlatform itself, but subclasses' wrappers may: keep
// the platform alive while their objects are.

#include <memory>

#include "platform/Platform.h"

namespace quillet {

class WrappingFile : public File {
  public:
    explicit WrappingFile(std::unique_ptr<File> inner) : inner_(std::move(inner)) {}

    Win32Error Seek(std::uint64_t offset, std::uint64_t* reached) override;
    Win32Error Read(void* buffer, std::uint32_t count, std::uint32_t* got) override;
    Win32Error Write(const void* buffer, std::uint32_t count, std::uint32_t* written) override;
    Win32Error SetEndOfFile() override;
    Win32Error Flush() override;
    Win32Error StartWriteBack(std::uint64_t offset, std::uint64_t length) override;
    Win32Error SetLastWriteTime(const FileTime& time) override;
    Win32Error LockRange(std::uint64_t offset, std::uint64_t length) override;
    Win32Error UnlockRange(std::uint64_t offset, std::uint64_t length) override;

  protected:
    File& inner() { return *inner_; }

  private:
    std::unique_ptr<File> inner_;
};

class WrappingMutex : public NamedMutex {
  public:
    explicit WrappingMutex(std::unique_ptr<NamedMutex> inner) : inner_(std::move(inner)) {}

    WaitResult Wait(std::uint32_t timeoutMs) override;
    Win32Error Release() override;

  protected:
    NamedMutex& inner() { return *inner_; }

  private:
    std::unique_ptr<NamedMutex> inner_;
};

class WrappingPlatform : public Platform {
  public:
    explicit WrappingPlatform(Platform& inner) : inner_(inner) {}

    Win32Error OpenFile(const char* path, FileAccess access, FileShare share,
                        FileDisposition disposition, std::unique_ptr<File>* file) override;
    Win32Error GetFullPath(const char* path, char* out, std::size_t outSize) override;
    Win32Error GetPathAttributes(const char* path, std::uint32_t* attributes) override;
    Win32Error CopyFileTo(const char* source, const char* destination) override;
    Win32Error CopyAccess(const char* source, const char* destination) override;
    Win32Error MoveFileTo(const char* from, const char* to) override;
    Win32Error RemoveFile(const char* path) override;
    Win32Error MakeTempFile(const char* folder, const char* prefix, char* out) override;
    char Separator() const override;

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

    bool ShowOpenFileDialog(const OpenFileDialog& dialog, char* path) override;
    MessageAnswer ShowMessageBox(const char* text, const char* caption, MessageButtons buttons,
                                 MessageIcon icon) override;

  protected:
    // Called with every file the inner platform opened; the result is what the
    // caller of OpenFile gets.
    virtual std::unique_ptr<File> WrapFile(std::unique_ptr<File> file);
    // Called with every mutex the inner platform opened.
    virtual std::unique_ptr<NamedMutex> WrapMutex(std::unique_ptr<NamedMutex> mutex);

    Platform& inner() { return inner_; }

  private:
    Platform& inner_;
};

}  // namespace quillet
