// Walks the list index and every list through the record layer, and reads
// each table's content with the chain rules of the record layer, so that a
// damaged chain is named with the byte where it breaks.

#include "check/ListWalk.h"

#include <bitset>
#include <cstdio>
#include <string>

#include "platform/LittleEndian.h"
#include "records/ChunkedTable.h"
#include "records/FieldVisitor.h"
#include "records/PropertyRecord.h"
#include "records/RecordCodes.h"
#include "records/RecordList.h"

namespace quillet {

namespace {

// Fields of a format 4 or 5 index entry.
constexpr FieldTag kEntryListTable = 0x0029;  // field 41, 0 for a folder
constexpr FieldTag kEntryName = 0x8001;
// The name in a list's header record.
constexpr FieldTag kListName = 0x8005;
// Field 2 of a format 3 list record: the list's item table.
constexpr FieldTag kListItemTable = 0x0002;

constexpr std::int16_t kHeaderChunk = 1;
constexpr std::int16_t kItemChunk = 5;
constexpr std::int32_t kChunksExpected = 6;

std::string Format(const char* format, long a = 0, long b = 0, long c = 0) {
    char text[200];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

// The text of a String field, up to its zero word or the end of the image.
bool ReadName(const PropertyRecord& record, FieldTag tag, std::u16string* name) {
    std::int32_t words = 0;
    const std::uint16_t* value = record.FindValueWords(tag, &words);
    if (!value) return false;
    name->clear();
    for (std::int32_t i = 0; i < words && value[i] != 0; ++i) {
        name->push_back(static_cast<char16_t>(value[i]));
    }
    return true;
}

// Remembers the last field the walk visited, so that a walk that stopped
// before the end of the image can tell a field it refused.
class LastVisited final : public FieldVisitor {
  public:
    explicit LastVisited(const std::uint16_t* words) : words_(words) {}
    std::int32_t Visit(FieldTag, const std::uint16_t* value) override {
        last_ = static_cast<std::int32_t>(value - words_) - 1;
        return 0;
    }
    std::int32_t last() const { return last_; }

  private:
    const std::uint16_t* words_;
    std::int32_t last_ = -1;
};

// Where the current walk is, for the problems it finds.
struct Place {
    std::string area;
    std::int32_t table = -1;
    std::int32_t entry = -1;
    std::int32_t chunk = -1;
    const std::u16string* name = nullptr;
};

class Walker {
  public:
    Walker(DataFile& file, FileReport& report, const ProgressFunction& progress)
        : file_(file), platform_(file.platform()), report_(report), progress_(progress) {}

    void Run();

  private:
    void Problem(const Place& place, std::string text, ResultCode code, std::int32_t record = -1,
                 std::int64_t byte = -1);
    TableInfo* Table(std::uint16_t number);
    void SetRole(std::uint16_t number, const std::string& role);

    // Walks the packed records of `size` bytes at `data`; calls `each` with
    // every record as a view. The number of records before the chain ends or
    // breaks; *broken tells whether it broke.
    template <typename Each>
    std::int32_t WalkRecords(const Place& place, std::uint8_t* data, std::int32_t size,
                             ResultCode chainCode, bool* broken, Each each);
    // Checks one record's field walk.
    void CheckFields(const Place& place, const PropertyRecord& record, std::int32_t number,
                     std::int64_t byte);

    // A plain record list in table `number`; the records counted, or -1.
    std::int32_t WalkRecordTable(const Place& place, std::uint16_t number,
                                 std::int32_t* itemsOut = nullptr);
    // A list's own chunked table; adds its items.
    void WalkListTable(Place place, std::uint16_t number, std::u16string* headerName);

    void WalkIndex45();
    void WalkFormat3();
    void WalkOtherTables();

    DataFile& file_;
    Platform& platform_;
    FileReport& report_;
    const ProgressFunction& progress_;
    std::bitset<kTableCount> walked_;
};

void Walker::Problem(const Place& place, std::string text, ResultCode code, std::int32_t record,
                     std::int64_t byte) {
    CheckProblem p;
    p.area = place.area;
    p.text = std::move(text);
    p.code = code;
    p.table = place.table;
    p.entry = place.entry;
    p.chunk = place.chunk;
    p.record = record;
    p.byte = byte;
    if (place.name) {
        p.listName = *place.name;
        p.hasListName = true;
    }
    AddProblem(report_, std::move(p));
}

TableInfo* Walker::Table(std::uint16_t number) {
    for (TableInfo& t : report_.tables) {
        if (t.number == number) return &t;
    }
    return nullptr;
}

void Walker::SetRole(std::uint16_t number, const std::string& role) {
    TableInfo* t = Table(number);
    if (!t) return;
    if (t->role.empty()) {
        t->role = role;
    } else if (t->role.find(role) == std::string::npos) {
        t->role += "; also " + role;
    }
}

template <typename Each>
std::int32_t Walker::WalkRecords(const Place& place, std::uint8_t* data, std::int32_t size,
                                 ResultCode chainCode, bool* broken, Each each) {
    *broken = false;
    const std::int32_t words = size / 2;
    std::int32_t i = 0;
    std::int32_t count = 0;
    while (i < words) {
        const std::int32_t length = static_cast<std::int16_t>(Load16(data + 2 * i));
        if (length < 1 || i + length > words) {
            Problem(place,
                    length < 1 ? Format("record %ld has the length %ld words", count, length)
                               : Format("record %ld (%ld words) runs past the end of the list",
                                        count, length),
                    chainCode, count, 2 * static_cast<std::int64_t>(i));
            *broken = true;
            return count;
        }
        PropertyRecord record(platform_);
        record.MakeView(reinterpret_cast<std::uint16_t*>(data + 2 * i));
        CheckFields(place, record, count, 2 * static_cast<std::int64_t>(i));
        each(count, record);
        i += length;
        ++count;
    }
    return count;
}

void Walker::CheckFields(const Place& place, const PropertyRecord& record, std::int32_t number,
                         std::int64_t byte) {
    const std::uint16_t* words = record.GetImage();
    LastVisited visitor(words);
    std::int32_t end = 0;
    record.ForEachField(visitor, &end);
    const std::int32_t length = record.WordCount();
    if (end < length && words[end] != 0 && end != visitor.last()) {
        Problem(place,
                Format("record %ld: the field with tag 0x%04lX at word %ld runs past the end of "
                       "the record",
                       number, words[end], end),
                0, number, byte + 2 * end);
    }
}

std::int32_t Walker::WalkRecordTable(const Place& place, std::uint16_t number,
                                     std::int32_t* itemsOut) {
    walked_.set(number);
    FileRecordList list;
    ResultCode r = list.OpenList(file_, number);
    if (r == 0) r = list.tableBuffer().Load();
    if (r != 0) {
        Problem(place, "the table cannot be read as a record list", r);
        list.CloseList();
        return -1;
    }
    bool broken = false;
    const std::int32_t count =
        WalkRecords(place, list.tableBuffer().Data(), list.tableBuffer().Size(), kListChainBroken,
                    &broken, [](std::int32_t, const PropertyRecord&) {});
    if (itemsOut) *itemsOut = count;
    list.CloseList();
    return broken ? -1 : count;
}

void Walker::WalkListTable(Place place, std::uint16_t number, std::u16string* headerName) {
    walked_.set(number);
    ChunkedTable list(platform_);
    ResultCode r = list.OpenList(file_, number);
    if (r == 0) r = list.tableBuffer().Load();
    if (r != 0) {
        Problem(place,
                "the list's table cannot be read as a chunked list table: " + MeaningOfCode(r), r);
        list.CloseList();
        return;
    }
    std::uint8_t* data = list.tableBuffer().Data();
    const std::int32_t units = list.tableBuffer().Size() / 4;
    std::int32_t offset = 0;
    std::int32_t chunk = 0;
    for (; chunk < kChunksExpected && offset < units; ++chunk) {
        const std::uint32_t length = Load32(data + 4 * offset);
        const std::int64_t chunkUnits = length < 4 ? 0 : (std::int64_t{length} - 1) / 4 + 1;
        if (length < 4 || offset + chunkUnits > units) {
            Place at = place;
            at.chunk = chunk;
            Problem(at,
                    length < 4 ? Format("chunk %ld has the length %ld bytes", chunk, length)
                               : Format("chunk %ld (%ld bytes) runs past the end of the table",
                                        chunk, length),
                    kChunkChainBroken, -1, 4 * static_cast<std::int64_t>(offset));
            list.CloseList();
            return;
        }
        if (chunk >= kHeaderChunk) {
            Place at = place;
            at.chunk = chunk;
            bool broken = false;
            std::int32_t count = WalkRecords(
                at, data + 4 * offset + 4, static_cast<std::int32_t>(length - 4), kListChainBroken,
                &broken, [&](std::int32_t n, const PropertyRecord& record) {
                    if (chunk == kHeaderChunk && n == 0 && headerName) {
                        ReadName(record, kListName, headerName);
                    }
                });
            if (chunk == kHeaderChunk && count == 0 && !broken) {
                Problem(at, "the list has no header record", kListNoSuchRecord, 0);
            }
            if (chunk == kItemChunk) report_.items += count;
        }
        offset += static_cast<std::int32_t>(chunkUnits);
    }
    if (chunk < kChunksExpected) {
        Place at = place;
        at.chunk = chunk;
        Problem(at, Format("the table holds %ld chunks; a list's table has chunks 0 to 5", chunk),
                chunk <= kHeaderChunk ? kListNoSuchRecord : 0);
    }
    list.CloseList();
}

void Walker::WalkIndex45() {
    const std::uint16_t indexTable = report_.listIndexTable;
    Place place;
    place.area = "list index";
    place.table = indexTable;
    if (indexTable < 2 || indexTable >= kTableCount) {
        Problem(place,
                Format("the application header names table %ld as the list index", indexTable),
                indexTable >= kTableCount ? 9 : kTableWrongType);
        return;
    }
    SetRole(indexTable, "list index");
    walked_.set(indexTable);
    FileRecordList index;
    ResultCode r = index.OpenList(file_, indexTable);
    if (r == 0) r = index.tableBuffer().Load();
    if (r != 0) {
        Problem(place, "the list index cannot be read", r);
        index.CloseList();
        return;
    }

    // The entries first (the list tables they name, their names), then the
    // lists, so that a table named twice is known before any list is walked.
    struct Entry {
        std::int32_t number;
        std::uint16_t table;
        std::u16string name;
        bool hasName;
    };
    std::vector<Entry> entries;
    bool broken = false;
    WalkRecords(place, index.tableBuffer().Data(), index.tableBuffer().Size(), kListChainBroken,
                &broken, [&](std::int32_t n, const PropertyRecord& record) {
                    std::uint16_t table = 0;
                    record.GetShort(kEntryListTable, &table);
                    if (table == 0) {
                        ++report_.folders;
                        return;
                    }
                    ++report_.lists;
                    Entry e{n, table, {}, false};
                    e.hasName = ReadName(record, kEntryName, &e.name);
                    entries.push_back(std::move(e));
                });
    index.CloseList();

    std::bitset<kTableCount> named;
    for (std::size_t k = 0; k < entries.size(); ++k) {
        Entry& e = entries[k];
        if (progress_) {
            const std::string stage = Format("list %ld of %ld", static_cast<long>(k + 1),
                                             static_cast<long>(entries.size()));
            progress_(stage.c_str());
        }
        Place at;
        at.area = "list";
        at.table = e.table;
        at.entry = e.number;
        at.name = e.hasName ? &e.name : nullptr;
        if (e.table >= kTableCount) {
            Problem(at,
                    Format("index entry %ld names table %ld, above the last table 191", e.number,
                           e.table),
                    9);
            continue;
        }
        if (e.table == kDirectoryTable || e.table == kFreeTable || e.table == indexTable) {
            Problem(at,
                    Format("index entry %ld names table %ld, which cannot hold a list", e.number,
                           e.table),
                    kTableWrongType);
            continue;
        }
        if (named.test(e.table)) {
            Problem(at,
                    Format("index entry %ld names table %ld, which an earlier entry names too",
                           e.number, e.table),
                    kTableWrongType);
            continue;
        }
        named.set(e.table);
        std::u16string headerName;
        WalkListTable(at, e.table, &headerName);
        if (!e.hasName && !headerName.empty()) {
            e.name = headerName;
            e.hasName = true;
        }
        SetRole(e.table, "list");
        if (e.hasName) {
            if (TableInfo* t = Table(e.table)) {
                t->listName = e.name;
                t->hasListName = true;
            }
        }
    }
}

void Walker::WalkFormat3() {
    struct Main {
        std::uint16_t table;
        const char* role;
    };
    const Main mains[] = {{report_.listIndexTable, "list records"},
                          {report_.folderTable, "folder records"},
                          {report_.columnTable, "column definitions"}};
    for (const Main& m : mains) {
        Place place;
        place.area = m.role;
        place.table = m.table;
        if (m.table < 2 || m.table >= kTableCount) {
            Problem(place,
                    Format("the application header names table %ld for the ", m.table) + m.role,
                    m.table >= kTableCount ? 9 : kTableWrongType);
            continue;
        }
        SetRole(m.table, m.role);
        if (walked_.test(m.table)) continue;
        walked_.set(m.table);
        FileRecordList list;
        ResultCode r = list.OpenList(file_, m.table);
        if (r == 0) r = list.tableBuffer().Load();
        if (r != 0) {
            Problem(place, "the table cannot be read as a record list", r);
            list.CloseList();
            continue;
        }
        std::vector<std::uint16_t> itemTables;
        bool broken = false;
        const bool isLists = m.table == report_.listIndexTable;
        const std::int32_t count =
            WalkRecords(place, list.tableBuffer().Data(), list.tableBuffer().Size(),
                        kListChainBroken, &broken, [&](std::int32_t, const PropertyRecord& record) {
                            if (!isLists) return;
                            std::uint16_t table = 0;
                            record.GetShort(kListItemTable, &table);
                            itemTables.push_back(table);
                        });
        list.CloseList();
        if (isLists) {
            report_.lists += count;
            for (std::size_t k = 0; k < itemTables.size(); ++k) {
                const std::uint16_t t = itemTables[k];
                Place at;
                at.area = "list";
                at.table = t;
                at.entry = static_cast<std::int32_t>(k);
                if (t < 2 || t >= kTableCount || walked_.test(t)) {
                    Problem(at,
                            Format("list record %ld names table %ld for its items",
                                   static_cast<long>(k), t),
                            t >= kTableCount ? 9 : kTableWrongType);
                    continue;
                }
                SetRole(t, "items of a list");
                std::int32_t items = 0;
                WalkRecordTable(at, t, &items);
                report_.items += items;
            }
        } else if (m.table == report_.folderTable) {
            report_.folders += count;
        }
    }
}

void Walker::WalkOtherTables() {
    // Tables of the record kinds that nothing above named still hold record
    // lists or chunked lists; their chains are checked too.
    for (const TableInfo& t : report_.tables) {
        if (t.number < 2 || walked_.test(t.number)) continue;
        Place place;
        place.area = "table";
        place.table = t.number;
        if (t.type == kRecordTableType && t.subtype == kRecordTableSubtype) {
            WalkRecordTable(place, t.number);
        } else if (t.type == kChunkedTableType && t.subtype == kChunkedTableSubtype) {
            const std::int64_t before = report_.items;
            WalkListTable(place, t.number, nullptr);
            report_.items = before;  // not a list of the index: its items are not counted
        }
    }
}

void Walker::Run() {
    if (report_.formatVersion == 4 || report_.formatVersion == 5) {
        report_.listsRead = true;
        WalkIndex45();
    } else if (report_.formatVersion == 3) {
        report_.listsRead = true;
        WalkFormat3();
    }
    WalkOtherTables();
    for (TableInfo& t : report_.tables) {
        if (t.number >= 2 && t.role.empty()) t.role = "not named by the lists";
    }
}

}  // namespace

void WalkApplicationData(DataFile& file, FileReport& report, const ProgressFunction& progress) {
    Walker(file, report, progress).Run();
}

}  // namespace quillet
