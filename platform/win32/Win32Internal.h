#pragma once
// Helpers shared by the .cpp files of the Windows platform. No system header
// here: the functions are defined in Win32Internal.cpp.

#include <cstdint>
#include <string>

#include "platform/ResultCode.h"

namespace quillet::win32detail {

// GetLastError() after a call that reported failure. A failed call must never
// turn into success, so a thread error of 0 is replaced by `fallback`.
Win32Error LastErrorOr(Win32Error fallback);

// The name under which a named kernel object (mutex, file mapping) is created.
// Names the system accepts as they are (no backslash, shorter than MAX_PATH,
// text of the ANSI code page) are used unchanged, so other programs that open the same objects by the same
// names meet this one. Any other name, which CreateMutexA and
// CreateFileMappingA would reject or alter, is replaced by a fixed-length name made of
// two independent 64-bit hashes of its bytes, so that it is accepted and two
// different long names still name different objects.
std::string KernelObjectName(const char* name);

}  // namespace quillet::win32detail
