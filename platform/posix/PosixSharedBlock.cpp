// Named shared blocks: 512 bytes that every opener of a name sees.
//
// The block is the first 512 bytes of the name's lock file (LockFile.h), mapped
// MAP_SHARED; every handle holds a shared lock on the file's user byte. Like a
// Win32 mapping, the block lives while a handle is open: the last closer
// removes the file, and a file whose users are all gone (they died) is found
// unused by the next opener and starts from zeros again.

#include <sys/mman.h>

#include "platform/posix/LockFile.h"
#include "platform/posix/PosixErrors.h"
#include "platform/posix/PosixPlatform.h"
#include "platform/posix/RuntimeFolder.h"

namespace quillet {

namespace {

class PosixSharedBlock final : public SharedBlock {
  public:
    PosixSharedBlock(posix::LockFile file, std::uint8_t* data)
        : file_(std::move(file)), data_(data) {}
    ~PosixSharedBlock() override {
        ::munmap(data_, kSize);
        file_.Close();
    }
    PosixSharedBlock(const PosixSharedBlock&) = delete;
    PosixSharedBlock& operator=(const PosixSharedBlock&) = delete;

    std::uint8_t* Data() override { return data_; }

  private:
    posix::LockFile file_;
    std::uint8_t* data_;
};

}  // namespace

Win32Error PosixPlatform::OpenSharedBlock(const char* name, bool* existed,
                                          std::unique_ptr<SharedBlock>* block) {
    if (name == nullptr || existed == nullptr) return win32::kInvalidParameter;
    int dirfd = -1;
    Win32Error error = posix::ProcessRuntimeFolder(&dirfd, nullptr);
    if (error != win32::kSuccess) return error;
    const std::string key(name);
    posix::LockFile file;
    bool joined = false;
    error = posix::OpenNamedObject(dirfd, posix::NamedObjectBaseName('s', key), key,
                                   static_cast<off_t>(SharedBlock::kSize), &file, &joined);
    if (error != win32::kSuccess) return error;
    void* data =
        ::mmap(nullptr, SharedBlock::kSize, PROT_READ | PROT_WRITE, MAP_SHARED, file.Fd(), 0);
    if (data == MAP_FAILED) return posix::Win32FromErrno(errno);
    *existed = joined;
    *block = std::make_unique<PosixSharedBlock>(std::move(file), static_cast<std::uint8_t*>(data));
    return win32::kSuccess;
}

}  // namespace quillet
