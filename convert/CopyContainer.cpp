// CopyContainer and CopyTable: fill a newly created data file with the whole
// content of another one, table by table and block by block, keeping every
// table number.

#include <cstring>

#include "container/DataFile.h"
#include "container/FileHeader.h"
#include "convert/ConversionFile.h"
#include "convert/ConvertCodes.h"
#include "platform/LittleEndian.h"

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

ResultCode ConversionFile::CopyContainer(const char* sourcePath) {
    ConversionFile source(platform());
    bool created = false;
    ResultCode result = source.Open(sourcePath, &created, OpenReadOnly);
    if (result == 0) {
        result = BeginAccess(true);
        if (result == 0) {
            ResultCode copied = source.BeginAccess(false);
            if (copied == 0) {
                copied = source.EndAccess(CopyFrom(source));
            }
            result = EndAccess(copied);
        }
        const ResultCode closed = source.Close();
        if (result == 0) result = closed;
    }
    return result;
}

ResultCode ConversionFile::CopyFrom(ConversionFile& source) {
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
        result = CopyTable(source, table);
        if (result != 0) return result;
    }
    return 0;
}

ResultCode ConversionFile::CopyTable(ConversionFile& source, std::uint16_t table) {
    std::uint8_t d[kDescriptorSize];
    ResultCode result = source.ReadTableDescriptor(table, d);
    if (result != 0) return result;
    const std::uint16_t count = Load16(d + descriptor::kBlockCount);
    // A damaged descriptor may claim more blocks than any map can describe;
    // refuse it before a single block is copied.
    if (count > kMaxTableBlocks) return kConvertIndexOutOfRange;

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
