// Field text and comparison: the 8-bit text forms of number and string fields,
// and the order of two records by one field.

#include <charconv>
#include <cstdint>
#include <cstring>

#include "records/PropertyRecord.h"

namespace quillet {

namespace {

// Copies `length` bytes of `text` into out, cut to size - 1 bytes and always
// terminated; nothing for size 0.
void CopyBounded(char* out, std::int32_t size, const char* text, std::int32_t length) {
    if (!out || size <= 0) return;
    const std::int32_t copied = length < size - 1 ? length : size - 1;
    if (copied > 0) std::memcpy(out, text, static_cast<std::size_t>(copied));
    out[copied] = 0;
}

void WriteNumber(char* out, std::int32_t size, std::int32_t value) {
    char text[16];
    const auto converted = std::to_chars(text, text + sizeof text, value);
    CopyBounded(out, size, text, static_cast<std::int32_t>(converted.ptr - text));
}

// Reads a whole base-10 integer as strtol does in the classic locale: leading
// white space, an optional sign, digits; values out of range saturate at the
// 32-bit limits. False when anything but that makes up the text.
bool ParseWholeInteger(const char* text, std::int32_t* value) {
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return false;
    std::int64_t magnitude = 0;
    constexpr std::int64_t kLimit = std::int64_t{1} << 31;
    for (; *p >= '0' && *p <= '9'; ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > kLimit) magnitude = kLimit;
    }
    if (*p != 0) return false;
    std::int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue > INT32_MAX) signedValue = INT32_MAX;
    *value = static_cast<std::int32_t>(signedValue);
    return true;
}

std::int32_t FoldUnit(std::uint16_t unit) {
    return (unit >= 'A' && unit <= 'Z') ? unit + 32 : unit;
}

// Case-insensitive comparison of two strings of at most aWords and bWords
// units; the end of the words counts as a terminator.
std::int32_t CompareStrings(const std::uint16_t* a, std::int32_t aWords, const std::uint16_t* b,
                            std::int32_t bWords) {
    for (std::int32_t k = 0;; ++k) {
        const std::int32_t ca = k < aWords ? FoldUnit(a[k]) : 0;
        const std::int32_t cb = k < bWords ? FoldUnit(b[k]) : 0;
        if (ca != cb) return ca - cb;
        if (ca == 0) return 0;
    }
}

std::int32_t Order(std::int64_t a, std::int64_t b) {
    return a > b ? 1 : (a < b ? -1 : 0);
}

std::int32_t ReadLong(const std::uint16_t* value) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value[0]) |
                                     (static_cast<std::uint32_t>(value[1]) << 16));
}

FileTime ReadTime(const std::uint16_t* value) {
    FileTime time;
    time.low = static_cast<std::uint32_t>(value[0]) | (static_cast<std::uint32_t>(value[1]) << 16);
    time.high = static_cast<std::uint32_t>(value[2]) | (static_cast<std::uint32_t>(value[3]) << 16);
    return time;
}

}  // namespace

ResultCode PropertyRecord::GetText(FieldTag tag, char* out, std::int32_t size) const {
    std::int32_t words = 0;
    const std::uint16_t* value = FindValueWords(tag, &words);
    if (!value) {
        CopyBounded(out, size, "", 0);
        return kFieldAbsent;
    }
    switch (FieldType(tag)) {
        case field_type::kShort:
            WriteNumber(out, size, static_cast<std::int16_t>(value[0]));
            return 0;
        case field_type::kLong:
            if (words < 2) return kFieldHasNoText;
            WriteNumber(out, size, ReadLong(value));
            return 0;
        case field_type::kTime:
        case field_type::kBlob:
            return kFieldHasNoText;
        case field_type::kString: {
            std::int32_t units = 0;
            while (units < words && value[units] != 0) ++units;
            if (units == 0) {
                CopyBounded(out, size, "", 0);
                return 0;
            }
            const auto* text = reinterpret_cast<const char16_t*>(value);
            const int needed = platform().WideToAnsi(text, units, nullptr, 0);
            if (needed <= 0) {
                CopyBounded(out, size, "", 0);
                return kFieldHasNoText;
            }
            char* converted = static_cast<char*>(
                platform().LocalAllocZeroed(static_cast<std::size_t>(needed) + 1));
            if (!converted) {
                CopyBounded(out, size, "", 0);
                return kRecordNoMemory;
            }
            const int got = platform().WideToAnsi(text, units, converted, needed);
            ResultCode result = 0;
            if (got <= 0) {
                CopyBounded(out, size, "", 0);
                result = kFieldHasNoText;
            } else {
                CopyBounded(out, size, converted, got);
            }
            platform().LocalFreeBlock(converted);
            return result;
        }
        default:
            return 0;
    }
}

ResultCode PropertyRecord::SetText(FieldTag tag, const char* text) {
    if (!text || text[0] == 0) return RemoveField(tag);
    switch (FieldType(tag)) {
        case field_type::kShort:
        case field_type::kLong: {
            std::int32_t value = 0;
            if (!ParseWholeInteger(text, &value)) return kFieldTextNotNumber;
            if (FieldType(tag) == field_type::kShort) {
                return SetShort(tag, static_cast<std::uint16_t>(static_cast<std::uint32_t>(value)));
            }
            return SetLong(tag, value);
        }
        case field_type::kTime:
        case field_type::kBlob:
            return kFieldHasNoText;
        case field_type::kString:
            return SetStringAnsi(tag, text);
        default:
            return 0;
    }
}

std::int32_t PropertyRecord::CompareField(FieldTag tag, const PropertyRecord& other) const {
    std::int32_t aWords = 0;
    std::int32_t bWords = 0;
    const std::uint16_t* a = FindValueWords(tag, &aWords);
    const std::uint16_t* b = other.FindValueWords(tag, &bWords);
    if (!a && !b) return 0;
    if (!a) return -1;
    if (!b) return 1;
    if (FieldType(tag) == field_type::kString && (a[aWords - 1] != 0 || b[bWords - 1] != 0)) {
        // A string that runs to the end of its image has no zero word to stop
        // at: compare within the image.
        return CompareStrings(a, aWords, b, bWords);
    }
    if (FieldType(tag) == field_type::kLong && (aWords < 2 || bWords < 2)) return 0;
    if (FieldType(tag) == field_type::kTime && (aWords < 4 || bWords < 4)) return 0;
    return CompareValues(tag, a, b);
}

std::int32_t PropertyRecord::CompareValues(FieldTag tag, const std::uint16_t* a,
                                           const std::uint16_t* b) const {
    switch (FieldType(tag)) {
        case field_type::kShort:
            return Order(static_cast<std::int16_t>(a[0]), static_cast<std::int16_t>(b[0]));
        case field_type::kLong:
            return Order(ReadLong(a), ReadLong(b));
        case field_type::kTime:
            return Platform::CompareFileTime(ReadTime(a), ReadTime(b));
        case field_type::kString:
            return CompareStrings(a, INT32_MAX, b, INT32_MAX);
        default:
            return 0;
    }
}

}  // namespace quillet
