// Accesses with their cross-process lock, header refresh, commit, discard,
// one-level undo and redo, change notification, and the header's application
// fields.

#include <algorithm>
#include <cstring>

#include "container/DataFile.h"
#include "platform/LittleEndian.h"

namespace quillet {

namespace {

constexpr std::uint32_t kMutexWaitMs = 10000;
constexpr int kLockRetries = 20;
constexpr std::uint32_t kLockRetrySleepMs = 500;
constexpr std::uint64_t kLockLength = 16777216;  // every block a 15-bit number can address

// The shared header block.
namespace shared {
constexpr std::size_t kCommitCount = 8;
constexpr std::size_t kWindowCount = 16;
constexpr std::size_t kWindowTable = 20;
constexpr std::size_t kEntrySize = 8;
constexpr std::uint32_t kMaxEntries = (SharedBlock::kSize - kWindowTable) / kEntrySize;  // 61
}  // namespace shared

}  // namespace

ResultCode DataFile::AcquireAccessLock() {
    if (!mutex_) return 27;
    const WaitResult wait = mutex_->Wait(kMutexWaitMs);
    if (wait != WaitResult::kAcquired && wait != WaitResult::kAbandoned) return 27;
    if (useFileLock_) {
        for (int attempt = 0;; ++attempt) {
            if (file_ && file_->LockRange(0, kLockLength) == win32::kSuccess) break;
            if (attempt == kLockRetries) {
                mutex_->Release();
                return 27;
            }
            platform_.SleepMs(kLockRetrySleepMs);
        }
    }
    return 0;
}

void DataFile::ReleaseAccessLock() {
    if (useFileLock_ && file_) file_->UnlockRange(0, kLockLength);
    if (mutex_) mutex_->Release();
}

ResultCode DataFile::RefreshHeader() {
    headerReloaded_ = 0;
    bool mayHaveChanged = false;
    if (useFileLock_) {
        mayHaveChanged = true;
    } else if (useSharedHeader_) {
        const std::uint8_t* view = SharedView();
        mayHaveChanged = !(view && Load32(view + shared::kCommitCount) == seenCommitCount_);
    } else {
        mayHaveChanged = shareReadWrite_ != 0;
    }
    if (!mayHaveChanged) return 0;

    if (!file_) return 15;
    std::uint64_t reached = 1;
    if (file_->Seek(0, &reached) != win32::kSuccess || reached != 0) return 14;
    std::uint32_t got = 0;
    if (file_->Read(workingHeader_, kHeaderSize, &got) != win32::kSuccess || got != kHeaderSize) {
        return 3;
    }
    if (std::memcmp(workingHeader_ + header::kMarker1, savedHeader_ + header::kMarker1,
                    header::kContainerFieldsEnd - header::kMarker1) == 0) {
        return 0;
    }
    const ResultCode r = ValidateHeader(workingHeader_, readOnly_ != 0);
    if (r != 0) return r;
    ClearStaleRootFlag();
    std::memcpy(savedHeader_, workingHeader_, kHeaderSize);
    DropCache();
    headerReloaded_ = 1;
    canRedo_ = 0;
    canUndo_ = 0;
    return 0;
}

ResultCode DataFile::BeginAccess(bool writeWanted) {
    if (!file_) return 15;
    if (writeWanted && readOnly_) return 32;
    if (accessDepth_ > 0) {
        ++accessDepth_;
        return 0;
    }
    ResultCode r = AcquireAccessLock();
    if (r != 0) return r;
    accessDepth_ = 1;
    r = RefreshHeader();
    if (r != 0) {
        if (accessDepth_ == 1) ReleaseAccessLock();
        --accessDepth_;
        return r;
    }
    writable_ = writeWanted ? 1 : 0;
    return 0;
}

ResultCode DataFile::EndAccess(ResultCode result) {
    const bool modified = IsModified();
    if (accessDepth_ > 1) {
        --accessDepth_;
        return result;
    }
    if (result == 0) result = Commit();
    if (result != 0) DiscardChanges();
    // Outside an access another process may change the file.
    DropTransferBuffers(false);
    writable_ = (shareReadWrite_ || useSharedHeader_ || useFileLock_) ? 0 : 1;
    if (accessDepth_ == 1) ReleaseAccessLock();
    if (accessDepth_ > 0) --accessDepth_;
    if (result == 0 && modified) NotifyWindows();
    return result;
}

ResultCode DataFile::Commit() {
    if (!headerDirty_) return 0;
    if (!file_) return 15;
    ResultCode r = CompactFreeTable();
    if (r != 0) return r;
    r = FlushCache();
    if (r != 0) return r;
    Store16(workingHeader_ + header::kRootBlockNumber,
            static_cast<BlockNumber>(RootBlockNumber() & kBlockNumberMask));
    // The last commit's header: the undo image once this commit is written.
    std::uint8_t committed[kHeaderSize];
    std::memcpy(committed, savedHeader_, kHeaderSize);
    const std::uint32_t commitCount = Load32(workingHeader_ + header::kCommitCount);
    Store32(workingHeader_ + header::kCommitCount, commitCount + 1);
    r = WriteHeader();
    if (r != 0) {
        // A write that failed may have left part of the new header in block 0,
        // which then names neither state and no longer sums to zero. Every
        // block of the last commit is still in place (this transaction wrote
        // only to free places), so its header is put back; the error reported
        // stays the one of the failed write. The undo state and the saved
        // header are untouched, and the working header counts as before.
        if (r == 4) PutBackCommittedHeader();
        Store32(workingHeader_ + header::kCommitCount, commitCount);
        return r;
    }
    std::memcpy(undoHeader_, committed, kHeaderSize);
    canUndo_ = 1;
    canRedo_ = 0;
    if (file_->Flush() != win32::kSuccess) return 21;
    seenCommitCount_ = Load32(workingHeader_ + header::kCommitCount);
    if (std::uint8_t* view = SharedView()) Store32(view + shared::kCommitCount, seenCommitCount_);
    file_->SetLastWriteTime(platform_.SystemTimeAsFileTime());
    ClearFreshFlags();
    if (rootEntry_) {
        freeCursor_ = 0;
        freeLimit_ = Load16(rootBuffer_ + kDescriptorSize + descriptor::kBlockCount);
    }
    headerDirty_ = 0;
    wroteSinceCommit_ = 0;
    discardedWrites_ = 0;
    return 0;
}

void DataFile::DiscardChanges() {
    DropCache();
    headerDirty_ = 0;
    std::memcpy(workingHeader_, savedHeader_, kHeaderSize);
    canRedo_ = 0;
    // Blocks written by the dropped transaction went to places that were free
    // after the last commit, among them the places the commit before it still
    // used; that earlier state can no longer be brought back.
    if (wroteSinceCommit_) {
        canUndo_ = 0;
        discardedWrites_ = 1;
    }
    wroteSinceCommit_ = 0;
}

void DataFile::DropCache() {
    if (rootEntry_) ReleaseBlock(rootEntry_);
    rootEntry_ = nullptr;
    rootBuffer_ = nullptr;
    InvalidateCache();
}

ResultCode DataFile::UndoLastCommit() {
    if ((!canUndo_ && !canRedo_) || IsModified()) return 35;
    DropCache();
    std::memcpy(workingHeader_, undoHeader_, kHeaderSize);
    std::memcpy(undoHeader_, savedHeader_, kHeaderSize);
    canUndo_ = canUndo_ ? 0 : 1;
    canRedo_ = canRedo_ ? 0 : 1;
    const ResultCode r = WriteHeader();
    if (r != 0) {
        // As in Commit: a torn header would make the file unopenable.
        if (r == 4) PutBackCommittedHeader();
        std::memcpy(workingHeader_, savedHeader_, kHeaderSize);
        canUndo_ = 0;
        canRedo_ = 0;
        return r;
    }
    if (file_->Flush() != win32::kSuccess) return 21;
    seenCommitCount_ = Load32(workingHeader_ + header::kCommitCount);
    if (std::uint8_t* view = SharedView()) Store32(view + shared::kCommitCount, seenCommitCount_);
    return 0;
}

ResultCode DataFile::UndoLastCommitLocked() {
    if (accessDepth_ != 0) return 35;
    if (!file_) return 15;
    ResultCode r = AcquireAccessLock();
    if (r != 0) return r;
    accessDepth_ = 1;
    r = RefreshHeader();
    if (r == 0) r = headerReloaded_ ? 36 : UndoLastCommit();
    accessDepth_ = 0;
    ReleaseAccessLock();
    if (r == 0) NotifyWindows();
    return r;
}

bool DataFile::IsModified() {
    return headerDirty_ != 0;
}

void DataFile::NotifyWindows() {
    std::uint8_t* view = SharedView();
    if (view == nullptr) return;
    // The count is written by other processes: read it again for every entry,
    // and never look past the end of the 512-byte block.
    for (std::uint32_t i = 0; i < shared::kMaxEntries; ++i) {
        if (i >= Load32(view + shared::kWindowCount)) break;
        std::uint8_t* entry = view + shared::kWindowTable + i * shared::kEntrySize;
        const std::uint32_t handle = Load32(entry);
        if (handle == 0) continue;
        if (platform_.IsWindow(handle)) {
            platform_.PostWindowMessage(handle, Load32(entry + 4));
        } else {
            Store32(entry, 0);
        }
    }
}

ResultCode DataFile::GetAppSignature(std::uint8_t* out16) {
    std::memcpy(out16, workingHeader_ + header::kAppSignature, header::kAppSignatureSize);
    return 0;
}

ResultCode DataFile::SetAppSignature(const std::uint8_t* in16) {
    if (!writable_) return 34;
    std::memcpy(workingHeader_ + header::kAppSignature, in16, header::kAppSignatureSize);
    headerDirty_ = 1;
    return 0;
}

ResultCode DataFile::GetAppHeader(void* out, std::uint32_t length) {
    const std::size_t n = std::min<std::size_t>(length, header::kAppAreaSize);
    if (n > 0) std::memcpy(out, workingHeader_ + header::kAppArea, n);
    return 0;
}

ResultCode DataFile::SetAppHeader(const void* in, std::uint32_t length) {
    if (!writable_) return 34;
    if (length > header::kAppAreaSize) return 16;
    if (length > 0) std::memcpy(workingHeader_ + header::kAppArea, in, length);
    headerDirty_ = 1;
    return 0;
}

}  // namespace quillet
