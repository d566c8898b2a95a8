// Record lists: word images packed one after another in a Buffer, and the
// table-bound and sorted lists built on them.

#include "records/RecordList.h"

#include <cstdlib>
#include <cstring>

#include "platform/LittleEndian.h"
#include "records/RecordCodes.h"

namespace quillet {

namespace {

std::int32_t WordAt(const std::uint8_t* content, std::int32_t index) {
    return static_cast<std::int16_t>(Load16(content + static_cast<std::size_t>(index) * 2));
}

}  // namespace

ResultCode RecordList::Attach(Buffer* buffer) {
    const ResultCode detached = Detach();
    if (detached) return detached;
    buffer_ = buffer;
    return 0;
}

ResultCode RecordList::Detach() {
    if (!buffer_) return 0;
    const ResultCode saved = buffer_->Save();
    buffer_ = nullptr;
    return saved;
}

ResultCode RecordList::LoadContent(std::int32_t* words) {
    *words = 0;
    if (!buffer_) return kListNotOpen;
    const ResultCode loaded = buffer_->Load();
    if (loaded) return loaded;
    *words = buffer_->Data() ? buffer_->Size() / 2 : 0;
    if (*words < 0) *words = 0;
    return 0;
}

ResultCode RecordList::CountRecords(std::int32_t* count) {
    *count = 0;
    std::int32_t words = 0;
    const ResultCode loaded = LoadContent(&words);
    if (loaded) return loaded;
    const std::uint8_t* content = buffer_->Data();
    std::int32_t i = 0;
    std::int32_t n = 0;
    while (i < words) {
        const std::int32_t length = WordAt(content, i);
        if (length < 1 || length > words - i) return kListChainBroken;
        i += length;
        ++n;
    }
    *count = n;
    return 0;
}

ResultCode RecordList::FindRecord(std::int32_t n, std::int32_t* offset) {
    std::int32_t words = 0;
    const ResultCode loaded = LoadContent(&words);
    if (loaded) return loaded;
    if (words == 0 || n < 0) return kListNoSuchRecord;
    const std::uint8_t* content = buffer_->Data();
    std::int32_t i = 0;
    for (std::int32_t k = 0; i < words; ++k) {
        const std::int32_t length = WordAt(content, i);
        if (length < 1 || length > words - i) return kListChainBroken;
        if (k == n) {
            *offset = i;
            return 0;
        }
        i += length;
    }
    return kListNoSuchRecord;
}

ResultCode RecordList::GetRecord(std::int32_t n, PropertyRecord& record) {
    std::int32_t offset = 0;
    const ResultCode found = FindRecord(n, &offset);
    if (found) return found;
    // FindRecord checked that the record's length lies inside the content.
    record.MakeView(
        reinterpret_cast<std::uint16_t*>(buffer_->Data() + static_cast<std::size_t>(offset) * 2));
    return 0;
}

ResultCode RecordList::ResizeSpan(std::int32_t offset, std::int32_t oldWords,
                                  std::int32_t newWords) {
    if (oldWords == newWords) return 0;
    std::int32_t words = 0;
    const ResultCode loaded = LoadContent(&words);
    if (loaded) return loaded;
    if (offset < 0 || oldWords < 0 || newWords < 0 ||
        static_cast<std::int64_t>(offset) + oldWords > words) {
        return kListResizeFailed;
    }
    const std::int64_t newTotal = static_cast<std::int64_t>(words) - oldWords + newWords;
    if (newTotal * 2 > INT32_MAX) return kListResizeFailed;
    const auto newBytes = static_cast<std::int32_t>(newTotal * 2);
    if (newTotal > words && !buffer_->Resize(newBytes)) return kListResizeFailed;
    const std::int32_t tail = words - offset - oldWords;
    if (tail > 0) buffer_->Move((offset + newWords) * 2, (offset + oldWords) * 2, tail * 2);
    if (newTotal < words && !buffer_->Resize(newBytes)) return kListResizeFailed;
    return 0;
}

ResultCode RecordList::InsertRecord(std::int32_t n, const PropertyRecord& record) {
    std::int32_t words = 0;
    const ResultCode loaded = LoadContent(&words);
    if (loaded) return loaded;
    std::int32_t position = words;
    if (n != -1) {
        const ResultCode found = FindRecord(n, &position);
        if (found == kListNoSuchRecord) {
            position = words;
        } else if (found) {
            return found;
        }
    }
    const std::int32_t length = record.WordCount();
    const std::size_t bytes = static_cast<std::size_t>(length) * 2;
    // A view may point into this very buffer, which the resize can move: copy
    // its image first.
    void* copy = nullptr;
    const void* image = record.GetImage();
    if (record.IsView()) {
        copy = std::malloc(bytes);
        if (!copy) return kListResizeFailed;
        std::memcpy(copy, image, bytes);
        image = copy;
    }
    ResultCode result = ResizeSpan(position, 0, length);
    if (!result) buffer_->Write(image, position * 2, static_cast<std::int32_t>(bytes));
    std::free(copy);
    return result;
}

ResultCode RecordList::ReplaceRecord(std::int32_t n, const PropertyRecord& record) {
    std::int32_t offset = 0;
    const ResultCode found = FindRecord(n, &offset);
    if (found) return found;
    const std::int32_t oldLength = WordAt(buffer_->Data(), offset);
    const std::int32_t length = record.WordCount();
    const std::size_t bytes = static_cast<std::size_t>(length) * 2;
    void* copy = nullptr;
    const void* image = record.GetImage();
    if (record.IsView()) {
        copy = std::malloc(bytes);
        if (!copy) return kListResizeFailed;
        std::memcpy(copy, image, bytes);
        image = copy;
    }
    ResultCode result = 0;
    if (oldLength != length) result = ResizeSpan(offset, oldLength, length);
    if (!result) buffer_->Write(image, offset * 2, static_cast<std::int32_t>(bytes));
    std::free(copy);
    return result;
}

ResultCode RecordList::DeleteRecord(std::int32_t n) {
    std::int32_t offset = 0;
    const ResultCode found = FindRecord(n, &offset);
    if (found) return found;
    return ResizeSpan(offset, WordAt(buffer_->Data(), offset), 0);
}

ResultCode RecordList::Flush() {
    if (!buffer_) return kListNotOpen;
    if (buffer_->IsDirty()) {
        std::int32_t count = 0;
        const ResultCode counted = CountRecords(&count);
        if (counted) return counted;
    }
    return buffer_->Save();
}

}  // namespace quillet
