// CheckListTables: the list tables of an index are distinct application
// tables other than the index itself.

#include "convert/ListTableCheck.h"

#include <algorithm>

#include "platform/LittleEndian.h"
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

ResultCode LargestTableBytes(DataFile& file, const std::bitset<kTableCount>& tables,
                             std::int32_t* bytes) {
    *bytes = 0;
    std::uint32_t largest = 0;
    for (std::uint16_t table = 0; table < kTableCount; ++table) {
        if (!tables.test(table)) continue;
        std::uint8_t d[kDescriptorSize];
        const ResultCode result = file.ReadTableDescriptor(table, d);
        if (result != 0) return result;
        const std::uint32_t blocks = Load16(d + descriptor::kBlockCount);
        largest = std::max(largest, std::min<std::uint32_t>(blocks, kMaxTableBlocks));
    }
    *bytes = static_cast<std::int32_t>(largest * kBlockSize);
    return 0;
}

void ReserveListBuffer(TableBuffer& buffer, std::int32_t largest, Platform& platform) {
    if (!buffer.Reserve(largest) || buffer.Data() == nullptr) return;
    platform.PrepareMemory(buffer.Data(), static_cast<std::size_t>(buffer.Capacity()));
}

}  // namespace quillet
