// Copy-on-write: the first change in a transaction to a block of the last
// committed state moves the block to a fresh place and points its parent
// there; later changes go to the fresh copy in place.

#include "container/DataFile.h"
#include "platform/LittleEndian.h"

namespace quillet {

ResultCode DataFile::MarkBlockModified(CacheEntry* entry, bool release) {
    const bool wasDirty =
        entry != nullptr && (entry->flags & kEntryInUse) && (entry->flags & kEntryDirty);
    // On failure the holder may have changed the bytes already, and they never
    // reach the file: an entry that held the stored bytes until now stops
    // answering lookups, so that no later read (in this access or a later one)
    // sees bytes that were refused. The root block, held for the whole access,
    // is left to the access's own discard.
    const auto refuse = [&](ResultCode code) {
        if (entry != nullptr && !wasDirty && entry != rootEntry_) {
            entry->flags &=
                static_cast<std::uint16_t>(~(kEntryInUse | kEntryDirty | kEntryNumberKnown));
            entry->blockNumber = 0;
        }
        return code;
    };
    if (!writable_) return refuse(34);
    if (entry == nullptr) return 13;
    const std::uint16_t kindFlag = entry->flags & kEntryMapBlock;
    const BlockKind kind = kindFlag ? BlockKind::kIndex : BlockKind::kData;
    const auto table = static_cast<std::uint16_t>(entry->table);
    const auto index = static_cast<std::uint16_t>(entry->index);

    if (!(entry->flags & kEntryInUse)) {
        // The entry was taken out of use while its holder kept it pinned (its
        // map entry was set to 0, or the cache was invalidated). Writing it
        // means giving its position a block again, found through the map.
        if (KeyInUse(entry, entry->table, entry->index, kindFlag)) return 13;
        entry->flags = static_cast<std::uint16_t>(kEntryInUse | kindFlag);
        entry->blockNumber = 0;
    }
    if (!(entry->flags & kEntryNumberKnown)) {
        BlockNumber number = 0;
        const ResultCode r = GetBlockNumber(table, index, &number);
        if (r != 0) return refuse(r);
        entry->blockNumber = number;
        entry->flags |= kEntryNumberKnown;
    }
    if (!(entry->blockNumber & kFreshFlag)) {
        BlockNumber fresh = 0;
        ResultCode r = AllocateBlock(&fresh);
        if (r != 0) return refuse(r);
        entry->blockNumber = static_cast<BlockNumber>(fresh | kFreshFlag);
        r = SetBlockNumber(table, index, fresh, kind, true);
        if (r != 0) return refuse(r);
    }
    entry->flags |= kEntryDirty;
    if (release) ReleaseBlock(entry);
    return 0;
}

ResultCode DataFile::PrepareBlockForChange(CacheEntry* entry) {
    if (entry == nullptr || (entry->blockNumber & kFreshFlag)) return 0;
    std::uint8_t* b = entry->buffer;
    if (entry->flags & kEntryMapBlock) {
        for (std::size_t k = 0; k < kIndexEntries; ++k) {
            Store16(b + 2 * k, static_cast<std::uint16_t>(Load16(b + 2 * k) & kBlockNumberMask));
        }
    } else if (entry->table == kDirectoryTable) {
        // Every descriptor, used or not: a stale flag left in a free
        // descriptor must not make a committed block look fresh later.
        for (std::size_t d = 0; d < kBlockSize / kDescriptorSize; ++d) {
            std::uint8_t* desc = b + d * kDescriptorSize;
            Store16(desc + descriptor::kChangeCount,
                    static_cast<std::uint16_t>(Load16(desc + descriptor::kChangeCount) & 0x7fff));
            for (std::size_t s = 0; s < kDirectSlots; ++s) {
                std::uint8_t* slot = desc + descriptor::kSlots + 2 * s;
                Store16(slot, static_cast<std::uint16_t>(Load16(slot) & kBlockNumberMask));
            }
        }
    }
    return 0;
}

}  // namespace quillet
