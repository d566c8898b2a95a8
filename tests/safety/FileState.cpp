#include "tests/safety/FileState.h"

#include <cstring>
#include <sstream>

#include "container/DataFile.h"
#include "platform/LittleEndian.h"

namespace quillet::testing {
namespace {

ResultCode ReadInsideAccess(DataFile& file, FileState* out) {
    const std::uint8_t* header = file.WorkingHeader();
    std::memcpy(out->banner.data(), header + 16, out->banner.size());
    out->extraLong = Load32(header + 164);
    out->extraWord = Load16(header + 168);
    ResultCode result = file.GetAppSignature(out->appSignature.data());
    if (result != 0) return result;
    result =
        file.GetAppHeader(out->appArea.data(), static_cast<std::uint32_t>(out->appArea.size()));
    if (result != 0) return result;
    for (std::uint16_t t = 2; t < kTableCount; ++t) {
        std::uint8_t d[kDescriptorSize];
        result = file.ReadTableDescriptor(t, d);
        if (result != 0) return result;
        if (d[descriptor::kTableType] == 0) continue;
        TableState table;
        table.number = t;
        table.type = d[descriptor::kTableType];
        table.subtype = d[descriptor::kTableSubtype];
        table.blockCount = Load16(d + descriptor::kBlockCount);
        table.recordSize = Load16(d + descriptor::kRecordSize);
        table.lastBlockUsed = Load16(d + descriptor::kLastBlockUsed);
        if (table.blockCount > kMaxTableBlocks) return 10;
        for (std::uint16_t i = 0; i < table.blockCount; ++i) {
            BlockRef ref(file);
            result = file.GetBlock(t, i, ref.Out());
            if (result != 0) return result;
            std::array<std::uint8_t, 512> block;
            std::memcpy(block.data(), ref.data(), block.size());
            table.blocks.push_back(block);
        }
        out->tables.push_back(std::move(table));
    }
    return 0;
}

}  // namespace

ResultCode ReadFileState(Platform& platform, const char* path, FileState* out) {
    *out = FileState{};
    DataFile file(platform);
    bool created = false;
    ResultCode result = file.Open(path, &created, OpenReadOnly);
    if (result != 0) return result;
    result = file.BeginAccess(false);
    if (result == 0) result = file.EndAccess(ReadInsideAccess(file, out));
    file.Close();
    return result;
}

std::string DescribeDifference(const FileState& a, const FileState& b) {
    std::ostringstream s;
    if (a.banner != b.banner) s << "banner differs; ";
    if (a.extraLong != b.extraLong || a.extraWord != b.extraWord) s << "extra fields differ; ";
    if (a.appSignature != b.appSignature) s << "signature differs; ";
    if (a.appArea != b.appArea) {
        s << "application area differs (format " << a.FormatVersion() << " vs " << b.FormatVersion()
          << "); ";
    }
    std::size_t ia = 0, ib = 0;
    int shown = 0;
    while ((ia < a.tables.size() || ib < b.tables.size()) && shown < 6) {
        const TableState* ta = ia < a.tables.size() ? &a.tables[ia] : nullptr;
        const TableState* tb = ib < b.tables.size() ? &b.tables[ib] : nullptr;
        if (ta && (!tb || ta->number < tb->number)) {
            s << "table " << ta->number << " only in first; ";
            ++ia;
            ++shown;
        } else if (tb && (!ta || tb->number < ta->number)) {
            s << "table " << tb->number << " only in second; ";
            ++ib;
            ++shown;
        } else {
            if (!(*ta == *tb)) {
                s << "table " << ta->number << " differs (blocks " << ta->blockCount << " vs "
                  << tb->blockCount << ", type " << int(ta->type) << " vs " << int(tb->type);
                for (std::size_t i = 0; i < ta->blocks.size() && i < tb->blocks.size(); ++i) {
                    if (ta->blocks[i] != tb->blocks[i]) {
                        s << ", first differing block " << i;
                        break;
                    }
                }
                s << "); ";
                ++shown;
            }
            ++ia;
            ++ib;
        }
    }
    std::string text = s.str();
    return text.empty() ? "no difference" : text;
}

}  // namespace quillet::testing
