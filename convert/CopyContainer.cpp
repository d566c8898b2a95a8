// The container copy: fills a newly created data file with the whole content
// of another one, table by table and block by block, keeping every table
// number; and the list tables that a single step reads from the source
// instead.

#include <cstring>

#include "container/DataFile.h"
#include "container/FileHeader.h"
#include "convert/ConversionFile.h"
#include "convert/ConvertCodes.h"
#include "convert/ListTableCheck.h"
#include "platform/LittleEndian.h"
#include "records/RecordList.h"

namespace quillet {

namespace {

// The header fields that the copy carries over as they are: the banner as text
// (up to its first zero byte, the rest zero-filled) and the two extra fields.
void CopyHeaderExtras(const std::uint8_t* source, std::uint8_t* target) {
    std::size_t length = 0;
    while (length < header::kBannerSize && source[header::kBanner + length] != 0) ++length;
    std::memset(target + header::kBanner, 0, header::kBannerSize);
    std::memcpy(target + header::kBanner, source + header::kBanner, length);
    std::memcpy(target + header::kExtraWord, source + header::kExtraWord, 2);
    std::memcpy(target + header::kExtraLong, source + header::kExtraLong, 4);
}

}  // namespace

ResultCode ConversionFile::CopyFrom(ConversionFile& source,
                                    const std::bitset<kTableCount>& shapeOnly) {
    std::uint8_t signature[header::kAppSignatureSize];
    ResultCode result = source.GetAppSignature(signature);
    if (result == 0) result = SetAppSignature(signature);
    if (result != 0) return result;

    std::uint8_t appArea[header::kAppAreaSize];
    result = source.GetAppHeader(appArea, header::kAppAreaSize);
    if (result == 0) result = SetAppHeader(appArea, header::kAppAreaSize);
    if (result != 0) return result;

    CopyHeaderExtras(source.WorkingHeader(), MutableWorkingHeader());
    SetHeaderDirty();

    for (std::uint16_t table = 2; table < kTableCount; ++table) {
        std::uint8_t d[kDescriptorSize];
        result = source.ReadTableDescriptor(table, d);
        if (result != 0) return result;
        const std::uint8_t type = d[descriptor::kTableType];
        if (type == 0) continue;
        std::uint16_t number = table;
        result = CreateTable(&number, type, d[descriptor::kTableSubtype]);
        if (result != 0) return result;
        result = CopyTable(source, table, !shapeOnly.test(table));
        if (result != 0) return result;
    }
    return 0;
}

ResultCode ConversionFile::ListsReadFromSource(ConversionFile& source, int targetVersion,
                                               std::bitset<kTableCount>* lists) {
    lists->reset();
    std::uint8_t signature[header::kAppSignatureSize];
    std::uint8_t app[appheader::kSize];
    ResultCode result = source.GetAppSignature(signature);
    if (result == 0) result = source.GetAppHeader(app, appheader::kSize);
    if (result != 0) return result;
    // Refusals, and two steps at once, are left to the steps, which answer
    // them on the copy.
    const int version = Load16(app + appheader::kFormatVersion);
    if (std::memcmp(signature, kTallysetSignature, sizeof signature) != 0 ||
        (version != 5 && version != 4) || targetVersion != version - 1) {
        return 0;
    }
    // The step would read the same index on the copy and answer the same.
    const std::uint16_t indexTable = Load16(app + appheader::kListIndexTable);
    FileRecordList index;
    std::int32_t count = 0;
    result = index.OpenList(source, indexTable);
    if (result == 0) result = index.CountRecords(&count);
    if (result == 0) result = CheckListTables(index, count, indexTable, platform(), lists);
    index.CloseList();  // only read
    if (result != 0) lists->reset();
    return result;
}

ResultCode ConversionFile::CopyTable(ConversionFile& source, std::uint16_t table, bool withBlocks) {
    std::uint8_t d[kDescriptorSize];
    ResultCode result = source.ReadTableDescriptor(table, d);
    if (result != 0) return result;
    const std::uint16_t count = Load16(d + descriptor::kBlockCount);
    // A damaged descriptor may claim more blocks than any map can describe;
    // refuse it before a single block is copied.
    if (count > kMaxTableBlocks) return kConvertIndexOutOfRange;

    if (!withBlocks) {
        // The step saves the list's new content over this empty table. When
        // that content is empty nothing is saved, so LastBlockUsed must
        // already be what a save over the copied blocks would have left: 0,
        // or the source's own when its table had no block to save over.
        result = SetTableRecordSize(table, Load16(d + descriptor::kRecordSize));
        const std::uint16_t lastUsed = count == 0 ? Load16(d + descriptor::kLastBlockUsed) : 0;
        if (result == 0) result = SetTableLastBlockUsed(table, lastUsed);
        return result;
    }
    for (std::uint16_t index = 0; index < count; ++index) {
        BlockRef from(source);
        result = source.GetBlock(table, index, from.Out());
        if (result != 0) return result;
        BlockRef to(*this);
        result = ClaimBlock(table, index, to.Out());
        if (result != 0) return result;
        std::memcpy(to.data(), from.data(), kBlockSize);
        from.Reset();
        result = to.MarkModifiedAndRelease();
        if (result != 0) return result;
    }

    result = SetTableBlockCount(table, count);
    if (result == 0) result = SetTableRecordSize(table, Load16(d + descriptor::kRecordSize));
    if (result == 0) result = SetTableLastBlockUsed(table, Load16(d + descriptor::kLastBlockUsed));
    return result;
}

}  // namespace quillet
