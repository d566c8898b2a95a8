// Construction, Open, Close and destruction of a DataFile, and the accessors of
// the header fields that the storage engine keeps its state in.

#include <cstring>
#include <new>

#include "container/DataFile.h"
#include "platform/LittleEndian.h"

namespace quillet {

namespace {

constexpr std::uint32_t kMutexWaitMs = 10000;
constexpr std::size_t kMaxName = kMaxPath - 1;  // 259 bytes and a terminator

// The name of the file's mutex: the full path with every backslash turned into
// a slash and every lower-case ASCII letter into upper case, so that two
// spellings of one path meet on one mutex and one shared header.
void MangleName(const char* fullPath, char* out) {
    std::size_t i = 0;
    for (; i < kMaxName && fullPath[i] != '\0'; ++i) {
        char c = fullPath[i];
        if (c == '\\') c = '/';
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        out[i] = c;
    }
    out[i] = '\0';
}

void AppendBounded(char* out, const char* suffix) {
    std::size_t n = std::strlen(out);
    for (; n < kMaxName && *suffix != '\0'; ++n, ++suffix) out[n] = *suffix;
    out[n] = '\0';
}

}  // namespace

DataFile::DataFile(Platform& platform) : platform_(platform) {}

DataFile::~DataFile() {
    DataFile::Close();
}

std::uint16_t DataFile::FileBlocks() const {
    return Load16(workingHeader_ + header::kFileBlocks);
}

BlockNumber DataFile::RootBlockNumber() const {
    return Load16(workingHeader_ + header::kRootBlockNumber);
}

std::uint8_t* DataFile::SharedView() const {
    return sharedBlock_ ? sharedBlock_->Data() : nullptr;
}

void DataFile::SetFileBlocks(std::uint16_t blocks) {
    Store16(workingHeader_ + header::kFileBlocks, blocks);
}

ResultCode DataFile::Open(const char* path, bool* created, std::uint32_t flags) {
    if (path == nullptr) return -static_cast<ResultCode>(win32::kInvalidParameter);
    // Opening an object that is still open would leak its lock and handles.
    if (file_) Close();

    // 1. Full path.
    char full[kMaxPath] = {};
    const Win32Error pathError = platform_.GetFullPath(path, full, kMaxPath);
    if (pathError != win32::kSuccess) return -static_cast<ResultCode>(pathError);
    full[kMaxPath - 1] = '\0';
    const std::size_t length = std::strlen(full);
    fullPath_.reset(new (std::nothrow) char[length + 1]);
    if (!fullPath_) return 12;
    std::memcpy(fullPath_.get(), full, length + 1);

    // 2. The file's mutex, held until the end of Open.
    char name[kMaxPath] = {};
    MangleName(fullPath_.get(), name);
    std::unique_ptr<NamedMutex> mutex;
    if (platform_.OpenNamedMutex(name, &mutex) != win32::kSuccess || !mutex) return 28;
    mutex_ = std::move(mutex);
    const WaitResult wait = mutex_->Wait(kMutexWaitMs);
    if (wait != WaitResult::kAcquired && wait != WaitResult::kAbandoned) return 27;
    accessDepth_ = 1;

    // 3. Whether the file exists.
    std::uint32_t attributes = 0;
    const bool isNew = platform_.GetPathAttributes(fullPath_.get(), &attributes) != win32::kSuccess;
    if (created != nullptr) *created = isNew;

    ResultCode result = 0;
    bool opened = false;

    // 4. The file handle.
    if (flags & OpenReadOnly) readOnly_ = 1;
    if (flags & OpenShareRead) shareRead_ = 1;
    if (flags & OpenShareReadWrite) shareReadWrite_ = 1;
    if (flags & OpenSharedHeader) useSharedHeader_ = 1;
    if (flags & OpenFileLock) useFileLock_ = 1;
    if (readOnly_ && isNew) {
        result = 33;
    } else {
        const FileAccess access = readOnly_ ? FileAccess::kRead : FileAccess::kReadWrite;
        FileShare share = FileShare::kNone;
        if (shareRead_) share = FileShare::kRead;
        if (shareReadWrite_ || useSharedHeader_ || useFileLock_) share = FileShare::kReadWrite;
        // The file is created only when it was found missing, and then as a new
        // file: a name that appeared meanwhile (a planted symlink, say) fails
        // instead of being opened or written through, and a file that vanished
        // meanwhile is not made again.
        const FileDisposition disposition =
            isNew ? FileDisposition::kCreateNew : FileDisposition::kOpenExisting;
        std::unique_ptr<File> file;
        Win32Error error = platform_.OpenFile(fullPath_.get(), access, share, disposition, &file);
        if (error != win32::kSuccess || !file) {
            if (error == win32::kSuccess) error = win32::kInvalidHandle;
            file.reset();
            if ((flags & OpenFallbackReadOnly) && !readOnly_ && !isNew) {
                if (platform_.OpenFile(fullPath_.get(), FileAccess::kRead, share,
                                       FileDisposition::kOpenExisting, &file) == win32::kSuccess &&
                    file) {
                    readOnly_ = 1;
                } else {
                    file.reset();
                }
            }
        }
        if (!file) {
            result = error == win32::kSharingViolation ? 22 : -static_cast<ResultCode>(error);
            // A read-only open of a file that vanished since step 3.
            if (readOnly_ && (error == win32::kFileNotFound || error == win32::kPathNotFound)) {
                result = 33;
            }
        } else {
            file_ = std::move(file);
            opened = true;
        }
    }

    if (opened) {
        // 5. The shared header.
        if (useSharedHeader_) {
            char mapName[kMaxPath] = {};
            MangleName(fullPath_.get(), mapName);
            AppendBounded(mapName, "/MAP");
            bool existed = false;
            std::unique_ptr<SharedBlock> block;
            if (platform_.OpenSharedBlock(mapName, &existed, &block) != win32::kSuccess || !block ||
                block->Data() == nullptr) {
                result = 29;
            } else {
                sharedBlock_ = std::move(block);
                if (!existed) {
                    std::uint8_t* view = sharedBlock_->Data();
                    std::memset(view, 0, SharedBlock::kSize);
                    Store32(view + 0, 512);
                    Store32(view + 8, 0);
                    Store32(view + 12, 64);
                    Store32(view + 16, 0);
                }
            }
        }
        // 6. The header.
        if (result == 0) result = isNew ? CreateHeader() : ReadHeader();
        // 7. A failure here closes the object.
        if (result != 0) {
            Close();
        } else {
            // 8.
            seenCommitCount_ = Load32(workingHeader_ + header::kCommitCount);
            if (std::uint8_t* view = SharedView()) Store32(view + 8, seenCommitCount_);
        }
    }

    // 9. Give the mutex back. Until the first access another process may
    // change the file: no block read so far is kept outside the cache.
    DropTransferBuffers(false);
    if (accessDepth_ > 0) {
        if (accessDepth_ == 1 && mutex_) mutex_->Release();
        --accessDepth_;
    }
    return result;
}

ResultCode DataFile::Close() {
    FreeCache();
    rootEntry_ = nullptr;
    rootBuffer_ = nullptr;
    sharedBlock_.reset();
    if (mutex_) {
        if (accessDepth_ > 0) ReleaseAccessLock();
        mutex_.reset();
    }
    file_.reset();
    fullPath_.reset();
    cacheCount_ = 0;
    cacheHead_ = nullptr;
    cacheTail_ = nullptr;
    seenCommitCount_ = 0;
    accessDepth_ = 0;
    headerDirty_ = 0;
    wroteSinceCommit_ = 0;
    discardedWrites_ = 0;
    return 0;
}

FileMutexHold::~FileMutexHold() {
    if (held_) mutex_->Release();
}

ResultCode FileMutexHold::Acquire(const char* path) {
    if (held_ || path == nullptr) return -static_cast<ResultCode>(win32::kInvalidParameter);
    char full[kMaxPath] = {};
    const Win32Error pathError = platform_.GetFullPath(path, full, kMaxPath);
    if (pathError != win32::kSuccess) return -static_cast<ResultCode>(pathError);
    full[kMaxPath - 1] = '\0';
    char name[kMaxPath] = {};
    MangleName(full, name);
    std::unique_ptr<NamedMutex> mutex;
    if (platform_.OpenNamedMutex(name, &mutex) != win32::kSuccess || !mutex) return 28;
    const WaitResult wait = mutex->Wait(kMutexWaitMs);
    if (wait != WaitResult::kAcquired && wait != WaitResult::kAbandoned) return 27;
    mutex_ = std::move(mutex);
    held_ = true;
    return 0;
}

}  // namespace quillet
