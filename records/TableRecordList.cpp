// Record lists kept in tables: the table-bound, file-remembering and sorted
// lists.

#include "records/RecordList.h"

namespace quillet {

// ---- TableRecordList ----

TableRecordList::TableRecordList()
    : tableBuffer_(kRecordTableType, kRecordTableSubtype, kRecordTableRecordSize) {}

ResultCode TableRecordList::CloseList() {
    const ResultCode detached = Detach();
    tableBuffer_.Unbind();
    return detached;
}

ResultCode TableRecordList::CreateList(DataFile& file, std::uint16_t* table) {
    TableRecordList::CloseList();
    const ResultCode bound = tableBuffer_.BindCreate(file, table);
    if (bound) return bound;
    return Attach(&tableBuffer_);
}

ResultCode TableRecordList::OpenList(DataFile& file, std::uint16_t table) {
    TableRecordList::CloseList();
    const ResultCode bound = tableBuffer_.BindOpen(file, table);
    if (bound) return bound;
    return Attach(&tableBuffer_);
}

ResultCode FileRecordList::CreateList(DataFile& file, std::uint16_t* table) {
    const ResultCode r = TableRecordList::CreateList(file, table);
    if (!r) file_ = &file;
    return r;
}

ResultCode FileRecordList::OpenList(DataFile& file, std::uint16_t table) {
    const ResultCode r = TableRecordList::OpenList(file, table);
    if (!r) file_ = &file;
    return r;
}

// ---- SortedRecordList ----

SortedRecordList::SortedRecordList(const FieldTag* keyTags, std::int32_t keyCount,
                                   PropertyRecord* keyRecord)
    : keyTags_(keyTags), keyCount_(keyCount), keyRecord_(keyRecord) {
    if (keyRecord_) keyRecord_->Release();
}

ResultCode SortedRecordList::FindInsertIndex(const PropertyRecord& record, std::int32_t* index) {
    *index = 0;
    std::int32_t count = 0;
    const ResultCode counted = CountRecords(&count);
    if (counted) return counted;
    if (count == 0 || !keyRecord_) return 0;
    std::int32_t lo = 0;
    std::int32_t hi = count;
    while (lo < hi) {
        const std::int32_t mid = lo + (hi - lo) / 2;
        const ResultCode got = GetRecord(mid, *keyRecord_);
        if (got) {
            keyRecord_->Release();
            return got;
        }
        std::int32_t order = 0;
        for (std::int32_t k = 0; k < keyCount_ && order == 0; ++k) {
            order = keyRecord_->CompareField(keyTags_[k], record);
        }
        if (order < 0) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    keyRecord_->Release();
    *index = lo;
    return 0;
}

ResultCode SortedRecordList::InsertSorted(const PropertyRecord& record) {
    std::int32_t index = 0;
    const ResultCode found = FindInsertIndex(record, &index);
    if (found) return found;
    return InsertRecord(index, record);
}

}  // namespace quillet
