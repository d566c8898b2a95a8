// The integrity walk over a data file's block tree and free list.

#include "storage/IntegrityCheck.h"

#include <algorithm>
#include <cstdio>

#include "platform/LittleEndian.h"

namespace quillet {

namespace {

const char* RoleName(BlockRole role) {
    switch (role) {
        case BlockRole::kHeader:
            return "header";
        case BlockRole::kRoot:
            return "root block";
        case BlockRole::kDirectory:
            return "directory block";
        case BlockRole::kIndexBlock:
            return "index block";
        case BlockRole::kData:
            return "data block";
        case BlockRole::kFree:
            return "free-list entry";
        case BlockRole::kNone:
            return "none";
    }
    return "?";
}

struct Owner {
    BlockRole role = BlockRole::kNone;
    std::int32_t table = -1;
    std::int32_t index = -1;
};

class Walker {
  public:
    explicit Walker(DataFile& file) : file_(file) {}

    IntegrityReport Run();

  private:
    // Records a reference to `number`; false when it must not be followed.
    bool Reference(std::uint32_t number, BlockRole role, std::int32_t table, std::int32_t index);
    void Problem(IntegrityProblemKind kind, BlockRole role, std::int32_t table, std::int32_t index,
                 std::uint32_t block, ResultCode code, std::string text);
    void WalkTable(std::uint16_t table, const std::uint8_t* desc, bool freeList);
    void ReferenceEntry(std::uint32_t number, bool freeList, std::uint16_t table,
                        std::int32_t index);

    DataFile& file_;
    IntegrityReport report_;
    std::vector<Owner> owners_;
    std::uint32_t blocks_ = 0;
    std::uint32_t consumed_ = 0;  // free-list entries in use again in this transaction
};

void Walker::Problem(IntegrityProblemKind kind, BlockRole role, std::int32_t table,
                     std::int32_t index, std::uint32_t block, ResultCode code, std::string text) {
    IntegrityProblem p;
    p.kind = kind;
    p.role = role;
    p.table = table;
    p.index = index;
    p.block = block;
    p.code = code;
    p.text = std::move(text);
    report_.problems.push_back(std::move(p));
}

bool Walker::Reference(std::uint32_t number, BlockRole role, std::int32_t table,
                       std::int32_t index) {
    char text[160];
    if (number >= blocks_) {
        std::snprintf(text, sizeof text,
                      "%s of table %d index %d names block %u at or beyond "
                      "FileBlocks %u",
                      RoleName(role), table, index, number, blocks_);
        Problem(IntegrityProblemKind::kBeyondEnd, role, table, index, number, 0, text);
        return false;
    }
    Owner& owner = owners_[number];
    if (owner.role != BlockRole::kNone) {
        std::snprintf(text, sizeof text,
                      "block %u is %s of table %d index %d and also %s of "
                      "table %d index %d",
                      number, RoleName(owner.role), owner.table, owner.index, RoleName(role), table,
                      index);
        Problem(IntegrityProblemKind::kDoubleUse, role, table, index, number, 0, text);
        IntegrityProblem& p = report_.problems.back();
        p.firstRole = owner.role;
        p.firstTable = owner.table;
        p.firstIndex = owner.index;
        return false;
    }
    owner = Owner{role, table, index};
    return true;
}

void Walker::ReferenceEntry(std::uint32_t number, bool freeList, std::uint16_t table,
                            std::int32_t index) {
    if (number == 0) return;
    if (freeList) {
        if (static_cast<std::uint32_t>(index) < consumed_) return;
        Reference(number, BlockRole::kFree, table, index);
    } else {
        Reference(number, BlockRole::kData, table, index);
    }
}

void Walker::WalkTable(std::uint16_t table, const std::uint8_t* desc, bool freeList) {
    char text[160];
    const std::uint32_t count = Load16(desc + descriptor::kBlockCount);
    if (count > kMaxTableBlocks) {
        std::snprintf(text, sizeof text, "table %u has BlockCount %u, above %u", table, count,
                      kMaxTableBlocks);
        Problem(IntegrityProblemKind::kBadStructure, BlockRole::kNone, table, -1, 0, 0, text);
    }
    const std::uint32_t reach = std::min<std::uint32_t>(count, kMaxTableBlocks);
    if (desc[descriptor::kIndirect] == 0) {
        for (std::uint32_t i = 0; i < kDirectSlots; ++i) {
            const std::uint32_t number =
                Load16(desc + descriptor::kSlots + 2 * i) & kBlockNumberMask;
            if (number == 0) continue;
            if (i >= reach) {
                std::snprintf(text, sizeof text,
                              "table %u slot %u beyond BlockCount %u holds "
                              "block %u",
                              table, i, count, number);
                Problem(IntegrityProblemKind::kStraySlot,
                        freeList ? BlockRole::kFree : BlockRole::kData, table,
                        static_cast<std::int32_t>(i), number, 0, text);
                continue;
            }
            ReferenceEntry(number, freeList, table, static_cast<std::int32_t>(i));
        }
        return;
    }
    for (std::uint32_t s = 0; s < kDirectSlots; ++s) {
        const std::uint32_t mapNumber =
            Load16(desc + descriptor::kSlots + 2 * s) & kBlockNumberMask;
        if (mapNumber == 0) continue;
        if (!Reference(mapNumber, BlockRole::kIndexBlock, table, static_cast<std::int32_t>(s))) {
            continue;
        }
        BlockRef map(file_);
        const ResultCode r = file_.LoadMapBlock(table, static_cast<std::uint16_t>(s),
                                                static_cast<BlockNumber>(mapNumber), map.Out());
        if (r != 0) {
            std::snprintf(text, sizeof text,
                          "index block %u of table %u (block %u) cannot be "
                          "read: %d",
                          s, table, mapNumber, r);
            Problem(IntegrityProblemKind::kUnreadable, BlockRole::kIndexBlock, table,
                    static_cast<std::int32_t>(s), mapNumber, r, text);
            continue;
        }
        for (std::uint32_t e = 0; e < kIndexEntries; ++e) {
            const std::uint32_t i = s * kIndexEntries + e;
            const std::uint32_t number = Load16(map.data() + 2 * e) & kBlockNumberMask;
            if (number == 0) continue;
            if (i >= reach) {
                std::snprintf(text, sizeof text,
                              "table %u entry %u beyond BlockCount %u holds "
                              "block %u",
                              table, i, count, number);
                Problem(IntegrityProblemKind::kStraySlot,
                        freeList ? BlockRole::kFree : BlockRole::kData, table,
                        static_cast<std::int32_t>(i), number, 0, text);
                continue;
            }
            ReferenceEntry(number, freeList, table, static_cast<std::int32_t>(i));
        }
    }
}

IntegrityReport Walker::Run() {
    char text[160];
    const std::uint32_t fileBlocks = file_.FileBlocks();
    report_.fileBlocks = fileBlocks;
    if (fileBlocks > kMaxFileBlocks) {
        std::snprintf(text, sizeof text, "FileBlocks %u is above %u", fileBlocks, kMaxFileBlocks);
        Problem(IntegrityProblemKind::kBadStructure, BlockRole::kHeader, -1, -1, 0, 0, text);
    }
    blocks_ = std::min<std::uint32_t>(fileBlocks, kMaxFileBlocks);
    owners_.assign(blocks_, Owner{});
    // Loading the root starts the transaction's view of the free list (or
    // keeps the one in progress), so that the cursor below is current.
    if (file_.LoadRootBlock() == 0 && file_.IsModified()) consumed_ = file_.FreeCursor();

    if (blocks_ > 0) owners_[0] = Owner{BlockRole::kHeader, -1, -1};
    const std::uint32_t root = file_.RootBlockNumber() & kBlockNumberMask;
    if (root == 0) {
        Problem(IntegrityProblemKind::kBadStructure, BlockRole::kRoot, 0, 0, 0, 0,
                "the file has no root block");
        return report_;
    }
    if (!Reference(root, BlockRole::kRoot, 0, 0)) return report_;

    BlockRef rootBlock(file_);
    ResultCode r = file_.GetBlock(kDirectoryTable, 0, rootBlock.Out());
    if (r != 0) {
        std::snprintf(text, sizeof text, "the root block %u cannot be read: %d", root, r);
        Problem(IntegrityProblemKind::kUnreadable, BlockRole::kRoot, 0, 0, root, r, text);
        return report_;
    }
    const std::uint8_t* directory = rootBlock.data();
    if (directory[descriptor::kIndirect] != 0) {
        Problem(IntegrityProblemKind::kBadStructure, BlockRole::kRoot, 0, -1, root, 0,
                "the directory table's map is indirect");
    }
    if ((Load16(directory + descriptor::kSlots) & kBlockNumberMask) != root) {
        std::snprintf(text, sizeof text, "directory slot 0 holds %u, the header names root %u",
                      Load16(directory + descriptor::kSlots) & kBlockNumberMask, root);
        Problem(IntegrityProblemKind::kBadStructure, BlockRole::kRoot, 0, 0, root, 0, text);
    }
    if (directory[descriptor::kTableType] == 0 ||
        directory[kDescriptorSize + descriptor::kTableType] == 0) {
        Problem(IntegrityProblemKind::kBadStructure, BlockRole::kRoot, 0, -1, root, 0,
                "table 0 or table 1 is marked free");
    }
    const std::uint32_t directoryCount = Load16(directory + descriptor::kBlockCount);
    if (directoryCount == 0 || directoryCount > kDirectSlots) {
        std::snprintf(text, sizeof text, "the directory has BlockCount %u", directoryCount);
        Problem(IntegrityProblemKind::kBadStructure, BlockRole::kDirectory, 0, -1, 0, 0, text);
    }
    const std::uint32_t directoryBlocks = std::min<std::uint32_t>(directoryCount, kDirectSlots);
    for (std::uint32_t k = directoryBlocks; k < kDirectSlots; ++k) {
        const std::uint32_t number =
            Load16(directory + descriptor::kSlots + 2 * k) & kBlockNumberMask;
        if (number != 0) {
            std::snprintf(text, sizeof text, "directory slot %u beyond BlockCount holds %u", k,
                          number);
            Problem(IntegrityProblemKind::kStraySlot, BlockRole::kDirectory, 0,
                    static_cast<std::int32_t>(k), number, 0, text);
        }
    }

    for (std::uint32_t k = 0; k < std::max<std::uint32_t>(directoryBlocks, 1); ++k) {
        BlockRef block(file_);
        const std::uint8_t* descriptors = directory;
        if (k > 0) {
            const std::uint32_t number =
                Load16(directory + descriptor::kSlots + 2 * k) & kBlockNumberMask;
            if (number == 0) continue;  // eight free table numbers
            if (!Reference(number, BlockRole::kDirectory, 0, static_cast<std::int32_t>(k))) {
                continue;
            }
            r = file_.GetBlock(kDirectoryTable, static_cast<std::uint16_t>(k), block.Out());
            if (r != 0) {
                std::snprintf(text, sizeof text,
                              "directory block %u (block %u) cannot be read: "
                              "%d",
                              k, number, r);
                Problem(IntegrityProblemKind::kUnreadable, BlockRole::kDirectory, 0,
                        static_cast<std::int32_t>(k), number, r, text);
                continue;
            }
            descriptors = block.data();
        }
        for (std::uint32_t d = 0; d < kBlockSize / kDescriptorSize; ++d) {
            const auto table = static_cast<std::uint16_t>(k * 8 + d);
            if (table == kDirectoryTable) continue;  // its slots are the directory blocks
            const std::uint8_t* desc = descriptors + d * kDescriptorSize;
            if (desc[descriptor::kTableType] == 0) continue;
            if (table >= 2) ++report_.tables;
            WalkTable(table, desc, table == kFreeTable);
        }
    }

    for (std::uint32_t b = 1; b < blocks_; ++b) {
        const BlockRole role = owners_[b].role;
        if (role == BlockRole::kNone) {
            ++report_.leakedBlocks;
            report_.leaked.push_back(b);
        } else if (role == BlockRole::kFree) {
            ++report_.freeBlocks;
        } else {
            ++report_.usedBlocks;
        }
    }
    if (blocks_ > 0) ++report_.usedBlocks;  // the header
    if (!report_.leaked.empty()) {
        std::string list;
        for (std::size_t n = 0; n < report_.leaked.size() && n < 20; ++n) {
            list += (n ? " " : "") + std::to_string(report_.leaked[n]);
        }
        if (report_.leaked.size() > 20) list += " ...";
        Problem(IntegrityProblemKind::kLeaked, BlockRole::kNone, -1, -1, report_.leaked.front(), 0,
                std::to_string(report_.leaked.size()) + " leaked blocks: " + list);
    }
    return report_;
}

}  // namespace

std::string IntegrityReport::Describe() const {
    std::string out;
    for (const IntegrityProblem& p : problems) {
        out += p.text;
        out += '\n';
    }
    return out;
}

IntegrityReport CheckIntegrity(DataFile& file) {
    return Walker(file).Run();
}

}  // namespace quillet
