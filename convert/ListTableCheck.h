#pragma once
// Checks the list tables that a list index names before a step-down touches
// any of them.

#include <bitset>
#include <cstdint>

#include "container/DataFile.h"
#include "platform/ResultCode.h"
#include "records/RecordList.h"
#include "records/TableBuffer.h"

namespace quillet {

// Field 41 of an index entry: the table number of a list's own table, 0 (or
// absent) for a folder.
constexpr FieldTag kEntryListTable = 0x0029;

// Walks the `count` entries of the open index list and refuses (7001) a list
// table number that names the directory, the free list or the index table
// itself, or that more than one entry names: a step-down would otherwise read
// the wrong kind of table or convert one list table twice. Table numbers above
// the directory's range are left to the engine, which refuses them with 9.
// When `tables` is given it receives, on success, every list table number
// below kTableCount that the index names.
ResultCode CheckListTables(RecordList& index, std::int32_t count, std::uint16_t indexTable,
                           Platform& platform, std::bitset<kTableCount>* tables = nullptr);

// *bytes receives the size of the largest of `tables` in `file` (its blocks,
// at most what a map holds, times 512), so that the buffers a step passes
// every list through can be sized once. A descriptor that does not read
// answers its code.
ResultCode LargestTableBytes(DataFile& file, const std::bitset<kTableCount>& tables,
                             std::int32_t* bytes);

// Sizes `buffer`, which every list of a step is loaded into in turn, for
// `largest` bytes once, and has its pages given in one request rather than
// one fault at a time on the first load (Platform::PrepareMemory). A buffer
// that cannot be had at that size is left to grow as the lists need.
void ReserveListBuffer(TableBuffer& buffer, std::int32_t largest, Platform& platform);

}  // namespace quillet
