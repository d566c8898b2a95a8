#pragma once
// DryRunPlatform: a Platform whose files live in memory, so that the real
// conversion and compaction can run on a copy of a data file without touching
// the disk. Every call that is not about files, mutexes or shared blocks goes
// to the inner platform (memory, text, time). Mutexes and shared blocks belong
// to this object alone: a dry run never meets another process.
//
// Memory is bounded: a file never grows beyond kMaxDryRunFileBytes; a write
// that would pass it fails with win32::kDiskFull, as a full disk would.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace quillet {

// 16 MiB of blocks plus one block of slack: a data file cannot name more.
constexpr std::uint64_t kMaxDryRunFileBytes = (std::uint64_t{0x8000} + 1) * 512;

class DryRunPlatform final : public Platform {
  public:
    explicit DryRunPlatform(Platform& inner) : inner_(inner) {}

    // Puts a file of these bytes under `path` (replacing one of that name).
    void PutFile(const std::string& path, std::vector<std::uint8_t> bytes);
    // The bytes of a file, or null when there is none of that name.
    const std::vector<std::uint8_t>* FileBytes(const std::string& path) const;

    // Files: names are taken as they are (no folders, no case folding); the
    // full path of a name is the name itself. Share modes are not enforced:
    // only this process's dry run opens these files.
    Win32Error OpenFile(const char* path, FileAccess access, FileShare share,
                        FileDisposition disposition, std::unique_ptr<File>* file) override;
    Win32Error GetFullPath(const char* path, char* out, std::size_t outSize) override;
    Win32Error GetPathAttributes(const char* path, std::uint32_t* attributes) override;
    Win32Error CopyFileTo(const char* source, const char* destination) override;
    Win32Error CopyAccess(const char* source, const char* destination) override;
    Win32Error MoveFileTo(const char* from, const char* to) override;
    Win32Error RemoveFile(const char* path) override;
    // Not offered: a dry run names its files itself. Always kNotSupported.
    Win32Error MakeTempFile(const char* folder, const char* prefix, char* out) override;
    char Separator() const override { return inner_.Separator(); }

    // A mutex of this object alone, recursive like the real one.
    Win32Error OpenNamedMutex(const char* name, std::unique_ptr<NamedMutex>* mutex) override;
    // A zeroed block of this object alone; *existed is false.
    Win32Error OpenSharedBlock(const char* name, bool* existed,
                               std::unique_ptr<SharedBlock>* block) override;
    // Returns at once: nothing else runs that could be waited for.
    void SleepMs(std::uint32_t milliseconds) override;

    // No windows in a dry run: none exists, posting fails, no listener.
    bool IsWindow(std::uint32_t handle) override;
    Win32Error PostWindowMessage(std::uint32_t handle, std::uint32_t message) override;
    Win32Error CreateWindowListener(std::unique_ptr<WindowListener>* listener) override;

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

    // No user interface in a dry run: the dialog is cancelled, a message box
    // answers Cancel.
    bool ShowOpenFileDialog(const OpenFileDialog& dialog, char* path) override;
    MessageAnswer ShowMessageBox(const char* text, const char* caption, MessageButtons buttons,
                                 MessageIcon icon) override;

  private:
    Platform& inner_;
    // Shared with the open File objects, so that a file removed while open
    // stays readable through them, as an unlinked file does.
    std::map<std::string, std::shared_ptr<std::vector<std::uint8_t>>> files_;
};

}  // namespace quillet
