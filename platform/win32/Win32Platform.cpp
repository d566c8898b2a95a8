// Memory, text and time on Windows, and the process's platform object.

#include "platform/win32/Win32Platform.h"

#include <windows.h>

#include <limits>

#include "platform/Utf8Text.h"

namespace quillet {

Platform& Platform::Default() {
    static Win32Platform platform;
    return platform;
}

// ---- Memory ----
//
// Blocks are LMEM_FIXED local memory, so the handle that LocalAlloc and
// LocalReAlloc return is the block's address and the pointer interface needs no
// LocalLock. A request for 0 bytes gets a 1-byte block: the caller always
// receives a block it owns and must free, never a discarded handle.

void* Win32Platform::LocalAllocZeroed(std::size_t bytes) {
    return ::LocalAlloc(LMEM_ZEROINIT, bytes == 0 ? 1 : bytes);
}

// LocalReAlloc(block, bytes, LMEM_MOVEABLE | LMEM_ZEROINIT): on a fixed block
// LMEM_MOVEABLE allows the system to move it, and the result is again a fixed
// block whose handle is its address. A null block gets a new block, as with
// realloc.
void* Win32Platform::LocalReAllocZeroed(void* block, std::size_t bytes) {
    if (block == nullptr) return LocalAllocZeroed(bytes);
    return ::LocalReAlloc(block, bytes == 0 ? 1 : bytes, LMEM_MOVEABLE | LMEM_ZEROINIT);
}

void Win32Platform::LocalFreeBlock(void* block) {
    if (block != nullptr) ::LocalFree(block);
}

// ---- Text ----
//
// char16_t and wchar_t are both UTF-16 code units on Windows.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

namespace {

// Whether the process's ANSI code page is UTF-8: the program's manifest asks
// for it, and Windows 10 1903 and later (and Wine) grant it; older systems keep
// the system's code page.
bool AnsiIsUtf8() {
    return ::GetACP() == CP_UTF8;
}

}  // namespace

// MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED). With the UTF-8 code page the
// conversion is the platform's own (platform/Utf8Text.cpp), the one POSIX
// uses: the system's treatment of ill-formed UTF-8 and of unpaired surrogates
// differs between Windows releases and Wine, and the system refuses
// MB_PRECOMPOSED for UTF-8 (ERROR_INVALID_FLAGS). Negative counts other than
// -1 fail (return 0) instead of reaching the system.
int Win32Platform::AnsiToWide(const char* text, int length, char16_t* out, int outCount) {
    if (text == nullptr || length < -1 || outCount < 0) return 0;
    if (AnsiIsUtf8()) return Utf8ToWide(text, length, out, outCount);
    return ::MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, length,
                                 reinterpret_cast<wchar_t*>(out), outCount);
}

// WideCharToMultiByte(CP_ACP, 0, ..., default character, no used-default flag).
// With the UTF-8 code page the platform's own conversion, as for AnsiToWide:
// an unpaired surrogate becomes '?' (the system would write U+FFFD).
int Win32Platform::WideToAnsi(const char16_t* text, int length, char* out, int outSize) {
    if (text == nullptr || length < -1 || outSize < 0) return 0;
    if (AnsiIsUtf8()) return WideToUtf8(text, length, out, outSize);
    return ::WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<const wchar_t*>(text), length, out,
                                 outSize, nullptr, nullptr);
}

// Walks the text from its start one character at a time (a lead byte of a
// double-byte ANSI code page, IsDBCSLeadByte, takes its trail byte with it), so
// a trail byte equal to `c` is never taken. A lead byte just before the
// terminating zero counts as a single byte. In UTF-8 every byte of a
// multi-byte character is 0x80 or above, so no such byte can equal an ASCII
// `c` and every byte is looked at.
const char* Win32Platform::FindLastChar(const char* text, char c) {
    if (text == nullptr) return nullptr;
    const bool utf8 = AnsiIsUtf8();
    const char* found = nullptr;
    const char* p = text;
    while (*p != '\0') {
        if (*p == c) found = p;
        if (!utf8 && ::IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != '\0') {
            p += 2;
        } else {
            ++p;
        }
    }
    return found;
}

// ---- Time ----

FileTime Win32Platform::SystemTimeAsFileTime() {
    SYSTEMTIME now;
    ::GetSystemTime(&now);
    FILETIME converted{};
    FileTime result;
    if (::SystemTimeToFileTime(&now, &converted)) {
        result.low = converted.dwLowDateTime;
        result.high = converted.dwHighDateTime;
    }
    return result;
}

SystemTime Win32Platform::LocalTime() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    SystemTime result;
    result.year = now.wYear;
    result.month = now.wMonth;
    result.dayOfWeek = now.wDayOfWeek;
    result.day = now.wDay;
    result.hour = now.wHour;
    result.minute = now.wMinute;
    result.second = now.wSecond;
    result.milliseconds = now.wMilliseconds;
    return result;
}

std::uint32_t Win32Platform::TickCount() {
    return ::GetTickCount();
}

}  // namespace quillet
