// CheckListTables: the list tables of an index are distinct application
// tables other than the index itself.

#include "convert/ListTableCheck.h"

#include "records/RecordCodes.h"

namespace quillet {

ResultCode CheckListTables(RecordList& index, std::int32_t count, std::uint16_t indexTable,
                           Platform& platform, std::bitset<kTableCount>* tables) {
    std::bitset<kTableCount> seen;
    for (std::int32_t i = 0; i < count; ++i) {
        PropertyRecord entry(platform);
        ResultCode result = index.GetRecord(i, entry);
        if (result != 0) return result;
        std::uint16_t table = 0;
        entry.GetShort(kEntryListTable, &table);
        if (table == 0 || table >= kTableCount) continue;
        if (table == kDirectoryTable || table == kFreeTable || table == indexTable) {
            return kTableWrongType;
        }
        if (seen.test(table)) return kTableWrongType;
        seen.set(table);
    }
    if (tables != nullptr) *tables = seen;
    return 0;
}

}  // namespace quillet
