// The block cache: 512-byte blocks keyed by (table, index, kind), pinned while
// callers use them, kept in most-recently-used order and written back when
// they are evicted or when the file commits.

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "container/DataFile.h"
#include "platform/LittleEndian.h"

namespace quillet {

namespace {

constexpr std::int32_t kSteadyCacheSize = 10;

// The write run holds up to 512 KiB, the read window up to 128 KiB. A refill
// that does not continue the window reads 4 KiB (a page: no dearer than one
// block); each refill that does continue it reads twice as much as the last.
// Both buffers start small and double as runs and refills grow, so that a
// small file never pays for the largest ones.
constexpr std::uint16_t kRunBlocks = 1024;
constexpr std::uint16_t kWindowBlocks = 256;
constexpr std::uint16_t kFirstReadAhead = 8;
constexpr std::uint16_t kFirstRunBlocks = 16;

// Bytes written between two write-back requests. Measured on the 15.5 MiB
// list-heavy conversion to format 3: about 6 % off its time (45 to 42.6 ms,
// median of 16), and requests every 512 KiB, 1, 2 or 4 MiB alike within the
// noise; 4 MiB makes the fewest calls.
constexpr std::uint64_t kWriteBackBytes = 4u << 20;

bool Holds(std::uint16_t start, std::uint16_t count, std::uint16_t place) {
    return count > 0 && place >= start && place - start < count;
}

bool Overlaps(std::uint16_t startA, std::uint16_t countA, std::uint16_t startB,
              std::uint16_t countB) {
    return countA > 0 && countB > 0 && startA < startB + countB && startB < startA + countA;
}

std::unique_ptr<std::uint8_t[]> AllocateBlocks(std::uint16_t count) {
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow)
                                               std::uint8_t[std::size_t{count} * kBlockSize]);
}

// Makes `buffer` hold at least `need` blocks (at most `limit`), keeping its
// first `keep` blocks; the capacity doubles from `first`. False, with the
// buffer unchanged, when there is no memory for it.
bool GrowBlocks(std::unique_ptr<std::uint8_t[]>* buffer, std::uint16_t* capacity,
                std::uint16_t need, std::uint16_t first, std::uint16_t limit, std::uint16_t keep) {
    if (need <= *capacity) return true;
    int grown = *capacity == 0 ? first : *capacity * 2;
    while (grown < need) grown *= 2;
    const auto count = static_cast<std::uint16_t>(std::min<int>(grown, limit));
    std::unique_ptr<std::uint8_t[]> bigger = AllocateBlocks(count);
    if (!bigger) return false;
    if (keep > 0) std::memcpy(bigger.get(), buffer->get(), std::size_t{keep} * kBlockSize);
    *buffer = std::move(bigger);
    *capacity = count;
    return true;
}

std::uint16_t KindFlag(BlockKind kind) {
    return kind == BlockKind::kIndex ? kEntryMapBlock : std::uint16_t{0};
}

}  // namespace

void BlockRef::Reset() {
    if (entry_ != nullptr) {
        file_->ReleaseBlock(entry_);
        entry_ = nullptr;
    }
}

ResultCode BlockRef::MarkModifiedAndRelease() {
    if (entry_ == nullptr) return 13;
    const ResultCode r = file_->MarkBlockModified(entry_, true);
    if (r == 0) entry_ = nullptr;
    return r;
}

ResultCode DataFile::NewCacheEntry(CacheEntry** entry) {
    *entry = nullptr;
    CacheEntry* e = new (std::nothrow) CacheEntry();
    if (e == nullptr) return 12;
    e->buffer = new (std::nothrow) std::uint8_t[kBlockSize]();
    if (e->buffer == nullptr) {
        delete e;
        return 12;
    }
    ++cacheCount_;
    *entry = e;
    return 0;
}

ResultCode DataFile::LookupBlock(std::uint16_t table, std::uint16_t index, BlockKind kind,
                                 bool probeOnly, CacheEntry** entry, bool* wasCached) {
    *entry = nullptr;
    if (wasCached != nullptr) *wasCached = false;
    const std::uint16_t kindFlag = KindFlag(kind);
    const auto t = static_cast<std::int16_t>(table);
    const auto i = static_cast<std::int16_t>(index);

    CacheEntry* prev = nullptr;
    CacheEntry* prevOfPrev = nullptr;
    CacheEntry* chosen = nullptr;
    bool cached = false;
    for (CacheEntry* cur = cacheHead_; cur != nullptr; cur = cur->next) {
        if ((cur->flags & kEntryInUse) && (cur->flags & kEntryMapBlock) == kindFlag &&
            cur->table == t && cur->index == i) {
            if (prev) {
                prev->next = cur->next;
            } else {
                cacheHead_ = cur->next;
            }
            if (cacheTail_ == cur) cacheTail_ = prev;
            cur->next = nullptr;
            chosen = cur;
            cached = true;
            break;
        }
        prevOfPrev = prev;
        prev = cur;
    }

    if (!chosen) {
        if (probeOnly) return 13;
        CacheEntry* tail = prev;  // the last entry walked
        // A pinned entry is never reused, whether or not it is in use: an
        // entry taken out of use while pinned still serves its holder.
        const bool grow = tail == nullptr || tail->pinCount > 0 ||
                          ((tail->flags & kEntryInUse) && cacheCount_ < kSteadyCacheSize);
        if (grow) {
            const ResultCode r = NewCacheEntry(&chosen);
            if (r != 0) return r;
        } else {
            if ((tail->flags & kEntryInUse) && (tail->flags & kEntryDirty)) {
                const ResultCode r = WriteBackEntry(tail);
                if (r != 0) return r;
            }
            if (prevOfPrev) {
                prevOfPrev->next = nullptr;
            } else {
                cacheHead_ = nullptr;
            }
            cacheTail_ = prevOfPrev;
            chosen = tail;
            chosen->next = nullptr;
        }
        chosen->flags = static_cast<std::uint16_t>(kEntryInUse | kindFlag);
        chosen->table = t;
        chosen->index = i;
        chosen->blockNumber = 0;
    }

    ++chosen->pinCount;
    chosen->next = cacheHead_;
    cacheHead_ = chosen;
    if (cacheTail_ == nullptr) cacheTail_ = chosen;
    *entry = chosen;
    if (wasCached != nullptr) *wasCached = cached;
    return 0;
}

void DataFile::ReleaseBlock(CacheEntry* entry) {
    if (entry == nullptr || entry->pinCount <= 0) return;
    if (--entry->pinCount > 0) return;
    CacheEntry* pred = nullptr;
    CacheEntry* cur = cacheHead_;
    while (cur != nullptr && cur != entry) {
        pred = cur;
        cur = cur->next;
    }
    if (cur == nullptr) return;
    // Sink behind the pinned entries that directly follow.
    while (entry->next != nullptr && entry->next->pinCount > 0) {
        CacheEntry* successor = entry->next;
        if (pred) {
            pred->next = successor;
        } else {
            cacheHead_ = successor;
        }
        entry->next = successor->next;
        successor->next = entry;
        if (cacheTail_ == successor) cacheTail_ = entry;
        pred = successor;
    }
}

ResultCode DataFile::WriteBackEntry(CacheEntry* entry) {
    if ((entry->flags & kEntryInUse) && (entry->flags & kEntryDirty)) {
        const ResultCode r = WriteBlockAt(entry->blockNumber, entry->buffer);
        if (r != 0) return r;
        entry->flags &= static_cast<std::uint16_t>(~kEntryDirty);
    }
    return 0;
}

ResultCode DataFile::FlushCache() {
    // In the order of their places, so that neighbouring blocks join one run.
    // Without memory for the sorted list, the list order serves as well.
    std::int32_t dirty = 0;
    for (CacheEntry* e = cacheHead_; e != nullptr; e = e->next) {
        if ((e->flags & kEntryInUse) && (e->flags & kEntryDirty)) ++dirty;
    }
    std::unique_ptr<CacheEntry*[]> sorted(dirty > 1 ? new (std::nothrow) CacheEntry*[dirty]
                                                    : nullptr);
    if (sorted) {
        std::int32_t n = 0;
        for (CacheEntry* e = cacheHead_; e != nullptr; e = e->next) {
            if ((e->flags & kEntryInUse) && (e->flags & kEntryDirty)) sorted[n++] = e;
        }
        std::sort(sorted.get(), sorted.get() + n, [](const CacheEntry* a, const CacheEntry* b) {
            return (a->blockNumber & kBlockNumberMask) < (b->blockNumber & kBlockNumberMask);
        });
        for (std::int32_t i = 0; i < n; ++i) {
            const ResultCode r = WriteBackEntry(sorted[i]);
            if (r != 0) return r;
        }
    } else {
        for (CacheEntry* e = cacheHead_; e != nullptr; e = e->next) {
            const ResultCode r = WriteBackEntry(e);
            if (r != 0) return r;
        }
    }
    const ResultCode r = WriteOutRun();
    if (r != 0) return r;
    if (!file_ || file_->Flush() != win32::kSuccess) return 21;
    // Everything written so far is on the disk: nothing is left to request.
    writeBackBytes_ = 0;
    // After a commit the file may be cut short; nothing read before stays.
    DropTransferBuffers(false);
    return 0;
}

void DataFile::ClearFreshFlags() {
    for (CacheEntry* e = cacheHead_; e != nullptr; e = e->next) {
        e->blockNumber &= kBlockNumberMask;
    }
}

void DataFile::InvalidateCache() {
    for (CacheEntry* e = cacheHead_; e != nullptr; e = e->next) {
        e->flags &= static_cast<std::uint16_t>(~kEntryInUse);
        e->pinCount = 0;
    }
    DropTransferBuffers(true);
}

void DataFile::FreeCache() {
    CacheEntry* e = cacheHead_;
    while (e != nullptr) {
        CacheEntry* next = e->next;
        delete[] e->buffer;
        delete e;
        e = next;
    }
    cacheHead_ = nullptr;
    cacheTail_ = nullptr;
    DropTransferBuffers(true);
    runBuffer_.reset();
    runCapacity_ = 0;
    windowBuffer_.reset();
    windowCapacity_ = 0;
    transfers_ = TransferCounts{};
    writeBackBytes_ = 0;
}

ResultCode DataFile::ReadBlockAt(BlockNumber number, std::uint8_t* buffer) {
    if (!file_) return 15;
    const std::uint16_t place = number & kBlockNumberMask;
    // A number read from the file that lies beyond the file's own block count
    // belongs to no block of it.
    if (place >= FileBlocks()) return 3;
    if (Holds(windowStart_, windowCount_, place)) {
        std::memcpy(
            buffer,
            windowBuffer_.get() + static_cast<std::size_t>(place - windowStart_) * kBlockSize,
            kBlockSize);
        return 0;
    }
    // Block 0 is the header, which is read and written around the cache: the
    // window never holds it.
    std::uint16_t want = 1;
    if (place != 0) {
        const bool continues = windowCount_ > 0 && place == windowStart_ + windowCount_;
        readAhead_ = continues
                         ? static_cast<std::uint16_t>(std::min<int>(readAhead_ * 2, kWindowBlocks))
                         : kFirstReadAhead;
        want = static_cast<std::uint16_t>(std::min<int>(readAhead_, FileBlocks() - place));
        // The window is refilled whole, so a bigger one need not keep a thing.
        if (want > 1 && !GrowBlocks(&windowBuffer_, &windowCapacity_, want, kFirstReadAhead,
                                    kWindowBlocks, 0)) {
            want = std::max<std::uint16_t>(1, windowCapacity_);
        }
    }
    windowCount_ = 0;
    if (Overlaps(runStart_, runCount_, place, want)) {
        const ResultCode r = WriteOutRun();
        if (r != 0) return r;
    }
    const std::uint64_t offset = std::uint64_t{place} * kBlockSize;
    std::uint8_t* into = want > 1 ? windowBuffer_.get() : buffer;
    std::uint32_t got = 0;
    const ResultCode r = ReadFileAt(offset, into, std::uint32_t{want} * kBlockSize, &got);
    if (r != 0) return r;
    if (got < kBlockSize) return 3;
    transfers_.blocksRead += got / kBlockSize;
    if (want > 1) {
        windowStart_ = place;
        windowCount_ = static_cast<std::uint16_t>(got / kBlockSize);
        std::memcpy(buffer, into, kBlockSize);
    }
    return 0;
}

ResultCode DataFile::WriteBlockAt(BlockNumber number, const std::uint8_t* buffer) {
    const std::uint16_t place = number & kBlockNumberMask;
    if (place == 0) return 23;
    if (!file_) return 15;
    if (Holds(windowStart_, windowCount_, place)) windowCount_ = 0;
    if (Holds(runStart_, runCount_, place)) {
        // Written again before the run went out: the newer bytes replace it.
        std::memcpy(runBuffer_.get() + static_cast<std::size_t>(place - runStart_) * kBlockSize,
                    buffer, kBlockSize);
        return 0;
    }
    if (runCount_ > 0 && (place != runStart_ + runCount_ || runCount_ == kRunBlocks)) {
        const ResultCode r = WriteOutRun();
        if (r != 0) return r;
    }
    if (runCount_ == runCapacity_ &&
        !GrowBlocks(&runBuffer_, &runCapacity_, static_cast<std::uint16_t>(runCount_ + 1),
                    kFirstRunBlocks, kRunBlocks, runCount_) &&
        runCount_ > 0) {
        // No memory for a longer run: this one goes out, the next starts.
        const ResultCode r = WriteOutRun();
        if (r != 0) return r;
    }
    if (runCount_ < runCapacity_) {
        if (runCount_ == 0) runStart_ = place;
        std::memcpy(runBuffer_.get() + std::size_t{runCount_} * kBlockSize, buffer, kBlockSize);
        ++runCount_;
        return 0;
    }
    // No memory for a run: the block goes out on its own.
    const std::uint64_t offset = std::uint64_t{place} * kBlockSize;
    const ResultCode r = WriteFileAt(offset, buffer, kBlockSize);
    if (r != 0) return r;
    ++transfers_.blocksWritten;
    NoteWritten(offset, kBlockSize);
    return 0;
}

ResultCode DataFile::WriteOutRun() {
    if (runCount_ == 0) return 0;
    if (!file_) return 15;
    const std::uint64_t offset = std::uint64_t{runStart_} * kBlockSize;
    const std::uint32_t bytes = std::uint32_t{runCount_} * kBlockSize;
    // A failed or short write keeps the whole run: writing its fresh places
    // again later is harmless.
    const ResultCode r = WriteFileAt(offset, runBuffer_.get(), bytes);
    if (r != 0) return r;
    transfers_.blocksWritten += runCount_;
    runCount_ = 0;
    NoteWritten(offset, bytes);
    return 0;
}

ResultCode DataFile::ReadFileAt(std::uint64_t offset, std::uint8_t* into, std::uint32_t count,
                                std::uint32_t* got) {
    *got = 0;
    Win32Error error = file_->ReadAt(offset, into, count, got);
    if (error == win32::kNotSupported) {
        std::uint64_t reached = 0;
        if (file_->Seek(offset, &reached) != win32::kSuccess || reached != offset) return 14;
        error = file_->Read(into, count, got);
    }
    ++transfers_.readCalls;
    return error == win32::kSuccess ? 0 : 3;
}

ResultCode DataFile::WriteFileAt(std::uint64_t offset, const std::uint8_t* from,
                                 std::uint32_t count) {
    // Marked before the bytes go: a write that fails may still have reached
    // the file in part (a seek that misses writes nothing).
    const std::int32_t wroteBefore = wroteSinceCommit_;
    wroteSinceCommit_ = 1;
    std::uint32_t written = 0;
    Win32Error error = file_->WriteAt(offset, from, count, &written);
    if (error == win32::kNotSupported) {
        std::uint64_t reached = 0;
        if (file_->Seek(offset, &reached) != win32::kSuccess || reached != offset) {
            wroteSinceCommit_ = wroteBefore;
            return 14;
        }
        error = file_->Write(from, count, &written);
    }
    ++transfers_.writeCalls;
    return error == win32::kSuccess && written == count ? 0 : 4;
}

void DataFile::NoteWritten(std::uint64_t offset, std::uint32_t bytes) {
    if (writeBackBytes_ == 0) {
        writeBackFrom_ = offset;
        writeBackTo_ = offset + bytes;
    } else {
        writeBackFrom_ = std::min(writeBackFrom_, offset);
        writeBackTo_ = std::max(writeBackTo_, offset + bytes);
    }
    writeBackBytes_ += bytes;
    if (writeBackBytes_ < kWriteBackBytes || !file_) return;
    // A failed request leaves the bytes to the flush, as without it.
    file_->StartWriteBack(writeBackFrom_, writeBackTo_ - writeBackFrom_);
    ++transfers_.writeBackRequests;
    writeBackBytes_ = 0;
}

void DataFile::DropTransferBuffers(bool writes) {
    windowCount_ = 0;
    if (writes) runCount_ = 0;
}

ResultCode DataFile::DataBlockNumber(std::uint16_t table, std::uint16_t index,
                                    BlockNumber* number) {
    // The directory's first block is the root, whose number the header holds.
    if (table == kDirectoryTable && index == 0) {
        *number = RootBlockNumber();
        return 0;
    }
    return GetBlockNumber(table, index, number);
}

ResultCode DataFile::GetBlock(std::uint16_t table, std::uint16_t index, CacheEntry** entry) {
    *entry = nullptr;
    bool cached = false;
    ResultCode r = LookupBlock(table, index, BlockKind::kData, true, entry, &cached);
    if (r != 13) return r;
    BlockNumber number = 0;
    r = DataBlockNumber(table, index, &number);
    if (r != 0) return r;
    return LoadBlock(table, index, number, entry);
}

ResultCode DataFile::ReadTableBlocks(std::uint16_t table, std::uint16_t first,
                                    std::uint16_t count, std::uint8_t* into) {
    // The pending physical read: `runBlocks` places from `runPlace` into
    // `runInto`.
    std::uint16_t runPlace = 0;
    std::uint16_t runBlocks = 0;
    std::uint8_t* runInto = nullptr;
    const auto readRun = [&]() -> ResultCode {
        if (runBlocks == 0) return 0;
        if (!file_) return 15;
        // A place read from the file that lies beyond the file's own block
        // count belongs to no block of it.
        if (runPlace + runBlocks > FileBlocks()) return 3;
        if (Overlaps(runStart_, runCount_, runPlace, runBlocks)) {
            const ResultCode r = WriteOutRun();
            if (r != 0) return r;
        }
        const std::uint64_t offset = std::uint64_t{runPlace} * kBlockSize;
        const std::uint32_t bytes = std::uint32_t{runBlocks} * kBlockSize;
        std::uint32_t got = 0;
        const ResultCode r = ReadFileAt(offset, runInto, bytes, &got);
        if (r != 0) return r;
        if (got < bytes) return 3;
        transfers_.blocksRead += runBlocks;
        runBlocks = 0;
        return 0;
    };
    for (std::uint32_t k = 0; k < count; ++k) {
        const auto index = static_cast<std::uint16_t>(first + k);
        std::uint8_t* to = into + std::size_t{k} * kBlockSize;
        CacheEntry* cached = nullptr;
        ResultCode r = LookupBlock(table, index, BlockKind::kData, true, &cached, nullptr);
        if (r == 0) {
            std::memcpy(to, cached->buffer, kBlockSize);
            ReleaseBlock(cached);
            continue;
        }
        if (r != 13) return r;
        BlockNumber number = 0;
        r = DataBlockNumber(table, index, &number);
        if (r != 0) return r;
        const std::uint16_t place = number & kBlockNumberMask;
        if (place == 0) {
            std::memset(to, 0, kBlockSize);
            continue;
        }
        // A run grows while both its places and its bytes in `into` follow on.
        if (runBlocks > 0 && place == runPlace + runBlocks &&
            to == runInto + std::size_t{runBlocks} * kBlockSize && runBlocks < kMaxTableBlocks) {
            ++runBlocks;
            continue;
        }
        r = readRun();
        if (r != 0) return r;
        runPlace = place;
        runBlocks = 1;
        runInto = to;
    }
    return readRun();
}

ResultCode DataFile::LoadEntry(std::uint16_t table, std::uint16_t index, BlockKind kind,
                               BlockNumber number, CacheEntry** entry) {
    *entry = nullptr;
    CacheEntry* e = nullptr;
    bool cached = false;
    ResultCode r = LookupBlock(table, index, kind, false, &e, &cached);
    if (r != 0) return r;
    if (!cached) {
        if ((number & kBlockNumberMask) == 0) {
            std::memset(e->buffer, 0, kBlockSize);
        } else {
            r = ReadBlockAt(number, e->buffer);
            if (r != 0) {
                // The buffer holds no valid block: it must not answer later
                // lookups of this key.
                e->flags &= static_cast<std::uint16_t>(~kEntryInUse);
                ReleaseBlock(e);
                return r;
            }
        }
        e->blockNumber = number;
        e->flags |= kEntryNumberKnown;
    }
    *entry = e;
    return 0;
}

ResultCode DataFile::LoadBlock(std::uint16_t table, std::uint16_t index, BlockNumber number,
                               CacheEntry** entry) {
    return LoadEntry(table, index, BlockKind::kData, number, entry);
}

ResultCode DataFile::LoadMapBlock(std::uint16_t table, std::uint16_t mapIndex, BlockNumber number,
                                  CacheEntry** entry) {
    return LoadEntry(table, mapIndex, BlockKind::kIndex, number, entry);
}

ResultCode DataFile::ClaimBlock(std::uint16_t table, std::uint16_t index, CacheEntry** entry) {
    bool cached = false;
    return LookupBlock(table, index, BlockKind::kData, false, entry, &cached);
}

ResultCode DataFile::LoadRootBlock() {
    if (rootEntry_) return 0;
    CacheEntry* e = nullptr;
    const ResultCode r = GetBlock(kDirectoryTable, 0, &e);
    if (r != 0) return r;
    rootEntry_ = e;
    rootBuffer_ = e->buffer;
    freeCursor_ = 0;
    freeLimit_ = Load16(rootBuffer_ + kDescriptorSize + descriptor::kBlockCount);
    return 0;
}

void DataFile::DropCachedBlock(std::uint16_t table, std::uint16_t index, BlockKind kind) {
    const std::uint16_t kindFlag = KindFlag(kind);
    const auto t = static_cast<std::int16_t>(table);
    const auto i = static_cast<std::int16_t>(index);
    for (CacheEntry* e = cacheHead_; e != nullptr; e = e->next) {
        if ((e->flags & kEntryInUse) && (e->flags & kEntryMapBlock) == kindFlag && e->table == t &&
            e->index == i) {
            e->flags &=
                static_cast<std::uint16_t>(~(kEntryInUse | kEntryDirty | kEntryNumberKnown));
            e->blockNumber = 0;
            return;
        }
    }
}

bool DataFile::KeyInUse(const CacheEntry* self, std::int16_t table, std::int16_t index,
                        std::uint16_t kindFlag) const {
    for (const CacheEntry* e = cacheHead_; e != nullptr; e = e->next) {
        if (e != self && (e->flags & kEntryInUse) && (e->flags & kEntryMapBlock) == kindFlag &&
            e->table == table && e->index == index) {
            return true;
        }
    }
    return false;
}

}  // namespace quillet
