#pragma once
// Record lists: numbered sequences of PropertyRecord word images packed one
// after another in a Buffer (little-endian 16-bit words; W = Size / 2, a
// trailing odd byte is ignored). Word 0 of each image is its length; the last
// record ends exactly at W. There is no count and no index: counting and
// finding walk the length words, and every length is checked (1 <= L and the
// record inside W) before a record is handed out, so a view never reaches past
// the list.
//
// Destructors never save: owners call Flush after writing and CloseList before
// the list goes.

#include <cstdint>

#include "container/DataFile.h"
#include "records/Buffer.h"
#include "records/PropertyRecord.h"
#include "records/TableBuffer.h"

namespace quillet {

// Table kind of record tables.
constexpr std::uint8_t kRecordTableType = 3;
constexpr std::uint8_t kRecordTableSubtype = 0;
constexpr std::uint16_t kRecordTableRecordSize = 2;

class RecordList {
  public:
    RecordList() = default;
    RecordList(const RecordList&) = delete;
    RecordList& operator=(const RecordList&) = delete;
    // Does nothing to the buffer.
    virtual ~RecordList() = default;

    // Detach, then the buffer (not owned) becomes the list's. When Detach fails
    // its code is returned and no buffer is attached.
    ResultCode Attach(Buffer* buffer);
    // Saves the buffer and drops it whatever the result; Save's code. 0 without
    // a buffer.
    ResultCode Detach();
    Buffer* buffer() const { return buffer_; }

    // Every operation below first loads the buffer (7201 without one).

    // Number of records; 7203 when the chain of lengths is broken.
    ResultCode CountRecords(std::int32_t* count);
    // Word offset of record n; 7204 when n is at or past the end, 7203 for a
    // broken chain met on the way.
    ResultCode FindRecord(std::int32_t n, std::int32_t* offset);
    // `record` (any owned image is released first) becomes a view of record n,
    // valid until the list changes.
    ResultCode GetRecord(std::int32_t n, PropertyRecord& record);
    // Inserts the record's image before record n; -1 or n at or past the count
    // appends. An empty record is stored as the one word 1. A view (even of this
    // list) may be inserted: its image is copied before the list changes.
    ResultCode InsertRecord(std::int32_t n, const PropertyRecord& record);
    // Replaces record n (7204 when there is none); the records after it move.
    ResultCode ReplaceRecord(std::int32_t n, const PropertyRecord& record);
    // Deletes record n (7204 when there is none).
    ResultCode DeleteRecord(std::int32_t n);
    // Resizes the span of `oldWords` words at word `offset` to `newWords`,
    // moving the words after it; 7202 when the buffer refuses (nothing
    // changes).
    ResultCode ResizeSpan(std::int32_t offset, std::int32_t oldWords, std::int32_t newWords);
    // Checks the chain when the buffer is dirty (a broken chain is returned
    // without saving), then saves. 7201 without a buffer.
    ResultCode Flush();

  private:
    ResultCode LoadContent(std::int32_t* words);

    Buffer* buffer_ = nullptr;
};

// A record list kept in one table (type 3, subtype 0, record size 2) through a
// TableBuffer that it owns.
class TableRecordList : public RecordList {
  public:
    TableRecordList();
    ~TableRecordList() override = default;

    // ---- Virtual operations after the destructor, in slot order ----

    // Detach (saving), then unbinds the own TableBuffer; Detach's code.
    virtual ResultCode CloseList();
    // CloseList, then a new table; *table receives its number.
    virtual ResultCode CreateList(DataFile& file, std::uint16_t* table);
    // CloseList, then binds table `table` (7001 for another kind, 7003 for
    // another record size; the list then has no buffer).
    virtual ResultCode OpenList(DataFile& file, std::uint16_t table);

    TableBuffer& tableBuffer() { return tableBuffer_; }

  private:
    TableBuffer tableBuffer_;
};

// A table record list that remembers the file of its last successful
// CreateList or OpenList.
class FileRecordList : public TableRecordList {
  public:
    FileRecordList() = default;
    ResultCode CreateList(DataFile& file, std::uint16_t* table) override;
    ResultCode OpenList(DataFile& file, std::uint16_t table) override;
    DataFile* file() const { return file_; }

  private:
    DataFile* file_ = nullptr;
};

// A table record list that inserts each record at the place its key fields
// give it: before the first record that is not smaller (so among equal keys the
// record inserted last comes first, and a record lacking a key field sorts
// before one that has it).
class SortedRecordList : public TableRecordList {
  public:
    // `keyTags` (keyCount tags) and `keyRecord` are owned by the creator and
    // must outlive the list; keyRecord serves as the probe of the search and is
    // released here and after every search.
    SortedRecordList(const FieldTag* keyTags, std::int32_t keyCount, PropertyRecord* keyRecord);

    // FindInsertIndex, then InsertRecord there; the first error.
    ResultCode InsertSorted(const PropertyRecord& record);
    // Lower-bound binary search by the key fields in order.
    ResultCode FindInsertIndex(const PropertyRecord& record, std::int32_t* index);

  private:
    const FieldTag* keyTags_;
    std::int32_t keyCount_;
    PropertyRecord* keyRecord_;
};

}  // namespace quillet
