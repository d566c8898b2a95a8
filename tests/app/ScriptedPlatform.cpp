#include "tests/app/ScriptedPlatform.h"

#include <cstring>

namespace quillet::testing {
namespace {

// Passes every call to the real file except writes, which fail.
class FailingWriteFile : public File {
  public:
    FailingWriteFile(std::unique_ptr<File> inner, Win32Error error)
        : inner_(std::move(inner)), error_(error) {}
    Win32Error Seek(std::uint64_t offset, std::uint64_t* reached) override {
        return inner_->Seek(offset, reached);
    }
    Win32Error Read(void* buffer, std::uint32_t count, std::uint32_t* got) override {
        return inner_->Read(buffer, count, got);
    }
    Win32Error Write(const void*, std::uint32_t, std::uint32_t* written) override {
        *written = 0;
        return error_;
    }
    Win32Error SetEndOfFile() override { return inner_->SetEndOfFile(); }
    Win32Error Flush() override { return inner_->Flush(); }
    Win32Error SetLastWriteTime(const FileTime& time) override {
        return inner_->SetLastWriteTime(time);
    }
    Win32Error LockRange(std::uint64_t offset, std::uint64_t length) override {
        return inner_->LockRange(offset, length);
    }
    Win32Error UnlockRange(std::uint64_t offset, std::uint64_t length) override {
        return inner_->UnlockRange(offset, length);
    }

  private:
    std::unique_ptr<File> inner_;
    Win32Error error_;
};

}  // namespace

Win32Error ScriptedPlatform::OpenFile(const char* path, FileAccess access, FileShare share,
                                      FileDisposition disposition, std::unique_ptr<File>* file) {
    Win32Error error = inner_.OpenFile(path, access, share, disposition, file);
    if (error == win32::kSuccess && !failWritesTo.empty() &&
        ContainsIgnoringCase(path, failWritesTo)) {
        *file = std::make_unique<FailingWriteFile>(std::move(*file), failWritesWith);
    }
    return error;
}

Win32Error ScriptedPlatform::GetPathAttributes(const char* path, std::uint32_t* attributes) {
    ++attributeQueries;
    if (attributesHook) {
        const Win32Error error = attributesHook(path);
        if (error == win32::kSuccess) *attributes = kFileAttributeNormal;
        return error;
    }
    return inner_.GetPathAttributes(path, attributes);
}

Win32Error ScriptedPlatform::CopyFileTo(const char* source, const char* destination) {
    calls.push_back(std::string("copy ") + source + " -> " + destination);
    if (copyHook) {
        const Win32Error error = copyHook(source, destination);
        if (error != win32::kSuccess) return error;
    }
    return inner_.CopyFileTo(source, destination);
}

Win32Error ScriptedPlatform::CopyAccess(const char* source, const char* destination) {
    return inner_.CopyAccess(source, destination);
}

Win32Error ScriptedPlatform::MoveFileTo(const char* from, const char* to) {
    calls.push_back(std::string("move ") + from + " -> " + to);
    if (moveHook) {
        const Win32Error error = moveHook(from, to);
        if (error != win32::kSuccess) return error;
    }
    return inner_.MoveFileTo(from, to);
}

Win32Error ScriptedPlatform::RemoveFile(const char* path) {
    calls.push_back(std::string("remove ") + path);
    if (removeHook) {
        const Win32Error error = removeHook(path);
        if (error != win32::kSuccess) return error;
    }
    return inner_.RemoveFile(path);
}

Win32Error ScriptedPlatform::MakeTempFile(const char* folder, const char* prefix, char* out) {
    calls.push_back(std::string("temp ") + folder + " " + prefix);
    if (tempHook) {
        const Win32Error error = tempHook(folder);
        if (error != win32::kSuccess) return error;
    }
    return inner_.MakeTempFile(folder, prefix, out);
}

bool ScriptedPlatform::ShowOpenFileDialog(const OpenFileDialog& dialog, char* path) {
    ++dialogCalls;
    dialogOffered = path;
    dialogInstance = dialog.instance;
    dialogFlags = dialog.flags;
    dialogFilterIndex = dialog.filterIndex;
    auto text = [](const char* s) { return s != nullptr ? std::string(s) : std::string("<null>"); };
    dialogTitle = text(dialog.title);
    dialogFilterName = text(dialog.filterName);
    dialogFilterPattern = text(dialog.filterPattern);
    dialogInitialFolder = text(dialog.initialFolder);
    dialogDefaultExtension = text(dialog.defaultExtension);
    if (cancelDialog || dialogAnswer.size() >= kMaxPath) return false;
    std::memcpy(path, dialogAnswer.c_str(), dialogAnswer.size() + 1);
    return true;
}

MessageAnswer ScriptedPlatform::ShowMessageBox(const char* text, const char* caption,
                                               MessageButtons buttons, MessageIcon icon) {
    messages.push_back({text != nullptr ? text : "<null>", caption != nullptr ? caption : "<none>",
                        buttons, icon});
    if (answers.empty()) return MessageAnswer::kOk;
    const MessageAnswer answer = answers.front();
    answers.pop_front();
    return answer;
}

}  // namespace quillet::testing
