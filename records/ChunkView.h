#pragma once
// ChunkView: one chunk of a chunked Buffer presented as a Buffer of its own.
//
// Chunked content: whole 32-bit units (D = Size / 4). Each chunk starts with a
// u32 little-endian length word counting its bytes with the word itself (at
// least 4); its payload follows, padded to a multiple of 4, so the chunk takes
// (length - 1) / 4 + 1 units. Chunks lie one after another and the last ends at
// D. The chunk right after the last can be read (size 0) and resized (which
// appends it); chunks beyond it do not exist (7105). Every length is checked
// against D before use (7106).

#include <cstdint>

#include "records/Buffer.h"
#include "records/RecordCodes.h"

namespace quillet {

class ChunkView : public Buffer {
  public:
    ChunkView() = default;
    ChunkView(const ChunkView&) = delete;
    ChunkView& operator=(const ChunkView&) = delete;

    // ---- Buffer ----

    // The chunk's payload, or null (no target, a broken chain, the chunk after
    // the last, or a target without storage).
    std::uint8_t* Data() override;
    // The payload length; 0 for the chunk after the last and on any failure.
    std::int32_t Size() override;
    // Sets the payload to n bytes, moving the later chunks; false on failure
    // (nothing changes).
    bool Resize(std::int32_t n) override;
    ResultCode Load() override;                           // the target's; 7104 without one
    ResultCode Save() override;                           // the target's; 7104 without one
    ResultCode Reset(std::int32_t freeStorage) override;  // the target's; 0 without one
    bool IsDirty() override;                              // the target's; false without one
    bool Clear() override { return true; }                // does nothing
    bool Write(const void* source, std::int32_t offset, std::int32_t length) override;
    bool Move(std::int32_t destination, std::int32_t source, std::int32_t length) override;
    // Leaves the target alone.
    ~ChunkView() override = default;

    // ---- View ----

    void BindView(Buffer* target, std::int16_t chunk) {
        target_ = target;
        chunk_ = chunk;
    }
    void UnbindView() {
        target_ = nullptr;
        chunk_ = 0;
    }
    // With a target: selects chunk n and returns the previous number. Without
    // one: nothing changes, 0.
    std::int16_t SelectChunk(std::int16_t n);
    Buffer* target() const { return target_; }
    std::int16_t chunk() const { return chunk_; }

    // Unit offset of the selected chunk (D for the chunk after the last), or
    // 7104, 7105, 7106.
    ResultCode LocateChunk(std::int32_t* offset);
    // LocateChunk plus the chunk's units and length word (0 and 0 for the chunk
    // after the last); 7106 when the chunk runs past D.
    ResultCode ChunkExtent(std::int32_t* offset, std::int32_t* units, std::int64_t* length);

  private:
    // Members in the order of the view's data model.
    Buffer* target_ = nullptr;
    std::int16_t chunk_ = 0;
};

}  // namespace quillet
