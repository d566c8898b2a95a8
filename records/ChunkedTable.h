#pragma once
// Chunked tables: several record lists and one small header in the content of
// a single table. Chunk 0 is a 16-byte header; chunks 1 to 5 are record lists.
// ChunkedRecordList puts a RecordList over a ChunkView of a bound Buffer;
// ChunkedRecordSet lays out a fresh content; ChunkedTable owns the TableBuffer
// (type 7, subtype 3, record size 2, stored complemented) that holds it.
//
// The Platform& given at construction provides the creation time and tick
// count of a fresh header and the memory of the records built here; it must
// outlive the object. Destructors never save: CloseList saves.

#include <cstdint>

#include "container/DataFile.h"
#include "platform/Platform.h"
#include "records/Buffer.h"
#include "records/ChunkView.h"
#include "records/PropertyRecord.h"
#include "records/RecordList.h"
#include "records/TableBuffer.h"

namespace quillet {

// Table kind of chunked tables.
constexpr std::uint8_t kChunkedTableType = 7;
constexpr std::uint8_t kChunkedTableSubtype = 3;
constexpr std::uint16_t kChunkedTableRecordSize = 2;

// Layout of a fresh chunked content.
constexpr std::int32_t kChunkHeaderSize = 16;
constexpr std::uint16_t kChunkHeaderVersion = 5;
constexpr std::int16_t kFirstListChunk = 1;
constexpr std::int16_t kLastListChunk = 5;
constexpr FieldTag kChunkListCounterTag = 0x4004;

class ChunkedRecordList {
  public:
    ChunkedRecordList() = default;
    ChunkedRecordList(const ChunkedRecordList&) = delete;
    ChunkedRecordList& operator=(const ChunkedRecordList&) = delete;

    // ---- Virtual operations, in slot order ----

    // Reset on the view (so on the bound buffer).
    virtual ResultCode Reset(std::int32_t freeStorage);
    // Save on the view; 7201 when the view has no target.
    virtual ResultCode Save();
    // Unbind, then binds the list to chunk 0 of `buffer` (not owned).
    virtual ResultCode Bind(Buffer* buffer);
    // Detaches the list (saving the bound buffer through the view) and drops the
    // binding; the save's code.
    virtual ResultCode Unbind();
    // Does not save.
    virtual ~ChunkedRecordList() = default;

    // ---- Per-chunk operations: select the chunk, then the list operation ----

    ResultCode GetChunkRecord(std::int16_t chunk, std::int32_t n, PropertyRecord& record);
    ResultCode InsertChunkRecord(std::int16_t chunk, std::int32_t n, const PropertyRecord& record);
    ResultCode ReplaceChunkRecord(std::int16_t chunk, std::int32_t n, const PropertyRecord& record);
    ResultCode DeleteChunkRecord(std::int16_t chunk, std::int32_t n);
    ResultCode CountChunkRecords(std::int16_t chunk, std::int32_t* count);
    // Copies the chunk's payload into `destination` (resized to it); 7202 when
    // the destination refuses.
    ResultCode CopyChunk(std::int16_t chunk, Buffer& destination);
    // The chunk's payload where it lies in the bound buffer: *size bytes at
    // *data, valid until that buffer next changes; kListNotOpen (null, 0)
    // without a bound buffer.
    ResultCode ViewChunk(std::int16_t chunk, const std::uint8_t** data, std::int32_t* size);

    RecordList& list() { return list_; }
    ChunkView& view() { return view_; }
    Buffer* boundBuffer() const { return bound_; }

  private:
    // Members in the order of the list's data model.
    RecordList list_;
    ChunkView view_;
    Buffer* bound_ = nullptr;
};

class ChunkedRecordSet : public ChunkedRecordList {
  public:
    explicit ChunkedRecordSet(Platform& platform) : platform_(&platform) {}

    // ---- Added virtual operation ----

    // Lays out the fresh 48-byte content in the bound buffer: the header in
    // chunk 0 (u16 5, zeros, LocalTimeSeconds and TickCount of now), a record
    // list with one record (Long 0x4004 = 0) in chunk 1, empty lists in chunks
    // 2 to 5. 7104 without a bound buffer, 7202 when the buffer refuses.
    virtual ResultCode InitializeNew();

    Platform& platform() const { return *platform_; }

  private:
    Platform* platform_;
};

class ChunkedTable : public ChunkedRecordSet {
  public:
    explicit ChunkedTable(Platform& platform);

    // ---- Added virtual operations, in slot order ----

    // CloseList, then a new chunked table with the fresh content; *table
    // receives its number. On failure after the table was made, it is deleted
    // again.
    virtual ResultCode CreateList(DataFile& file, std::uint16_t* table);
    // CloseList, then binds an existing chunked table.
    virtual ResultCode OpenList(DataFile& file, std::uint16_t table);
    // Unbind (saving), then unbinds the own TableBuffer; the save's code.
    virtual ResultCode CloseList();

    TableBuffer& tableBuffer() { return tableBuffer_; }

  private:
    TableBuffer tableBuffer_;
};

}  // namespace quillet
