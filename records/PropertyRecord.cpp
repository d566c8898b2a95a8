// Property records: the field walk, finds, setters and the owned image.

#include "records/PropertyRecord.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace quillet {

namespace {

// The image of a record without one: a single length word of 1.
constexpr std::uint16_t kEmptyImage[1] = {1};

// What the walk does with the field whose tag is at index i.
enum class StepKind {
    kVisit,      // visit, then continue at `next`
    kVisitLast,  // visit; the walk ends after it (nothing after it is reachable)
    kStop,       // not visited: a zero tag or value words beyond the image
};

struct FieldStep {
    StepKind kind = StepKind::kStop;
    std::int32_t next = 0;        // the next tag's index (kVisit only)
    std::int32_t valueWords = 0;  // value words inside the image (visited fields)
};

// Examines the field at index i (1 <= i < length) without reading past
// words[length - 1]. Inlined into its callers, which then test the kind of
// step only where it can differ.
[[gnu::always_inline]] inline FieldStep ExamineField(const std::uint16_t* words,
                                                     std::int32_t length, std::int32_t i) {
    FieldStep step;
    const FieldTag tag = words[i];
    if (tag == 0) return step;
    const std::int32_t available = length - i - 1;  // value words inside the image
    switch (FieldType(tag)) {
        case field_type::kShort:
            if (available < 1) return step;
            step.kind = StepKind::kVisit;
            step.valueWords = 1;
            step.next = i + 2;
            return step;
        case field_type::kFlagWord:
            if (available < 1) return step;
            step.valueWords = 1;
            step.next = i + 2;
            step.kind = (words[i + 1] & kFlagWordLast) ? StepKind::kVisitLast : StepKind::kVisit;
            return step;
        case field_type::kLong:
            if (available < 2) return step;
            step.kind = StepKind::kVisit;
            step.valueWords = 2;
            step.next = i + 3;
            return step;
        case field_type::kTime:
            if (available < 4) return step;
            step.kind = StepKind::kVisit;
            step.valueWords = 4;
            step.next = i + 5;
            return step;
        case field_type::kString: {
            if (available < 1) return step;
            for (std::int32_t j = i + 1; j < length; ++j) {
                if (words[j] == 0) {
                    step.kind = StepKind::kVisit;
                    step.valueWords = j - i;
                    step.next = j + 1;
                    return step;
                }
            }
            // No zero word: the string runs to the end of the image, and a field
            // placed after it would become part of it.
            step.kind = StepKind::kVisitLast;
            step.valueWords = available;
            step.next = length;
            return step;
        }
        case field_type::kBlob: {
            if (available < 1) return step;
            const std::int32_t count = words[i + 1];
            if (count < 1 || count > available) return step;
            step.kind = StepKind::kVisit;
            step.valueWords = count;
            step.next = i + 1 + count;
            return step;
        }
        default:
            // Undefined type: visited when a first value word exists (GetShort
            // reads it), and nothing after it is.
            if (available < 1) return step;
            step.kind = StepKind::kVisitLast;
            step.valueWords = available;
            step.next = length;
            return step;
    }
}

// The tag index of the first field with exactly `tag` that the walk of
// ForEachField visits, or 0 when it visits none; *valueWords receives that
// field's value words inside the image. The same steps as ForEachField, without
// a visitor: every find of a record goes through here, so it is kept to the
// walk itself.
std::int32_t LocateField(const std::uint16_t* words, std::int32_t length, FieldTag tag,
                         std::int32_t* valueWords) {
    std::int32_t i = 1;
    while (i < length) {
        const FieldStep step = ExamineField(words, length, i);
        if (step.kind == StepKind::kStop) return 0;
        if (words[i] == tag) {
            *valueWords = step.valueWords;
            return i;
        }
        if (step.kind == StepKind::kVisitLast) return 0;
        i = step.next;
    }
    return 0;
}

std::size_t TextUnits(const char16_t* text) {
    return text ? std::char_traits<char16_t>::length(text) : 0;
}

}  // namespace

PropertyRecord::PropertyRecord(Platform& platform) : platform_(&platform) {}

PropertyRecord::~PropertyRecord() {
    PropertyRecord::Release();
}

void PropertyRecord::Release() {
    if (owned_ && memory_) platform_->LocalFreeBlock(memory_);
    words_ = nullptr;
    memory_ = nullptr;
    capacity_ = 0;
    owned_ = 1;
}

void PropertyRecord::MakeView(std::uint16_t* words) {
    Release();
    words_ = words;
    owned_ = 0;
}

ResultCode PropertyRecord::MakeOwned() {
    if (owned_) return 0;
    const std::int32_t length = words_ ? static_cast<std::int32_t>(words_[0]) : 0;
    if (length <= 1) {
        Release();
        return 0;
    }
    const std::size_t bytes = static_cast<std::size_t>(length) * 2;
    void* block = platform_->LocalAllocZeroed(bytes);
    if (!block) return kRecordNoMemory;
    std::memcpy(block, words_, bytes);
    Release();
    memory_ = block;
    words_ = static_cast<std::uint16_t*>(block);
    capacity_ = length;
    owned_ = 1;
    return 0;
}

const std::uint16_t* PropertyRecord::GetImage() const {
    return words_ ? words_ : kEmptyImage;
}

std::int32_t PropertyRecord::WordCount() const {
    return words_ ? words_[0] : 1;
}

std::int32_t PropertyRecord::Length() const {
    return words_ ? words_[0] : 0;
}

std::int32_t PropertyRecord::ForEachField(FieldVisitor& visitor, std::int32_t* endIndex) const {
    std::int32_t end = WordCount();
    std::int32_t result = 0;
    if (words_) {
        const std::int32_t length = Length();
        std::int32_t i = 1;
        while (i < length) {
            const FieldStep step = ExamineField(words_, length, i);
            if (step.kind == StepKind::kStop) {
                end = i;
                break;
            }
            result = visitor.Visit(words_[i], words_ + i + 1);
            if (result != 0 || step.kind == StepKind::kVisitLast) {
                end = i;
                break;
            }
            i = step.next;
        }
    }
    if (endIndex) *endIndex = end;
    return result;
}

std::int32_t PropertyRecord::NextField(std::int32_t index) const {
    const std::int32_t length = Length();
    if (!words_ || index < 1 || index >= length) return length;
    const FieldTag tag = words_[index];
    const bool hasValue = index + 1 < length;
    switch (FieldType(tag)) {
        case field_type::kShort:
            return index + 2;
        case field_type::kFlagWord:
            return hasValue && (words_[index + 1] & kFlagWordLast) ? length : index + 2;
        case field_type::kLong:
            return index + 3;
        case field_type::kTime:
            return index + 5;
        case field_type::kString:
            for (std::int32_t j = index + 1; j < length; ++j) {
                if (words_[j] == 0) return j + 1;
            }
            return length + 1;
        case field_type::kBlob:
            return hasValue ? index + 1 + words_[index + 1] : length + 1;
        default:
            return length;
    }
}

std::int32_t PropertyRecord::FindValueIndex(FieldTag tag) const {
    if (!words_) return 0;
    std::int32_t valueWords = 0;
    const std::int32_t index = LocateField(words_, Length(), tag, &valueWords);
    return index ? index + 1 : 0;
}

const std::uint16_t* PropertyRecord::FindValue(FieldTag tag) const {
    const std::int32_t index = FindValueIndex(tag);
    return index ? words_ + index : nullptr;
}

const std::uint16_t* PropertyRecord::FindValueWords(FieldTag tag, std::int32_t* words) const {
    *words = 0;
    if (!words_) return nullptr;
    const std::int32_t index = LocateField(words_, Length(), tag, words);
    return index ? words_ + index + 1 : nullptr;
}

std::uint16_t* PropertyRecord::MutableValue(FieldTag tag) {
    const std::int32_t index = FindValueIndex(tag);
    return index ? words_ + index : nullptr;
}

std::int32_t PropertyRecord::GetShort(FieldTag tag, std::uint16_t* out) const {
    const std::uint16_t* value = FindValue(tag);
    *out = value ? value[0] : 0;
    return value ? 1 : 0;
}

std::int32_t PropertyRecord::FindInsertPosition(FieldTag tag, std::int32_t* index) const {
    const std::int32_t present = FindValueIndex(tag);
    if (present) {
        *index = present - 1;
        return 1;
    }
    InsertPositionFinder finder(tag);
    std::int32_t end = 0;
    ForEachField(finder, &end);
    *index = end;
    return 0;
}

ResultCode PropertyRecord::Grow(std::int32_t words) {
    if (!owned_) return kRecordIsView;
    if (words < 0) return kRecordTooLong;
    const std::int64_t oldLength = words_ ? Length() : 0;
    const std::int64_t newLength =
        words_ ? oldLength + words : static_cast<std::int64_t>(words) + 1;
    if (newLength > kMaxRecordWords) return kRecordTooLong;
    const std::int32_t target = static_cast<std::int32_t>(newLength);
    if (target > capacity_) {
        const std::size_t bytes = static_cast<std::size_t>(target) * 2;
        void* block = memory_ ? platform_->LocalReAllocZeroed(memory_, bytes)
                              : platform_->LocalAllocZeroed(bytes);
        if (!block) return kRecordNoMemory;
        memory_ = block;
        words_ = static_cast<std::uint16_t*>(block);
        capacity_ = target;
    }
    // Words below the capacity may hold what a shrink left behind.
    std::memset(words_ + oldLength, 0, static_cast<std::size_t>(target - oldLength) * 2);
    SetLength(target);
    return 0;
}

ResultCode PropertyRecord::InsertField(FieldTag tag, std::int32_t count,
                                       const std::uint16_t* values) {
    if (!owned_) return kRecordIsView;
    // A zero tag word ends the walk: such a field could never be found and
    // would hide the fields after it.
    if (count < 0 || tag == 0) return kRecordTooLong;
    std::int32_t position = 0;
    FindInsertPosition(tag, &position);
    const std::int32_t oldLength = WordCount();
    const ResultCode grown = Grow(count + 1);
    if (grown) return grown;
    if (!words_) return kRecordNoMemory;
    if (position < oldLength) {
        std::memmove(words_ + position + count + 1, words_ + position,
                     static_cast<std::size_t>(oldLength - position) * 2);
    }
    words_[position] = tag;
    if (count > 0) std::memcpy(words_ + position + 1, values, static_cast<std::size_t>(count) * 2);
    return 0;
}

ResultCode PropertyRecord::ReplaceString(std::int32_t index, const char16_t* text) {
    if (!owned_) return kRecordIsView;
    const std::int32_t oldLength = Length();
    if (index < 2 || index >= oldLength) return kRecordTooLong;
    // The old field's value words: up to its zero word, or to the end.
    std::int32_t oldWords = oldLength - index;
    for (std::int32_t j = index; j < oldLength; ++j) {
        if (words_[j] == 0) {
            oldWords = j - index + 1;
            break;
        }
    }
    const std::size_t units = TextUnits(text);
    if (units >= static_cast<std::size_t>(kMaxRecordWords)) return kRecordTooLong;
    const std::int32_t newWords = static_cast<std::int32_t>(units) + 1;
    if (newWords > oldWords) {
        const ResultCode grown = Grow(newWords - oldWords);
        if (grown) return grown;
    }
    const std::int32_t tail = oldLength - (index + oldWords);
    if (newWords != oldWords && tail > 0) {
        std::memmove(words_ + index + newWords, words_ + index + oldWords,
                     static_cast<std::size_t>(tail) * 2);
    }
    if (newWords < oldWords) SetLength(oldLength - (oldWords - newWords));
    if (units > 0) std::memcpy(words_ + index, text, units * 2);
    words_[index + units] = 0;
    return 0;
}

ResultCode PropertyRecord::SetShort(FieldTag tag, std::uint16_t value) {
    if (!owned_) return kRecordIsView;
    if (std::uint16_t* present = MutableValue(tag)) {
        present[0] = value;
        return 0;
    }
    return InsertField(tag, 1, &value);
}

ResultCode PropertyRecord::SetLong(FieldTag tag, std::int32_t value) {
    if (!owned_) return kRecordIsView;
    const auto bits = static_cast<std::uint32_t>(value);
    const std::uint16_t values[2] = {static_cast<std::uint16_t>(bits),
                                     static_cast<std::uint16_t>(bits >> 16)};
    std::int32_t available = 0;
    if (const std::uint16_t* present = FindValueWords(tag, &available)) {
        // A field of another type with one value word at the end of the image
        // cannot take two words in place.
        if (available < 2) return kRecordTooLong;
        std::uint16_t* target = words_ + (present - words_);
        target[0] = values[0];
        target[1] = values[1];
        return 0;
    }
    return InsertField(tag, 2, values);
}

ResultCode PropertyRecord::SetString(FieldTag tag, const char16_t* text) {
    if (!owned_) return kRecordIsView;
    const std::int32_t index = FindValueIndex(tag);
    if (index) return ReplaceString(index, text);
    const std::size_t units = TextUnits(text);
    if (units >= static_cast<std::size_t>(kMaxRecordWords)) return kRecordTooLong;
    // Grow before writing: InsertField copies the units and then the zero word,
    // so give it the text with its terminator (the text itself holds one).
    if (!text) {
        const std::uint16_t zero = 0;
        return InsertField(tag, 1, &zero);
    }
    static_assert(sizeof(char16_t) == sizeof(std::uint16_t));
    return InsertField(tag, static_cast<std::int32_t>(units) + 1,
                       reinterpret_cast<const std::uint16_t*>(text));
}

ResultCode PropertyRecord::SetStringAnsi(FieldTag tag, const char* text) {
    if (!owned_) return kRecordIsView;
    const std::size_t bytes = text ? std::strlen(text) : 0;
    if (bytes >= static_cast<std::size_t>(kMaxRecordWords)) return kRecordTooLong;
    const std::size_t units = bytes + 1;
    auto* wide = static_cast<char16_t*>(platform_->LocalAllocZeroed(units * 2));
    if (!wide) return kRecordNoMemory;
    ResultCode result = 0;
    if (bytes > 0 && platform_->AnsiToWide(text, -1, wide, static_cast<int>(units)) == 0) {
        result = kRecordNoMemory;
    } else {
        wide[units - 1] = 0;
        result = SetString(tag, wide);
    }
    platform_->LocalFreeBlock(wide);
    return result;
}

ResultCode PropertyRecord::RemoveField(FieldTag tag) {
    const std::int32_t value = FindValueIndex(tag);
    if (!value) return 0;
    if (!owned_) return kRecordIsView;
    const std::int32_t start = value - 1;
    const std::int32_t length = Length();
    std::int32_t end = NextField(start);
    if (end > length) end = length;
    if (end < length) {
        std::memmove(words_ + start, words_ + end, static_cast<std::size_t>(length - end) * 2);
    }
    SetLength(length - (end - start));
    return 0;
}

}  // namespace quillet
