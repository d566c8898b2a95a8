#pragma once
// Helpers shared by the record tests: building records from word lists and
// reading images back.

#include <cstdint>
#include <vector>

#include "records/PropertyRecord.h"

namespace quillet::testing {

using Words = std::vector<std::uint16_t>;

// The record's image as words (WordCount of them).
inline Words ImageOf(const PropertyRecord& record) {
    const std::uint16_t* image = record.GetImage();
    return Words(image, image + record.WordCount());
}

// Makes `record` own a copy of `words` (word 0 is the length). The copy is made
// through a view, so it is exactly word 0 words long.
inline ResultCode LoadImage(PropertyRecord& record, Words words) {
    record.MakeView(words.data());
    return record.MakeOwned();
}

}  // namespace quillet::testing
