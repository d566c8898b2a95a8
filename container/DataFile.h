#pragma once
// DataFile: one open container file. It owns the file handle, the three images
// of the file header, the block cache with the pinned root block, the file's
// named mutex and, optionally, the shared header block. The container layer
// (header, open and close, accesses, commit, undo, notification) and the
// storage engine (block cache, copy-on-write, free list, tables) are two layers
// of this one object; their operations live in one source file per topic:
//
//   container/FileHeader.cpp    ValidateHeader, WriteHeader, ReadHeader, CreateHeader,
//   InitRootBlock container/OpenClose.cpp     construction, Open, Close, destruction
//   container/Access.cpp        accesses, Commit, DiscardChanges, undo, notification, app fields
//   storage/BlockCache.cpp      the cache of pinned 512-byte blocks
//   storage/CopyOnWrite.cpp     MarkBlockModified, PrepareBlockForChange
//   storage/FreeList.cpp        AllocateBlock, FreeBlock, MoveFreeEntry, CompactFreeTable
//   storage/Tables.cpp          descriptors, block maps, table operations

#include <cstddef>
#include <cstdint>
#include <memory>

#include "container/FileHeader.h"
#include "platform/Platform.h"
#include "platform/ResultCode.h"

namespace quillet {

// A block's place in the file: the low 15 bits number a 512-byte block, the top
// bit is the fresh flag (allocated in the current transaction). 0 means none.
using BlockNumber = std::uint16_t;
constexpr BlockNumber kFreshFlag = 0x8000;
constexpr BlockNumber kBlockNumberMask = 0x7fff;
constexpr std::size_t kBlockSize = 512;
constexpr std::uint32_t kMaxFileBlocks = 0x8000;  // 32768 blocks, 16 MiB

// Table numbers: 0 the directory, 1 the free list, 2..191 the application's.
constexpr std::uint16_t kDirectoryTable = 0;
constexpr std::uint16_t kFreeTable = 1;
constexpr std::uint16_t kTableCount = 192;
constexpr std::uint16_t kMaxTableBlocks = 6144;  // 24 index blocks x 256 entries
constexpr std::size_t kDescriptorSize = 64;
constexpr std::size_t kDirectSlots = 24;
constexpr std::size_t kIndexEntries = 256;

// Byte offsets inside a 64-byte table descriptor.
namespace descriptor {
constexpr std::size_t kBlockCount = 0;     // u16
constexpr std::size_t kIndirect = 2;       // u8
constexpr std::size_t kMapFlag = 3;        // u8
constexpr std::size_t kTableType = 4;      // u8
constexpr std::size_t kTableSubtype = 5;   // u8
constexpr std::size_t kRecordSize = 6;     // u16
constexpr std::size_t kLastBlockUsed = 8;  // u16
constexpr std::size_t kChangeCount = 10;   // u16
constexpr std::size_t kSlots = 16;         // 24 x u16
}  // namespace descriptor

// When a file that commits in slices (DataFile::SetSliceCommits) commits, and
// the free-list length the conversion's route, slices and compaction passes
// plan against. The defaults are the format's own: table 1's map holds
// kMaxTableBlocks entries. Smaller values let a file of a few hundred blocks
// take the paths a file near the limits takes (the fault sweeps use that);
// they never raise what the engine itself accepts.
struct SliceLimits {
    std::uint32_t freeListEntries = kMaxTableBlocks;
    // A slice commits once it has freed this many entries.
    std::uint32_t freedPerSlice = 1024;
    // ... or once the free list is within this many entries of its limit.
    std::uint32_t margin = 64;
};

// Open flags.
constexpr std::uint32_t OpenReadOnly = 0x01;
constexpr std::uint32_t OpenFallbackReadOnly = 0x02;
constexpr std::uint32_t OpenShareRead = 0x04;
constexpr std::uint32_t OpenShareReadWrite = 0x08;
constexpr std::uint32_t OpenSharedHeader = 0x10;
constexpr std::uint32_t OpenFileLock = 0x20;

// Kind of a cached block: a table's data block or one of its index blocks.
enum class BlockKind : std::uint16_t { kData = 0, kIndex = 1 };

// Cache entry flags.
constexpr std::uint16_t kEntryInUse = 0x0001;
constexpr std::uint16_t kEntryDirty = 0x0002;
constexpr std::uint16_t kEntryMapBlock = 0x0004;
constexpr std::uint16_t kEntryNumberKnown = 0x0008;

// A cached, possibly pinned block, keyed by (table, index, kind).
struct CacheEntry {
    CacheEntry* next = nullptr;   // toward the least recently used end
    std::uint16_t flags = 0;      // kEntry* bits
    BlockNumber blockNumber = 0;  // with the fresh flag; 0 when not resolved
    std::int16_t table = 0;
    std::int16_t index = 0;          // data block index, or map index of an index block
    std::uint8_t* buffer = nullptr;  // 512 bytes, owned by the entry
    std::int32_t pinCount = 0;
};

class DataFile;

// Holds one pin on a cache entry and releases it when it goes out of scope or
// is reset, so that every path out of an operation gives its pins back.
class BlockRef {
  public:
    explicit BlockRef(DataFile& file) : file_(&file) {}
    ~BlockRef() { Reset(); }
    BlockRef(const BlockRef&) = delete;
    BlockRef& operator=(const BlockRef&) = delete;

    // Releases the held entry, if any; the holder is empty afterwards.
    void Reset();
    // Releases the held entry and returns the slot that an operation handing
    // out a pinned entry writes to.
    CacheEntry** Out() {
        Reset();
        return &entry_;
    }
    CacheEntry* get() const { return entry_; }
    CacheEntry* operator->() const { return entry_; }
    explicit operator bool() const { return entry_ != nullptr; }
    std::uint8_t* data() const { return entry_->buffer; }
    // MarkBlockModified with release; on success the holder is empty, on
    // failure it still holds (and later releases) the pin.
    ResultCode MarkModifiedAndRelease();
    // Gives up ownership of the pin without releasing it.
    CacheEntry* Detach() {
        CacheEntry* e = entry_;
        entry_ = nullptr;
        return e;
    }

  private:
    DataFile* file_;
    CacheEntry* entry_ = nullptr;
};

class DataFile {
  public:
    explicit DataFile(Platform& platform);

    // ---- Virtual operations, in slot order ----

    // Opens or creates the file at `path` with the Open* flags; *created tells
    // whether the file did not exist before (set from step 3 on).
    virtual ResultCode Open(const char* path, bool* created, std::uint32_t flags);
    // Releases file, mutex, mapping and cache; never commits. Always 0.
    virtual ResultCode Close();
    virtual ResultCode GetAppSignature(std::uint8_t* out16);
    virtual ResultCode SetAppSignature(const std::uint8_t* in16);
    virtual ResultCode GetAppHeader(void* out, std::uint32_t length);
    virtual ResultCode SetAppHeader(const void* in, std::uint32_t length);
    virtual ResultCode Commit();
    virtual void DiscardChanges();
    virtual ResultCode UndoLastCommit();
    virtual ResultCode BeginAccess(bool writeWanted);
    virtual ResultCode EndAccess(ResultCode result);
    virtual ResultCode UndoLastCommitLocked();
    virtual void DropCache();
    virtual bool IsModified();
    virtual ~DataFile();

    DataFile(const DataFile&) = delete;
    DataFile& operator=(const DataFile&) = delete;

    // ---- File header ----

    // Checks a 512-byte image just read and converts a legacy layout in place.
    static ResultCode ValidateHeader(std::uint8_t* image, bool readOnly);
    ResultCode WriteHeader();
    ResultCode ReadHeader();
    ResultCode CreateHeader();
    ResultCode InitRootBlock();

    // ---- Block cache ----

    ResultCode LookupBlock(std::uint16_t table, std::uint16_t index, BlockKind kind, bool probeOnly,
                           CacheEntry** entry, bool* wasCached);
    ResultCode NewCacheEntry(CacheEntry** entry);
    void ReleaseBlock(CacheEntry* entry);
    ResultCode WriteBackEntry(CacheEntry* entry);
    ResultCode FlushCache();
    void ClearFreshFlags();
    void InvalidateCache();
    void FreeCache();
    // Block transfer between the cache and the file. The bytes travel in as
    // few calls as the commit order allows, through two buffers of this
    // object that never outlive a transaction's discard or the file:
    // - WriteBlockAt hands the block to the write run: a contiguous range of
    //   blocks waiting to be written in one Seek and one Write. A block that
    //   does not extend the run (or a full run) first writes the run out; a
    //   failure of that write is returned, this block is not taken and the run
    //   stays as it was, so nothing is lost and a later write-out tries again.
    //   Only blocks of the current transaction enter the run (every dirty
    //   entry is fresh), so holding them back never lets a committed block be
    //   overwritten; FlushCache writes the run out before it flushes, so every
    //   block reaches the file and is flushed before the header is written.
    // - ReadBlockAt serves the block from the read window, a copy of file
    //   blocks read in one Seek and one Read; a block outside it refills the
    //   window starting at that block (longer for sequential reads, never past
    //   FileBlocks). A refill that would overlap the write run writes the run
    //   out first, and a block entering the run drops a window that holds its
    //   place, so a read always sees the last bytes written.
    // A failed read is reported as before (3, or 14 for a seek that misses);
    // so is a failed write (4, or 14), at the call that writes the run out.
    // DropCache, DiscardChanges and Close drop both buffers (the run's blocks
    // belong to the transaction being dropped); EndAccess drops the window, so
    // no byte read in one access is used in another.
    ResultCode ReadBlockAt(BlockNumber number, std::uint8_t* buffer);
    ResultCode WriteBlockAt(BlockNumber number, const std::uint8_t* buffer);
    // Writes the write run out (nothing when it is empty).
    ResultCode WriteOutRun();
    // The file calls under ReadBlockAt, WriteBlockAt, WriteOutRun and
    // ReadTableBlocks: one positioned call where the file offers it
    // (File::ReadAt, WriteAt), else a Seek and a Read or Write. ReadFileAt:
    // 0 with *got bytes read (short at the end of the file), 14 when the seek
    // misses, 3 when the read fails. WriteFileAt: 0 when every byte is
    // written, 14 when the seek misses, 4 otherwise; it marks the transaction
    // as having written before the bytes go.
    ResultCode ReadFileAt(std::uint64_t offset, std::uint8_t* into, std::uint32_t count,
                          std::uint32_t* got);
    ResultCode WriteFileAt(std::uint64_t offset, const std::uint8_t* from, std::uint32_t count);
    // Notes `bytes` written at `offset`; once kWriteBackBytes have gathered
    // since the last request (or the last flush), asks the file to start
    // writing their range to the disk (File::StartWriteBack), so that the
    // flush of a large commit finds most of its bytes on the way already and
    // the disk works while the conversion goes on. Only a request: the commit
    // order still rests on the flushes alone, and its result is not needed.
    void NoteWritten(std::uint64_t offset, std::uint32_t bytes);
    // Drops the read window, and with `writes` the write run too.
    void DropTransferBuffers(bool writes);
    // Counters of the block transfer since the file was opened, for the
    // benchmark and the tests: calls made and blocks moved.
    struct TransferCounts {
        std::uint64_t readCalls = 0, blocksRead = 0, writeCalls = 0, blocksWritten = 0;
        std::uint64_t writeBackRequests = 0;
    };
    const TransferCounts& Transfers() const { return transfers_; }
    ResultCode GetBlock(std::uint16_t table, std::uint16_t index, CacheEntry** entry);
    // The place of data block `index` of `table` as GetBlock finds it: the
    // root's from the header, any other through the table's map.
    ResultCode DataBlockNumber(std::uint16_t table, std::uint16_t index, BlockNumber* number);
    // Copies data blocks first .. first + count - 1 of `table` into `into`
    // (count * 512 bytes), as `count` GetBlock calls would see them: a block
    // held by the cache comes from there, a block with no place reads as
    // zeros, and the others come from the file, neighbouring places in one
    // Seek and one Read straight into `into`, past the cache and the read
    // window (a pending write run that overlaps them is written out first).
    // It never adds one of the data blocks to the cache (the map blocks that
    // give their places are looked up through it as ever). On failure (the
    // codes of GetBlock) `into` holds an unspecified part of the blocks.
    ResultCode ReadTableBlocks(std::uint16_t table, std::uint16_t first, std::uint16_t count,
                               std::uint8_t* into);
    ResultCode LoadBlock(std::uint16_t table, std::uint16_t index, BlockNumber number,
                         CacheEntry** entry);
    ResultCode LoadMapBlock(std::uint16_t table, std::uint16_t mapIndex, BlockNumber number,
                            CacheEntry** entry);
    ResultCode ClaimBlock(std::uint16_t table, std::uint16_t index, CacheEntry** entry);
    ResultCode LoadRootBlock();

    // ---- Copy-on-write and free blocks ----

    ResultCode MarkBlockModified(CacheEntry* entry, bool release);
    ResultCode PrepareBlockForChange(CacheEntry* entry);
    ResultCode AllocateBlock(BlockNumber* number);
    ResultCode FreeBlock(BlockNumber number);
    ResultCode MoveFreeEntry(std::uint16_t table, std::uint16_t from, std::uint16_t to,
                             BlockNumber* moved);
    ResultCode CompactFreeTable();

    // ---- Tables and the directory ----

    ResultCode GetDescriptorBlock(std::uint16_t table, CacheEntry** entry);
    ResultCode ReadTableDescriptor(std::uint16_t table, std::uint8_t* out64);
    ResultCode GetBlockNumber(std::uint16_t table, std::uint16_t index, BlockNumber* number);
    ResultCode SetBlockNumber(std::uint16_t table, std::uint16_t index, BlockNumber number,
                              BlockKind kind, bool freeOld);
    ResultCode MakeTableIndirect(std::uint16_t table);
    ResultCode FindFreeTableNumber(std::uint16_t* table);
    // *table: 0 asks for the lowest free number from 2; receives the number used.
    ResultCode CreateTable(std::uint16_t* table, std::uint8_t type, std::uint8_t subtype);
    ResultCode DeleteTable(std::uint16_t table);
    ResultCode SetTableBlockCount(std::uint16_t table, std::uint16_t count);
    ResultCode SetTableRecordSize(std::uint16_t table, std::uint16_t value);
    ResultCode SetTableLastBlockUsed(std::uint16_t table, std::uint16_t value);
    ResultCode SetTableType(std::uint16_t table, std::uint8_t type, std::uint8_t subtype);

    // ---- Intermediate commits ----

    // A file that no one else can see yet (the conversion's temporary file)
    // may commit a long write access in slices, so that the blocks it frees
    // become usable again before the free list (at most 6144 entries) or the
    // file (at most 32768 blocks) runs out. Off by default; only the owner of
    // such a file turns it on, with the thresholds in `limits`.
    void SetSliceCommits(bool on, const SliceLimits& limits = SliceLimits{}) {
        sliceCommits_ = on ? 1 : 0;
        sliceLimits_ = limits;
    }
    bool SliceCommits() const { return sliceCommits_ != 0; }
    const SliceLimits& SliceCommitLimits() const { return sliceLimits_; }
    // Called between whole-block changes, where the tree is consistent and no
    // block other than the root is pinned. With slices on, commits the
    // transaction in progress when it has freed SliceLimits::freedPerSlice
    // entries or more; when the free list is within SliceLimits::margin of
    // SliceLimits::freeListEntries, or would be with `aboutToFree` more
    // entries; or, near the file's 32768 blocks, when the next block would be
    // appended. Otherwise (and always with slices off) does nothing and
    // answers 0.
    ResultCode CommitSliceIfDue(std::uint32_t aboutToFree = 0);
    // Distance from the file's 32768 blocks at which slices start to watch
    // the entries left to take.
    static constexpr std::uint32_t kSliceFileMargin = 64;

    // ---- Read access to the state, for the conversion, tools and tests ----

    Platform& platform() const { return platform_; }
    File* file() const { return file_.get(); }
    const std::uint8_t* WorkingHeader() const { return workingHeader_; }
    const std::uint8_t* SavedHeader() const { return savedHeader_; }
    std::uint16_t FileBlocks() const;
    BlockNumber RootBlockNumber() const;
    std::uint16_t FreeCursor() const { return freeCursor_; }
    std::uint16_t FreeLimit() const { return freeLimit_; }
    // A transaction discarded since the last commit (or the open) had
    // written blocks to the file; without one, nothing lies beyond the
    // committed end that this object put there.
    bool DiscardedWrites() const { return discardedWrites_ != 0; }
    bool IsWritable() const { return writable_ != 0; }
    bool IsReadOnly() const { return readOnly_ != 0; }
    bool WasHeaderReloaded() const { return headerReloaded_ != 0; }
    bool CanUndo() const { return canUndo_ != 0; }
    bool CanRedo() const { return canRedo_ != 0; }
    std::int32_t AccessDepth() const { return accessDepth_; }
    std::uint32_t SeenCommitCount() const { return seenCommitCount_; }
    std::int32_t CacheCount() const { return cacheCount_; }
    CacheEntry* CacheHead() const { return cacheHead_; }
    CacheEntry* CacheTail() const { return cacheTail_; }
    CacheEntry* RootEntry() const { return rootEntry_; }
    const char* FullPath() const { return fullPath_.get(); }
    std::uint8_t* SharedView() const;

  protected:
    // Mutable access to the working header for the conversion layer, which
    // copies banner and extra fields between files and sets FileBlocks.
    std::uint8_t* MutableWorkingHeader() { return workingHeader_; }
    void SetFileBlocks(std::uint16_t blocks);
    void SetHeaderDirty() { headerDirty_ = 1; }
    void SetFreeCursor(std::uint16_t v) { freeCursor_ = v; }
    void SetFreeLimit(std::uint16_t v) { freeLimit_ = v; }

  private:
    ResultCode AcquireAccessLock();
    void ReleaseAccessLock();
    ResultCode RefreshHeader();
    void NotifyWindows();

    // After a header write that failed: writes the saved header (the last
    // commit's) to block 0 again and flushes, best effort; the results are not
    // reported, the caller reports the failed write.
    void PutBackCommittedHeader();
    // Clears the fresh flag of RootBlockNumber in a header just read.
    void ClearStaleRootFlag();
    // LoadBlock and LoadMapBlock: the same procedure for the two kinds.
    ResultCode LoadEntry(std::uint16_t table, std::uint16_t index, BlockKind kind,
                         BlockNumber number, CacheEntry** entry);
    // Takes the cached block (table, index, kind) out of use, if there is one:
    // its map entry has just been set to 0, so its contents and its old place
    // must never answer a lookup again. A pin holder keeps a valid buffer.
    void DropCachedBlock(std::uint16_t table, std::uint16_t index, BlockKind kind);
    // Whether an entry other than `self` holds the key (table, index, kind).
    bool KeyInUse(const CacheEntry* self, std::int16_t table, std::int16_t index,
                  std::uint16_t kindFlag) const;
    // Pins the descriptor block of `table`, prepares it, lets `update` change
    // the 64-byte descriptor, counts the change and marks the block modified.
    ResultCode UpdateDescriptor(std::uint16_t table,
                                void (*update)(std::uint8_t* descriptor, std::uint16_t a,
                                               std::uint16_t b),
                                std::uint16_t a, std::uint16_t b);

    Platform& platform_;

    // Members in the order of the object's data model.
    std::unique_ptr<File> file_;  // FileHandle; empty when none or after a failed open
    std::uint8_t savedHeader_[kHeaderSize] = {};
    std::uint8_t workingHeader_[kHeaderSize] = {};
    std::uint8_t undoHeader_[kHeaderSize] = {};
    std::uint8_t* rootBuffer_ = nullptr;
    CacheEntry* rootEntry_ = nullptr;
    std::uint16_t freeCursor_ = 0;
    std::uint16_t freeLimit_ = 0;
    std::int32_t cacheCount_ = 0;
    CacheEntry* cacheHead_ = nullptr;
    CacheEntry* cacheTail_ = nullptr;
    std::uint32_t seenCommitCount_ = 0;
    std::unique_ptr<NamedMutex> mutex_;
    std::int32_t accessDepth_ = 0;
    std::int32_t writable_ = 1;
    std::int32_t headerDirty_ = 0;
    std::int32_t headerReloaded_ = 0;
    std::int32_t useSharedHeader_ = 0;
    std::int32_t readOnly_ = 0;
    std::int32_t useFileLock_ = 0;
    std::int32_t shareRead_ = 0;
    std::int32_t shareReadWrite_ = 0;
    std::int32_t canUndo_ = 0;
    std::int32_t canRedo_ = 0;
    std::unique_ptr<SharedBlock> sharedBlock_;  // MappingHandle and SharedView
    std::unique_ptr<char[]> fullPath_;

    // Set when a block was written to the file since the last commit. A
    // transaction that wrote blocks and is then discarded may have reused
    // places that the state before the last commit still needs, so it also
    // ends the chance to undo that commit.
    std::int32_t wroteSinceCommit_ = 0;
    // Set when a transaction that had written blocks to the file was
    // discarded since the last commit: such blocks may lie beyond the
    // committed end of the file.
    std::int32_t discardedWrites_ = 0;

    // The write run and the read window of ReadBlockAt and WriteBlockAt,
    // allocated at first use; without them each block moves on its own.
    std::unique_ptr<std::uint8_t[]> runBuffer_;
    std::uint16_t runCapacity_ = 0;  // blocks runBuffer_ holds
    std::uint16_t runStart_ = 0;     // place of the run's first block
    std::uint16_t runCount_ = 0;     // blocks in the run; 0: no run
    std::unique_ptr<std::uint8_t[]> windowBuffer_;
    std::uint16_t windowCapacity_ = 0;  // blocks windowBuffer_ holds
    std::uint16_t windowStart_ = 0;
    std::uint16_t windowCount_ = 0;  // valid blocks in the window; 0: none
    std::uint16_t readAhead_ = 0;    // blocks the next sequential refill asks for
    TransferCounts transfers_;
    // Bytes written since the last write-back request or flush, and the range
    // of the file they lie in.
    std::uint64_t writeBackBytes_ = 0;
    std::uint64_t writeBackFrom_ = 0;
    std::uint64_t writeBackTo_ = 0;
    // Intermediate commits allowed (SetSliceCommits), and when they are due.
    std::int32_t sliceCommits_ = 0;
    SliceLimits sliceLimits_;
};

// Holds the named mutex of the data file at a path (the one that Open and the
// accesses of every DataFile of that file take) without opening the file, so
// that no other opener can open the file while its name changes. Destruction
// gives the mutex back.
class FileMutexHold {
  public:
    explicit FileMutexHold(Platform& platform) : platform_(platform) {}
    ~FileMutexHold();
    FileMutexHold(const FileMutexHold&) = delete;
    FileMutexHold& operator=(const FileMutexHold&) = delete;

    // Takes the mutex of `path`, waiting as Open does. Returns 0; minus the
    // system's error when the full path cannot be formed; 28 when the mutex
    // cannot be opened; 27 when it was not obtained within the wait.
    ResultCode Acquire(const char* path);

  private:
    Platform& platform_;
    std::unique_ptr<NamedMutex> mutex_;
    bool held_ = false;
};

}  // namespace quillet
