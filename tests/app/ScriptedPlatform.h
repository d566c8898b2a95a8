#pragma once
// ScriptedPlatform: a Platform for tests of the converter flow. The user
// interface is scripted (the dialog's answer and the message-box answers are
// given in advance, and every box shown is recorded); file calls go to an
// inner platform unless a test hook takes them over to inject a failure.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace quillet::testing {

// True when `text` contains `part`, ASCII letters compared without case.
inline bool ContainsIgnoringCase(const std::string& text, const std::string& part) {
    auto lower = [](std::string s) {
        for (char& c : s) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        return s;
    };
    return lower(text).find(lower(part)) != std::string::npos;
}

// A name the system's temporary-name call made: it ends in ".tmp" in either
// letter case (the system chooses).
inline bool IsTemporaryName(const std::string& name) {
    return name.size() >= 4 && ContainsIgnoringCase(name.substr(name.size() - 4), ".tmp");
}

// One message box as the flow showed it.
struct ShownMessage {
    std::string text;
    std::string caption;  // "<none>" when the flow gave no caption
    MessageButtons buttons = MessageButtons::kOk;
    MessageIcon icon = MessageIcon::kNone;
};

class ScriptedPlatform : public Platform {
  public:
    explicit ScriptedPlatform(Platform& inner) : inner_(inner) {}

    // ---- Script ----

    // The dialog returns this path; Cancel when `cancelDialog` is true.
    std::string dialogAnswer;
    bool cancelDialog = false;
    // Answers of the message boxes in order; OK once the list is used up.
    std::deque<MessageAnswer> answers;

    // Hooks: when set and returning a value other than kSuccess, the call fails
    // with that error instead of reaching the inner platform. A hook may also
    // do something itself (say, leave a partial file) before failing.
    std::function<Win32Error(const char* source, const char* destination)> copyHook;
    std::function<Win32Error(const char* from, const char* to)> moveHook;
    std::function<Win32Error(const char* path)> removeHook;
    std::function<Win32Error(const char* folder)> tempHook;
    // When set, answers every attribute query itself (kSuccess: the name exists).
    std::function<Win32Error(const char* path)> attributesHook;
    int attributeQueries = 0;
    // When not 0, the separator this platform reports instead of the inner one.
    char separator = 0;
    // Fails every write to a file whose path contains this text (empty: none).
    std::string failWritesTo;
    Win32Error failWritesWith = win32::kDiskFull;

    // ---- Record ----

    int dialogCalls = 0;
    void* dialogInstance = nullptr;
    std::uint32_t dialogFlags = 0;
    std::uint32_t dialogFilterIndex = 0;
    std::string dialogOffered;  // the file name offered on entry
    std::string dialogTitle, dialogFilterName, dialogFilterPattern, dialogInitialFolder,
        dialogDefaultExtension;
    std::vector<ShownMessage> messages;
    std::vector<std::string> calls;  // "copy a -> b", "move a -> b", "remove a", "temp f"

    // ---- Platform ----
    Win32Error OpenFile(const char* path, FileAccess access, FileShare share,
                        FileDisposition disposition, std::unique_ptr<File>* file) override;
    Win32Error GetFullPath(const char* path, char* out, std::size_t outSize) override {
        return inner_.GetFullPath(path, out, outSize);
    }
    Win32Error GetPathAttributes(const char* path, std::uint32_t* attributes) override;
    Win32Error CopyFileTo(const char* source, const char* destination) override;
    Win32Error CopyAccess(const char* source, const char* destination) override;
    Win32Error MoveFileTo(const char* from, const char* to) override;
    Win32Error RemoveFile(const char* path) override;
    Win32Error MakeTempFile(const char* folder, const char* prefix, char* out) override;
    char Separator() const override { return separator != 0 ? separator : inner_.Separator(); }
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
    bool ShowOpenFileDialog(const OpenFileDialog& dialog, char* path) override;
    MessageAnswer ShowMessageBox(const char* text, const char* caption, MessageButtons buttons,
                                 MessageIcon icon) override;

  private:
    Platform& inner_;
};

}  // namespace quillet::testing
