// Forwarding of every Platform, File and NamedMutex call.

#include "platform/WrappingPlatform.h"

namespace quillet {

Win32Error WrappingFile::Seek(std::uint64_t offset, std::uint64_t* reached) {
    return inner_->Seek(offset, reached);
}
Win32Error WrappingFile::Read(void* buffer, std::uint32_t count, std::uint32_t* got) {
    return inner_->Read(buffer, count, got);
}
Win32Error WrappingFile::Write(const void* buffer, std::uint32_t count, std::uint32_t* written) {
    return inner_->Write(buffer, count, written);
}
Win32Error WrappingFile::SetEndOfFile() {
    return inner_->SetEndOfFile();
}
Win32Error WrappingFile::Flush() {
    return inner_->Flush();
}
Win32Error WrappingFile::StartWriteBack(std::uint64_t offset, std::uint64_t length) {
    return inner_->StartWriteBack(offset, length);
}
Win32Error WrappingFile::SetLastWriteTime(const FileTime& time) {
    return inner_->SetLastWriteTime(time);
}
Win32Error WrappingFile::LockRange(std::uint64_t offset, std::uint64_t length) {
    return inner_->LockRange(offset, length);
}
Win32Error WrappingFile::UnlockRange(std::uint64_t offset, std::uint64_t length) {
    return inner_->UnlockRange(offset, length);
}

WaitResult WrappingMutex::Wait(std::uint32_t timeoutMs) {
    return inner_->Wait(timeoutMs);
}
Win32Error WrappingMutex::Release() {
    return inner_->Release();
}

Win32Error WrappingPlatform::OpenFile(const char* path, FileAccess access, FileShare share,
                                      FileDisposition disposition, std::unique_ptr<File>* file) {
    std::unique_ptr<File> opened;
    const Win32Error error = inner_.OpenFile(path, access, share, disposition, &opened);
    if (error != win32::kSuccess) return error;
    *file = WrapFile(std::move(opened));
    return win32::kSuccess;
}
Win32Error WrappingPlatform::GetFullPath(const char* path, char* out, std::size_t outSize) {
    return inner_.GetFullPath(path, out, outSize);
}
Win32Error WrappingPlatform::GetPathAttributes(const char* path, std::uint32_t* attributes) {
    return inner_.GetPathAttributes(path, attributes);
}
Win32Error WrappingPlatform::CopyFileTo(const char* source, const char* destination) {
    return inner_.CopyFileTo(source, destination);
}
Win32Error WrappingPlatform::CopyAccess(const char* source, const char* destination) {
    return inner_.CopyAccess(source, destination);
}
Win32Error WrappingPlatform::MoveFileTo(const char* from, const char* to) {
    return inner_.MoveFileTo(from, to);
}
Win32Error WrappingPlatform::RemoveFile(const char* path) {
    return inner_.RemoveFile(path);
}
Win32Error WrappingPlatform::MakeTempFile(const char* folder, const char* prefix, char* out) {
    return inner_.MakeTempFile(folder, prefix, out);
}
char WrappingPlatform::Separator() const {
    return inner_.Separator();
}

Win32Error WrappingPlatform::OpenNamedMutex(const char* name, std::unique_ptr<NamedMutex>* mutex) {
    std::unique_ptr<NamedMutex> opened;
    const Win32Error error = inner_.OpenNamedMutex(name, &opened);
    if (error != win32::kSuccess) return error;
    *mutex = WrapMutex(std::move(opened));
    return win32::kSuccess;
}
Win32Error WrappingPlatform::OpenSharedBlock(const char* name, bool* existed,
                                             std::unique_ptr<SharedBlock>* block) {
    return inner_.OpenSharedBlock(name, existed, block);
}
void WrappingPlatform::SleepMs(std::uint32_t milliseconds) {
    inner_.SleepMs(milliseconds);
}

bool WrappingPlatform::IsWindow(std::uint32_t handle) {
    return inner_.IsWindow(handle);
}
Win32Error WrappingPlatform::PostWindowMessage(std::uint32_t handle, std::uint32_t message) {
    return inner_.PostWindowMessage(handle, message);
}
Win32Error WrappingPlatform::CreateWindowListener(std::unique_ptr<WindowListener>* listener) {
    return inner_.CreateWindowListener(listener);
}

void* WrappingPlatform::LocalAllocZeroed(std::size_t bytes) {
    return inner_.LocalAllocZeroed(bytes);
}
void* WrappingPlatform::LocalReAllocZeroed(void* block, std::size_t bytes) {
    return inner_.LocalReAllocZeroed(block, bytes);
}
void WrappingPlatform::LocalFreeBlock(void* block) {
    inner_.LocalFreeBlock(block);
}
void WrappingPlatform::PrepareMemory(void* block, std::size_t bytes) {
    inner_.PrepareMemory(block, bytes);
}

int WrappingPlatform::AnsiToWide(const char* text, int length, char16_t* out, int outCount) {
    return inner_.AnsiToWide(text, length, out, outCount);
}
int WrappingPlatform::WideToAnsi(const char16_t* text, int length, char* out, int outSize) {
    return inner_.WideToAnsi(text, length, out, outSize);
}
const char* WrappingPlatform::FindLastChar(const char* text, char c) {
    return inner_.FindLastChar(text, c);
}

FileTime WrappingPlatform::SystemTimeAsFileTime() {
    return inner_.SystemTimeAsFileTime();
}
SystemTime WrappingPlatform::LocalTime() {
    return inner_.LocalTime();
}
std::uint32_t WrappingPlatform::TickCount() {
    return inner_.TickCount();
}

bool WrappingPlatform::ShowOpenFileDialog(const OpenFileDialog& dialog, char* path) {
    return inner_.ShowOpenFileDialog(dialog, path);
}
MessageAnswer WrappingPlatform::ShowMessageBox(const char* text, const char* caption,
                                               MessageButtons buttons, MessageIcon icon) {
    return inner_.ShowMessageBox(text, caption, buttons, icon);
}

std::unique_ptr<File> WrappingPlatform::WrapFile(std::unique_ptr<File> file) {
    return std::make_unique<WrappingFile>(std::move(file));
}
std::unique_ptr<NamedMutex> WrappingPlatform::WrapMutex(std::unique_ptr<NamedMutex> mutex) {
    return std::make_unique<WrappingMutex>(std::move(mutex));
}

}  // namespace quillet
