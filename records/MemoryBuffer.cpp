// MemoryBuffer: the bytes of a Buffer in one heap block.

#include "records/MemoryBuffer.h"

#include <cstdlib>
#include <cstring>

namespace quillet {

namespace {

// True when [offset, offset + length) lies inside [0, size), computed without
// overflow.
bool RangeInside(std::int32_t offset, std::int32_t length, std::int32_t size) {
    return offset >= 0 && length >= 0 &&
           static_cast<std::int64_t>(offset) + length <= static_cast<std::int64_t>(size);
}

}  // namespace

MemoryBuffer::~MemoryBuffer() {
    std::free(data_);
}

bool MemoryBuffer::Reserve(std::int32_t n) {
    if (n <= capacity_) return true;
    std::uint8_t* block = AllocateStorage(n);
    if (!block) return false;
    if (data_ && size_ > 0) std::memcpy(block, data_, static_cast<std::size_t>(size_));
    std::free(data_);
    data_ = block;
    capacity_ = n;
    return true;
}

bool MemoryBuffer::ResizeUnzeroed(std::int32_t n) {
    if (n < 0 || !Reserve(n)) return false;
    size_ = n;
    return true;
}

bool MemoryBuffer::Resize(std::int32_t n) {
    if (n < 0) return false;
    if (capacity_ < n) {
        if (!Reserve(n)) return false;
    } else if (n > size_) {
        // Bytes in use before a shrink may still be there: new bytes read as 0.
        std::memset(data_ + size_, 0, static_cast<std::size_t>(n - size_));
    }
    size_ = n;
    return true;
}

bool MemoryBuffer::Clear() {
    size_ = 0;
    return true;
}

bool MemoryBuffer::Write(const void* source, std::int32_t offset, std::int32_t length) {
    if (!data_) return offset == 0 && length == 0;
    if (!RangeInside(offset, length, Size())) return false;
    if (length > 0) std::memcpy(data_ + offset, source, static_cast<std::size_t>(length));
    return true;
}

bool MemoryBuffer::Move(std::int32_t destination, std::int32_t source, std::int32_t length) {
    if (!data_) return false;
    const std::int32_t size = Size();
    if (!RangeInside(source, length, size) || !RangeInside(destination, length, size)) {
        return false;
    }
    if (length > 0) {
        std::memmove(data_ + destination, data_ + source, static_cast<std::size_t>(length));
    }
    return true;
}

void MemoryBuffer::FreeStorage() {
    std::free(data_);
    data_ = nullptr;
    capacity_ = 0;
    size_ = 0;
}

std::uint8_t* MemoryBuffer::AllocateStorage(std::int32_t n) {
    if (n <= 0) return nullptr;
    return static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(n), 1));
}

bool MemoryBuffer::AdoptStorage(std::uint8_t* block, std::int32_t n) {
    if (block != data_) std::free(data_);
    data_ = block;
    capacity_ = block && n > 0 ? n : 0;
    size_ = capacity_;
    return true;
}

}  // namespace quillet
