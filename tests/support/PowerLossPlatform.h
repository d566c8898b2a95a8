#pragma once
// PowerLossPlatform: a Platform whose files live in memory and model a disk
// with a write cache, so that a test can stop the machine at any write and look
// at what would be on the disk afterwards.
//
// The model:
// - Every file has a durable image (what the disk surely holds) and the list of
//   changes made since its last successful Flush: writes and end-of-file
//   changes, in call order. Reads see the durable image with every pending
//   change applied, as a running program would.
// - Flush makes every pending change of that file durable.
// - After a power loss each pending change may be lost or kept, in any
//   combination; the kept ones are applied to the durable image in their
//   original order. One write call is the unit of loss: a write is never torn.
// - Creating, copying, renaming and deleting files are durable at the call
//   (a copy's destination holds the source's current bytes, flushed). This is
//   the assumption that the rename-based flows rely on; the engine's own
//   guarantees are about the order of writes and flushes within one file.
// - `StopAfterWrite(n)` stops the machine once the n-th write call (counted
//   over all files, from 1) has completed: from then on every call that
//   reaches the system fails, as if the power had gone.
//
// Paths are plain strings with '/' as the separator. A relative path is taken
// relative to the root folder given at construction, which also keeps the
// names of the mutexes derived from full paths unique per test. Files can be
// created only in known folders: the root and those added with `AddFolder`.
// Share modes, moves and deletions of open files follow the Win32 rules
// (a file that is open cannot be moved or deleted).
//
// Everything that is not a file operation (mutexes, shared blocks, windows,
// memory, text, time, user interface) is passed to the inner platform.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace quillet::testing {

// One change of a file that has not been flushed yet.
struct PendingChange {
    enum class Kind { kWrite, kSetEnd };
    Kind kind = Kind::kWrite;
    std::uint64_t offset = 0;         // write position, or the new end of file
    std::vector<std::uint8_t> bytes;  // the written bytes (kWrite only)
    std::uint64_t writeIndex = 0;     // global number of the write call (kWrite only)
};

// A file image: path to bytes.
using DiskImage = std::map<std::string, std::vector<std::uint8_t>>;

class PowerLossPlatform : public Platform {
  public:
    // `root` is the folder that relative paths are taken from; it exists.
    PowerLossPlatform(Platform& inner, std::string root);
    ~PowerLossPlatform() override;

    // ---- Test control ----

    // Adds a folder in which files can be created.
    void AddFolder(const std::string& path);
    // Puts a file on the disk, durable, replacing any file of that name.
    void PutFile(const std::string& path, std::vector<std::uint8_t> bytes);
    // Loads every file of an image, durable.
    void PutImage(const DiskImage& image);
    // What a running program reads from the file now, or nothing.
    std::optional<std::vector<std::uint8_t>> CurrentBytes(const std::string& path) const;
    // What the disk surely holds for the file, or nothing.
    std::optional<std::vector<std::uint8_t>> DurableBytes(const std::string& path) const;
    // The changes of the file not yet flushed.
    std::vector<PendingChange> Pending(const std::string& path) const;
    // Full paths of all files, sorted.
    std::vector<std::string> Paths() const;

    // Stops the machine after the write with this number completes (0: never).
    void StopAfterWrite(std::uint64_t writeNumber);
    // Stops the machine after the rename with this number (counted from 1 over
    // all MoveFileTo calls that succeeded) is done (0: never).
    void StopAfterMove(std::uint64_t moveNumber);
    // Stops the machine now.
    void StopNow();
    bool Stopped() const;
    // Write-through mode (off by default): a disk without a write cache, for
    // runs that need files in memory but no power-loss model (the fuzzing
    // harnesses). Every write is durable as it completes: no pending changes
    // are kept, `DurableBytes` equals `CurrentBytes`, a loss loses nothing and
    // a flush copies nothing. Switching either way leaves every file durable
    // as it stands. Writes and flushes are counted, stops and the flush
    // observer work as in the default mode.
    void SetWriteThrough(bool on);
    // A disk that lies about flushing: Flush succeeds but makes nothing
    // durable. For showing that the power-loss checks see a broken order.
    void IgnoreFlushes(bool ignore);
    // Makes this a new disk again: every file and every folder but the root
    // gone, counters, stops, flush settings and temporary names as after
    // construction (the write-through mode stays). The memory of the larger
    // files is kept for the files made next, so that a disk reused for many
    // short runs (a fuzzing harness) does not grow every file from nothing
    // again. No file may be open.
    void Clear();
    // Write calls that succeeded so far, over all files.
    std::uint64_t WriteCount() const;
    // Flush calls that succeeded so far, over all files.
    std::uint64_t FlushCount() const;

    // The disk after a power loss: every file's durable image with the pending
    // changes that `keep` accepts applied in order. `keep` receives the file's
    // full path and the change's position in its pending list.
    using KeepChoice = std::function<bool(const std::string& path, std::size_t index)>;
    DiskImage ImageAfterLoss(const KeepChoice& keep) const;
    // The two extremes.
    DiskImage ImageAllLost() const;
    DiskImage ImageAllKept() const;
    // The total number of pending changes over all files.
    std::size_t PendingTotal() const;

    // Called after every successful Flush with the file's full path, its
    // durable bytes, and whether the last change this flush made durable was a
    // write at offset 0: a header write followed by a flush, which is how a
    // commit ends (a new file's first header write is followed by its root
    // block before the first flush, and so is not taken for a commit).
    using FlushObserver = std::function<void(
        const std::string& path, const std::vector<std::uint8_t>& durable, bool headerWritten)>;
    void SetFlushObserver(FlushObserver observer);

    Platform& inner() const { return inner_; }

    // ---- Platform: files (modelled here) ----
    Win32Error OpenFile(const char* path, FileAccess access, FileShare share,
                        FileDisposition disposition, std::unique_ptr<File>* file) override;
    Win32Error GetFullPath(const char* path, char* out, std::size_t outSize) override;
    Win32Error GetPathAttributes(const char* path, std::uint32_t* attributes) override;
    Win32Error CopyFileTo(const char* source, const char* destination) override;
    Win32Error CopyAccess(const char* source, const char* destination) override;
    Win32Error MoveFileTo(const char* from, const char* to) override;
    Win32Error RemoveFile(const char* path) override;
    Win32Error MakeTempFile(const char* folder, const char* prefix, char* out) override;
    char Separator() const override { return '/'; }

    // ---- Platform: everything else (passed to the inner platform) ----
    Win32Error OpenNamedMutex(const char* name, std::unique_ptr<NamedMutex>* mutex) override;
    Win32Error OpenSharedBlock(const char* name, bool* existed,
                               std::unique_ptr<SharedBlock>* block) override;
    void SleepMs(std::uint32_t milliseconds) override;
    bool IsWindow(std::uint32_t handle) override;
    Win32Error PostWindowMessage(std::uint32_t handle, std::uint32_t message) override;
    Win32Error CreateWindowListener(std::unique_ptr<WindowListener>* listener) override;
    void* LocalAllocZeroed(std::size_t bytes) override;
    void* LocalReAllocZeroed(void* block, std::size_t bytes) override;
    void LocalFreeBlock(void* block) override;
    int AnsiToWide(const char* text, int length, char16_t* out, int outCount) override;
    int WideToAnsi(const char16_t* text, int length, char* out, int outSize) override;
    const char* FindLastChar(const char* text, char c) override;
    FileTime SystemTimeAsFileTime() override;
    SystemTime LocalTime() override;
    std::uint32_t TickCount() override;
    bool ShowOpenFileDialog(const OpenFileDialog& dialog, char* path) override;
    MessageAnswer ShowMessageBox(const char* text, const char* caption, MessageButtons buttons,
                                 MessageIcon icon) override;

    // The error every call returns once the machine has stopped.
    static constexpr Win32Error kStoppedError = win32::kGenFailure;

    struct Node;
    struct OpenHandle;

  private:
    class MemoryFile;
    friend class MemoryFile;

    std::string Normalize(const std::string& path) const;
    std::string FolderOf(const std::string& fullPath) const;
    bool FolderExists(const std::string& fullPath) const;
    bool IsOpen(const Node& node) const;
    // Counts a completed write and stops the machine when it was the chosen one.
    std::uint64_t CountWrite();
    // A node for a new file: its bytes reuse the memory of a removed file when
    // there is some.
    std::shared_ptr<Node> NewNode();
    // Keeps the memory of a file that goes away (only a large one, and only
    // when nothing else holds its node).
    void Recycle(std::shared_ptr<Node>& node);

    Platform& inner_;
    std::string root_;
    mutable std::recursive_mutex lock_;
    std::map<std::string, std::shared_ptr<Node>> files_;
    std::vector<std::string> folders_;
    std::uint64_t writes_ = 0;
    std::uint64_t flushes_ = 0;
    std::uint64_t stopAfter_ = 0;
    std::uint64_t moves_ = 0;
    std::uint64_t stopAfterMove_ = 0;
    bool stopped_ = false;
    bool ignoreFlushes_ = false;
    bool writeThrough_ = false;
    std::uint32_t tempCounter_ = 0;
    FlushObserver observer_;
    std::vector<std::vector<std::uint8_t>> spare_;  // empty, with their capacity
};

}  // namespace quillet::testing
