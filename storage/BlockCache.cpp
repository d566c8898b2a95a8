// The block cache: 512-byte blocks keyed by (table, index, kind), pinned while
// callers use them, kept in most-recently-used order and written back when
// they are evicted or when the file commits.

#include <cstring>
#include <new>

#include "container/DataFile.h"
#include "platform/LittleEndian.h"

namespace quillet {

namespace {

constexpr std::int32_t kSteadyCacheSize = 10;

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
    for (CacheEntry* e = cacheHead_; e != nullptr; e = e->next) {
        const ResultCode r = WriteBackEntry(e);
        if (r != 0) return r;
    }
    if (!file_ || file_->Flush() != win32::kSuccess) return 21;
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
}

ResultCode DataFile::ReadBlockAt(BlockNumber number, std::uint8_t* buffer) {
    if (!file_) return 15;
    const std::uint16_t place = number & kBlockNumberMask;
    // A number read from the file that lies beyond the file's own block count
    // belongs to no block of it.
    if (place >= FileBlocks()) return 3;
    const std::uint64_t offset = std::uint64_t{place} * kBlockSize;
    std::uint64_t reached = 0;
    if (file_->Seek(offset, &reached) != win32::kSuccess || reached != offset) return 14;
    std::uint32_t got = 0;
    if (file_->Read(buffer, kBlockSize, &got) != win32::kSuccess || got != kBlockSize) return 3;
    return 0;
}

ResultCode DataFile::WriteBlockAt(BlockNumber number, const std::uint8_t* buffer) {
    const std::uint16_t place = number & kBlockNumberMask;
    if (place == 0) return 23;
    if (!file_) return 15;
    const std::uint64_t offset = std::uint64_t{place} * kBlockSize;
    std::uint64_t reached = 0;
    if (file_->Seek(offset, &reached) != win32::kSuccess || reached != offset) return 14;
    wroteSinceCommit_ = 1;
    std::uint32_t written = 0;
    if (file_->Write(buffer, kBlockSize, &written) != win32::kSuccess || written != kBlockSize) {
        return 4;
    }
    return 0;
}

ResultCode DataFile::GetBlock(std::uint16_t table, std::uint16_t index, CacheEntry** entry) {
    *entry = nullptr;
    bool cached = false;
    ResultCode r = LookupBlock(table, index, BlockKind::kData, true, entry, &cached);
    if (r != 13) return r;
    BlockNumber number = 0;
    if (table == kDirectoryTable && index == 0) {
        number = RootBlockNumber();
    } else {
        r = GetBlockNumber(table, index, &number);
        if (r != 0) return r;
    }
    return LoadBlock(table, index, number, entry);
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
