// Text in the ANSI code page, which is UTF-8 on Linux, and UTF-16 (the
// conversions are those of platform/Utf8Text.cpp).

#include <cstring>

#include "platform/Utf8Text.h"
#include "platform/posix/PosixPlatform.h"

namespace quillet {

int PosixPlatform::AnsiToWide(const char* text, int length, char16_t* out, int outCount) {
    return Utf8ToWide(text, length, out, outCount);
}

int PosixPlatform::WideToAnsi(const char16_t* text, int length, char* out, int outSize) {
    return WideToUtf8(text, length, out, outSize);
}

const char* PosixPlatform::FindLastChar(const char* text, char c) {
    if (text == nullptr) return nullptr;
    // In UTF-8 every byte of a multi-byte sequence is 0x80 or above, so an
    // ASCII byte found by a plain reverse search is always a character of its
    // own, never a trail byte.
    return std::strrchr(text, c);
}

}  // namespace quillet
