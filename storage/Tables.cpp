// Tables and the table directory: descriptors, direct and indirect block maps,
// and the operations that create, delete, size and describe tables.

#include <cstring>

#include "container/DataFile.h"
#include "platform/LittleEndian.h"

namespace quillet {

namespace {

constexpr std::uint16_t kDescriptorsPerBlock = 8;

// A number read from a block keeps its fresh flag only when the block that
// holds it is itself fresh.
BlockNumber Masked(BlockNumber value, bool holderFresh) {
    return holderFresh ? value : static_cast<BlockNumber>(value & kBlockNumberMask);
}

bool IsFresh(const CacheEntry* entry) {
    return (entry->blockNumber & kFreshFlag) != 0;
}

std::uint8_t* DescriptorIn(const CacheEntry* block, std::uint16_t table) {
    return block->buffer + (table % kDescriptorsPerBlock) * kDescriptorSize;
}

std::uint8_t* SlotAt(std::uint8_t* descriptor, std::size_t slot) {
    return descriptor + descriptor::kSlots + 2 * slot;
}

// Counts one change of the table in this transaction.
void CountChange(std::uint8_t* desc) {
    const std::uint16_t count = Load16(desc + descriptor::kChangeCount);
    if (!(count & 0x8000)) {
        Store16(desc + descriptor::kChangeCount,
                static_cast<std::uint16_t>(((count + 1) & 0x7fff) | 0x8000));
    }
}

}  // namespace

ResultCode DataFile::GetDescriptorBlock(std::uint16_t table, CacheEntry** entry) {
    *entry = nullptr;
    if (table >= kTableCount) return 9;
    if (table < kDescriptorsPerBlock) {
        const ResultCode r = LoadRootBlock();
        if (r != 0) return r;
        ++rootEntry_->pinCount;
        *entry = rootEntry_;
        return 0;
    }
    return GetBlock(kDirectoryTable, static_cast<std::uint16_t>(table / kDescriptorsPerBlock),
                    entry);
}

ResultCode DataFile::ReadTableDescriptor(std::uint16_t table, std::uint8_t* out64) {
    BlockRef d(*this);
    const ResultCode r = GetDescriptorBlock(table, d.Out());
    if (r != 0) return r;
    std::memcpy(out64, DescriptorIn(d.get(), table), kDescriptorSize);
    if (!IsFresh(d.get())) {
        Store16(out64 + descriptor::kChangeCount,
                static_cast<std::uint16_t>(Load16(out64 + descriptor::kChangeCount) & 0x7fff));
    }
    return 0;
}

ResultCode DataFile::GetBlockNumber(std::uint16_t table, std::uint16_t index, BlockNumber* number) {
    *number = 0;
    if (table > kTableCount) return 9;
    if (index > kMaxTableBlocks) return 10;
    BlockRef d(*this);
    ResultCode r = GetDescriptorBlock(table, d.Out());
    if (r != 0) return r;
    std::uint8_t* desc = DescriptorIn(d.get(), table);
    const bool descFresh = IsFresh(d.get());
    // A count read from the file may exceed what a map can describe.
    if (index >= Load16(desc + descriptor::kBlockCount) || index >= kMaxTableBlocks) return 0;
    if (desc[descriptor::kIndirect] == 0) {
        if (index < kDirectSlots) *number = Masked(Load16(SlotAt(desc, index)), descFresh);
        return 0;
    }
    const std::uint16_t mapIndex = static_cast<std::uint16_t>(index / kIndexEntries);
    const BlockNumber mapNumber = Masked(Load16(SlotAt(desc, mapIndex)), descFresh);
    BlockRef m(*this);
    r = LoadMapBlock(table, mapIndex, mapNumber, m.Out());
    if (r != 0) return r;
    *number = Masked(Load16(m.data() + 2 * (index % kIndexEntries)), (mapNumber & kFreshFlag) != 0);
    return 0;
}

ResultCode DataFile::SetBlockNumber(std::uint16_t table, std::uint16_t index, BlockNumber number,
                                    BlockKind kind, bool freeOld) {
    if (table > kTableCount) return 9;
    const bool data = kind == BlockKind::kData;
    if (!data && index >= kDirectSlots) return 10;
    if (data && index >= kMaxTableBlocks) return 10;
    const BlockNumber stored =
        (number & kBlockNumberMask) != 0 ? static_cast<BlockNumber>(number | kFreshFlag) : 0;

    BlockRef d(*this);
    ResultCode r = GetDescriptorBlock(table, d.Out());
    if (r != 0) return r;
    std::uint8_t* desc = DescriptorIn(d.get(), table);
    BlockNumber old = 0;

    const std::uint16_t mapIndex = static_cast<std::uint16_t>(index / kIndexEntries);
    bool nothingToStore = false;
    if (data && stored == 0) {
        // Storing 0 where the map has no room for a number yet (a direct map
        // beyond its 24 slots, or an index block that does not exist) changes
        // nothing: the position already has no block. Building map blocks
        // only to hold a zero would cost blocks while freeing them.
        if (desc[descriptor::kIndirect] == 0) {
            nothingToStore = index >= kDirectSlots;
        } else {
            nothingToStore = (Load16(SlotAt(desc, mapIndex)) & kBlockNumberMask) == 0;
        }
    }

    if (!nothingToStore) {
        if (data && desc[descriptor::kIndirect] == 0 && index >= kDirectSlots) {
            r = MakeTableIndirect(table);
            if (r != 0) return r;
        }
        if (data && desc[descriptor::kIndirect] != 0) {
            const BlockNumber mapNumber = Masked(Load16(SlotAt(desc, mapIndex)), IsFresh(d.get()));
            BlockRef m(*this);
            r = LoadMapBlock(table, mapIndex, mapNumber, m.Out());
            if (r != 0) return r;
            PrepareBlockForChange(m.get());
            std::uint8_t* at = m.data() + 2 * (index % kIndexEntries);
            old = Load16(at);
            Store16(at, stored);
            r = m.MarkModifiedAndRelease();
            if (r != 0) return r;
        } else {
            PrepareBlockForChange(d.get());
            old = Load16(SlotAt(desc, index));
            Store16(SlotAt(desc, index), stored);
            CountChange(desc);
            r = MarkBlockModified(d.get(), false);
            if (r != 0) return r;
        }
    }

    if (data && stored != 0 && index >= Load16(desc + descriptor::kBlockCount)) {
        PrepareBlockForChange(d.get());
        Store16(desc + descriptor::kBlockCount, static_cast<std::uint16_t>(index + 1));
        r = MarkBlockModified(d.get(), false);
        if (r != 0) return r;
    }
    d.Reset();

    // The position has no block any more: its cached copy must not answer
    // lookups, nor be written to the place just freed.
    if (stored == 0) DropCachedBlock(table, index, kind);

    if (freeOld && (old & kBlockNumberMask) != 0) {
        r = FreeBlock(old);
        if (r != 0) return r;
    }
    if (table == kDirectoryTable && data && index == 0) {
        Store16(workingHeader_ + header::kRootBlockNumber, stored);
        headerDirty_ = 1;
    }
    return 0;
}

ResultCode DataFile::MakeTableIndirect(std::uint16_t table) {
    BlockRef d(*this);
    ResultCode r = GetDescriptorBlock(table, d.Out());
    if (r != 0) return r;
    std::uint8_t* desc = DescriptorIn(d.get(), table);
    if (desc[descriptor::kIndirect] != 0) return 0;
    BlockNumber place = 0;
    r = AllocateBlock(&place);
    if (r != 0) return r;
    const BlockNumber fresh = static_cast<BlockNumber>(place | kFreshFlag);

    BlockRef m(*this);
    bool cached = false;
    r = LookupBlock(table, 0, BlockKind::kIndex, false, m.Out(), &cached);
    if (r != 0) return r;
    std::memset(m.data(), 0, kBlockSize);
    const bool descFresh = IsFresh(d.get());
    for (std::size_t s = 0; s < kDirectSlots; ++s) {
        Store16(m.data() + 2 * s, Masked(Load16(SlotAt(desc, s)), descFresh));
    }
    m->blockNumber = fresh;
    m->flags |= kEntryNumberKnown;
    r = m.MarkModifiedAndRelease();
    if (r != 0) return r;

    PrepareBlockForChange(d.get());
    std::memset(desc + descriptor::kSlots, 0, 2 * kDirectSlots);
    desc[descriptor::kIndirect] = 1;
    desc[descriptor::kMapFlag] = 1;
    Store16(SlotAt(desc, 0), fresh);
    CountChange(desc);
    return MarkBlockModified(d.get(), false);
}

ResultCode DataFile::FindFreeTableNumber(std::uint16_t* table) {
    ResultCode r = LoadRootBlock();
    if (r != 0) return r;
    const std::uint16_t directoryBlocks = Load16(rootBuffer_ + descriptor::kBlockCount);
    std::uint32_t t = 2;
    while (t < kTableCount && t / kDescriptorsPerBlock < directoryBlocks) {
        BlockRef b(*this);
        r = GetBlock(kDirectoryTable, static_cast<std::uint16_t>(t / kDescriptorsPerBlock),
                     b.Out());
        if (r != 0) return r;
        if (DescriptorIn(b.get(), static_cast<std::uint16_t>(t))[descriptor::kTableType] == 0)
            break;
        ++t;
    }
    if (t >= kTableCount) return 18;
    *table = static_cast<std::uint16_t>(t);
    return 0;
}

ResultCode DataFile::CreateTable(std::uint16_t* table, std::uint8_t type, std::uint8_t subtype) {
    if (!writable_) return 34;
    ResultCode r = LoadRootBlock();
    if (r != 0) return r;
    std::uint16_t t = *table;
    if (t == 0) {
        r = FindFreeTableNumber(&t);
        if (r != 0) return r;
    }
    BlockRef d(*this);
    r = GetDescriptorBlock(t, d.Out());
    if (r != 0) return r;
    std::uint8_t* desc = DescriptorIn(d.get(), t);
    if (desc[descriptor::kTableType] != 0) return 17;
    PrepareBlockForChange(d.get());
    desc[descriptor::kTableType] = type;
    desc[descriptor::kTableSubtype] = subtype;
    Store16(desc + descriptor::kBlockCount, 0);
    desc[descriptor::kIndirect] = 0;
    desc[descriptor::kMapFlag] = 0;
    Store16(desc + descriptor::kRecordSize, 0);
    Store16(desc + descriptor::kLastBlockUsed, 0);
    Store16(desc + descriptor::kChangeCount, 0);
    std::memset(desc + descriptor::kSlots, 0, 2 * kDirectSlots);
    r = d.MarkModifiedAndRelease();
    if (r != 0) return r;
    *table = t;
    return 0;
}

ResultCode DataFile::DeleteTable(std::uint16_t table) {
    if (!writable_) return 34;
    if (table == kDirectoryTable || table == kFreeTable || table >= kTableCount) return 9;
    BlockRef d(*this);
    ResultCode r = GetDescriptorBlock(table, d.Out());
    if (r != 0) return r;
    std::uint8_t* desc = DescriptorIn(d.get(), table);
    if (desc[descriptor::kTableType] == 0) return 0;
    r = SetTableBlockCount(table, 0);
    if (r != 0) return r;
    if (desc[descriptor::kIndirect] != 0) {
        for (std::uint16_t s = 0; s < kDirectSlots; ++s) {
            if ((Load16(SlotAt(desc, s)) & kBlockNumberMask) == 0) continue;
            r = SetBlockNumber(table, s, 0, BlockKind::kIndex, true);
            if (r != 0) return r;
        }
    }
    PrepareBlockForChange(d.get());
    desc[descriptor::kTableType] = 0;
    desc[descriptor::kTableSubtype] = 0;
    Store16(desc + descriptor::kChangeCount, 0);
    return d.MarkModifiedAndRelease();
}

ResultCode DataFile::SetTableBlockCount(std::uint16_t table, std::uint16_t count) {
    if (!writable_) return 34;
    if (table == kDirectoryTable || table == kFreeTable || table >= kTableCount) return 9;
    if (count > kMaxTableBlocks) return 10;
    BlockRef d(*this);
    ResultCode r = GetDescriptorBlock(table, d.Out());
    if (r != 0) return r;
    std::uint8_t* desc = DescriptorIn(d.get(), table);
    // The count is read again on every step; positions at or beyond the
    // largest a map can describe hold no block whatever the count says.
    for (std::uint32_t i = count; i < Load16(desc + descriptor::kBlockCount) && i < kMaxTableBlocks;
         ++i) {
        r = SetBlockNumber(table, static_cast<std::uint16_t>(i), 0, BlockKind::kData, true);
        if (r != 0) return r;
    }
    PrepareBlockForChange(d.get());
    Store16(desc + descriptor::kBlockCount, count);
    CountChange(desc);
    return d.MarkModifiedAndRelease();
}

ResultCode DataFile::UpdateDescriptor(std::uint16_t table,
                                      void (*update)(std::uint8_t*, std::uint16_t, std::uint16_t),
                                      std::uint16_t a, std::uint16_t b) {
    if (!writable_) return 34;
    BlockRef d(*this);
    const ResultCode r = GetDescriptorBlock(table, d.Out());
    if (r != 0) return r;
    PrepareBlockForChange(d.get());
    std::uint8_t* desc = DescriptorIn(d.get(), table);
    update(desc, a, b);
    CountChange(desc);
    return d.MarkModifiedAndRelease();
}

ResultCode DataFile::SetTableRecordSize(std::uint16_t table, std::uint16_t value) {
    return UpdateDescriptor(
        table,
        [](std::uint8_t* desc, std::uint16_t v, std::uint16_t) {
            Store16(desc + descriptor::kRecordSize, v);
        },
        value, 0);
}

ResultCode DataFile::SetTableLastBlockUsed(std::uint16_t table, std::uint16_t value) {
    return UpdateDescriptor(
        table,
        [](std::uint8_t* desc, std::uint16_t v, std::uint16_t) {
            Store16(desc + descriptor::kLastBlockUsed, v);
        },
        value, 0);
}

ResultCode DataFile::SetTableType(std::uint16_t table, std::uint8_t type, std::uint8_t subtype) {
    return UpdateDescriptor(
        table,
        [](std::uint8_t* desc, std::uint16_t t, std::uint16_t s) {
            desc[descriptor::kTableType] = static_cast<std::uint8_t>(t);
            desc[descriptor::kTableSubtype] = static_cast<std::uint8_t>(s);
        },
        type, subtype);
}

}  // namespace quillet
