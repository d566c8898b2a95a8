// Local memory: zero-filled blocks that know their size, so that growing one
// can zero exactly the new bytes.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/posix/PosixPlatform.h"

namespace quillet {

namespace {

// The header in front of every block; its size keeps the block aligned for
// any type.
struct alignas(std::max_align_t) BlockHeader {
    std::size_t size;
};
constexpr std::size_t kHeader = sizeof(BlockHeader);

BlockHeader* HeaderOf(void* block) {
    return reinterpret_cast<BlockHeader*>(static_cast<unsigned char*>(block) - kHeader);
}

}  // namespace

void* PosixPlatform::LocalAllocZeroed(std::size_t bytes) {
    if (bytes > SIZE_MAX - kHeader) return nullptr;
    void* raw = std::calloc(1, kHeader + bytes);
    if (raw == nullptr) return nullptr;
    auto* header = static_cast<BlockHeader*>(raw);
    header->size = bytes;
    return static_cast<unsigned char*>(raw) + kHeader;
}

void* PosixPlatform::LocalReAllocZeroed(void* block, std::size_t bytes) {
    if (block == nullptr || bytes > SIZE_MAX - kHeader) return nullptr;
    const std::size_t oldSize = HeaderOf(block)->size;
    void* raw = std::realloc(HeaderOf(block), kHeader + bytes);
    if (raw == nullptr) return nullptr;  // the old block is untouched
    auto* header = static_cast<BlockHeader*>(raw);
    header->size = bytes;
    unsigned char* data = static_cast<unsigned char*>(raw) + kHeader;
    if (bytes > oldSize) std::memset(data + oldSize, 0, bytes - oldSize);
    return data;
}

void PosixPlatform::LocalFreeBlock(void* block) {
    if (block != nullptr) std::free(HeaderOf(block));
}

void PosixPlatform::PrepareMemory(void* block, std::size_t bytes) {
#if defined(MADV_POPULATE_WRITE)
    const long page = ::sysconf(_SC_PAGESIZE);
    if (block == nullptr || page <= 0) return;
    const auto size = static_cast<std::uintptr_t>(page);
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    if (bytes > UINTPTR_MAX - start) return;
    const std::uintptr_t first = (start + size - 1) / size * size;
    const std::uintptr_t end = (start + bytes) / size * size;
    // Faults every page in writable; a kernel without the request answers
    // EINVAL, and the pages then come on first touch.
    if (end > first) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#else
    (void)block;
    (void)bytes;
#endif
}

}  // namespace quillet
