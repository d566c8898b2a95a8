// StepDown4To3: turns the application data of a format 4 file into format 3.
//
//   format 4                                  format 3
//   one list index, entries with a level  ->  list records and folder records,
//                                             each naming its parent folder
//   a list's header record (chunk 1)      ->  its record in the list records
//   a list's columns (chunk 2)            ->  one sorted list of all columns
//   a list's items (chunk 5)              ->  the whole content of the list's
//                                             own table, now a plain record table
//
// Everything happens inside the caller's transaction; a failure is discarded
// with all the tables made here. The lists' own tables are read from the file
// given as their source: the file itself, or, for a new file being filled
// from another, that other file, so that a list is read once and its new
// table written once.

#include <algorithm>
#include <vector>

#include "container/DataFile.h"
#include "convert/ConversionFile.h"
#include "convert/ListTableCheck.h"
#include "platform/LittleEndian.h"
#include "records/ChunkedTable.h"
#include "records/PropertyRecord.h"
#include "records/RecordCodes.h"
#include "records/RecordList.h"
#include "records/TableBuffer.h"

namespace quillet {

namespace {

// Fields of a format 4 index entry.
constexpr FieldTag kEntryId = 0x002A;     // 42: identifier of the folder or list
constexpr FieldTag kEntryLevel = 0x0009;  // 9: depth in the outline, 0 at the top
constexpr FieldTag kEntryName = 0x8001;   // name of a folder

// Fields of the format 3 list and folder records.
constexpr FieldTag kRecordTable = 0x0002;   // list record: its own table
constexpr FieldTag kRecordId = 0x0001;      // identifier
constexpr FieldTag kRecordParent = 0x0023;  // 35: identifier of the parent folder
constexpr FieldTag kFolderName = 0x8003;

// Fields of a column definition.
constexpr FieldTag kColumnList = 0x0003;  // identifier of the owning list
constexpr FieldTag kColumnKey = 0x0001;   // second sort key
constexpr FieldTag kColumnType = 0x0004;
constexpr FieldTag kColumnExtra = 0x0008;  // kept for type 7 only
constexpr FieldTag kColumnGone1 = 0x0009;
constexpr FieldTag kColumnGone2 = 0x000A;

constexpr std::uint16_t kTypeYesNo = 7;
constexpr std::uint16_t kTypeThreeState = 10;  // becomes a number column
constexpr std::uint16_t kTypeLinked = 11;      // becomes a string column
constexpr std::uint16_t kTypeNumber = 4;
constexpr std::uint16_t kTypeString = 0;

constexpr std::int16_t kHeaderChunk = 1;
constexpr std::int16_t kColumnChunk = 2;
constexpr std::int16_t kItemChunk = 5;

constexpr int kLevels = 16;

// The walk's parent table: entry k is the identifier of the latest folder at
// level k - 1; entry 0 stays 0.
struct Outline {
    std::int16_t parent[kLevels] = {};
};

int ClampLevel(std::uint16_t raw) {
    const int level = static_cast<std::int16_t>(raw);
    return std::clamp(level, 0, kLevels - 1);
}

// Copies a folder's name into the folder record. The name in the entry may
// lack its zero word; only the words inside the image are taken.
ResultCode CopyFolderName(const PropertyRecord& entry, PropertyRecord& folder) {
    std::int32_t words = 0;
    const std::uint16_t* value = entry.FindValueWords(kEntryName, &words);
    if (value == nullptr) return 0;
    std::vector<char16_t> text;
    text.reserve(static_cast<std::size_t>(words) + 1);
    for (std::int32_t i = 0; i < words && value[i] != 0; ++i) {
        text.push_back(static_cast<char16_t>(value[i]));
    }
    text.push_back(0);
    return folder.SetString(kFolderName, text.data());
}

// The list's header record (chunk 1) becomes its record in the list records.
ResultCode ConvertListHeader(ChunkedTable& list, std::uint16_t table, std::uint16_t id,
                             std::int16_t parent, TableRecordList& lists, Platform& platform) {
    PropertyRecord header(platform);
    ResultCode result = list.GetChunkRecord(kHeaderChunk, 0, header);
    if (result == 0) result = header.MakeOwned();
    if (result == 0) result = header.SetShort(kRecordTable, table);
    if (result == 0) result = header.SetShort(kRecordId, id);
    if (result == 0) result = header.SetShort(kRecordParent, static_cast<std::uint16_t>(parent));
    if (result == 0) result = lists.InsertRecord(-1, header);
    header.Release();
    return result;
}

ResultCode ConvertFolderEntry(const PropertyRecord& entry, std::uint16_t id, int level,
                              Outline& outline, TableRecordList& folders, Platform& platform) {
    PropertyRecord folder(platform);
    ResultCode result = CopyFolderName(entry, folder);
    if (result == 0) result = folder.SetShort(kRecordId, id);
    if (result == 0) {
        result = folder.SetShort(kRecordParent, static_cast<std::uint16_t>(outline.parent[level]));
    }
    if (result == 0) result = folders.InsertRecord(-1, folder);
    if (result == 0 && level < kLevels - 1) {
        outline.parent[level + 1] = static_cast<std::int16_t>(id);
    }
    return result;
}

ResultCode CopyColumns(std::uint16_t id, ChunkedTable& list, SortedRecordList& columns,
                       Platform& platform) {
    std::int32_t count = 0;
    ResultCode result = list.CountChunkRecords(kColumnChunk, &count);
    for (std::int32_t j = 0; result == 0 && j < count; ++j) {
        PropertyRecord column(platform);
        result = list.GetChunkRecord(kColumnChunk, j, column);
        if (result == 0) result = column.MakeOwned();
        if (result == 0) result = column.SetShort(kColumnList, id);
        if (result == 0) result = column.RemoveField(kColumnGone1);
        if (result == 0) result = column.RemoveField(kColumnGone2);
        if (result != 0) break;
        std::uint16_t type = 0;
        column.GetShort(kColumnType, &type);
        if (type != kTypeYesNo) result = column.RemoveField(kColumnExtra);
        if (type == kTypeThreeState) type = kTypeNumber;
        if (type == kTypeLinked) type = kTypeString;
        if (result == 0) result = column.SetShort(kColumnType, type);
        if (result == 0) result = columns.InsertSorted(column);
    }
    return result;
}

// The list's table becomes a plain record table holding the bytes of its
// former chunk 5, written straight from where they lie in the loaded chunked
// content. That content stays loaded in `list` meanwhile and is never written
// back.
ResultCode FlattenTable(DataFile& file, std::uint16_t table, ChunkedTable& list,
                        TableBuffer& items) {
    const std::uint8_t* payload = nullptr;
    std::int32_t size = 0;
    ResultCode result = list.ViewChunk(kItemChunk, &payload, &size);
    if (result == 0) result = file.SetTableType(table, kRecordTableType, kRecordTableSubtype);
    if (result == 0) result = items.BindOpen(file, table);
    if (result == 0) result = items.SaveFrom(payload, size);
    items.Unbind();
    return result;
}

// The buffer every list is loaded into, one list after another: sized once
// for the largest list and kept from one list to the next, so that lists of
// megabytes are not allocated and first touched anew each time (a failed
// reservation only leaves it to grow as it goes). The items go out from it
// through `items`, which holds no content of its own.
struct ListBuffers {
    ListBuffers(Platform& platform, std::int32_t largest) : list(platform) {
        list.tableBuffer().SetKeepStorage(true);
        ReserveListBuffer(list.tableBuffer(), largest, platform);
    }
    ChunkedTable list;
    TableBuffer items{kRecordTableType, kRecordTableSubtype, kRecordTableRecordSize};
};

// A list of the index: its header record, its columns and its items, from one
// load of its table in `source`.
ResultCode ConvertList(DataFile& file, DataFile& source, std::uint16_t table, std::uint16_t id,
                       std::int16_t parent, TableRecordList& lists, SortedRecordList& columns,
                       ListBuffers& buffers) {
    Platform& platform = file.platform();
    ChunkedTable& list = buffers.list;
    ResultCode result = list.OpenList(source, table);
    if (result == 0) result = ConvertListHeader(list, table, id, parent, lists, platform);
    if (result == 0) result = CopyColumns(id, list, columns, platform);
    if (result == 0) result = FlattenTable(file, table, list, buffers.items);
    list.CloseList();  // only read
    return result;
}

// One walk over the index: the folder records and the list records (each
// naming its parent folder), every column into the one sorted list of
// columns, and each list's table turned into its items. The three new tables
// are made before anything is written, in that order.
ResultCode ConvertIndex(DataFile& file, DataFile& source, std::uint16_t indexTable,
                        std::uint8_t* app, std::int32_t largestList) {
    Platform& platform = file.platform();
    TableRecordList lists;
    TableRecordList folders;
    PropertyRecord key(platform);
    static constexpr FieldTag kColumnKeys[] = {kColumnList, kColumnKey};
    SortedRecordList columns(kColumnKeys, 2, &key);
    FileRecordList index;
    std::uint16_t listsTable = 0;
    std::uint16_t foldersTable = 0;
    std::uint16_t columnTable = 0;
    ResultCode result = lists.CreateList(file, &listsTable);
    if (result == 0) result = folders.CreateList(file, &foldersTable);
    if (result == 0) result = columns.CreateList(file, &columnTable);
    if (result == 0) result = index.OpenList(file, indexTable);
    std::int32_t count = 0;
    if (result == 0) result = index.CountRecords(&count);

    Outline outline;
    ListBuffers buffers(platform, largestList);
    for (std::int32_t i = 0; result == 0 && i < count; ++i) {
        PropertyRecord entry(platform);
        result = index.GetRecord(i, entry);
        if (result != 0) break;
        std::uint16_t id = 0;
        std::uint16_t table = 0;
        std::uint16_t rawLevel = 0;
        entry.GetShort(kEntryId, &id);
        entry.GetShort(kEntryListTable, &table);
        entry.GetShort(kEntryLevel, &rawLevel);
        const int level = ClampLevel(rawLevel);
        if (table != 0) {
            result = ConvertList(file, source, table, id, outline.parent[level], lists, columns,
                                 buffers);
        } else {
            result = ConvertFolderEntry(entry, id, level, outline, folders, platform);
        }
    }
    if (result == 0) result = lists.Flush();
    if (result == 0) result = folders.Flush();
    if (result == 0) result = columns.Flush();
    lists.CloseList();
    folders.CloseList();
    columns.CloseList();
    index.CloseList();
    if (result == 0) {
        Store16(app + appheader::kListIndexTable, listsTable);
        Store16(app + appheader::kFolderTable, foldersTable);
        Store16(app + appheader::kColumnTable, columnTable);
    }
    return result;
}

// Reads the index once before anything changes and refuses list table numbers
// that would make the step read the wrong table or convert one twice; *tables
// receives the list tables.
ResultCode CheckIndex(DataFile& file, std::uint16_t indexTable, std::bitset<kTableCount>* tables) {
    FileRecordList index;
    ResultCode result = index.OpenList(file, indexTable);
    std::int32_t count = 0;
    if (result == 0) result = index.CountRecords(&count);
    if (result == 0) result = CheckListTables(index, count, indexTable, file.platform(), tables);
    index.CloseList();
    return result;
}

}  // namespace

ResultCode StepDown4To3(DataFile& file, std::uint8_t* appHeader64, DataFile& listSource) {
    const std::uint16_t indexTable = Load16(appHeader64 + appheader::kListIndexTable);
    std::bitset<kTableCount> tables;
    std::int32_t largest = 0;
    ResultCode result = CheckIndex(file, indexTable, &tables);
    if (result == 0) result = LargestTableBytes(listSource, tables, &largest);
    if (result == 0) result = ConvertIndex(file, listSource, indexTable, appHeader64, largest);
    if (result == 0) result = file.DeleteTable(indexTable);
    return result;
}

}  // namespace quillet
