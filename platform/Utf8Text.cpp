// UTF-8 <-> UTF-16 conversion with the semantics of MultiByteToWideChar and
// WideCharToMultiByte, for the platforms whose ANSI code page is UTF-8: POSIX
// always, Windows when the program's manifest obtains the UTF-8 code page. The
// same code on both makes the same text of the same bytes.
//
// Decoding: each maximal ill-formed part of the input (a stray byte, a
// truncated sequence, an overlong form, an encoded surrogate, a value above
// U+10FFFF) becomes one U+FFFD. Encoding writes every unpaired surrogate as
// '?', the character for units the code page cannot represent.

#include "platform/Utf8Text.h"

#include <climits>
#include <cstring>

namespace quillet {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes the code point at text[*at] and advances *at past it.
char32_t DecodeOne(const unsigned char* text, std::size_t size, std::size_t* at) {
    const unsigned char lead = text[*at];
    if (lead < 0x80) {
        ++*at;
        return lead;
    }
    int trail;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    char32_t value;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trail = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trail = 2;
        value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trail = 3;
        value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;   // no overlong forms
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        ++*at;
        return kReplacement;
    }
    std::size_t next = *at + 1;
    for (int i = 0; i < trail; ++i, ++next) {
        if (next >= size) {
            *at = next;
            return kReplacement;
        }
        const unsigned char c = text[next];
        const unsigned char from = i == 0 ? low : 0x80;
        const unsigned char to = i == 0 ? high : 0xBF;
        if (c < from || c > to) {
            *at = next;  // the bytes so far are the ill-formed part
            return kReplacement;
        }
        value = (value << 6) | (c & 0x3F);
    }
    *at = next;
    return value;
}

}  // namespace

int Utf8ToWide(const char* text, int length, char16_t* out, int outCount) {
    if (text == nullptr || length == 0 || length < -1 || outCount < 0) return 0;
    if (outCount > 0 && out == nullptr) return 0;
    const std::size_t size =
        length == -1 ? std::strlen(text) + 1 : static_cast<std::size_t>(length);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);

    std::size_t needed = 0;
    for (std::size_t at = 0; at < size;) needed += DecodeOne(bytes, size, &at) > 0xFFFF ? 2 : 1;
    if (needed > static_cast<std::size_t>(INT_MAX)) return 0;
    if (outCount == 0) return static_cast<int>(needed);
    if (needed > static_cast<std::size_t>(outCount)) return 0;  // too small: nothing counts

    std::size_t written = 0;
    for (std::size_t at = 0; at < size;) {
        const char32_t c = DecodeOne(bytes, size, &at);
        if (c > 0xFFFF) {
            out[written++] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out[written++] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out[written++] = static_cast<char16_t>(c);
        }
    }
    return static_cast<int>(written);
}

int WideToUtf8(const char16_t* text, int length, char* out, int outSize) {
    if (text == nullptr || length == 0 || length < -1 || outSize < 0) return 0;
    if (outSize > 0 && out == nullptr) return 0;
    std::size_t size = 0;
    if (length == -1) {
        while (text[size] != 0) ++size;
        ++size;  // the terminating zero is converted too
    } else {
        size = static_cast<std::size_t>(length);
    }

    // One pass counts, a second writes; `emit` is null while counting.
    auto run = [&](char* emit) -> std::size_t {
        std::size_t n = 0;
        auto put = [&](unsigned value) {
            if (emit != nullptr) emit[n] = static_cast<char>(value);
            ++n;
        };
        for (std::size_t i = 0; i < size; ++i) {
            char32_t c = text[i];
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < size && text[i + 1] >= 0xDC00 &&
                text[i + 1] <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
                ++i;
            } else if (c >= 0xD800 && c <= 0xDFFF) {
                put('?');  // an unpaired surrogate has no UTF-8 form
                continue;
            }
            if (c < 0x80) {
                put(c);
            } else if (c < 0x800) {
                put(0xC0 | (c >> 6));
                put(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                put(0xE0 | (c >> 12));
                put(0x80 | ((c >> 6) & 0x3F));
                put(0x80 | (c & 0x3F));
            } else {
                put(0xF0 | (c >> 18));
                put(0x80 | ((c >> 12) & 0x3F));
                put(0x80 | ((c >> 6) & 0x3F));
                put(0x80 | (c & 0x3F));
            }
        }
        return n;
    };
    const std::size_t needed = run(nullptr);
    if (needed > static_cast<std::size_t>(INT_MAX)) return 0;
    if (outSize == 0) return static_cast<int>(needed);
    if (needed > static_cast<std::size_t>(outSize)) return 0;
    return static_cast<int>(run(out));
}

}  // namespace quillet
