#pragma once
// PropertyRecord: a packed set of tagged fields in one array of 16-bit words,
// the record's word image. Word 0 is the image length L in words (word 0
// included, at most 32766); fields follow in field order, each a tag word and
// its value words. A tag word of 0 ends the fields.
//
// A record either owns its image (local memory from the Platform, or no image
// at all: an empty record of length 1) or is a view onto words owned by a
// record list. The Platform& given at construction provides the local memory
// and the text conversions; it must outlive the record.
//
// Images may come from damaged files. The rules that keep every operation
// inside the image:
// - The walk visits a field only when all its value words lie inside the image:
//   a Short or FlagWord needs 1, a Long 2, a Time 4, a Blob its count c words
//   with 1 <= c; a String needs at least one value word and ends at its zero
//   word or, without one, at the end of the image; a field of an undefined type
//   needs one value word (its value words run to the end of the image). A field that fails this
//   rule is not visited, and the walk ends at its tag: it is absent for every find.
// - New fields are inserted before the point where the walk ends early (a zero
//   tag, a field that is not visited, a FlagWord with bit 2 set, a field of an
//   undefined type), so that an inserted field is always found again.
// - A view is never changed: every change on a view fails with 1001 and leaves
//   the list's memory as it was. Callers take an owned copy (MakeOwned) first.
//
// Word images are used in place over the little-endian bytes of a list's
// buffer, so the host must be little-endian.

#include <bit>
#include <cstdint>

#include "platform/Platform.h"
#include "platform/ResultCode.h"
#include "records/FieldTag.h"
#include "records/FieldVisitor.h"
#include "records/RecordCodes.h"

namespace quillet {

static_assert(std::endian::native == std::endian::little,
              "record images are used in place as little-endian words");

// The longest image, in words (word 0 included).
constexpr std::int32_t kMaxRecordWords = 32766;

class PropertyRecord {
  public:
    // An empty, owned record (no image).
    explicit PropertyRecord(Platform& platform);
    // Performs Release. Not virtual.
    ~PropertyRecord();
    PropertyRecord(const PropertyRecord&) = delete;
    PropertyRecord& operator=(const PropertyRecord&) = delete;

    // ---- Virtual operations, in slot order ----

    // Frees an owned image; afterwards no image and owned. A view's words are
    // not touched.
    virtual void Release();
    // The field's value as 8-bit text in `out` (`size` bytes, terminator
    // included). Never writes more than `size` bytes; size 0 writes nothing.
    // 1005 absent (out holds the empty text), 1006 Time or Blob.
    virtual ResultCode GetText(FieldTag tag, char* out, std::int32_t size) const;
    // Sets the field from 8-bit text; an empty text removes the field. 1006 Time
    // or Blob, 1007 a number field with text that is not wholly a base-10 integer.
    virtual ResultCode SetText(FieldTag tag, const char* text);
    // Orders this record against `other` by the field: both absent 0, only the
    // other's present -1, only this one's present 1, else CompareValues.
    virtual std::int32_t CompareField(FieldTag tag, const PropertyRecord& other) const;
    // Orders two values of the tag's type (see FieldText.cpp). String values
    // must be terminated by a zero word.
    virtual std::int32_t CompareValues(FieldTag tag, const std::uint16_t* a,
                                       const std::uint16_t* b) const;

    // ---- Image and state ----

    // An owned record: 0, nothing changes. A view of length 2 or more: the
    // record owns a copy of its L words; 1002 when memory cannot be had (the
    // view stays). A view with L of 1 or less: empty and owned; 0.
    ResultCode MakeOwned();
    // The image, or a constant one-word image holding 1 when there is none.
    const std::uint16_t* GetImage() const;
    // L, or 1 when there is no image.
    std::int32_t WordCount() const;
    bool HasImage() const { return words_ != nullptr; }
    bool IsOwned() const { return owned_ != 0; }
    bool IsView() const { return owned_ == 0; }
    Platform& platform() const { return *platform_; }

    // Makes this record a view onto `words` (owned by a record list), dropping
    // an owned image first. The caller guarantees that word 0 is a length L
    // with 1 <= L and that L words are readable there while the view is used.
    void MakeView(std::uint16_t* words);

    // ---- Finding fields ----

    // Word index of the field's first value word (its tag's index + 1), or 0
    // when absent.
    std::int32_t FindValueIndex(FieldTag tag) const;
    // Address of the field's first value word, or null when absent.
    const std::uint16_t* FindValue(FieldTag tag) const;
    // As FindValue; *words receives the number of the field's value words that
    // lie inside the image (for a String: up to and including its zero word, or
    // to the end of the image when it has none). 0 when absent.
    const std::uint16_t* FindValueWords(FieldTag tag, std::int32_t* words) const;
    // Present: *out = the first value word (of any type), result 1. Absent:
    // *out = 0, result 0.
    std::int32_t GetShort(FieldTag tag, std::uint16_t* out) const;

    // ---- Changing fields (every one fails with 1001 on a view) ----

    // Present: overwrites the first value word. Absent: inserts a 1-word field.
    ResultCode SetShort(FieldTag tag, std::uint16_t value);
    // Present: overwrites the first two value words (low word first). Absent:
    // inserts a 2-word field.
    ResultCode SetLong(FieldTag tag, std::int32_t value);
    // Present: ReplaceString at the value. Absent: inserts the text and a zero.
    ResultCode SetString(FieldTag tag, const char16_t* text);
    // Converts ANSI text to UTF-16 through the Platform, then as SetString. 1002
    // when the temporary buffer cannot be had or the text cannot be converted.
    ResultCode SetStringAnsi(FieldTag tag, const char* text);
    // Takes a present field out (from its tag up to where NextField continues,
    // clipped to the end of the image); L goes down by the words taken. 0 also
    // when absent.
    ResultCode RemoveField(FieldTag tag);

    // ---- Walk and low-level operations ----

    // Walks the fields; the first nonzero Visit result, or 0. *endIndex (when
    // given) receives the index of the tag where the walk stopped: the field
    // whose Visit stopped it, the field at which it ended early (zero tag, field
    // not visited, FlagWord with bit 2, undefined type), or L.
    std::int32_t ForEachField(FieldVisitor& visitor, std::int32_t* endIndex = nullptr) const;
    // The index of the next field's tag after the tag at `index`, exactly by the
    // table of types (it may lie beyond L for a damaged field).
    std::int32_t NextField(std::int32_t index) const;
    // 1 when a field with exactly this tag is present (*index = its tag's
    // index); otherwise 0 and *index = the insert position: the first field
    // ordered after the tag, or where the walk ends (see above).
    std::int32_t FindInsertPosition(FieldTag tag, std::int32_t* index) const;
    // Inserts tag and `count` value words at the insert position. It does not
    // check for an existing field with the tag: callers make sure it is absent.
    // A tag of 0 is not a field (it ends the walk): 1003, nothing changes.
    ResultCode InsertField(FieldTag tag, std::int32_t count, const std::uint16_t* values);
    // Replaces the String whose first value word is at `index` with `text`,
    // moving the following words. 1003 also for an index outside the image.
    ResultCode ReplaceString(std::int32_t index, const char16_t* text);
    // Enlarges the image by `words` zero words at its end (L += words). 1001 on
    // a view, 1003 when L would reach 32767 (or words < 0), 1002 without memory.
    ResultCode Grow(std::int32_t words);

  private:
    std::int32_t Length() const;  // L taken as unsigned; 0 without an image
    std::uint16_t* MutableValue(FieldTag tag);
    void SetLength(std::int32_t length) { words_[0] = static_cast<std::uint16_t>(length); }

    Platform* platform_;
    // Members in the order of the record's data model.
    std::uint16_t* words_ = nullptr;  // the image, or null
    void* memory_ = nullptr;          // the local-memory block of an owned image
    std::int32_t owned_ = 1;          // 1 owned (or no image), 0 a view
    std::int32_t capacity_ = 0;       // words allocated for an owned image
};

}  // namespace quillet
