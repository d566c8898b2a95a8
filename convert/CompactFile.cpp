// CompactFile: the pass that ends every conversion. It estimates a new, smaller
// end of the file (TargetEnd), moves every block at or beyond it into free
// blocks below it through the ordinary copy-on-write step, drops the free-list
// numbers at or beyond it, commits and cuts the file.
//
// The pass commits twice. Up to the first commit nothing is written that the
// committed state refers to, so a refusal there leaves the file as it was.
// After the first commit the file is consistent with a free list whose front
// lies below TargetEnd; a failure after it is discarded back to that state.
// Before the second commit every block number the file refers to is checked to
// lie below TargetEnd, so the cut never removes a block in use.

#include <algorithm>
#include <cstdint>

#include "container/DataFile.h"
#include "convert/ConversionFile.h"
#include "convert/ConvertCodes.h"
#include "platform/LittleEndian.h"

namespace quillet {

namespace {

// Where a table's descriptor lies inside its directory block.
const std::uint8_t* DescriptorIn(const BlockRef& block, std::uint16_t table) {
    return block.data() + (table & 7u) * kDescriptorSize;
}

bool IsFresh(const CacheEntry* entry) {
    return (entry->blockNumber & kFreshFlag) != 0;
}

// A block number stored in a block: its fresh flag counts only while the block
// that holds it is fresh itself.
BlockNumber StoredNumber(const std::uint8_t* at, bool holderFresh) {
    const BlockNumber n = Load16(at);
    return holderFresh ? n : static_cast<BlockNumber>(n & kBlockNumberMask);
}

std::uint16_t Low(BlockNumber n) {
    return static_cast<std::uint16_t>(n & kBlockNumberMask);
}

// Free-list entries the pass may need beyond those present, apart from one per
// block at or beyond TargetEnd and one per index block renewed for them: the
// root and the free list's own index blocks renewed twice, every directory
// block, and a margin for the free list's growth into new index blocks.
constexpr std::int32_t kRenewalAllowance = 2 * (1 + 24) + 24 + 32;

// Passes of one compaction at most. Each smaller pass shortens the free list
// by the blocks it moved, so the room for the next one at least doubles and a
// dozen passes cover the largest file.
constexpr int kMaxCompactPasses = 32;

}  // namespace

std::uint16_t ConversionFile::FreeListLength() const {
    return Load16(RootEntry()->buffer + kFreeTable * kDescriptorSize + descriptor::kBlockCount);
}

std::uint16_t ConversionFile::DirectoryTableCount() const {
    const std::uint32_t blocks = Load16(RootEntry()->buffer + descriptor::kBlockCount);
    return static_cast<std::uint16_t>(std::min<std::uint32_t>(blocks * 8u, kTableCount));
}

ResultCode ConversionFile::RenewRootAndFreeMap() {
    CacheEntry* root = RootEntry();
    ResultCode result = PrepareBlockForChange(root);
    if (result == 0) result = MarkBlockModified(root, false);
    if (result != 0) return result;
    // The root is fresh now, so the fresh flags of the slots in it count.
    const std::uint8_t* d = RootEntry()->buffer + kFreeTable * kDescriptorSize;
    if (d[descriptor::kIndirect] == 0) return 0;
    for (std::uint16_t slot = 0; slot < kDirectSlots; ++slot) {
        const BlockNumber number = Load16(d + descriptor::kSlots + 2 * slot);
        if (number == 0) continue;
        BlockRef index(*this);
        result = LoadMapBlock(kFreeTable, slot, number, index.Out());
        if (result == 0) result = PrepareBlockForChange(index.get());
        if (result == 0) result = index.MarkModifiedAndRelease();
        if (result != 0) return result;
    }
    return 0;
}

ResultCode ConversionFile::MapRewriteCount(std::int32_t limit, std::int32_t* count) {
    std::int32_t x = 0;
    std::int32_t lastDirectoryBlock = 0;
    const std::uint16_t tables = DirectoryTableCount();
    for (std::uint16_t t = 0; t < tables; ++t) {
        BlockRef block(*this);
        ResultCode result = GetDescriptorBlock(t, block.Out());
        if (result != 0) return result;
        const std::uint8_t* d = DescriptorIn(block, t);
        if (d[descriptor::kTableType] == 0 || t == kFreeTable || d[descriptor::kIndirect] == 0) {
            continue;
        }
        const bool fresh = IsFresh(block.get());
        for (std::uint16_t slot = 0; slot < kDirectSlots; ++slot) {
            const BlockNumber number = StoredNumber(d + descriptor::kSlots + 2 * slot, fresh);
            if (number == 0 || Low(number) >= limit) continue;
            BlockRef index(*this);
            result = LoadMapBlock(t, slot, number, index.Out());
            if (result != 0) return result;
            const bool indexFresh = (number & kFreshFlag) != 0;
            for (std::size_t e = 0; e < kIndexEntries; ++e) {
                if (Low(StoredNumber(index.data() + 2 * e, indexFresh)) < limit) continue;
                ++x;
                if (t / 8 > lastDirectoryBlock) {
                    lastDirectoryBlock = t / 8;
                    ++x;
                }
                break;
            }
        }
    }
    *count = x;
    return 0;
}

ResultCode ConversionFile::ComputeTargetEnd(std::int32_t* targetEnd) {
    const std::uint16_t length = FreeListLength();
    std::int32_t available = 0;
    for (std::uint32_t j = FreeCursor(); j < FreeLimit(); ++j) {
        BlockNumber n = 0;
        ResultCode result = GetBlockNumber(kFreeTable, static_cast<std::uint16_t>(j), &n);
        if (result != 0) return result;
        // Entries that name no block of the file are passed over by the
        // allocation and are no free space.
        if (Low(n) != 0 && Low(n) < FileBlocks()) ++available;
    }
    const std::int32_t inUse = static_cast<std::int32_t>(FileBlocks()) - available;
    std::int32_t below = 0;
    for (std::uint32_t j = FreeCursor(); j < length; ++j) {
        BlockNumber n = 0;
        ResultCode result = GetBlockNumber(kFreeTable, static_cast<std::uint16_t>(j), &n);
        if (result != 0) return result;
        if (Low(n) != 0 && Low(n) < inUse) ++below;
    }
    std::int32_t x = 0;
    ResultCode result = MapRewriteCount(inUse, &x);
    if (result != 0) return result;
    const std::int32_t total = static_cast<std::int32_t>(length) + x + below;
    // total is 0 only for an empty free list; then the estimate lies beyond
    // the file and the pass has nothing to gain.
    const std::int32_t indexBlocks = total > 0 ? (total - 1) / 256 : 0;
    *targetEnd = inUse + x + indexBlocks + 4;
    return 0;
}

ResultCode ConversionFile::RefillFreeFront(std::int32_t targetEnd) {
    std::uint32_t k = 0;
    for (std::uint32_t j = FreeCursor(); j < FreeLimit(); ++j) {
        if (k >= FreeCursor()) break;
        BlockNumber n = 0;
        ResultCode result = GetBlockNumber(kFreeTable, static_cast<std::uint16_t>(j), &n);
        if (result != 0) return result;
        if (Low(n) == 0 || Low(n) >= targetEnd) continue;
        BlockNumber moved = 0;
        result = MoveFreeEntry(kFreeTable, static_cast<std::uint16_t>(j),
                               static_cast<std::uint16_t>(k), &moved);
        if (result != 0) return result;
        ++k;
    }
    if (k < FreeCursor()) return kCompactNothingToGain;
    SetFreeCursor(0);
    return 0;
}

ResultCode ConversionFile::PackFreeEntries(std::uint32_t from, std::uint32_t to,
                                           std::int32_t targetEnd) {
    std::uint32_t k = from;
    for (std::uint32_t j = from; j < to; ++j) {
        BlockNumber n = 0;
        ResultCode result = GetBlockNumber(kFreeTable, static_cast<std::uint16_t>(j), &n);
        if (result != 0) return result;
        if (Low(n) == 0 || Low(n) >= targetEnd) continue;
        if (k < j) {
            result = SetBlockNumber(kFreeTable, static_cast<std::uint16_t>(k), Low(n),
                                    BlockKind::kData, false);
            if (result != 0) return result;
        }
        ++k;
    }
    for (std::uint32_t i = k; i < to; ++i) {
        ResultCode result =
            SetBlockNumber(kFreeTable, static_cast<std::uint16_t>(i), 0, BlockKind::kData, false);
        if (result != 0) return result;
    }
    return 0;
}

ResultCode ConversionFile::MoveBlocksBelow(std::int32_t targetEnd) {
    const std::uint16_t tables = DirectoryTableCount();
    for (std::uint16_t t = 0; t < tables; ++t) {
        BlockRef block(*this);
        ResultCode result = GetDescriptorBlock(t, block.Out());
        if (result != 0) return result;
        const std::uint8_t* d = DescriptorIn(block, t);
        if (d[descriptor::kTableType] == 0) continue;

        if (t != kFreeTable) {
            // The descriptor is read afresh: moving a block may move the
            // directory block, whose buffer stays the same.
            for (std::uint32_t i = 0;
                 i < std::min<std::uint32_t>(Load16(d + descriptor::kBlockCount), kMaxTableBlocks);
                 ++i) {
                BlockNumber n = 0;
                result = GetBlockNumber(t, static_cast<std::uint16_t>(i), &n);
                if (result != 0) return result;
                if (Low(n) < targetEnd) continue;
                BlockRef data(*this);
                result = GetBlock(t, static_cast<std::uint16_t>(i), data.Out());
                if (result == 0) result = PrepareBlockForChange(data.get());
                if (result == 0) result = data.MarkModifiedAndRelease();
                if (result != 0) return result;
            }
        }

        if (d[descriptor::kIndirect] != 0) {
            for (std::uint16_t slot = 0; slot < kDirectSlots; ++slot) {
                const BlockNumber number =
                    StoredNumber(d + descriptor::kSlots + 2 * slot, IsFresh(block.get()));
                if (number == 0 || Low(number) < targetEnd) continue;
                // Renewed in this transaction and still beyond the end: moving
                // it again is not possible.
                if ((number & kFreshFlag) != 0) return kCompactBlockBeyondEnd;
                BlockRef index(*this);
                result = LoadMapBlock(t, slot, number, index.Out());
                if (result == 0) result = PrepareBlockForChange(index.get());
                if (result == 0) result = index.MarkModifiedAndRelease();
                if (result != 0) return result;
            }
        }
        block.Reset();
        // The free blocks the transaction started with are used up: the next
        // block would be appended beyond the end.
        if (FreeCursor() >= FreeLimit()) return kCompactBlockBeyondEnd;
    }
    return 0;
}

ResultCode ConversionFile::CheckAllBelow(std::int32_t limit) {
    if (Low(RootBlockNumber()) >= limit) return kCompactBlockBeyondEnd;
    if (Load16(RootEntry()->buffer + descriptor::kBlockCount) > kDirectSlots) {
        return kCompactBlockBeyondEnd;
    }
    const std::uint16_t tables = DirectoryTableCount();
    for (std::uint16_t t = 0; t < tables; ++t) {
        BlockRef block(*this);
        ResultCode result = GetDescriptorBlock(t, block.Out());
        if (result != 0) return result;
        const std::uint8_t* d = DescriptorIn(block, t);
        if (d[descriptor::kTableType] == 0) continue;
        const bool fresh = IsFresh(block.get());
        const std::uint32_t count = Load16(d + descriptor::kBlockCount);
        const bool indirect = d[descriptor::kIndirect] != 0;
        for (std::uint16_t slot = 0; slot < kDirectSlots; ++slot) {
            const BlockNumber number = StoredNumber(d + descriptor::kSlots + 2 * slot, fresh);
            if (number == 0) continue;
            // Free-list entries past the list's length are never read.
            if (t == kFreeTable && !indirect && slot >= count) continue;
            if (Low(number) >= limit) return kCompactBlockBeyondEnd;
            if (!indirect) continue;
            BlockRef index(*this);
            result = LoadMapBlock(t, slot, number, index.Out());
            if (result != 0) return result;
            const bool indexFresh = (number & kFreshFlag) != 0;
            for (std::uint32_t e = 0; e < kIndexEntries; ++e) {
                if (t == kFreeTable && slot * kIndexEntries + e >= count) break;
                const BlockNumber entry = StoredNumber(index.data() + 2 * e, indexFresh);
                if (entry != 0 && Low(entry) >= limit) return kCompactBlockBeyondEnd;
            }
        }
    }
    return 0;
}

std::int32_t ConversionFile::FreeListCapacity() const {
    return static_cast<std::int32_t>(
        std::min<std::uint32_t>(limits_.freeListEntries, kMaxTableBlocks));
}

ResultCode ConversionFile::PlanPass(std::int32_t* targetEnd, bool* partial) {
    *partial = false;
    ResultCode result = LoadRootBlock();
    if (result != 0) return result;
    if (FreeCursor() > 0 || FreeLimit() < FreeListLength()) return kCompactTransactionBusy;
    // Renewing the root and the free list's own index blocks frees their old
    // places into the free list, which holds at most 6144 entries; a list that
    // full cannot take them, and the pass is not started.
    const std::int32_t capacity = FreeListCapacity();
    if (FreeListLength() + kRenewalAllowance > capacity) return kCompactNothingToGain;

    result = RenewRootAndFreeMap();
    if (result != 0) return result;

    result = ComputeTargetEnd(targetEnd);
    if (result != 0) return result;
    if (*targetEnd >= FileBlocks()) return kCompactNothingToGain;
    // A damaged free list (numbers listed twice, numbers in use) can make the
    // estimate meaningless; the header and the root need two blocks at least.
    if (*targetEnd < 2) return kCompactNothingToGain;

    // The free list lives in table 1's block map and holds at most 6144
    // entries, and the blocks freed by the moves are only dropped from it at
    // the end. A pass that could need more entries than that would fail half
    // way, after its first commit. Such a pass is made smaller instead: its
    // end is raised until the blocks at or beyond it fit, and the passes that
    // follow take the rest, each one on a shorter free list.
    const std::int32_t length = static_cast<std::int32_t>(FreeListLength());
    std::int32_t end = *targetEnd;
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::int32_t renewed = 0;
        result = MapRewriteCount(end, &renewed);
        if (result != 0) return result;
        const std::int32_t needed =
            length + (static_cast<std::int32_t>(FileBlocks()) - end) + renewed + kRenewalAllowance;
        if (needed <= capacity) {
            *partial = end != *targetEnd;
            *targetEnd = end;
            return 0;
        }
        end += needed - capacity;
        if (end >= FileBlocks()) break;
    }
    return kCompactNothingToGain;
}

ResultCode ConversionFile::RunPass(std::int32_t targetEnd) {
    ResultCode result = RefillFreeFront(targetEnd);
    if (result != 0) return result;

    SetHeaderDirty();
    result = Commit();
    if (result != 0) return result;

    result = RenewRootAndFreeMap();
    if (result == 0) result = PackFreeEntries(FreeCursor(), FreeLimit(), targetEnd);
    if (result == 0) result = MoveBlocksBelow(targetEnd);
    if (result == 0) result = PackFreeEntries(FreeLimit(), FreeListLength(), targetEnd);
    if (result == 0) result = CheckAllBelow(targetEnd);
    if (result != 0) return result;

    SetFileBlocks(static_cast<std::uint16_t>(targetEnd));
    SetHeaderDirty();
    result = Commit();
    if (result != 0) return result;

    // The commit only writes below the end; should it ever have had to append,
    // the file is cut at its own block count instead, never below a block in
    // use.
    const std::uint64_t end =
        static_cast<std::uint64_t>(std::max<std::int32_t>(targetEnd, FileBlocks())) * kBlockSize;
    std::uint64_t reached = 0;
    if (file()->Seek(end, &reached) != win32::kSuccess || reached != end) {
        return kConvertSeekFailed;
    }
    file()->SetEndOfFile();
    return 0;
}

ResultCode ConversionFile::CompactFile() {
    if (!IsWritable()) return kConvertNotWritable;
    // One pass when its moves fit in the free list; otherwise several smaller
    // ones, each ending committed, consistent and cut, until a pass has
    // nothing more to gain. A failing pass leaves the state of the pass before
    // it (the caller discards back to the last commit).
    bool compacted = false;
    for (int pass = 0; pass < kMaxCompactPasses; ++pass) {
        std::int32_t targetEnd = 0;
        bool partial = false;
        ResultCode result = PlanPass(&targetEnd, &partial);
        if (result == 0) result = RunPass(targetEnd);
        if (result == kCompactNothingToGain) {
            // A refusal before the first commit of a pass changed nothing of
            // the committed state; what the pass renewed is discarded.
            if (!compacted) return result;
            DiscardChanges();
            return 0;
        }
        if (result != 0) return result;
        compacted = true;
        if (!partial) return 0;
    }
    return 0;
}

}  // namespace quillet
