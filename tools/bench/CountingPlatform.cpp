#include "tools/bench/CountingPlatform.h"

#include <cstdio>

namespace quillet::bench {

namespace {

class CountingFile : public File {
  public:
    CountingFile(std::unique_ptr<File> inner, CallCounts& counts)
        : inner_(std::move(inner)), counts_(counts) {}

    Win32Error Seek(std::uint64_t offset, std::uint64_t* reached) override {
        Count(CallKind::kSeek);
        return inner_->Seek(offset, reached);
    }
    Win32Error Read(void* buffer, std::uint32_t count, std::uint32_t* got) override {
        Count(CallKind::kRead);
        const Win32Error e = inner_->Read(buffer, count, got);
        counts_.bytesRead += *got;
        return e;
    }
    Win32Error Write(const void* buffer, std::uint32_t count, std::uint32_t* written) override {
        Count(CallKind::kWrite);
        const Win32Error e = inner_->Write(buffer, count, written);
        counts_.bytesWritten += *written;
        return e;
    }
    Win32Error ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count,
                      std::uint32_t* got) override {
        const Win32Error e = inner_->ReadAt(offset, buffer, count, got);
        if (e == win32::kNotSupported) return e;  // the caller seeks and reads instead
        Count(CallKind::kRead);
        counts_.bytesRead += *got;
        return e;
    }
    Win32Error WriteAt(std::uint64_t offset, const void* buffer, std::uint32_t count,
                       std::uint32_t* written) override {
        const Win32Error e = inner_->WriteAt(offset, buffer, count, written);
        if (e == win32::kNotSupported) return e;
        Count(CallKind::kWrite);
        counts_.bytesWritten += *written;
        return e;
    }
    Win32Error SetEndOfFile() override {
        Count(CallKind::kSetEnd);
        return inner_->SetEndOfFile();
    }
    Win32Error Flush() override {
        Count(CallKind::kFlush);
        return inner_->Flush();
    }
    Win32Error StartWriteBack(std::uint64_t offset, std::uint64_t length) override {
        Count(CallKind::kWriteBack);
        return inner_->StartWriteBack(offset, length);
    }
    Win32Error SetLastWriteTime(const FileTime& time) override {
        Count(CallKind::kOther);
        return inner_->SetLastWriteTime(time);
    }
    Win32Error LockRange(std::uint64_t offset, std::uint64_t length) override {
        Count(CallKind::kOther);
        return inner_->LockRange(offset, length);
    }
    Win32Error UnlockRange(std::uint64_t offset, std::uint64_t length) override {
        Count(CallKind::kOther);
        return inner_->UnlockRange(offset, length);
    }

  private:
    void Count(CallKind kind) { ++counts_.calls[static_cast<std::size_t>(kind)]; }

    std::unique_ptr<File> inner_;
    CallCounts& counts_;
};

}  // namespace

std::uint64_t CallCounts::Total() const {
    std::uint64_t total = 0;
    for (std::uint64_t n : calls) total += n;
    return total;
}

CallCounts CallCounts::operator-(const CallCounts& earlier) const {
    CallCounts d;
    for (std::size_t i = 0; i < kCallKinds; ++i) d.calls[i] = calls[i] - earlier.calls[i];
    d.bytesRead = bytesRead - earlier.bytesRead;
    d.bytesWritten = bytesWritten - earlier.bytesWritten;
    return d;
}

std::string CallCounts::Describe() const {
    auto n = [&](CallKind k) {
        return static_cast<unsigned long long>(calls[static_cast<std::size_t>(k)]);
    };
    char text[256];
    std::snprintf(text, sizeof text,
                  "%llu calls: %llu seek, %llu read (%.1f MiB), %llu write (%.1f MiB), "
                  "%llu flush, %llu write-back, %llu open, %llu set-end, %llu other",
                  static_cast<unsigned long long>(Total()), n(CallKind::kSeek), n(CallKind::kRead),
                  bytesRead / 1048576.0, n(CallKind::kWrite), bytesWritten / 1048576.0,
                  n(CallKind::kFlush), n(CallKind::kWriteBack), n(CallKind::kOpen),
                  n(CallKind::kSetEnd),
                  n(CallKind::kOther));
    return text;
}

Win32Error CountingPlatform::OpenFile(const char* path, FileAccess access, FileShare share,
                                      FileDisposition disposition, std::unique_ptr<File>* file) {
    ++counts_.calls[static_cast<std::size_t>(CallKind::kOpen)];
    return WrappingPlatform::OpenFile(path, access, share, disposition, file);
}

std::unique_ptr<File> CountingPlatform::WrapFile(std::unique_ptr<File> file) {
    return std::make_unique<CountingFile>(std::move(file), counts_);
}

}  // namespace quillet::bench
