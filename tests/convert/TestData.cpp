// Test inputs for the conversion and the readers that check its results.

#include "tests/convert/TestData.h"

#include <algorithm>
#include <cstring>

#include "container/FileHeader.h"
#include "platform/LittleEndian.h"
#include "records/ChunkedTable.h"
#include "records/PropertyRecord.h"
#include "records/RecordList.h"
#include "records/TableBuffer.h"
#include "storage/IntegrityCheck.h"
#include "tests/support/EngineTestUtil.h"

namespace quillet::testing {

namespace {

constexpr std::uint8_t kSignature[16] = {0x54, 0x00, 0x61, 0x00, 0x6C, 0x00, 0x6C, 0x00,
                                         0x79, 0x00, 0x73, 0x00, 0x65, 0x00, 0x74, 0x00};

std::u16string Widen(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

// Inserts a copy of `image` at the end of chunk `chunk`.
ResultCode InsertImage(ChunkedTable& table, std::int16_t chunk, const Image& image,
                       Platform& platform) {
    Image words = image;
    PropertyRecord record(platform);
    record.MakeView(words.data());
    const ResultCode result = table.InsertChunkRecord(chunk, -1, record);
    record.Release();
    return result;
}

ResultCode BuildList(DataFile& file, EntryDef& entry) {
    Platform& platform = file.platform();
    ChunkedTable table(platform);
    ResultCode result = table.CreateList(file, &entry.table);
    if (result == 0) {
        Image header = ListHeaderImage(entry);
        PropertyRecord record(platform);
        record.MakeView(header.data());
        result = table.ReplaceChunkRecord(1, 0, record);
        record.Release();
    }
    for (const ColumnDef& column : entry.columns) {
        if (result == 0) result = InsertImage(table, 2, ColumnImage(column), platform);
    }
    for (const Image& image : entry.chunk4) {
        if (result == 0) result = InsertImage(table, 4, image, platform);
    }
    for (const Image& image : entry.items) {
        if (result == 0) result = InsertImage(table, 5, image, platform);
    }
    const ResultCode closed = table.CloseList();
    return result != 0 ? result : closed;
}

Image IndexEntryImage(const EntryDef& entry) {
    std::vector<Field> fields;
    if (entry.name) fields.push_back({0x8001, Text(*entry.name)});
    fields.push_back({0x0009, {static_cast<std::uint16_t>(entry.level)}});
    if (entry.list) fields.push_back({0x0029, {entry.table}});
    fields.push_back({0x002A, {entry.id}});
    return MakeImage(fields);
}

ResultCode BuildContent(DataFile& file, FileDef& def) {
    Platform& platform = file.platform();
    ResultCode result = file.SetAppSignature(kSignature);
    for (EntryDef& entry : def.entries) {
        if (result != 0 || !entry.list) continue;
        if (entry.forceTable) {
            entry.table = *entry.forceTable;
        } else {
            result = BuildList(file, entry);
        }
    }
    if (result != 0) return result;

    FileRecordList index;
    result = index.CreateList(file, &def.indexTable);
    for (const EntryDef& entry : def.entries) {
        if (result != 0) break;
        Image image = IndexEntryImage(entry);
        PropertyRecord record(platform);
        record.MakeView(image.data());
        result = index.InsertRecord(-1, record);
        record.Release();
    }
    if (result == 0) result = index.Flush();
    const ResultCode closed = index.CloseList();
    if (result == 0) result = closed;
    if (result != 0) return result;

    std::uint8_t app[64];
    for (std::size_t i = 0; i < sizeof app; ++i) app[i] = AppFiller(i);
    Store16(app + 0, 64);
    Store16(app + 2, def.version);
    Store16(app + 4, def.indexTable);
    return file.SetAppHeader(app, sizeof app);
}

template <typename Work>
ResultCode WithReadAccess(Platform& platform, const std::string& path, Work work) {
    DataFile file(platform);
    bool created = false;
    ResultCode result = file.Open(path.c_str(), &created, OpenReadOnly);
    if (result == 0) {
        result = file.BeginAccess(false);
        if (result == 0) result = file.EndAccess(work(file));
    }
    file.Close();
    return result;
}

}  // namespace

Image MakeImage(const std::vector<Field>& fields) {
    Image image{0};
    for (const Field& field : fields) {
        image.push_back(field.tag);
        image.insert(image.end(), field.values.begin(), field.values.end());
    }
    image[0] = static_cast<std::uint16_t>(image.size());
    return image;
}

std::vector<std::uint16_t> Text(const std::u16string& text) {
    std::vector<std::uint16_t> words(text.begin(), text.end());
    words.push_back(0);
    return words;
}

std::uint8_t AppFiller(std::size_t offset) {
    return static_cast<std::uint8_t>(0xA0 + offset * 7);
}

Image ListHeaderImage(const EntryDef& entry) {
    std::vector<Field> fields;
    fields.push_back({0x8001, Text(u"H" + Widen(std::to_string(entry.id)))});
    fields.push_back({0x4004, {0, 0}});
    if (entry.format5Fields) {
        fields.push_back({0x4028, {77, 0}});
        fields.push_back({0xC029, {3, 0x1111, 0x2222}});
        fields.push_back({0x802A, Text(u"v5")});
    }
    return MakeImage(fields);
}

Image ColumnImage(const ColumnDef& column) {
    std::vector<Field> fields;
    fields.push_back({0x0001, {column.key}});
    if (column.type) fields.push_back({0x0004, {*column.type}});
    if (column.field8) fields.push_back({0x0008, {*column.field8}});
    if (column.field9) fields.push_back({0x0009, {*column.field9}});
    if (column.field10) fields.push_back({0x000A, {*column.field10}});
    return MakeImage(fields);
}

ResultCode BuildDataFile(Platform& platform, const std::string& path, FileDef& def) {
    DataFile file(platform);
    bool created = false;
    ResultCode result = file.Open(path.c_str(), &created, 0);
    if (result == 0) {
        result = file.BeginAccess(true);
        if (result == 0) result = file.EndAccess(BuildContent(file, def));
    }
    file.Close();
    return result;
}

ResultCode ReadAppHeader(Platform& platform, const std::string& path, std::uint8_t* out64) {
    return WithReadAccess(platform, path,
                          [&](DataFile& file) { return file.GetAppHeader(out64, 64); });
}

ResultCode ReadTableInfo(Platform& platform, const std::string& path, std::uint16_t table,
                         TableInfo* info) {
    return WithReadAccess(platform, path, [&](DataFile& file) {
        std::uint8_t d[kDescriptorSize];
        const ResultCode result = file.ReadTableDescriptor(table, d);
        if (result != 0) return result;
        info->type = d[descriptor::kTableType];
        info->subtype = d[descriptor::kTableSubtype];
        info->blockCount = Load16(d + descriptor::kBlockCount);
        info->recordSize = Load16(d + descriptor::kRecordSize);
        info->lastBlockUsed = Load16(d + descriptor::kLastBlockUsed);
        return 0;
    });
}

ResultCode ListTables(Platform& platform, const std::string& path,
                      std::vector<std::pair<std::uint16_t, TableInfo>>* tables) {
    tables->clear();
    for (std::uint16_t t = 0; t < kTableCount; ++t) {
        TableInfo info;
        const ResultCode result = ReadTableInfo(platform, path, t, &info);
        if (result != 0) return result;
        if (info.type != 0) tables->push_back({t, info});
    }
    return 0;
}

ResultCode ReadRecords(Platform& platform, const std::string& path, std::uint16_t table,
                       std::vector<Image>* records) {
    records->clear();
    return WithReadAccess(platform, path, [&](DataFile& file) {
        TableRecordList list;
        ResultCode result = list.OpenList(file, table);
        std::int32_t count = 0;
        if (result == 0) result = list.CountRecords(&count);
        for (std::int32_t i = 0; result == 0 && i < count; ++i) {
            PropertyRecord record(platform);
            result = list.GetRecord(i, record);
            if (result == 0) {
                const std::uint16_t* words = record.GetImage();
                records->emplace_back(words, words + record.WordCount());
            }
            record.Release();
        }
        list.CloseList();
        return result;
    });
}

ResultCode ReadChunkRecords(Platform& platform, const std::string& path, std::uint16_t table,
                            std::int16_t chunk, std::vector<Image>* records) {
    records->clear();
    return WithReadAccess(platform, path, [&](DataFile& file) {
        ChunkedTable list(platform);
        ResultCode result = list.OpenList(file, table);
        std::int32_t count = 0;
        if (result == 0) result = list.CountChunkRecords(chunk, &count);
        for (std::int32_t i = 0; result == 0 && i < count; ++i) {
            PropertyRecord record(platform);
            result = list.GetChunkRecord(chunk, i, record);
            if (result == 0) {
                const std::uint16_t* words = record.GetImage();
                records->emplace_back(words, words + record.WordCount());
            }
            record.Release();
        }
        list.CloseList();
        return result;
    });
}

ResultCode ReadTableContent(Platform& platform, const std::string& path, std::uint16_t table,
                            std::uint8_t type, std::uint8_t subtype, bool inverted,
                            std::vector<std::uint8_t>* content) {
    content->clear();
    return WithReadAccess(platform, path, [&](DataFile& file) {
        TableBuffer buffer(type, subtype, 2);
        buffer.SetInverted(inverted);
        ResultCode result = buffer.BindOpen(file, table);
        if (result == 0) result = buffer.Load();
        if (result == 0 && buffer.Size() > 0) {
            content->assign(buffer.Data(), buffer.Data() + buffer.Size());
        }
        buffer.Unbind();
        return result;
    });
}

std::vector<std::uint8_t> ItemBytes(const std::vector<Image>& items) {
    std::vector<std::uint8_t> bytes;
    for (const Image& image : items) {
        for (std::uint16_t word : image) {
            bytes.push_back(static_cast<std::uint8_t>(word));
            bytes.push_back(static_cast<std::uint8_t>(word >> 8));
        }
    }
    return bytes;
}

ResultCode SetChunkLengthWord(Platform& platform, const std::string& path, std::uint16_t table,
                              std::int16_t chunk, std::uint32_t value) {
    DataFile file(platform);
    bool created = false;
    ResultCode result = file.Open(path.c_str(), &created, 0);
    if (result == 0) result = file.BeginAccess(true);
    if (result != 0) return result;
    TableBuffer buffer(kChunkedTableType, kChunkedTableSubtype, kChunkedTableRecordSize);
    buffer.SetInverted(true);
    result = buffer.BindOpen(file, table);
    if (result == 0) result = buffer.Load();
    std::int32_t offset = 0;
    for (std::int16_t c = 0; result == 0 && c < chunk; ++c) {
        if (offset + 4 > buffer.Size()) return file.EndAccess(7106);
        const std::uint32_t length = Load32(buffer.Data() + offset);
        offset += static_cast<std::int32_t>(((length - 1) / 4 + 1) * 4);
    }
    std::uint8_t word[4];
    Store32(word, value);
    if (result == 0 && !buffer.Write(word, offset, 4)) result = 7202;
    if (result == 0) result = buffer.Save();
    buffer.Unbind();
    return file.EndAccess(result);
}

std::size_t RootDescriptorOffset(const std::vector<std::uint8_t>& file, std::uint16_t table) {
    const std::size_t root = Load16(file.data() + header::kRootBlockNumber) & kBlockNumberMask;
    return root * kBlockSize + (table & 7u) * kDescriptorSize;
}

void PatchAppHeader(const std::string& path, std::size_t offset, std::uint16_t value) {
    std::vector<std::uint8_t> bytes = ReadFileBytes(path);
    Store16(bytes.data() + header::kAppArea + offset, value);
    FixHeaderChecksum(bytes.data());
    WriteFileBytes(path, bytes);
}

void PatchAppSignature(const std::string& path, const std::uint8_t* signature16) {
    std::vector<std::uint8_t> bytes = ReadFileBytes(path);
    std::memcpy(bytes.data() + header::kAppSignature, signature16, 16);
    FixHeaderChecksum(bytes.data());
    WriteFileBytes(path, bytes);
}

FileCheck CheckFile(Platform& platform, const std::string& path) {
    FileCheck check;
    check.fileSize = ReadFileBytes(path).size();
    check.open = WithReadAccess(platform, path, [&](DataFile& file) {
        const IntegrityReport report = CheckIntegrity(file);
        check.findings = report.Describe();
        check.fileBlocks = report.fileBlocks;
        check.usedBlocks = report.usedBlocks;
        check.freeBlocks = report.freeBlocks;
        return 0;
    });
    return check;
}

std::vector<std::uint8_t> Snapshot(Platform& platform, const std::string& path) {
    std::vector<std::uint8_t> out;
    const ResultCode result = WithReadAccess(platform, path, [&](DataFile& file) {
        out.assign(file.SavedHeader(), file.SavedHeader() + kHeaderSize);
        for (std::uint16_t t = 0; t < kTableCount; ++t) {
            std::uint8_t d[kDescriptorSize];
            ResultCode r = file.ReadTableDescriptor(t, d);
            if (r != 0) return r;
            if (d[descriptor::kTableType] == 0) continue;
            out.push_back(static_cast<std::uint8_t>(t));
            out.insert(out.end(), d, d + kDescriptorSize);
            const std::uint16_t count = Load16(d + descriptor::kBlockCount);
            for (std::uint16_t i = 0; i < count && i < kMaxTableBlocks; ++i) {
                BlockNumber number = 0;
                r = file.GetBlockNumber(t, i, &number);
                if (r != 0) return r;
                out.push_back(static_cast<std::uint8_t>(number));
                out.push_back(static_cast<std::uint8_t>(number >> 8));
                if (t == kFreeTable) continue;
                BlockRef block(file);
                r = file.GetBlock(t, i, block.Out());
                if (r != 0) return r;
                out.insert(out.end(), block.data(), block.data() + kBlockSize);
            }
        }
        return 0;
    });
    if (result != 0) out.assign(1, 0xEE);
    return out;
}

std::vector<std::uint32_t> UsedBlocks(Platform& platform, const std::string& path) {
    std::vector<std::uint32_t> used;
    const ResultCode result = WithReadAccess(platform, path, [&](DataFile& file) {
        used.push_back(file.RootBlockNumber() & kBlockNumberMask);
        for (std::uint16_t t = 0; t < kTableCount; ++t) {
            std::uint8_t d[kDescriptorSize];
            ResultCode r = file.ReadTableDescriptor(t, d);
            if (r != 0) return r;
            if (d[descriptor::kTableType] == 0) continue;
            if (d[descriptor::kIndirect] != 0) {
                for (std::size_t s = 0; s < kDirectSlots; ++s) {
                    const std::uint32_t n =
                        Load16(d + descriptor::kSlots + 2 * s) & kBlockNumberMask;
                    if (n != 0) used.push_back(n);
                }
            }
            if (t == kFreeTable) continue;
            const std::uint16_t count = Load16(d + descriptor::kBlockCount);
            for (std::uint16_t i = (t == kDirectoryTable ? 1 : 0); i < count && i < kMaxTableBlocks;
                 ++i) {
                BlockNumber n = 0;
                r = file.GetBlockNumber(t, i, &n);
                if (r != 0) return r;
                if ((n & kBlockNumberMask) != 0) used.push_back(n & kBlockNumberMask);
            }
        }
        return 0;
    });
    if (result != 0) used.clear();
    std::sort(used.begin(), used.end());
    return used;
}

std::vector<std::uint8_t> UsedBytes(Platform& platform, const std::string& path) {
    std::vector<std::uint8_t> bytes = ReadFileBytes(path);
    std::vector<bool> keep(bytes.size() / kBlockSize + 1, false);
    keep[0] = true;
    for (std::uint32_t n : UsedBlocks(platform, path)) {
        if (n < keep.size()) keep[n] = true;
    }
    for (std::size_t b = 0; b * kBlockSize < bytes.size(); ++b) {
        if (keep[b]) continue;
        const std::size_t end = std::min(bytes.size(), (b + 1) * kBlockSize);
        std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(b * kBlockSize),
                  bytes.begin() + static_cast<std::ptrdiff_t>(end), 0xF5);
    }
    return bytes;
}

}  // namespace quillet::testing
