#pragma once
// errno to Win32 error numbers, in one place.

#include "platform/ResultCode.h"

namespace quillet::posix {

// Win32 errors that only the POSIX layer produces.
constexpr Win32Error kNotSameDevice = 17;     // ERROR_NOT_SAME_DEVICE
constexpr Win32Error kNotLocked = 158;        // ERROR_NOT_LOCKED
constexpr Win32Error kFileTooLarge = 223;     // ERROR_FILE_TOO_LARGE
constexpr Win32Error kNotOwner = 288;         // ERROR_NOT_OWNER
constexpr Win32Error kNotEnoughQuota = 1816;  // ERROR_NOT_ENOUGH_QUOTA

// The Win32 error for an errno value. ENOENT maps to kFileNotFound; use
// Win32FromPathErrno when a missing folder should read as kPathNotFound.
Win32Error Win32FromErrno(int error);

// As Win32FromErrno, but ENOENT becomes kPathNotFound when the folder part of
// `path` does not exist either (Win32 tells the two apart).
Win32Error Win32FromPathErrno(int error, const char* path);

}  // namespace quillet::posix
