#pragma once
// MemoryBuffer: a Buffer whose bytes live in one heap block. It implements the
// memory operations and leaves Load, Save, Reset and IsDirty to derived
// classes. Capacity never shrinks; bytes that a Resize adds read as zero.

#include <cstdint>

#include "records/Buffer.h"

namespace quillet {

class MemoryBuffer : public Buffer {
  public:
    MemoryBuffer() = default;
    MemoryBuffer(const MemoryBuffer&) = delete;
    MemoryBuffer& operator=(const MemoryBuffer&) = delete;

    std::uint8_t* Data() override { return data_; }
    std::int32_t Size() override { return size_; }
    // A larger capacity takes a new block (false when it cannot be had; nothing
    // changes) and copies the bytes in use over.
    bool Resize(std::int32_t n) override;
    bool Clear() override;
    bool Write(const void* source, std::int32_t offset, std::int32_t length) override;
    bool Move(std::int32_t destination, std::int32_t source, std::int32_t length) override;
    ~MemoryBuffer() override;

    // ---- Added virtual operations, in slot order ----

    // Frees the block: no data, capacity 0, size 0.
    virtual void FreeStorage();
    // A zero-filled heap block of at least n bytes (the derived class may round
    // up), or null. The block is released with the standard free.
    virtual std::uint8_t* AllocateStorage(std::int32_t n);
    // Frees the old block and takes `block` (from AllocateStorage or the
    // standard allocator) with capacity = size = n; true.
    virtual bool AdoptStorage(std::uint8_t* block, std::int32_t n);

    std::int32_t Capacity() const { return capacity_; }
    // Raises the capacity to at least n bytes, keeping the content and its
    // size; false when the memory cannot be had (nothing changes then).
    bool Reserve(std::int32_t n);

  protected:
    // Resize for a caller that writes every new byte before anything reads
    // it: the bytes past the old size are left as they are.
    bool ResizeUnzeroed(std::int32_t n);

  public:
  protected:
    std::int32_t StorageSize() const { return size_; }

  private:
    // Members in the order of the buffer's data model.
    std::uint8_t* data_ = nullptr;
    std::int32_t capacity_ = 0;
    std::int32_t size_ = 0;
};

}  // namespace quillet
