#pragma once
// CountingPlatform: passes every call to another Platform and counts the file
// calls by kind, so that the benchmark can say how many system calls each
// phase of a conversion made. On POSIX each counted call is one system call
// (a read or write that the kernel cuts short is continued with another, which
// a regular file never does).

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Platform.h"

namespace quillet::bench {

enum class CallKind { kOpen, kSeek, kRead, kWrite, kFlush, kSetEnd, kOther };
constexpr std::size_t kCallKinds = 7;

struct CallCounts {
    std::array<std::uint64_t, kCallKinds> calls{};
    std::uint64_t bytesRead = 0;
    std::uint64_t bytesWritten = 0;

    std::uint64_t Total() const;
    CallCounts operator-(const CallCounts& earlier) const;
    // "123 calls: 40 seek, 41 read (1.2 MiB), 40 write (1.0 MiB), 2 flush, ..."
    std::string Describe() const;
};

class CountingPlatform : public Platform {
  public:
    explicit CountingPlatform(Platform& inner) : inner_(inner) {}

    const CallCounts& Counts() const { return counts_; }

    Win32Error OpenFile(const char* path, FileAccess access, FileShare share,
                        FileDisposition disposition, std::unique_ptr<File>* file) override;
    Win32Error GetFullPath(const char* path, char* out, std::size_t outSize) override {
        return inner_.GetFullPath(path, out, outSize);
    }
    Win32Error GetPathAttributes(const char* path, std::uint32_t* attributes) override {
        return inner_.GetPathAttributes(path, attributes);
    }
    Win32Error CopyFileTo(const char* source, const char* destination) override {
        return inner_.CopyFileTo(source, destination);
    }
    Win32Error CopyAccess(const char* source, const char* destination) override {
        return inner_.CopyAccess(source, destination);
    }
    Win32Error MoveFileTo(const char* from, const char* to) override {
        return inner_.MoveFileTo(from, to);
    }
    Win32Error RemoveFile(const char* path) override { return inner_.RemoveFile(path); }
    Win32Error MakeTempFile(const char* folder, const char* prefix, char* out) override {
        return inner_.MakeTempFile(folder, prefix, out);
    }
    char Separator() const override { return inner_.Separator(); }
    Win32Error OpenNamedMutex(const char* name, std::unique_ptr<NamedMutex>* mutex) override {
        return inner_.OpenNamedMutex(name, mutex);
    }
    Win32Error OpenSharedBlock(const char* name, bool* existed,
                               std::unique_ptr<SharedBlock>* block) override {
        return inner_.OpenSharedBlock(name, existed, block);
    }
    void SleepMs(std::uint32_t milliseconds) override { inner_.SleepMs(milliseconds); }
    bool IsWindow(std::uint32_t handle) override { return inner_.IsWindow(handle); }
    Win32Error PostWindowMessage(std::uint32_t handle, std::uint32_t message) override {
        return inner_.PostWindowMessage(handle, message);
    }
    Win32Error CreateWindowListener(std::unique_ptr<WindowListener>* listener) override {
        return inner_.CreateWindowListener(listener);
    }
    void* LocalAllocZeroed(std::size_t bytes) override { return inner_.LocalAllocZeroed(bytes); }
    void* LocalReAllocZeroed(void* block, std::size_t bytes) override {
        return inner_.LocalReAllocZeroed(block, bytes);
    }
    void LocalFreeBlock(void* block) override { inner_.LocalFreeBlock(block); }
    int AnsiToWide(const char* text, int length, char16_t* out, int outCount) override {
        return inner_.AnsiToWide(text, length, out, outCount);
    }
    int WideToAnsi(const char16_t* text, int length, char* out, int outSize) override {
        return inner_.WideToAnsi(text, length, out, outSize);
    }
    const char* FindLastChar(const char* text, char c) override {
        return inner_.FindLastChar(text, c);
    }
    FileTime SystemTimeAsFileTime() override { return inner_.SystemTimeAsFileTime(); }
    SystemTime LocalTime() override { return inner_.LocalTime(); }
    std::uint32_t TickCount() override { return inner_.TickCount(); }
    bool ShowOpenFileDialog(const OpenFileDialog& dialog, char* path) override {
        return inner_.ShowOpenFileDialog(dialog, path);
    }
    MessageAnswer ShowMessageBox(const char* text, const char* caption, MessageButtons buttons,
                                 MessageIcon icon) override {
        return inner_.ShowMessageBox(text, caption, buttons, icon);
    }

  private:
    Platform& inner_;
    CallCounts counts_;
};

}  // namespace quillet::bench
