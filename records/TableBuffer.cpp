// TableBuffer: a table's whole content in memory, read block by block on Load
// and written back under the changed span on Save.

#include "records/TableBuffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/LittleEndian.h"
#include "records/RecordCodes.h"

namespace quillet {

namespace {

constexpr std::int32_t kBlock = static_cast<std::int32_t>(kBlockSize);
constexpr std::int32_t kMaxContent = static_cast<std::int32_t>(kMaxTableBlocks) * kBlock;

// n raised to the next multiple of 512; 0 for n <= 0; -1 when that overflows.
std::int32_t RoundToBlocks(std::int32_t n) {
    if (n <= 0) return 0;
    const std::int64_t rounded = (static_cast<std::int64_t>(n) + kBlock - 1) / kBlock * kBlock;
    return rounded > INT32_MAX ? -1 : static_cast<std::int32_t>(rounded);
}

// destination[i] = ~source[i] for `length` bytes; the two may be the same
// buffer. Inverted tables are read and written whole, and a byte loop made
// these two the dearest steps of a list's conversion: 64 bytes at a time
// through a local copy (fixed-length loops the compiler turns into vector
// operations, whichever way the two buffers overlap), then 8, then 1.
void InvertBytes(std::uint8_t* destination, const std::uint8_t* source, std::int32_t length) {
    constexpr std::int32_t kGroup = 64;
    std::int32_t i = 0;
    for (; i + kGroup <= length; i += kGroup) {
        std::uint64_t words[kGroup / 8];
        std::memcpy(words, source + i, sizeof words);
        for (std::uint64_t& word : words) word = ~word;
        std::memcpy(destination + i, words, sizeof words);
    }
    for (; i + 8 <= length; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, source + i, sizeof word);
        word = ~word;
        std::memcpy(destination + i, &word, sizeof word);
    }
    for (; i < length; ++i) destination[i] = static_cast<std::uint8_t>(~source[i]);
}

}  // namespace

TableBuffer::TableBuffer(std::uint8_t tableType, std::uint8_t tableSubtype,
                         std::uint16_t recordSize)
    : tableType_(tableType), tableSubtype_(tableSubtype), recordSize_(recordSize) {}

void TableBuffer::JoinDirty(std::int32_t start, std::int32_t end) {
    if (start >= end) return;
    if (dirtyStart_ == dirtyEnd_) {
        dirtyStart_ = start;
        dirtyEnd_ = end;
        return;
    }
    if (start < dirtyStart_) dirtyStart_ = start;
    if (end > dirtyEnd_) dirtyEnd_ = end;
}

bool TableBuffer::Resize(std::int32_t n) {
    if (n < 0) return false;
    const std::int32_t wanted = RoundToBlocks(n);
    if (wanted < 0) return false;
    if (n < size_) {
        std::memset(Data() + n, 0, static_cast<std::size_t>(size_ - n));
        JoinDirty(n, size_);
    }
    // The storage's own resize zeroes every byte past its old size.
    const std::int32_t stored = MemoryBuffer::Size();
    if (!MemoryBuffer::Resize(wanted)) return false;
    dirty_ = 1;
    if (n > size_) {
        // Bytes past the old size (the rest of a loaded last block) become content
        // only as zeros.
        const std::int32_t end = std::min(n, stored);
        if (end > size_) std::memset(Data() + size_, 0, static_cast<std::size_t>(end - size_));
        JoinDirty(size_, n);
    }
    size_ = n;
    return true;
}

ResultCode TableBuffer::Load() {
    if (loaded_) return 0;
    if (!file_ || table_ == 0) return kTableNotBound;
    std::uint8_t descriptor[kDescriptorSize];
    const ResultCode read = file_->ReadTableDescriptor(table_, descriptor);
    if (read) return read;
    const std::int32_t blockCount = Load16(descriptor + descriptor::kBlockCount);
    if (blockCount == 0) {
        if (!Resize(0)) return kTableContentUnavailable;
    } else {
        // The bytes of the last block; a LastBlockUsed of 0 stands for a full one.
        const std::int32_t lastUsed = Load16(descriptor + descriptor::kLastBlockUsed);
        std::int32_t lastBytes = recordSize_ == 0 ? kBlock : lastUsed * recordSize_;
        if (lastBytes == 0) lastBytes = kBlock;
        if (blockCount > kMaxTableBlocks || lastBytes > kBlock) return kTableContentUnavailable;
        const std::int32_t size = (blockCount - 1) * kBlock + lastBytes;
        // Every byte of the whole blocks is read over below: no zeroing first.
        if (!ResizeUnzeroed(blockCount * kBlock) || !Data()) {
            Reset(0);
            return kTableContentUnavailable;
        }
        // Read and decoded a piece at a time, so that each piece is decoded
        // while it is still in the processor's cache.
        constexpr std::int32_t kPieceBlocks = 256;
        std::uint8_t* content = Data();
        for (std::int32_t at = 0; at < blockCount; at += kPieceBlocks) {
            const std::int32_t blocks = std::min(kPieceBlocks, blockCount - at);
            std::uint8_t* piece = content + static_cast<std::size_t>(at) * kBlock;
            const ResultCode got = file_->ReadTableBlocks(
                table_, static_cast<std::uint16_t>(at), static_cast<std::uint16_t>(blocks), piece);
            if (got) {
                Reset(0);
                return got;
            }
            const std::int32_t pieceBytes = std::min(blocks * kBlock, size - at * kBlock);
            Decode(piece, pieceBytes, at * kBlock);
        }
        size_ = size;
    }
    loaded_ = 1;
    dirty_ = 0;
    ClearDirtyRange();
    return 0;
}

ResultCode TableBuffer::Save() {
    if (!file_ || table_ == 0) return kTableNotBound;
    if (!IsDirty()) return 0;
    const std::int32_t size = Data() ? size_ : 0;
    const std::int32_t readable = size_ < Capacity() ? size_ : Capacity();
    const ResultCode r = WriteContent(Data(), readable, size, dirtyStart_, dirtyEnd_);
    if (r) return r;
    dirty_ = 0;
    ClearDirtyRange();
    return 0;
}

ResultCode TableBuffer::SaveFrom(const std::uint8_t* content, std::int32_t length) {
    if (!file_ || table_ == 0) return kTableNotBound;
    // The content written is not this buffer's: whatever it held stops
    // standing for the table.
    size_ = 0;
    loaded_ = 0;
    dirty_ = 0;
    ClearDirtyRange();
    if (length < 0 || length > kMaxContent || (length > 0 && content == nullptr)) {
        return kTableContentUnavailable;
    }
    return WriteContent(content, length, length, 0, length);
}

ResultCode TableBuffer::WriteContent(const std::uint8_t* content, std::int32_t readable,
                                     std::int32_t size, std::int32_t dirtyStart,
                                     std::int32_t dirtyEnd) {
    if (size == 0) {
        ResultCode r = ShrinkInSlices(0);
        if (r) return r;
        r = file_->SetTableBlockCount(table_, 0);
        if (r) return r;
        return file_->SetTableLastBlockUsed(table_, 0);
    }
    if (size > kMaxContent) return kTableContentUnavailable;
    const std::int32_t blockCount = (size - 1) / kBlock + 1;
    const std::int32_t first = dirtyStart / kBlock;
    std::int32_t last = dirtyEnd > 0 ? (dirtyEnd - 1) / kBlock : 0;
    // Blocks from the new count on are freed below: writing them is wasted.
    if (last > blockCount - 1) last = blockCount - 1;
    for (std::int32_t i = first; i <= last; ++i) {
        // Content bytes past the size (or past an adopted block) go out as 0;
        // a whole block of content goes out as it is.
        const std::int32_t start = i * kBlock;
        const std::int32_t have = readable - start;
        std::uint8_t staging[kBlockSize];
        const std::uint8_t* from = staging;
        if (have >= kBlock) {
            from = content + start;
        } else {
            const std::size_t kept = have > 0 ? static_cast<std::size_t>(have) : 0;
            if (kept > 0) std::memcpy(staging, content + start, kept);
            std::memset(staging + kept, 0, kBlockSize - kept);
        }
        BlockRef block(*file_);
        const ResultCode claimed =
            file_->ClaimBlock(table_, static_cast<std::uint16_t>(i), block.Out());
        if (claimed) return claimed;
        Encode(block.data(), from, kBlock, start);
        const ResultCode marked = block.MarkModifiedAndRelease();
        if (marked) return marked;
        // Between two whole blocks the tree is consistent: a file that may
        // commit in slices does so here when its free list needs it.
        const ResultCode sliced = file_->CommitSliceIfDue();
        if (sliced) return sliced;
    }
    ResultCode r = ShrinkInSlices(static_cast<std::uint16_t>(blockCount));
    if (r) return r;
    r = file_->SetTableBlockCount(table_, static_cast<std::uint16_t>(blockCount));
    if (r) return r;
    const std::int32_t lastBytes = (size - 1) % kBlock + 1;
    // A record size of 0 counts the last block in bytes.
    const std::int32_t lastUsed = recordSize_ == 0 ? lastBytes : lastBytes / recordSize_;
    return file_->SetTableLastBlockUsed(table_, static_cast<std::uint16_t>(lastUsed));
}

ResultCode TableBuffer::ShrinkInSlices(std::uint16_t count) {
    if (!file_->SliceCommits()) return 0;
    std::uint8_t descriptor[kDescriptorSize];
    ResultCode r = file_->ReadTableDescriptor(table_, descriptor);
    if (r) return r;
    std::uint32_t current = Load16(descriptor + descriptor::kBlockCount);
    if (current > kMaxTableBlocks) return 0;  // refused by SetTableBlockCount itself
    // Each step frees at most one slice's worth of blocks, and the slice is
    // committed before the next, so the free list never has to hold the
    // whole tail at once.
    while (current > count) {
        const std::uint32_t step = std::min<std::uint32_t>(
            current - count, std::max<std::uint32_t>(1, file_->SliceCommitLimits().freedPerSlice));
        r = file_->CommitSliceIfDue(step);
        if (r) return r;
        current -= step;
        r = file_->SetTableBlockCount(table_, static_cast<std::uint16_t>(current));
        if (r) return r;
    }
    return 0;
}

ResultCode TableBuffer::Reset(std::int32_t freeStorage) {
    loaded_ = 0;
    dirty_ = 0;
    ClearDirtyRange();
    size_ = 0;
    if (freeStorage) FreeStorage();
    return 0;
}

bool TableBuffer::IsDirty() {
    return loaded_ && (dirty_ || dirtyStart_ != dirtyEnd_);
}

bool TableBuffer::Clear() {
    MemoryBuffer::Clear();
    if (size_ > 0) dirty_ = 1;
    size_ = 0;
    loaded_ = 1;
    return true;
}

bool TableBuffer::Assign(const void* source, std::int32_t length) {
    if (length < 0) return false;
    const std::int32_t wanted = RoundToBlocks(length);
    if (wanted < 0 || !ResizeUnzeroed(wanted)) return false;
    // The rest of the last block is not content: a growth zeroes it and a
    // save writes zeros there, as for a loaded last block.
    if (length > 0) std::memcpy(Data(), source, static_cast<std::size_t>(length));
    JoinDirty(0, std::max(size_, length));
    size_ = length;
    dirty_ = 1;
    return true;
}

bool TableBuffer::Write(const void* source, std::int32_t offset, std::int32_t length) {
    if (!MemoryBuffer::Write(source, offset, length)) return false;
    if (length > 0) JoinDirty(offset, offset + length);
    return true;
}

bool TableBuffer::Move(std::int32_t destination, std::int32_t source, std::int32_t length) {
    if (!MemoryBuffer::Move(destination, source, length)) return false;
    if (length > 0) JoinDirty(destination, destination + length);
    return true;
}

std::uint8_t* TableBuffer::AllocateStorage(std::int32_t n) {
    const std::int32_t rounded = RoundToBlocks(n);
    if (rounded <= 0) return nullptr;
    return static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(rounded), 1));
}

bool TableBuffer::AdoptStorage(std::uint8_t* block, std::int32_t n) {
    MemoryBuffer::AdoptStorage(block, n);
    size_ = Capacity();
    JoinDirty(0, size_);
    dirty_ = 1;
    loaded_ = 1;
    return true;
}

void TableBuffer::Decode(std::uint8_t* bytes, std::int32_t length, std::int32_t) {
    if (inverted_) InvertBytes(bytes, bytes, length);
}

void TableBuffer::Encode(std::uint8_t* destination, const std::uint8_t* source, std::int32_t length,
                         std::int32_t) {
    if (!inverted_) {
        std::memcpy(destination, source, static_cast<std::size_t>(length));
        return;
    }
    InvertBytes(destination, source, length);
}

ResultCode TableBuffer::BindCreate(DataFile& file, std::uint16_t* table) {
    Unbind();
    file_ = &file;
    table_ = 0;
    std::uint16_t created = 0;
    const ResultCode r = file.CreateTable(&created, tableType_, tableSubtype_);
    if (r) return r;
    table_ = created;
    if (recordSize_ > 0) {
        const ResultCode sized = file.SetTableRecordSize(table_, recordSize_);
        if (sized) return sized;
    }
    *table = table_;
    loaded_ = 1;
    return 0;
}

ResultCode TableBuffer::ReadMatchingDescriptor(DataFile& file, std::uint16_t table,
                                               std::uint8_t* descriptor) const {
    const ResultCode r = file.ReadTableDescriptor(table, descriptor);
    if (r) return r;
    if (descriptor[descriptor::kTableType] != tableType_ ||
        descriptor[descriptor::kTableSubtype] != tableSubtype_) {
        return kTableWrongType;
    }
    const std::uint16_t recordSize = Load16(descriptor + descriptor::kRecordSize);
    if (recordSize_ != 0 && recordSize != 0 && recordSize != recordSize_) {
        return kTableWrongRecordSize;
    }
    return 0;
}

ResultCode TableBuffer::BindOpen(DataFile& file, std::uint16_t table) {
    Unbind();
    file_ = &file;
    table_ = table;
    std::uint8_t descriptor[kDescriptorSize];
    return ReadMatchingDescriptor(file, table, descriptor);
}

ResultCode TableBuffer::Retarget(DataFile& file, std::uint16_t table) {
    if (!file_ || table_ == 0 || !loaded_) return kTableNotBound;
    std::uint8_t descriptor[kDescriptorSize];
    const ResultCode r = ReadMatchingDescriptor(file, table, descriptor);
    if (r) return r;
    if (Load16(descriptor + descriptor::kBlockCount) != 0) return kTableContentUnavailable;
    file_ = &file;
    table_ = table;
    dirty_ = 1;
    JoinDirty(0, size_);
    return 0;
}

void TableBuffer::Unbind() {
    file_ = nullptr;
    table_ = 0;
    if (keepStorage_) {
        MemoryBuffer::Clear();
    } else {
        FreeStorage();
    }
    loaded_ = 0;
    dirty_ = 0;
    ClearDirtyRange();
    size_ = 0;
}

}  // namespace quillet
