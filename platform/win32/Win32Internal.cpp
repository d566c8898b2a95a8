#include "platform/win32/Win32Internal.h"

#include <windows.h>

#include <cstring>

namespace quillet::win32detail {

Win32Error LastErrorOr(Win32Error fallback) {
    const DWORD error = ::GetLastError();
    return error != 0 ? static_cast<Win32Error>(error) : fallback;
}

namespace {

// FNV-1a over the bytes, from a chosen starting value.
std::uint64_t HashBytes(const char* text, std::size_t length, std::uint64_t basis) {
    std::uint64_t hash = basis;
    for (std::size_t i = 0; i < length; ++i) {
        hash ^= static_cast<unsigned char>(text[i]);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

}  // namespace

std::string KernelObjectName(const char* name) {
    const std::size_t length = std::strlen(name);
    // A name that is no text of the ANSI code page (ill-formed UTF-8) would
    // reach the system with U+FFFD in place of its odd bytes, and two such
    // names would meet in one object: it is hashed too.
    if (length < MAX_PATH && std::strchr(name, '\\') == nullptr &&
        (length == 0 || ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name,
                                              static_cast<int>(length), nullptr, 0) > 0)) {
        return name;
    }
    const std::uint64_t first = HashBytes(name, length, 0xcbf29ce484222325ULL);
    const std::uint64_t second = HashBytes(name, length, 0x84222325cbf29ce4ULL ^ length);
    char text[96];
    ::wsprintfA(
        text, "Quillet.Object.%08lX%08lX%08lX%08lX", static_cast<unsigned long>(first >> 32),
        static_cast<unsigned long>(first & 0xffffffffU), static_cast<unsigned long>(second >> 32),
        static_cast<unsigned long>(second & 0xffffffffU));
    return text;
}

}  // namespace quillet::win32detail
