#pragma once
// The result of every operation in the program: 0 is success, a positive value
// is one of the program's own codes, and a negative value is the negated Win32
// error number of the system call that failed.

#include <cstdint>

namespace quillet {

using ResultCode = std::int32_t;

// Win32 error numbers. The platform layer reports every failure as one of these,
// on every platform, so that "minus the Win32 error" means the same everywhere.
using Win32Error = std::uint32_t;

namespace win32 {
constexpr Win32Error kSuccess = 0;
constexpr Win32Error kInvalidFunction = 1;
constexpr Win32Error kFileNotFound = 2;
constexpr Win32Error kPathNotFound = 3;
constexpr Win32Error kTooManyOpenFiles = 4;
constexpr Win32Error kAccessDenied = 5;
constexpr Win32Error kInvalidHandle = 6;
constexpr Win32Error kNotEnoughMemory = 8;
constexpr Win32Error kWriteProtect = 19;
constexpr Win32Error kWriteFault = 29;
constexpr Win32Error kReadFault = 30;
constexpr Win32Error kGenFailure = 31;
constexpr Win32Error kSharingViolation = 32;
constexpr Win32Error kLockViolation = 33;
constexpr Win32Error kHandleEof = 38;
constexpr Win32Error kNotSupported = 50;
constexpr Win32Error kFileExists = 80;
constexpr Win32Error kInvalidParameter = 87;
constexpr Win32Error kDiskFull = 112;
constexpr Win32Error kInvalidName = 123;
constexpr Win32Error kNegativeSeek = 131;
constexpr Win32Error kDirNotEmpty = 145;
constexpr Win32Error kAlreadyExists = 183;
constexpr Win32Error kFilenameExcedRange = 206;
constexpr Win32Error kWaitTimeout = 258;
constexpr Win32Error kInvalidWindowHandle = 1400;
}  // namespace win32

}  // namespace quillet
