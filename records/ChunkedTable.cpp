// Chunked tables: a chunked record set over its own complemented table.

#include "records/ChunkedTable.h"

namespace quillet {

// ---- ChunkedTable ----

ChunkedTable::ChunkedTable(Platform& platform)
    : ChunkedRecordSet(platform),
      tableBuffer_(kChunkedTableType, kChunkedTableSubtype, kChunkedTableRecordSize) {
    tableBuffer_.SetInverted(true);
}

ResultCode ChunkedTable::CreateList(DataFile& file, std::uint16_t* table) {
    ChunkedTable::CloseList();
    std::uint16_t created = 0;
    const ResultCode bound = tableBuffer_.BindCreate(file, &created);
    if (bound) {
        // A table made before a later step failed is taken out again.
        const std::uint16_t made = tableBuffer_.table();
        tableBuffer_.Unbind();
        if (made != 0) file.DeleteTable(made);
        return bound;
    }
    ResultCode result = Bind(&tableBuffer_);
    if (!result) result = InitializeNew();
    if (result) {
        // Drop the half-made content without saving it, then the table.
        tableBuffer_.Unbind();
        ChunkedTable::CloseList();
        file.DeleteTable(created);
        return result;
    }
    *table = created;
    return 0;
}

ResultCode ChunkedTable::OpenList(DataFile& file, std::uint16_t table) {
    ChunkedTable::CloseList();
    ResultCode result = tableBuffer_.BindOpen(file, table);
    if (!result) result = Bind(&tableBuffer_);
    if (result) {
        ChunkedTable::CloseList();
        return result;
    }
    return 0;
}

ResultCode ChunkedTable::CloseList() {
    const ResultCode unbound = Unbind();
    tableBuffer_.Unbind();
    return unbound;
}

}  // namespace quillet
