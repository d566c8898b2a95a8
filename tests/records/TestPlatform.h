#pragma once
// A Platform for the record tests: local memory on the C heap with a count of
// live blocks and a chosen allocation that fails, Latin-1 text conversion, and
// a settable clock. Everything else reports ERROR_NOT_SUPPORTED.

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "platform/Platform.h"

namespace quillet::testing {

class TestPlatform final : public Platform {
  public:
    ~TestPlatform() override {
        for (auto& [block, size] : blocks_) std::free(block);
    }

    // ---- Test controls ----

    // The allocation `n` calls from now (1 = the next) fails; 0 never.
    void FailAllocationIn(int n) { failIn_ = n; }
    // Every allocation fails while set.
    void FailAllAllocations(bool fail) { failAll_ = fail; }
    std::size_t LiveBlocks() const { return blocks_.size(); }
    int allocations() const { return allocations_; }
    SystemTime now;
    std::uint32_t ticks = 0;
    // Text conversions fail while set.
    bool failText = false;

    // ---- Memory ----
    void* LocalAllocZeroed(std::size_t bytes) override {
        if (Refuse()) return nullptr;
        void* block = std::calloc(bytes ? bytes : 1, 1);
        if (block) blocks_[block] = bytes;
        return block;
    }
    void* LocalReAllocZeroed(void* block, std::size_t bytes) override {
        if (Refuse()) return nullptr;
        auto it = blocks_.find(block);
        if (it == blocks_.end()) std::abort();  // not a block of ours
        const std::size_t old = it->second;
        void* moved = std::realloc(block, bytes ? bytes : 1);
        if (!moved) return nullptr;
        blocks_.erase(it);
        if (bytes > old) std::memset(static_cast<char*>(moved) + old, 0, bytes - old);
        blocks_[moved] = bytes;
        return moved;
    }
    void LocalFreeBlock(void* block) override {
        if (!block) return;
        auto it = blocks_.find(block);
        if (it == blocks_.end()) std::abort();  // double or foreign free
        blocks_.erase(it);
        std::free(block);
    }

    // ---- Text: Latin-1 ----
    int AnsiToWide(const char* text, int length, char16_t* out, int outCount) override {
        if (failText) return 0;
        const int n = length < 0 ? static_cast<int>(std::strlen(text)) + 1 : length;
        if (outCount == 0) return n;
        if (outCount < n) return 0;
        for (int i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(text[i]);
        return n;
    }
    int WideToAnsi(const char16_t* text, int length, char* out, int outSize) override {
        if (failText) return 0;
        int n = length;
        if (n < 0) {
            n = 0;
            while (text[n]) ++n;
            ++n;
        }
        if (outSize == 0) return n;
        if (outSize < n) return 0;
        for (int i = 0; i < n; ++i) out[i] = text[i] < 256 ? static_cast<char>(text[i]) : '?';
        return n;
    }
    const char* FindLastChar(const char* text, char c) override { return std::strrchr(text, c); }

    // ---- Time ----
    FileTime SystemTimeAsFileTime() override { return {}; }
    SystemTime LocalTime() override { return now; }
    std::uint32_t TickCount() override { return ticks; }

    // ---- Not used by the record layer ----
    Win32Error OpenFile(const char*, FileAccess, FileShare, FileDisposition,
                        std::unique_ptr<File>*) override {
        return win32::kNotSupported;
    }
    Win32Error GetFullPath(const char*, char*, std::size_t) override {
        return win32::kNotSupported;
    }
    Win32Error GetPathAttributes(const char*, std::uint32_t*) override {
        return win32::kNotSupported;
    }
    Win32Error CopyFileTo(const char*, const char*) override { return win32::kNotSupported; }
    Win32Error CopyAccess(const char*, const char*) override { return win32::kNotSupported; }
    Win32Error MoveFileTo(const char*, const char*) override { return win32::kNotSupported; }
    Win32Error RemoveFile(const char*) override { return win32::kNotSupported; }
    Win32Error MakeTempFile(const char*, const char*, char*) override {
        return win32::kNotSupported;
    }
    char Separator() const override { return '/'; }
    Win32Error OpenNamedMutex(const char*, std::unique_ptr<NamedMutex>*) override {
        return win32::kNotSupported;
    }
    Win32Error OpenSharedBlock(const char*, bool*, std::unique_ptr<SharedBlock>*) override {
        return win32::kNotSupported;
    }
    void SleepMs(std::uint32_t) override {}
    bool IsWindow(std::uint32_t) override { return false; }
    Win32Error PostWindowMessage(std::uint32_t, std::uint32_t) override {
        return win32::kInvalidWindowHandle;
    }
    Win32Error CreateWindowListener(std::unique_ptr<WindowListener>*) override {
        return win32::kNotSupported;
    }
    bool ShowOpenFileDialog(const OpenFileDialog&, char*) override { return false; }
    MessageAnswer ShowMessageBox(const char*, const char*, MessageButtons, MessageIcon) override {
        return MessageAnswer::kCancel;
    }

  private:
    bool Refuse() {
        ++allocations_;
        if (failAll_) return true;
        if (failIn_ > 0 && --failIn_ == 0) return true;
        return false;
    }

    std::map<void*, std::size_t> blocks_;
    int failIn_ = 0;
    bool failAll_ = false;
    int allocations_ = 0;
};

}  // namespace quillet::testing
