#include "tests/support/PowerLossPlatform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace quillet::testing {

struct PowerLossPlatform::OpenHandle {
    FileAccess access;
    FileShare share;
};

struct PowerLossPlatform::Node {
    std::vector<std::uint8_t> durable;  // not kept in write-through mode
    std::vector<std::uint8_t> current;
    std::vector<PendingChange> pending;
    // Write-through mode: whether the last change since the last flush was a
    // write at offset 0 (what `pending.back()` tells otherwise).
    bool headerLast = false;
    std::vector<const OpenHandle*> handles;
    struct Lock {
        const OpenHandle* owner;
        std::uint64_t offset;
        std::uint64_t length;
    };
    std::vector<Lock> locks;
    FileTime lastWrite;
};

namespace {

bool AllowsRead(FileShare s) {
    return s == FileShare::kRead || s == FileShare::kReadWrite;
}
bool AllowsWrite(FileShare s) {
    return s == FileShare::kReadWrite;
}
bool Writes(FileAccess a) {
    return a == FileAccess::kReadWrite;
}

// Applies one change to an image.
void Apply(std::vector<std::uint8_t>& image, const PendingChange& change) {
    if (change.kind == PendingChange::Kind::kSetEnd) {
        image.resize(static_cast<std::size_t>(change.offset), 0);
        return;
    }
    const std::size_t end = static_cast<std::size_t>(change.offset) + change.bytes.size();
    if (image.size() < end) image.resize(end, 0);
    std::copy(change.bytes.begin(), change.bytes.end(),
              image.begin() + static_cast<std::ptrdiff_t>(change.offset));
}

bool Overlaps(std::uint64_t a, std::uint64_t alen, std::uint64_t b, std::uint64_t blen) {
    return a < b + blen && b < a + alen;
}

}  // namespace

// An open handle on a node. It keeps the node alive; the platform refuses to
// delete or move a node while any handle is open, as Win32 does.
class PowerLossPlatform::MemoryFile : public File {
  public:
    MemoryFile(PowerLossPlatform& owner, std::shared_ptr<Node> node, FileAccess access,
               FileShare share)
        : owner_(owner), node_(std::move(node)), handle_{access, share} {
        node_->handles.push_back(&handle_);
    }
    ~MemoryFile() override {
        std::lock_guard<std::recursive_mutex> guard(owner_.lock_);
        auto& hs = node_->handles;
        hs.erase(std::remove(hs.begin(), hs.end(), &handle_), hs.end());
        auto& ls = node_->locks;
        ls.erase(std::remove_if(ls.begin(), ls.end(),
                                [this](const Node::Lock& l) { return l.owner == &handle_; }),
                 ls.end());
    }

    Win32Error Seek(std::uint64_t offset, std::uint64_t* reached) override {
        std::lock_guard<std::recursive_mutex> guard(owner_.lock_);
        if (owner_.stopped_) return kStoppedError;
        position_ = offset;
        if (reached) *reached = offset;
        return win32::kSuccess;
    }

    Win32Error Read(void* buffer, std::uint32_t count, std::uint32_t* got) override {
        std::lock_guard<std::recursive_mutex> guard(owner_.lock_);
        if (got) *got = 0;
        if (owner_.stopped_) return kStoppedError;
        const auto& bytes = node_->current;
        std::uint32_t n = 0;
        if (position_ < bytes.size()) {
            n = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(count, bytes.size() - position_));
            std::memcpy(buffer, bytes.data() + position_, n);
        }
        position_ += n;
        if (got) *got = n;
        return win32::kSuccess;
    }

    Win32Error Write(const void* buffer, std::uint32_t count, std::uint32_t* written) override {
        std::lock_guard<std::recursive_mutex> guard(owner_.lock_);
        if (written) *written = 0;
        if (owner_.stopped_) return kStoppedError;
        if (!Writes(handle_.access)) return win32::kAccessDenied;
        const auto* p = static_cast<const std::uint8_t*>(buffer);
        if (owner_.writeThrough_) {
            auto& bytes = node_->current;
            const std::size_t end = static_cast<std::size_t>(position_) + count;
            if (bytes.size() < end) bytes.resize(end, 0);
            if (count != 0) std::memcpy(bytes.data() + position_, p, count);
            node_->headerLast = position_ == 0 && count != 0;
            owner_.CountWrite();
        } else {
            PendingChange change;
            change.kind = PendingChange::Kind::kWrite;
            change.offset = position_;
            change.bytes.assign(p, p + count);
            Apply(node_->current, change);
            change.writeIndex = owner_.CountWrite();
            node_->pending.push_back(std::move(change));
        }
        position_ += count;
        if (written) *written = count;
        return win32::kSuccess;
    }

    // Positioned calls: a seek and a read or write under one hold of the lock,
    // each write counted and lost as a Write is. A zero-byte call does
    // nothing, so that asking whether the file has them costs no write.
    Win32Error ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count,
                      std::uint32_t* got) override {
        std::lock_guard<std::recursive_mutex> guard(owner_.lock_);
        *got = 0;
        if (owner_.stopped_) return kStoppedError;
        if (count == 0) return win32::kSuccess;
        position_ = offset;
        return Read(buffer, count, got);
    }

    Win32Error WriteAt(std::uint64_t offset, const void* buffer, std::uint32_t count,
                       std::uint32_t* written) override {
        std::lock_guard<std::recursive_mutex> guard(owner_.lock_);
        *written = 0;
        if (owner_.stopped_) return kStoppedError;
        if (!Writes(handle_.access)) return win32::kAccessDenied;
        if (count == 0) return win32::kSuccess;
        position_ = offset;
        return Write(buffer, count, written);
    }

    Win32Error SetEndOfFile() override {
        std::lock_guard<std::recursive_mutex> guard(owner_.lock_);
        if (owner_.stopped_) return kStoppedError;
        if (!Writes(handle_.access)) return win32::kAccessDenied;
        PendingChange change;
        change.kind = PendingChange::Kind::kSetEnd;
        change.offset = position_;
        Apply(node_->current, change);
        if (owner_.writeThrough_) {
            node_->headerLast = false;
        } else {
            node_->pending.push_back(std::move(change));
        }
        return win32::kSuccess;
    }

    Win32Error Flush() override {
        FlushObserver observer;
        std::vector<std::uint8_t> durable;
        bool header = false;
        std::string path;
        {
            std::lock_guard<std::recursive_mutex> guard(owner_.lock_);
            if (owner_.stopped_) return kStoppedError;
            if (!Writes(handle_.access)) return win32::kAccessDenied;
            if (owner_.ignoreFlushes_) return win32::kSuccess;
            if (owner_.writeThrough_) {
                header = node_->headerLast;
                node_->headerLast = false;
            } else {
                if (!node_->pending.empty()) {
                    const PendingChange& c = node_->pending.back();
                    header =
                        c.kind == PendingChange::Kind::kWrite && c.offset == 0 && !c.bytes.empty();
                }
                node_->durable = node_->current;
                node_->pending.clear();
            }
            ++owner_.flushes_;
            observer = owner_.observer_;
            if (observer) {
                durable = node_->current;
                for (const auto& [p, n] : owner_.files_) {
                    if (n == node_) path = p;
                }
            }
        }
        if (observer) observer(path, durable, header);
        return win32::kSuccess;
    }

    Win32Error SetLastWriteTime(const FileTime& time) override {
        std::lock_guard<std::recursive_mutex> guard(owner_.lock_);
        if (owner_.stopped_) return kStoppedError;
        if (!Writes(handle_.access)) return win32::kAccessDenied;
        node_->lastWrite = time;
        return win32::kSuccess;
    }

    Win32Error LockRange(std::uint64_t offset, std::uint64_t length) override {
        std::lock_guard<std::recursive_mutex> guard(owner_.lock_);
        if (owner_.stopped_) return kStoppedError;
        for (const auto& l : node_->locks) {
            if (Overlaps(l.offset, l.length, offset, length)) return win32::kLockViolation;
        }
        node_->locks.push_back({&handle_, offset, length});
        return win32::kSuccess;
    }

    Win32Error UnlockRange(std::uint64_t offset, std::uint64_t length) override {
        std::lock_guard<std::recursive_mutex> guard(owner_.lock_);
        if (owner_.stopped_) return kStoppedError;
        auto& ls = node_->locks;
        for (auto it = ls.begin(); it != ls.end(); ++it) {
            if (it->owner == &handle_ && it->offset == offset && it->length == length) {
                ls.erase(it);
                return win32::kSuccess;
            }
        }
        return win32::kLockViolation;  // ERROR_NOT_LOCKED is 158; no such range
    }

  private:
    PowerLossPlatform& owner_;
    std::shared_ptr<Node> node_;
    OpenHandle handle_;
    std::uint64_t position_ = 0;
};

PowerLossPlatform::PowerLossPlatform(Platform& inner, std::string root)
    : inner_(inner), root_(std::move(root)) {
    // A root given in another system's form ("C:\Temp\x") becomes a path of
    // this disk ("/C:/Temp/x"): only its uniqueness matters.
    std::replace(root_.begin(), root_.end(), '\\', '/');
    if (root_.empty() || root_[0] != '/') root_ = "/" + root_;
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
    root_ = Normalize(root_);
    folders_.push_back(root_);
}

PowerLossPlatform::~PowerLossPlatform() = default;

std::string PowerLossPlatform::Normalize(const std::string& path) const {
    // Most paths are already full and plain: no empty, "." or ".." part and no
    // trailing separator. They are their own normal form.
    bool plain = path.size() > 1 && path[0] == '/' && path.back() != '/';
    for (std::size_t i = 0; plain && i < path.size(); ++i) {
        if (path[i] != '/') continue;
        const std::size_t next = path.find('/', i + 1);
        const std::size_t len = (next == std::string::npos ? path.size() : next) - i - 1;
        const char* part = path.c_str() + i + 1;
        if (len == 0 || (len == 1 && part[0] == '.') ||
            (len == 2 && part[0] == '.' && part[1] == '.')) {
            plain = false;
        }
    }
    if (plain) return path;
    std::string full = (!path.empty() && path[0] == '/') ? path : root_ + "/" + path;
    std::vector<std::string> parts;
    std::size_t i = 0;
    while (i <= full.size()) {
        std::size_t j = full.find('/', i);
        if (j == std::string::npos) j = full.size();
        std::string part = full.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string out;
    for (const auto& p : parts) out += "/" + p;
    return out.empty() ? "/" : out;
}

std::string PowerLossPlatform::FolderOf(const std::string& fullPath) const {
    const std::size_t slash = fullPath.rfind('/');
    if (slash == 0 || slash == std::string::npos) return "/";
    return fullPath.substr(0, slash);
}

bool PowerLossPlatform::FolderExists(const std::string& fullPath) const {
    return std::find(folders_.begin(), folders_.end(), fullPath) != folders_.end();
}

bool PowerLossPlatform::IsOpen(const Node& node) const {
    return !node.handles.empty();
}

std::uint64_t PowerLossPlatform::CountWrite() {
    ++writes_;
    if (stopAfter_ != 0 && writes_ >= stopAfter_) stopped_ = true;
    return writes_;
}

namespace {

// The memory of removed files kept for new ones: files smaller than this come
// cheaply from the allocator anyway, and a few are enough for the files one
// run makes (its input, a copy, a temporary file, a backup).
constexpr std::size_t kRecycledBytes = 64 * 1024;
constexpr std::size_t kSpareFiles = 4;

}  // namespace

std::shared_ptr<PowerLossPlatform::Node> PowerLossPlatform::NewNode() {
    auto node = std::make_shared<Node>();
    if (!spare_.empty()) {
        node->current = std::move(spare_.back());
        spare_.pop_back();
        node->current.clear();
    }
    return node;
}

void PowerLossPlatform::Recycle(std::shared_ptr<Node>& node) {
    if (node.use_count() != 1 || node->current.capacity() < kRecycledBytes) return;
    if (spare_.size() < kSpareFiles) {
        spare_.push_back(std::move(node->current));
        return;
    }
    // Keep the largest ones.
    auto smallest =
        std::min_element(spare_.begin(), spare_.end(),
                         [](const auto& a, const auto& b) { return a.capacity() < b.capacity(); });
    if (smallest->capacity() < node->current.capacity()) *smallest = std::move(node->current);
}

void PowerLossPlatform::Clear() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    for (auto& [path, node] : files_) Recycle(node);
    files_.clear();
    folders_.assign(1, root_);
    writes_ = 0;
    flushes_ = 0;
    stopAfter_ = 0;
    moves_ = 0;
    stopAfterMove_ = 0;
    stopped_ = false;
    ignoreFlushes_ = false;
    tempCounter_ = 0;
    observer_ = nullptr;
}

void PowerLossPlatform::AddFolder(const std::string& path) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    const std::string full = Normalize(path);
    if (!FolderExists(full)) folders_.push_back(full);
}

void PowerLossPlatform::PutFile(const std::string& path, std::vector<std::uint8_t> bytes) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto node = NewNode();
    if (!writeThrough_) node->durable = bytes;
    if (node->current.capacity() >= bytes.size()) {
        node->current.assign(bytes.begin(), bytes.end());
    } else {
        node->current = std::move(bytes);
    }
    auto& slot = files_[Normalize(path)];
    if (slot) Recycle(slot);
    slot = node;
}

void PowerLossPlatform::PutImage(const DiskImage& image) {
    for (const auto& [path, bytes] : image) PutFile(path, bytes);
}

std::optional<std::vector<std::uint8_t>> PowerLossPlatform::CurrentBytes(
    const std::string& path) const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto it = files_.find(Normalize(path));
    if (it == files_.end()) return std::nullopt;
    return it->second->current;
}

std::optional<std::vector<std::uint8_t>> PowerLossPlatform::DurableBytes(
    const std::string& path) const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto it = files_.find(Normalize(path));
    if (it == files_.end()) return std::nullopt;
    return writeThrough_ ? it->second->current : it->second->durable;
}

std::vector<PendingChange> PowerLossPlatform::Pending(const std::string& path) const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto it = files_.find(Normalize(path));
    if (it == files_.end()) return {};
    return it->second->pending;
}

std::vector<std::string> PowerLossPlatform::Paths() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    std::vector<std::string> out;
    for (const auto& [p, n] : files_) out.push_back(p);
    return out;
}

void PowerLossPlatform::StopAfterWrite(std::uint64_t writeNumber) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    stopAfter_ = writeNumber;
    if (writeNumber != 0 && writes_ >= writeNumber) stopped_ = true;
}

void PowerLossPlatform::SetWriteThrough(bool on) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (on == writeThrough_) return;
    // Either way every file is durable as it stands now: pending changes are
    // made durable when the mode starts, the durable image is rebuilt when it
    // ends.
    for (auto& [p, node] : files_) {
        node->pending.clear();
        node->headerLast = false;
        if (on) {
            node->durable.clear();
            node->durable.shrink_to_fit();
        } else {
            node->durable = node->current;
        }
    }
    writeThrough_ = on;
}

void PowerLossPlatform::IgnoreFlushes(bool ignore) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    ignoreFlushes_ = ignore;
}

void PowerLossPlatform::StopAfterMove(std::uint64_t moveNumber) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    stopAfterMove_ = moveNumber;
}

void PowerLossPlatform::StopNow() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    stopped_ = true;
}

bool PowerLossPlatform::Stopped() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return stopped_;
}

std::uint64_t PowerLossPlatform::WriteCount() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return writes_;
}

std::uint64_t PowerLossPlatform::FlushCount() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return flushes_;
}

DiskImage PowerLossPlatform::ImageAfterLoss(const KeepChoice& keep) const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    DiskImage image;
    for (const auto& [path, node] : files_) {
        std::vector<std::uint8_t> bytes = writeThrough_ ? node->current : node->durable;
        for (std::size_t i = 0; i < node->pending.size(); ++i) {
            if (keep(path, i)) Apply(bytes, node->pending[i]);
        }
        image[path] = std::move(bytes);
    }
    return image;
}

DiskImage PowerLossPlatform::ImageAllLost() const {
    return ImageAfterLoss([](const std::string&, std::size_t) { return false; });
}

DiskImage PowerLossPlatform::ImageAllKept() const {
    return ImageAfterLoss([](const std::string&, std::size_t) { return true; });
}

std::size_t PowerLossPlatform::PendingTotal() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    std::size_t total = 0;
    for (const auto& [p, n] : files_) total += n->pending.size();
    return total;
}

void PowerLossPlatform::SetFlushObserver(FlushObserver observer) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    observer_ = std::move(observer);
}

Win32Error PowerLossPlatform::OpenFile(const char* path, FileAccess access, FileShare share,
                                       FileDisposition disposition, std::unique_ptr<File>* file) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    file->reset();
    if (stopped_) return kStoppedError;
    const std::string full = Normalize(path);
    auto it = files_.find(full);
    if (it == files_.end()) {
        if (FolderExists(full)) return win32::kAccessDenied;
        if (disposition == FileDisposition::kOpenExisting) return win32::kFileNotFound;
        if (!FolderExists(FolderOf(full))) return win32::kPathNotFound;
        it = files_.emplace(full, NewNode()).first;
    } else {
        if (disposition == FileDisposition::kCreateNew) return win32::kFileExists;
        for (const OpenHandle* h : it->second->handles) {
            if (!AllowsRead(h->share)) return win32::kSharingViolation;
            if (Writes(access) && !AllowsWrite(h->share)) return win32::kSharingViolation;
            if (!AllowsRead(share)) return win32::kSharingViolation;
            if (Writes(h->access) && !AllowsWrite(share)) return win32::kSharingViolation;
        }
    }
    *file = std::make_unique<MemoryFile>(*this, it->second, access, share);
    return win32::kSuccess;
}

Win32Error PowerLossPlatform::GetFullPath(const char* path, char* out, std::size_t outSize) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (stopped_) return kStoppedError;
    const std::string full = Normalize(path);
    if (full.size() + 1 > outSize) return win32::kFilenameExcedRange;
    std::memcpy(out, full.c_str(), full.size() + 1);
    return win32::kSuccess;
}

Win32Error PowerLossPlatform::GetPathAttributes(const char* path, std::uint32_t* attributes) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (stopped_) return kStoppedError;
    const std::string full = Normalize(path);
    if (FolderExists(full)) {
        *attributes = kFileAttributeDirectory;
        return win32::kSuccess;
    }
    if (files_.count(full)) {
        *attributes = kFileAttributeNormal;
        return win32::kSuccess;
    }
    return FolderExists(FolderOf(full)) ? win32::kFileNotFound : win32::kPathNotFound;
}

Win32Error PowerLossPlatform::CopyFileTo(const char* source, const char* destination) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (stopped_) return kStoppedError;
    const std::string from = Normalize(source);
    const std::string to = Normalize(destination);
    auto src = files_.find(from);
    if (src == files_.end()) return win32::kFileNotFound;
    for (const OpenHandle* h : src->second->handles) {
        if (!AllowsRead(h->share)) return win32::kSharingViolation;
    }
    if (!FolderExists(FolderOf(to))) return win32::kPathNotFound;
    if (FolderExists(to)) return win32::kAccessDenied;
    // Fail-if-exists: a name that is taken is never overwritten.
    if (files_.count(to)) return win32::kFileExists;
    auto node = NewNode();
    if (!writeThrough_) node->durable = src->second->current;
    node->current = src->second->current;
    files_[to] = node;
    return win32::kSuccess;
}

Win32Error PowerLossPlatform::CopyAccess(const char* source, const char* destination) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (stopped_) return kStoppedError;
    // This disk keeps no permissions: both files must only exist.
    if (!files_.count(Normalize(source)) || !files_.count(Normalize(destination))) {
        return win32::kFileNotFound;
    }
    return win32::kSuccess;
}

Win32Error PowerLossPlatform::MoveFileTo(const char* fromPath, const char* toPath) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (stopped_) return kStoppedError;
    const std::string from = Normalize(fromPath);
    const std::string to = Normalize(toPath);
    auto src = files_.find(from);
    if (src == files_.end()) return win32::kFileNotFound;
    if (files_.count(to) || FolderExists(to)) return win32::kAlreadyExists;
    if (!FolderExists(FolderOf(to))) return win32::kPathNotFound;
    if (IsOpen(*src->second)) return win32::kSharingViolation;
    auto node = src->second;
    files_.erase(src);
    files_[to] = node;
    ++moves_;
    if (stopAfterMove_ != 0 && moves_ >= stopAfterMove_) stopped_ = true;
    return win32::kSuccess;
}

Win32Error PowerLossPlatform::RemoveFile(const char* path) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (stopped_) return kStoppedError;
    const std::string full = Normalize(path);
    auto it = files_.find(full);
    if (it == files_.end()) {
        return FolderExists(FolderOf(full)) ? win32::kFileNotFound : win32::kPathNotFound;
    }
    if (IsOpen(*it->second)) return win32::kSharingViolation;
    Recycle(it->second);
    files_.erase(it);
    return win32::kSuccess;
}

Win32Error PowerLossPlatform::MakeTempFile(const char* folder, const char* prefix, char* out) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (stopped_) return kStoppedError;
    std::string dir = (folder && *folder) ? std::string(folder) : root_ + "/";
    const std::string dirFull = Normalize(dir);
    if (!FolderExists(dirFull)) return win32::kPathNotFound;
    std::string pre(prefix ? prefix : "");
    if (pre.size() > 3) pre.resize(3);
    for (std::uint32_t tries = 0; tries < 0xffff; ++tries) {
        tempCounter_ = (tempCounter_ % 0xffff) + 1;
        char hex[8];
        std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(tempCounter_));
        std::string name = dir;
        if (!name.empty() && name.back() != '/') name += '/';
        name += pre + hex + ".TMP";
        const std::string full = Normalize(name);
        if (files_.count(full)) continue;
        if (name.size() + 1 > kMaxPath) return win32::kFilenameExcedRange;
        files_[full] = NewNode();
        std::memcpy(out, name.c_str(), name.size() + 1);
        return win32::kSuccess;
    }
    return win32::kFileExists;
}

namespace {

// A mutex of the inner platform that cannot be waited for once the machine
// has stopped.
class StoppableMutex : public NamedMutex {
  public:
    StoppableMutex(const PowerLossPlatform& owner, std::unique_ptr<NamedMutex> inner)
        : owner_(owner), inner_(std::move(inner)) {}
    WaitResult Wait(std::uint32_t timeoutMs) override {
        if (owner_.Stopped()) return WaitResult::kFailed;
        return inner_->Wait(timeoutMs);
    }
    Win32Error Release() override { return inner_->Release(); }

  private:
    const PowerLossPlatform& owner_;
    std::unique_ptr<NamedMutex> inner_;
};

}  // namespace

Win32Error PowerLossPlatform::OpenNamedMutex(const char* name, std::unique_ptr<NamedMutex>* mutex) {
    mutex->reset();
    if (Stopped()) return kStoppedError;
    std::unique_ptr<NamedMutex> inner;
    const Win32Error error = inner_.OpenNamedMutex(name, &inner);
    if (error != win32::kSuccess) return error;
    *mutex = std::make_unique<StoppableMutex>(*this, std::move(inner));
    return win32::kSuccess;
}

Win32Error PowerLossPlatform::OpenSharedBlock(const char* name, bool* existed,
                                              std::unique_ptr<SharedBlock>* block) {
    if (Stopped()) {
        block->reset();
        return kStoppedError;
    }
    return inner_.OpenSharedBlock(name, existed, block);
}

void PowerLossPlatform::SleepMs(std::uint32_t milliseconds) {
    inner_.SleepMs(milliseconds);
}
bool PowerLossPlatform::IsWindow(std::uint32_t handle) {
    return !Stopped() && inner_.IsWindow(handle);
}
Win32Error PowerLossPlatform::PostWindowMessage(std::uint32_t handle, std::uint32_t message) {
    if (Stopped()) return kStoppedError;
    return inner_.PostWindowMessage(handle, message);
}
Win32Error PowerLossPlatform::CreateWindowListener(std::unique_ptr<WindowListener>* listener) {
    if (Stopped()) return kStoppedError;
    return inner_.CreateWindowListener(listener);
}
void* PowerLossPlatform::LocalAllocZeroed(std::size_t bytes) {
    return inner_.LocalAllocZeroed(bytes);
}
void* PowerLossPlatform::LocalReAllocZeroed(void* block, std::size_t bytes) {
    return inner_.LocalReAllocZeroed(block, bytes);
}
void PowerLossPlatform::LocalFreeBlock(void* block) {
    inner_.LocalFreeBlock(block);
}
int PowerLossPlatform::AnsiToWide(const char* text, int length, char16_t* out, int outCount) {
    return inner_.AnsiToWide(text, length, out, outCount);
}
int PowerLossPlatform::WideToAnsi(const char16_t* text, int length, char* out, int outSize) {
    return inner_.WideToAnsi(text, length, out, outSize);
}
const char* PowerLossPlatform::FindLastChar(const char* text, char c) {
    return inner_.FindLastChar(text, c);
}
FileTime PowerLossPlatform::SystemTimeAsFileTime() {
    return inner_.SystemTimeAsFileTime();
}
SystemTime PowerLossPlatform::LocalTime() {
    return inner_.LocalTime();
}
std::uint32_t PowerLossPlatform::TickCount() {
    return inner_.TickCount();
}
bool PowerLossPlatform::ShowOpenFileDialog(const OpenFileDialog& dialog, char* path) {
    return inner_.ShowOpenFileDialog(dialog, path);
}
MessageAnswer PowerLossPlatform::ShowMessageBox(const char* text, const char* caption,
                                                MessageButtons buttons, MessageIcon icon) {
    return inner_.ShowMessageBox(text, caption, buttons, icon);
}

}  // namespace quillet::testing
