#pragma once
// The program's only door to the operating system.
//
// Every system call the program makes goes through `Platform`: files, the
// named mutex, byte-range locks, the named shared block, window liveness and
// posted messages, paths, text conversion, time, local memory and the user
// interface. The interface follows the Win32 calls' semantics (share modes,
// recursive named mutexes, Win32 error numbers); `PosixPlatform` provides them
// on Linux and `Win32Platform` passes straight through to the real calls.
//
// Nothing outside platform/ includes a system header. Tests substitute their own
// `Platform` (or wrap one) to inject failures at chosen calls.
//
// Conventions for every call below:
// - A `Win32Error` result of 0 (win32::kSuccess) means success; anything else is
//   the Win32 error number of the failure (errno values are mapped on Linux).
// - Out-parameters are written on success only, unless a contract says otherwise.
// - No call throws, and no call keeps a pointer to a caller's buffer after it
//   returns.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/ResultCode.h"

namespace quillet {

// Maximum length of a path buffer, terminating zero included (MAX_PATH).
constexpr std::size_t kMaxPath = 260;

// 100-nanosecond intervals since 1601-01-01 UTC (FILETIME).
struct FileTime {
    std::uint32_t low = 0;
    std::uint32_t high = 0;
};

// A broken-down calendar time (SYSTEMTIME).
struct SystemTime {
    std::uint16_t year = 0;
    std::uint16_t month = 0;  // 1..12
    std::uint16_t dayOfWeek = 0;
    std::uint16_t day = 0;  // 1..31
    std::uint16_t hour = 0;
    std::uint16_t minute = 0;
    std::uint16_t second = 0;
    std::uint16_t milliseconds = 0;
};

// Access rights of an open file (GENERIC_READ, GENERIC_READ | GENERIC_WRITE).
enum class FileAccess { kRead, kReadWrite };

// What other openers may do while this handle is open (FILE_SHARE_*).
enum class FileShare { kNone, kRead, kReadWrite };

// CREATE disposition: OPEN_ALWAYS opens or creates, OPEN_EXISTING only opens,
// CREATE_NEW only creates: it fails with win32::kFileExists when anything of
// that name exists, a symlink included (which is never followed).
enum class FileDisposition { kOpenAlways, kOpenExisting, kCreateNew };

// An open file handle (CreateFileA). Destruction closes the handle
// (CloseHandle) and releases any byte-range lock it still holds.
class File {
  public:
    virtual ~File() = default;

    // SetFilePointer from the beginning of the file. On success *reached is the
    // position the pointer now stands at (it may be beyond the end of the file).
    // On failure the position is unchanged and *reached is not written.
    virtual Win32Error Seek(std::uint64_t offset, std::uint64_t* reached) = 0;

    // ReadFile of up to `count` bytes at the current position, which advances by
    // the bytes read. *got receives the count read, which is short (possibly 0)
    // at the end of the file; a short count is not an error. On failure *got is 0.
    virtual Win32Error Read(void* buffer, std::uint32_t count, std::uint32_t* got) = 0;

    // WriteFile of `count` bytes at the current position, which advances by the
    // bytes written; the file grows as needed. *written receives the count
    // written; a failure may leave a short count written.
    virtual Win32Error Write(const void* buffer, std::uint32_t count, std::uint32_t* written) = 0;

    // ReadFile with an OVERLAPPED offset: as Seek(offset) then Read in one
    // call, except that the file position afterwards is unspecified (a caller
    // that then reads, writes or sets the end at the current position seeks
    // first). win32::kNotSupported, with *got 0 and nothing done, where the
    // file offers no positioned reads: the caller then seeks and reads.
    virtual Win32Error ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count,
                              std::uint32_t* got) {
        (void)offset;
        (void)buffer;
        (void)count;
        *got = 0;
        return win32::kNotSupported;
    }

    // WriteFile with an OVERLAPPED offset: as Seek(offset) then Write in one
    // call, the file position afterwards unspecified; win32::kNotSupported,
    // with *written 0 and nothing done, where the file offers no positioned
    // writes.
    virtual Win32Error WriteAt(std::uint64_t offset, const void* buffer, std::uint32_t count,
                               std::uint32_t* written) {
        (void)offset;
        (void)buffer;
        (void)count;
        *written = 0;
        return win32::kNotSupported;
    }

    // SetEndOfFile: the file ends at the current position (shortened or grown).
    virtual Win32Error SetEndOfFile() = 0;

    // FlushFileBuffers: every byte written so far reaches the disk before this
    // returns success.
    virtual Win32Error Flush() = 0;

    // Asks the system to start writing the bytes written to [offset, offset +
    // length) towards the disk now, without waiting for them, so that a later
    // Flush finds less left to do. It makes nothing durable (only Flush does),
    // changes nothing a read returns, and never moves the file position. Where
    // the system has no such request (Win32, POSIX systems other than Linux)
    // it does nothing and returns success; a failure only means that the bytes
    // wait for Flush as they would have anyway.
    virtual Win32Error StartWriteBack(std::uint64_t offset, std::uint64_t length) {
        (void)offset;
        (void)length;
        return win32::kSuccess;
    }

    // SetFileTime with only the last-write time given; creation and access
    // times are left as they are.
    virtual Win32Error SetLastWriteTime(const FileTime& time) = 0;

    // LockFile: an exclusive lock of [offset, offset + length) that never
    // waits. It fails with win32::kLockViolation while any other handle, in
    // this process or another, holds a lock overlapping the range.
    virtual Win32Error LockRange(std::uint64_t offset, std::uint64_t length) = 0;

    // UnlockFile of a range locked before through this handle.
    virtual Win32Error UnlockRange(std::uint64_t offset, std::uint64_t length) = 0;
};

// What WaitForSingleObject reports for a mutex.
enum class WaitResult {
    kAcquired,   // WAIT_OBJECT_0: the calling thread owns the mutex
    kAbandoned,  // WAIT_ABANDONED: owned now; the previous owner ended without releasing
    kTimeout,    // WAIT_TIMEOUT: not owned
    kFailed,     // WAIT_FAILED: not owned
};

// A handle to a named mutex (CreateMutexA). Ownership belongs to a thread: the
// owning thread may wait again without blocking (each wait must be matched by a
// release); other threads and processes wait. When the owner ends (thread or
// process) without releasing, the next waiter acquires it as abandoned.
// Destruction closes the handle; it does not release a held mutex on Win32, but
// a mutex that no handle names any more is gone.
class NamedMutex {
  public:
    virtual ~NamedMutex() = default;

    // WaitForSingleObject with a timeout in milliseconds. Never blocks longer
    // than the timeout (plus scheduling delay).
    virtual WaitResult Wait(std::uint32_t timeoutMs) = 0;

    // ReleaseMutex: gives up one level of ownership. Fails (win32 error 288,
    // ERROR_NOT_OWNER) when the calling thread does not own it.
    virtual Win32Error Release() = 0;
};

// A named, 512-byte block of memory shared by every opener of the same name
// (CreateFileMappingA on the paging file plus MapViewOfFile). It exists while
// any handle to it is open; the next creator after the last closer starts from
// zeros. Destruction unmaps and closes it.
class SharedBlock {
  public:
    static constexpr std::size_t kSize = 512;
    virtual ~SharedBlock() = default;
    // The 512 bytes, valid until destruction. Other processes may change them
    // at any time.
    virtual std::uint8_t* Data() = 0;
};

// A window stand-in on platforms without windows: a listener that receives the
// message numbers posted to its handle. Destruction unregisters it, after which
// `IsWindow` of its handle is false.
class WindowListener {
  public:
    virtual ~WindowListener() = default;
    // The 32-bit handle under which the listener is registered (never 0).
    virtual std::uint32_t Handle() const = 0;
    // Takes the next message number posted to this listener, waiting at most
    // `timeoutMs`. Returns false when none arrived in time.
    virtual bool Receive(std::uint32_t timeoutMs, std::uint32_t* message) = 0;
};

// Buttons and icon of a message box (MB_OK, MB_OKCANCEL, MB_ICONERROR).
enum class MessageButtons { kOk, kOkCancel };
enum class MessageIcon { kNone, kError };
// What the user pressed (IDOK, IDCANCEL).
enum class MessageAnswer { kOk, kCancel };

// Settings of the open-file dialog (GetOpenFileNameA with OPENFILENAMEA).
struct OpenFileDialog {
    void* instance = nullptr;             // hInstance
    const char* filterName = nullptr;     // "Quillet Files (*.qdx)"
    const char* filterPattern = nullptr;  // "*.qdx"
    std::uint32_t filterIndex = 1;
    const char* initialFolder = nullptr;     // lpstrInitialDir; empty means the current folder
    const char* title = nullptr;             // lpstrTitle
    std::uint32_t flags = 0;                 // OFN_* flags (0x804: path must exist, hide read-only)
    const char* defaultExtension = nullptr;  // "qdx", without the dot
};

// File attributes as GetFileAttributesA reports them.
constexpr std::uint32_t kFileAttributeReadOnly = 0x01;
constexpr std::uint32_t kFileAttributeDirectory = 0x10;
constexpr std::uint32_t kFileAttributeNormal = 0x80;
constexpr std::uint32_t kFileAttributeReparsePoint = 0x400;

class Platform {
  public:
    virtual ~Platform() = default;

    // The platform of this build: POSIX on Linux, Win32 on Windows. It lives
    // for the whole process.
    static Platform& Default();

    // ---- Files ----

    // CreateFileA with FILE_FLAG_RANDOM_ACCESS and no security attributes.
    // Opens (or, with kOpenAlways, creates) `path`. Fails with
    // win32::kSharingViolation when the requested access conflicts with the
    // share mode of a handle already open on the same file, or the requested
    // share mode excludes the access of such a handle, whether that handle is
    // in this process or another. kOpenExisting on a missing file fails with
    // win32::kFileNotFound. A file this call creates is private to the user
    // (mode 0600 on POSIX; on Win32 the folder's inherited security). kOpenAlways
    // never creates a file through a symlink that points nowhere: it fails
    // with win32::kFileExists instead. On failure *file is left empty.
    virtual Win32Error OpenFile(const char* path, FileAccess access, FileShare share,
                                FileDisposition disposition, std::unique_ptr<File>* file) = 0;

    // GetFullPathNameA: the absolute form of `path` (relative to the current
    // folder, "." and ".." folded) into `out`, which holds `outSize` bytes.
    // A result that does not fit, terminator included, fails with
    // win32::kFilenameExcedRange rather than being cut. The file need not exist.
    virtual Win32Error GetFullPath(const char* path, char* out, std::size_t outSize) = 0;

    // GetFileAttributesA: the attributes of an existing file or folder. Fails
    // (win32::kFileNotFound or kPathNotFound) only when nothing of any kind
    // stands at that name. A symlink reports kFileAttributeReparsePoint: with
    // kFileAttributeNormal when it points nowhere, else with the attributes of
    // the file or folder it points to.
    virtual Win32Error GetPathAttributes(const char* path, std::uint32_t* attributes) = 0;

    // CopyFileA with fail-if-exists true: the destination is created new with
    // the bytes of the source and the source's last-write time. Fails with
    // win32::kFileExists (or kAlreadyExists) when anything of the destination's
    // name exists, a symlink included, which is never followed. On POSIX the
    // copy is created private (0600) and given the source's permission bits and,
    // where allowed, its group (without the group's bits when the group could
    // not be given) once its bytes are written. A failure leaves nothing at the
    // destination that this call created; the source is never changed.
    virtual Win32Error CopyFileTo(const char* source, const char* destination) = 0;

    // Gives the file `destination`, which this process created, the access of
    // the file `source`: on POSIX its permission bits and, where allowed, its
    // group (without the group's bits when the group could not be given); a
    // symlink at `destination` is not followed but refused
    // (win32::kAccessDenied). On Win32 it does nothing and succeeds: a new file
    // takes the folder's inherited security, and renames keep it.
    virtual Win32Error CopyAccess(const char* source, const char* destination) = 0;

    // MoveFileA: renames `from` to `to`. Never replaces an existing file: fails
    // with win32::kAlreadyExists (or kFileExists) when `to` exists, and then
    // both files are as they were. Fails with win32::kSharingViolation while
    // any handle (of any process of the user) is open on `from`.
    virtual Win32Error MoveFileTo(const char* from, const char* to) = 0;

    // DeleteFileA. Fails with win32::kSharingViolation while any handle is
    // open on the file; a symlink is removed, never what it points to.
    virtual Win32Error RemoveFile(const char* path) = 0;

    // GetTempFileNameA with unique number 0: finds a name "<folder><prefix>XXXX.TMP"
    // (XXXX one to four hexadecimal digits: the system writes no leading zeros,
    // POSIX always writes four) in `folder` (which ends with a separator, or is empty
    // for the current folder) that did not exist, creates that empty file and
    // writes its name to `out` (kMaxPath bytes). Only the first three bytes of
    // `prefix` are used. The file is created new, never through a symlink. On
    // POSIX the name stays reserved for the life of this Platform object, and
    // files of that prefix in `folder` that an earlier run of the same user
    // left behind (killed before it could remove them) are removed first:
    // regular files owned by the user that no live process has reserved and no
    // handle has open.
    virtual Win32Error MakeTempFile(const char* folder, const char* prefix, char* out) = 0;

    // The path separator of this platform: '\\' on Win32, '/' on POSIX.
    virtual char Separator() const = 0;

    // ---- Synchronisation and sharing ----

    // CreateMutexA, not initially owned: opens the mutex of that name, creating
    // it when no one has it open. Names of any length and any bytes are
    // accepted. On failure *mutex is left empty.
    virtual Win32Error OpenNamedMutex(const char* name, std::unique_ptr<NamedMutex>* mutex) = 0;

    // CreateFileMappingA of a 512-byte read/write block backed by the paging
    // file, plus MapViewOfFile of all of it. *existed is true when the name was
    // already open somewhere (ERROR_ALREADY_EXISTS); a new block is all zeros.
    virtual Win32Error OpenSharedBlock(const char* name, bool* existed,
                                       std::unique_ptr<SharedBlock>* block) = 0;

    // Sleep.
    virtual void SleepMs(std::uint32_t milliseconds) = 0;

    // ---- Windows and messages ----

    // IsWindow: whether a window (on POSIX: a listener) with this handle exists.
    virtual bool IsWindow(std::uint32_t handle) = 0;

    // PostMessageA(handle, message, 0, 0): queues the message and returns
    // without waiting for it to be handled. Fails with
    // win32::kInvalidWindowHandle when no such window exists.
    virtual Win32Error PostWindowMessage(std::uint32_t handle, std::uint32_t message) = 0;

    // Registers a listener that other processes can see with IsWindow and post
    // to. On Win32 this creates a hidden message-only window.
    virtual Win32Error CreateWindowListener(std::unique_ptr<WindowListener>* listener) = 0;

    // ---- Memory (LocalAlloc family) ----

    // LocalAlloc(LMEM_ZEROINIT): `bytes` zero bytes, or null.
    virtual void* LocalAllocZeroed(std::size_t bytes) = 0;
    // LocalReAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT): the block enlarged or shrunk
    // to `bytes`, contents kept, new bytes zero; it may move. Null on failure,
    // and then the old block is unchanged and still owned by the caller.
    virtual void* LocalReAllocZeroed(void* block, std::size_t bytes) = 0;
    // LocalFree; null is accepted.
    virtual void LocalFreeBlock(void* block) = 0;
    // Asks the system to give the `bytes` at `block` (memory this process
    // owns, such as a large buffer just allocated) their pages now, in one
    // request, instead of one page fault at a time as they are first touched.
    // Only whole pages inside the range are asked for. It changes no byte and
    // never fails the caller: where the system has no such request (Win32,
    // POSIX systems other than Linux 5.14 and later) or refuses it, the pages
    // come on first touch as ever.
    virtual void PrepareMemory(void* block, std::size_t bytes) {
        (void)block;
        (void)bytes;
    }

    // ---- Text ----

    // MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED): converts `length` bytes of
    // `text` (-1: up to and including its terminating zero) into UTF-16 code
    // units. With outCount 0 it only counts. Returns the units written (or
    // needed), 0 on failure (invalid input or too small an output).
    virtual int AnsiToWide(const char* text, int length, char16_t* out, int outCount) = 0;

    // WideCharToMultiByte(CP_ACP, 0): the reverse; with outSize 0 it only
    // counts. Returns the bytes written (or needed), 0 on failure. Units that
    // the code page cannot represent become '?'.
    virtual int WideToAnsi(const char16_t* text, int length, char* out, int outSize) = 0;

    // The last occurrence of `c` (an ASCII byte) in the zero-terminated `text`,
    // searching as a multi-byte string of the ANSI code page (a trail byte that
    // happens to equal `c` is not taken), or null.
    virtual const char* FindLastChar(const char* text, char c) = 0;

    // ---- Time ----

    // GetSystemTime plus SystemTimeToFileTime: the current UTC time.
    virtual FileTime SystemTimeAsFileTime() = 0;
    // GetLocalTime.
    virtual SystemTime LocalTime() = 0;
    // GetTickCount: milliseconds since an arbitrary start, wrapping at 2^32.
    virtual std::uint32_t TickCount() = 0;
    // CompareFileTime: -1, 0 or 1.
    static int CompareFileTime(const FileTime& a, const FileTime& b);

    // ---- User interface ----

    // GetOpenFileNameA. `path` is the kMaxPath-byte file buffer: on entry the
    // file name offered in the dialog, on success the chosen path. Returns
    // false when the user cancelled or the dialog failed.
    virtual bool ShowOpenFileDialog(const OpenFileDialog& dialog, char* path) = 0;

    // MessageBoxA with no owner window. A null caption means the system's
    // default caption ("Error").
    virtual MessageAnswer ShowMessageBox(const char* text, const char* caption,
                                         MessageButtons buttons, MessageIcon icon) = 0;
};

}  // namespace quillet
