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
#include "platform/WrappingPlatform.h"

namespace quillet::bench {

enum class CallKind { kOpen, kSeek, kRead, kWrite, kFlush, kWriteBack, kSetEnd, kOther };
constexpr std::size_t kCallKinds = 8;

struct CallCounts {
    std::array<std::uint64_t, kCallKinds> calls{};
    std::uint64_t bytesRead = 0;
    std::uint64_t bytesWritten = 0;

    std::uint64_t Total() const;
    CallCounts operator-(const CallCounts& earlier) const;
    // "123 calls: 40 seek, 41 read (1.2 MiB), 40 write (1.0 MiB), 2 flush, ..."
    std::string Describe() const;
};

class CountingPlatform : public WrappingPlatform {
  public:
    explicit CountingPlatform(Platform& inner) : WrappingPlatform(inner) {}

    const CallCounts& Counts() const { return counts_; }

    // Counted as an open; the file it opens counts its own calls.
    Win32Error OpenFile(const char* path, FileAccess access, FileShare share,
                        FileDisposition disposition, std::unique_ptr<File>* file) override;

  protected:
    std::unique_ptr<File> WrapFile(std::unique_ptr<File> file) override;

  private:
    CallCounts counts_;
};

}  // namespace quillet::bench
