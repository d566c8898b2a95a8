#pragma once
// Visitors of a property record's field walk (PropertyRecord::ForEachField).

#include <cstdint>

#include "records/FieldTag.h"
#include "records/RecordCodes.h"

namespace quillet {

// Called once per visited field with its tag and the address of its first value
// word. 0 continues the walk; any other value stops it and becomes the walk's
// result. The walk only visits a field whose value words all lie inside the
// image (for a String: at least one value word; the string then ends at its zero
// word or at the end of the image).
class FieldVisitor {
  public:
    virtual std::int32_t Visit(FieldTag tag, const std::uint16_t* value) = 0;
    virtual ~FieldVisitor() = default;
};

// Stops with kFieldFound at the first field whose tag equals the sought tag in
// all 16 bits, keeping its value address.
class TagFinder final : public FieldVisitor {
  public:
    explicit TagFinder(FieldTag sought) : sought_(sought) {}
    std::int32_t Visit(FieldTag tag, const std::uint16_t* value) override {
        if (tag != sought_) return 0;
        found_ = value;
        return kFieldFound;
    }
    const std::uint16_t* found() const { return found_; }

  private:
    FieldTag sought_;
    const std::uint16_t* found_ = nullptr;
};

// Continues over fields ordered before the sought tag (field order: number,
// then type) and stops with kFieldFound at the first other field, keeping its
// tag and value address.
class InsertPositionFinder final : public FieldVisitor {
  public:
    explicit InsertPositionFinder(FieldTag sought) : sought_(sought) {}
    std::int32_t Visit(FieldTag tag, const std::uint16_t* value) override {
        if (FieldOrderedBefore(tag, sought_)) return 0;
        foundTag_ = tag;
        found_ = value;
        return kFieldFound;
    }
    FieldTag foundTag() const { return foundTag_; }
    const std::uint16_t* found() const { return found_; }

  private:
    FieldTag sought_;
    FieldTag foundTag_ = 0;
    const std::uint16_t* found_ = nullptr;
};

}  // namespace quillet
