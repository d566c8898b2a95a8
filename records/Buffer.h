#pragma once
// Buffer: a resizable byte store that can load itself from and save itself to
// somewhere. Record lists work over any Buffer; a chunk view is one too.
// Low-level operations (Resize, Clear, Write, Move) answer true or false; the
// layer above turns false into its own code.

#include <cstdint>

#include "platform/ResultCode.h"

namespace quillet {

class Buffer {
  public:
    // ---- Virtual operations, in slot order ----

    // Address of the first byte, or null.
    virtual std::uint8_t* Data() = 0;
    // Number of bytes.
    virtual std::int32_t Size() = 0;
    // Sets the size to n bytes, keeping the first min(old, n) bytes; new bytes
    // read as zero.
    virtual bool Resize(std::int32_t n) = 0;
    virtual ResultCode Load() = 0;
    virtual ResultCode Save() = 0;
    // Forgets the loaded state; with freeStorage nonzero also frees the memory.
    virtual ResultCode Reset(std::int32_t freeStorage) = 0;
    virtual bool IsDirty() = 0;
    virtual bool Clear() = 0;
    // Copies `length` bytes from `source` to [offset, offset + length); false
    // when the range is not inside the content.
    virtual bool Write(const void* source, std::int32_t offset, std::int32_t length) = 0;
    // Overlap-safe move of `length` bytes from `source` to `destination`
    // (offsets); false when either range is not inside the content.
    virtual bool Move(std::int32_t destination, std::int32_t source, std::int32_t length) = 0;
    virtual ~Buffer() = default;

    // ---- Added virtual operations, in slot order ----

    // Replaces the whole content by `length` bytes from `source`, which lies
    // outside this buffer; false when the size cannot be had. The same as
    // Resize and Write; a buffer may do it without first zeroing the bytes
    // that are written anyway.
    virtual bool Assign(const void* source, std::int32_t length) {
        if (!Resize(length)) return false;
        return length == 0 || Write(source, 0, length);
    }
};

}  // namespace quillet
