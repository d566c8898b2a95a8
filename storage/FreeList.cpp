// Allocation and freeing of block numbers through the free list (table 1),
// and its compaction at commit.

#include <algorithm>

#include "container/DataFile.h"
#include "platform/LittleEndian.h"

namespace quillet {

namespace {

std::uint16_t FreeLength(const std::uint8_t* root) {
    return Load16(root + kDescriptorSize + descriptor::kBlockCount);
}

void SetFreeLength(std::uint8_t* root, std::uint16_t length) {
    Store16(root + kDescriptorSize + descriptor::kBlockCount, length);
}

}  // namespace

ResultCode DataFile::AllocateBlock(BlockNumber* number) {
    ResultCode r = LoadRootBlock();
    if (r != 0) return r;
    while (freeCursor_ < freeLimit_) {
        BlockNumber entry = 0;
        r = GetBlockNumber(kFreeTable, freeCursor_, &entry);
        if (r != 0) return r;
        ++freeCursor_;
        entry &= kBlockNumberMask;
        if (entry != 0 && entry < FileBlocks()) {
            *number = entry;
            return 0;
        }
    }
    const std::uint16_t blocks = FileBlocks();
    if (blocks >= kMaxFileBlocks) return 31;
    *number = blocks;
    SetFileBlocks(static_cast<std::uint16_t>(blocks + 1));
    headerDirty_ = 1;
    return 0;
}

ResultCode DataFile::FreeBlock(BlockNumber number) {
    const BlockNumber place = number & kBlockNumberMask;
    if (place == 0) return 0;
    ResultCode r = LoadRootBlock();
    if (r != 0) return r;
    PrepareBlockForChange(rootEntry_);
    const std::uint16_t k = FreeLength(rootBuffer_);
    if (k >= kMaxTableBlocks) return 10;  // the list's map cannot hold more
    // The length goes up before the root is marked modified, so that a block
    // freed while the root (or a free-list index block) moves lands after k.
    SetFreeLength(rootBuffer_, static_cast<std::uint16_t>(k + 1));
    r = MarkBlockModified(rootEntry_, false);
    if (r != 0) return r;
    return SetBlockNumber(kFreeTable, k, place, BlockKind::kData, false);
}

ResultCode DataFile::MoveFreeEntry(std::uint16_t table, std::uint16_t from, std::uint16_t to,
                                   BlockNumber* moved) {
    BlockNumber value = 0;
    ResultCode r = GetBlockNumber(table, from, &value);
    if (r != 0) return r;
    value &= kBlockNumberMask;
    r = SetBlockNumber(table, from, 0, BlockKind::kData, false);
    if (r != 0) return r;
    r = SetBlockNumber(table, to, value, BlockKind::kData, false);
    if (r != 0) return r;
    if (moved != nullptr) *moved = value;
    return 0;
}

ResultCode DataFile::CompactFreeTable() {
    if (!(RootBlockNumber() & kFreshFlag) || freeCursor_ == 0) return 0;
    ResultCode r = LoadRootBlock();
    if (r != 0) return r;
    if (freeCursor_ == 0) return 0;
    auto length = [this] { return FreeLength(rootBuffer_); };
    auto setLength = [this](std::uint16_t v) { SetFreeLength(rootBuffer_, v); };
    BlockNumber moved = 0;

    // Numbers freed in this transaction fill the consumed front first.
    std::uint16_t i = freeLimit_;
    std::uint16_t j = 0;
    while (i < length() && j < freeCursor_) {
        r = MoveFreeEntry(kFreeTable, i, j, &moved);
        if (r != 0) return r;
        if (moved != 0) ++j;
        ++i;
    }
    if (i < length()) {
        // Holes full: the rest follow the entries not consumed.
        std::uint16_t k = freeLimit_;
        for (; i < length(); ++i) {
            r = MoveFreeEntry(kFreeTable, i, k, &moved);
            if (r != 0) return r;
            if (moved != 0) ++k;
        }
        setLength(k);
    } else {
        setLength(freeLimit_);
    }
    // Holes left: fill them from the end of the list, last entry first.
    while (j < freeCursor_ && freeCursor_ < length()) {
        const std::uint16_t before = length();
        r = MoveFreeEntry(kFreeTable, static_cast<std::uint16_t>(before - 1), j, &moved);
        if (r != 0) return r;
        if (moved != 0) ++j;
        if (length() == before) {
            setLength(static_cast<std::uint16_t>(before - 1));
            freeLimit_ = std::min(freeLimit_, length());
        }
    }
    for (std::uint16_t idx = j; idx < freeCursor_; ++idx) {
        r = SetBlockNumber(kFreeTable, idx, 0, BlockKind::kData, false);
        if (r != 0) return r;
    }
    if (freeCursor_ >= length()) {
        setLength(j);
        freeCursor_ = j;
        freeLimit_ = j;
    }
    while (length() > 0) {
        BlockNumber last = 0;
        r = GetBlockNumber(kFreeTable, static_cast<std::uint16_t>(length() - 1), &last);
        if (r != 0) return r;
        if ((last & kBlockNumberMask) != 0) break;
        setLength(static_cast<std::uint16_t>(length() - 1));
        freeLimit_ = std::min(freeLimit_, length());
        freeCursor_ = std::min(freeCursor_, freeLimit_);
    }
    return MarkBlockModified(rootEntry_, false);
}

ResultCode DataFile::CommitSliceIfDue(std::uint32_t aboutToFree) {
    if (!sliceCommits_ || !writable_ || accessDepth_ == 0 || !headerDirty_ || !rootEntry_) {
        return 0;
    }
    const std::uint32_t length = FreeLength(rootBuffer_);
    const std::uint32_t freed = length > freeLimit_ ? length - freeLimit_ : 0;
    if (freed == 0 && aboutToFree == 0) return 0;
    // Near the file's limit the blocks freed so far are made usable before
    // the entries this transaction may take run out (after that a block would
    // be appended), while a commit still has room for the few blocks it moves
    // itself. Each slice is then about as large as the one before it.
    const std::uint32_t blocks = FileBlocks();
    const std::uint32_t usable = freeLimit_ > freeCursor_ ? freeLimit_ - freeCursor_ : 0;
    const SliceLimits& limits = sliceLimits_;
    const bool due =
        freed >= limits.freedPerSlice ||
        length + aboutToFree + limits.margin >=
            std::min<std::uint32_t>(limits.freeListEntries, kMaxTableBlocks) ||
        (blocks + kSliceFileMargin >= kMaxFileBlocks && usable <= kSliceFileMargin / 8 &&
         (freed >= kSliceFileMargin / 8 || blocks + kSliceFileMargin / 4 >= kMaxFileBlocks));
    if (!due) return 0;
    return Commit();
}

}  // namespace quillet
