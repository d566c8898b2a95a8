// StepDown5To4: turns the application data of a format 5 file into format 4.
// Only each list's own table changes: three fields leave the list's header
// record, and the first record of chunk 4 goes. The lists are read from the
// file given as their source: the file itself, or, for a new file being
// filled from another, that other file, each list then saved whole into its
// empty table here, so that it is read once and written once.

#include "container/DataFile.h"
#include "convert/ConversionFile.h"
#include "convert/ListTableCheck.h"
#include "records/ChunkedTable.h"
#include "records/PropertyRecord.h"
#include "records/RecordCodes.h"
#include "records/RecordList.h"

namespace quillet {

namespace {

// Fields of a list's header record that format 4 does not know.
constexpr FieldTag kRemovedHeaderFields[] = {0x4028, 0xC029, 0x802A};

constexpr std::int16_t kHeaderChunk = 1;
constexpr std::int16_t kFormat5Chunk = 4;

ResultCode StepDownList(ChunkedTable& list, Platform& platform) {
    PropertyRecord header(platform);
    ResultCode result = list.GetChunkRecord(kHeaderChunk, 0, header);
    if (result == 0) result = header.MakeOwned();
    for (FieldTag tag : kRemovedHeaderFields) {
        if (result == 0) result = header.RemoveField(tag);
    }
    if (result == 0) result = list.ReplaceChunkRecord(kHeaderChunk, 0, header);
    if (result == 0) {
        result = list.DeleteChunkRecord(kFormat5Chunk, 0);
        if (result == kListNoSuchRecord) result = 0;
    }
    return result;
}

}  // namespace

ResultCode StepDown5To4(DataFile& file, std::uint16_t listIndexTable, DataFile& listSource) {
    Platform& platform = file.platform();
    FileRecordList index;
    ResultCode result = index.OpenList(file, listIndexTable);
    if (result != 0) {
        index.CloseList();
        return result;
    }
    std::int32_t count = 0;
    result = index.CountRecords(&count);
    std::bitset<kTableCount> tables;
    if (result == 0) result = CheckListTables(index, count, listIndexTable, platform, &tables);

    // One buffer for every list, sized once for the largest and kept from one
    // list to the next: lists of megabytes are then not allocated and first
    // touched anew.
    ChunkedTable list(platform);
    list.tableBuffer().SetKeepStorage(true);
    std::int32_t largest = 0;
    if (result == 0) result = LargestTableBytes(listSource, tables, &largest);
    if (result == 0) ReserveListBuffer(list.tableBuffer(), largest, platform);
    for (std::int32_t i = 0; result == 0 && i < count; ++i) {
        PropertyRecord entry(platform);
        result = index.GetRecord(i, entry);
        if (result != 0) break;
        std::uint16_t table = 0;
        entry.GetShort(kEntryListTable, &table);
        entry.Release();
        if (table == 0) continue;  // a folder

        result = list.OpenList(listSource, table);
        if (result == 0) {
            result = StepDownList(list, platform);
            if (result == 0 && &listSource != &file) {
                result = list.tableBuffer().Retarget(file, table);
            }
            // Closing saves the changed table.
            const ResultCode closed = list.CloseList();
            if (result == 0) result = closed;
        } else {
            list.CloseList();
        }
    }
    index.CloseList();
    return result;
}

}  // namespace quillet
