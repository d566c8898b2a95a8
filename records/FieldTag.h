#pragma once
// Field tags of property records: one 16-bit word whose bits 12-15 are the
// field's type and bits 0-11 its number. The whole word identifies a field, so
// the same number may occur once per type.

#include <cstdint>

namespace quillet {

using FieldTag = std::uint16_t;

// Field types (bits 12-15 of a tag).
namespace field_type {
constexpr unsigned kShort = 0;     // 1 value word, signed 16-bit
constexpr unsigned kFlagWord = 1;  // 1 value word; bit 2 set ends the walk after this field
constexpr unsigned kLong = 4;      // 2 value words, signed 32-bit, low word first
constexpr unsigned kTime = 6;      // 4 value words, a FILETIME, low 32 bits first
constexpr unsigned kString = 8;    // UTF-16 units then one zero word
constexpr unsigned kBlob = 12;     // value word 0 counts the value words, itself included
}  // namespace field_type

// Bit 2 of a FlagWord's value: the walk continues at the end of the image.
constexpr std::uint16_t kFlagWordLast = 0x0004;

constexpr unsigned FieldType(FieldTag tag) {
    return static_cast<unsigned>(tag) >> 12;
}
constexpr unsigned FieldNumber(FieldTag tag) {
    return static_cast<unsigned>(tag) & 0x0FFFu;
}
constexpr FieldTag MakeFieldTag(unsigned type, unsigned number) {
    return static_cast<FieldTag>(((type & 0xFu) << 12) | (number & 0x0FFFu));
}

// Field order: ascending number, then ascending type, all unsigned.
constexpr bool FieldOrderedBefore(FieldTag a, FieldTag b) {
    return FieldNumber(a) < FieldNumber(b) ||
           (FieldNumber(a) == FieldNumber(b) && (a & 0xF000u) < (b & 0xF000u));
}

}  // namespace quillet
