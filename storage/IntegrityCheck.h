#pragma once
// A read-only walk of a data file's whole block tree: header, root, directory
// blocks, descriptors, index blocks and the free list. It reports every block
// number that lies outside the file, every block that is referred to twice (in
// the tree, in the free list or in both) and every block that is neither used
// nor free. It never changes the file and copes with any damage.

#include <cstdint>
#include <string>
#include <vector>

#include "container/DataFile.h"

namespace quillet {

enum class IntegrityProblemKind {
    kBeyondEnd,     // a block number at or beyond FileBlocks
    kDoubleUse,     // a block referred to a second time
    kLeaked,        // a block neither used nor free
    kUnreadable,    // a block could not be read (code in `code`)
    kBadStructure,  // a count or flag that the format does not allow
    kStraySlot,     // a nonzero map entry at or beyond the table's BlockCount
};

// Where a reference stands. `index` is the data block index for data blocks
// and free-list entries, the map index for index blocks, -1 when it does not
// apply.
enum class BlockRole { kHeader, kRoot, kDirectory, kIndexBlock, kData, kFree, kNone };

struct IntegrityProblem {
    IntegrityProblemKind kind = IntegrityProblemKind::kBadStructure;
    BlockRole role = BlockRole::kNone;
    std::int32_t table = -1;
    std::int32_t index = -1;
    std::uint32_t block = 0;  // the block number concerned (low 15 bits)
    ResultCode code = 0;      // for kUnreadable
    std::string text;         // a readable description

    // The first owner of a block referred to twice.
    BlockRole firstRole = BlockRole::kNone;
    std::int32_t firstTable = -1;
    std::int32_t firstIndex = -1;
};

struct IntegrityReport {
    std::vector<IntegrityProblem> problems;
    std::uint32_t fileBlocks = 0;
    std::uint32_t usedBlocks = 0;    // the header included
    std::uint32_t freeBlocks = 0;    // distinct blocks in the free list
    std::uint32_t leakedBlocks = 0;  // below FileBlocks, neither used nor free
    std::uint32_t tables = 0;        // application tables (2..191) in use
    std::vector<std::uint32_t> leaked;

    bool ok() const { return problems.empty(); }
    // Every problem on a line of its own; empty when ok().
    std::string Describe() const;
};

// Walks the file open in `file`, which must be inside an access. Within a
// transaction (uncommitted changes) the consumed front of the free list is
// not counted as free, since those blocks are in use again.
IntegrityReport CheckIntegrity(DataFile& file);

}  // namespace quillet
