#pragma once
// Test inputs for the conversion, built with the engine and the record layer:
// format 4 and 5 data files with an outline of folders and lists at given
// levels, each list with its header record, column definitions, chunk 4
// records and items; and readers that take a converted file apart again.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "container/DataFile.h"
#include "platform/Platform.h"
#include "platform/ResultCode.h"

namespace quillet::testing {

// A record's word image: word 0 is its length in words.
using Image = std::vector<std::uint16_t>;

// One field of an image being built: its tag and value words.
struct Field {
    std::uint16_t tag;
    std::vector<std::uint16_t> values;
};
// The image of the fields in the given order (the caller keeps field order).
Image MakeImage(const std::vector<Field>& fields);
// The value words of a String field: the UTF-16 units and the zero word.
std::vector<std::uint16_t> Text(const std::u16string& text);

struct ColumnDef {
    std::uint16_t key = 0;                // field 1, the second sort key
    std::optional<std::uint16_t> type;    // field 4
    std::optional<std::uint16_t> field8;  // field 8
    std::optional<std::uint16_t> field9;
    std::optional<std::uint16_t> field10;
};

struct EntryDef {
    bool list = false;
    std::uint16_t id = 0;                // field 42
    std::int16_t level = 0;              // field 9
    std::optional<std::u16string> name;  // field 0x8001
    // Lists only.
    std::vector<ColumnDef> columns;  // chunk 2, in this order
    std::vector<Image> chunk4;       // chunk 4 records
    std::vector<Image> items;        // chunk 5 records
    bool format5Fields = false;      // header carries 0x4028, 0xC029, 0x802A
    // A list entry that names this table in field 41 instead of a table of its
    // own (for damaged indexes); no chunked table is made for it.
    std::optional<std::uint16_t> forceTable;
    // Filled by BuildDataFile: the list's own table.
    std::uint16_t table = 0;
};

struct FileDef {
    std::uint16_t version = 4;
    std::vector<EntryDef> entries;
    // Filled by BuildDataFile: the list index table.
    std::uint16_t indexTable = 0;
};

// The AppHeader bytes that every conversion carries over unchanged (6, 7 and
// 12..63) hold this pattern in the files built here.
std::uint8_t AppFiller(std::size_t offset);

// The header record a list gets: 0x8001 = "H<id>", 0x4004 = 0, and with
// format5Fields also 0x4028 = 77, 0xC029 = {3, 0x1111, 0x2222}, 0x802A = "v5".
Image ListHeaderImage(const EntryDef& entry);
// The image of a column definition as built.
Image ColumnImage(const ColumnDef& column);

// Makes a new data file at `path` (which must not exist). Lists get their own
// chunked tables first, in entry order, then the index table is made.
ResultCode BuildDataFile(Platform& platform, const std::string& path, FileDef& def);

// Readers: each opens the file read-only for one access.
struct TableInfo {
    std::uint8_t type = 0;
    std::uint8_t subtype = 0;
    std::uint16_t blockCount = 0;
    std::uint16_t recordSize = 0;
    std::uint16_t lastBlockUsed = 0;
};
ResultCode ReadAppHeader(Platform& platform, const std::string& path, std::uint8_t* out64);
ResultCode ReadTableInfo(Platform& platform, const std::string& path, std::uint16_t table,
                         TableInfo* info);
// Every table in use: number and info.
ResultCode ListTables(Platform& platform, const std::string& path,
                      std::vector<std::pair<std::uint16_t, TableInfo>>* tables);
// The records of a plain record table (type 3, subtype 0).
ResultCode ReadRecords(Platform& platform, const std::string& path, std::uint16_t table,
                       std::vector<Image>* records);
// The records of one chunk of a chunked table (type 7, subtype 3).
ResultCode ReadChunkRecords(Platform& platform, const std::string& path, std::uint16_t table,
                            std::int16_t chunk, std::vector<Image>* records);
// The content bytes of a table through a table buffer of the given kind.
ResultCode ReadTableContent(Platform& platform, const std::string& path, std::uint16_t table,
                            std::uint8_t type, std::uint8_t subtype, bool inverted,
                            std::vector<std::uint8_t>* content);

// The bytes of the chunk 5 record list of a list as built: its item images
// one after another, little-endian.
std::vector<std::uint8_t> ItemBytes(const std::vector<Image>& items);

// Raw access to a table descriptor of tables 0..7 inside the root block of a
// file on disk, for making damaged files. Returns the byte offset of the
// descriptor in the file.
std::size_t RootDescriptorOffset(const std::vector<std::uint8_t>& file, std::uint16_t table);
// Overwrites the length word of chunk `chunk` of a chunked table (for broken
// chunk chains), through the record layer in a transaction of its own.
ResultCode SetChunkLengthWord(Platform& platform, const std::string& path, std::uint16_t table,
                              std::int16_t chunk, std::uint32_t value);
// Rewrites the AppHeader of a file on disk (keeping the header checksum right).
void PatchAppHeader(const std::string& path, std::size_t offset, std::uint16_t value);
// Overwrites the 16-byte AppSignature of a file on disk (checksum kept right).
void PatchAppSignature(const std::string& path, const std::uint8_t* signature16);

// The integrity walk's report for the file on disk (opened read-only).
struct FileCheck {
    ResultCode open = 0;           // the open's or the access's code
    std::string findings;          // empty when the file is sound
    std::uint32_t fileBlocks = 0;  // FileBlocks of the header
    std::uint32_t usedBlocks = 0;  // blocks in use, the header included
    std::uint32_t freeBlocks = 0;
    std::uint64_t fileSize = 0;  // bytes on disk
};
FileCheck CheckFile(Platform& platform, const std::string& path);

// Everything the committed state of a file says, read through the engine: the
// 512 header bytes, every table descriptor, every data block's number and
// bytes, and the free list. Two files with equal snapshots hold the same
// committed state, whatever free or unused blocks contain.
std::vector<std::uint8_t> Snapshot(Platform& platform, const std::string& path);

// The numbers of every block the committed state refers to: the root, the
// directory blocks, every table's index blocks and data blocks (free-list
// entries are free, its index blocks are used), sorted.
std::vector<std::uint32_t> UsedBlocks(Platform& platform, const std::string& path);
// The file's bytes with every block that is not in use (and so may hold
// anything) blanked out: what a failed, discarded transaction must not change.
std::vector<std::uint8_t> UsedBytes(Platform& platform, const std::string& path);

}  // namespace quillet::testing
