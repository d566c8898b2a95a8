#pragma once
// TableBuffer: a MemoryBuffer bound to one table of a DataFile. Load reads the
// table's data blocks into memory, Save writes back the blocks under the one
// span that changed. Content byte i lies in data block i / 512 at offset
// i mod 512; the descriptor's BlockCount and LastBlockUsed (bytes in the last
// block divided by the record size) give the size. With Inverted set, every
// stored byte is the complement of the content byte.
//
// All loading and saving happens inside an access of the DataFile (BeginAccess
// ... EndAccess); the buffer does not open accesses itself.
//
// Damaged descriptors: a BlockCount above 0 with LastBlockUsed 0 is read as a
// full last block (512 bytes); a LastBlockUsed whose bytes exceed 512, or a
// BlockCount above the 6144 blocks a table can map, is refused with 7101. The
// content is never larger than the blocks read into it.

#include <cstdint>

#include "container/DataFile.h"
#include "records/MemoryBuffer.h"

namespace quillet {

// Binding of a buffer to one table of a DataFile.
class TableBinding {
  public:
    // ---- Virtual operations, in slot order ----

    // Creates a new table (the engine picks the lowest free number) of the
    // binding's type, subtype and record size; *table receives its number. The
    // content is loaded and empty.
    virtual ResultCode BindCreate(DataFile& file, std::uint16_t* table) = 0;
    // Binds an existing table: 7001 when its type or subtype differs, 7003 when
    // its record size differs (both nonzero). The file and number stay stored
    // even then; the content is read by the first Load.
    virtual ResultCode BindOpen(DataFile& file, std::uint16_t table) = 0;
    // Drops the binding and the content (unsaved changes are lost).
    virtual void Unbind() = 0;
    virtual ~TableBinding() = default;
};

class TableBuffer : public MemoryBuffer, public TableBinding {
  public:
    TableBuffer(std::uint8_t tableType, std::uint8_t tableSubtype, std::uint16_t recordSize);

    // ---- Buffer ----
    std::int32_t Size() override { return size_; }
    bool Resize(std::int32_t n) override;
    ResultCode Load() override;
    ResultCode Save() override;
    ResultCode Reset(std::int32_t freeStorage) override;
    bool IsDirty() override;
    bool Clear() override;
    bool Write(const void* source, std::int32_t offset, std::int32_t length) override;
    bool Move(std::int32_t destination, std::int32_t source, std::int32_t length) override;
    ~TableBuffer() override = default;
    // As Resize and Write, every byte of the content changed, without zeroing
    // the bytes it copies over.
    bool Assign(const void* source, std::int32_t length) override;

    // ---- MemoryBuffer ----
    // n rounded up to a multiple of 512 (no block for n <= 0).
    std::uint8_t* AllocateStorage(std::int32_t n) override;
    bool AdoptStorage(std::uint8_t* block, std::int32_t n) override;

    // ---- Added virtual operations, in slot order ----

    // Turns `length` stored bytes into content bytes in place.
    virtual void Decode(std::uint8_t* bytes, std::int32_t length, std::int32_t contentOffset);
    // Turns `length` content bytes into stored bytes.
    virtual void Encode(std::uint8_t* destination, const std::uint8_t* source, std::int32_t length,
                        std::int32_t contentOffset);

    // ---- TableBinding ----
    ResultCode BindCreate(DataFile& file, std::uint16_t* table) override;
    ResultCode BindOpen(DataFile& file, std::uint16_t table) override;
    void Unbind() override;
    // Binds the loaded content to `table` of `file` instead, a table of this
    // buffer's type that holds no block yet (a new file's copy of the table
    // the content was read from), with all of the content changed: the next
    // save writes it there whole, and the table it was read from is never
    // written. 7002 when nothing is loaded, 7001 or 7003 for a table of
    // another type or record size, 7101 for one that holds blocks already;
    // the binding stays as it was on failure.
    ResultCode Retarget(DataFile& file, std::uint16_t table);

    // Writes `length` bytes at `content` (memory of the caller's, unchanged
    // during the call) as the whole content of the bound table, as Assign
    // followed by Save would, without copying them into this buffer first.
    // The buffer ends unloaded whether or not the save succeeds: a later Load
    // reads the table. 7002 when not bound, 7101 for a length below 0 or above
    // what a table holds.
    ResultCode SaveFrom(const std::uint8_t* content, std::int32_t length);
    // ---- State ----
    DataFile* file() const { return file_; }
    std::uint16_t table() const { return table_; }
    std::uint8_t tableType() const { return tableType_; }
    std::uint8_t tableSubtype() const { return tableSubtype_; }
    std::uint16_t recordSize() const { return recordSize_; }
    bool IsLoaded() const { return loaded_ != 0; }
    bool inverted() const { return inverted_ != 0; }
    void SetInverted(bool inverted) { inverted_ = inverted ? 1 : 0; }
    // With `keep`, Unbind keeps the heap block for the next binding instead
    // of freeing it (the destructor still frees it): a caller that loads many
    // large tables one after another allocates and first touches the memory
    // once, not once per table. The bytes kept never show as content: a
    // binding starts empty and grows with zeros as ever.
    void SetKeepStorage(bool keep) { keepStorage_ = keep ? 1 : 0; }
    std::int32_t DirtyStart() const { return dirtyStart_; }
    std::int32_t DirtyEnd() const { return dirtyEnd_; }

  private:
    // Reads the descriptor of `table` into `descriptor` (kDescriptorSize
    // bytes): 7001 when its type or subtype differs from this buffer's, 7003
    // when its record size does (both nonzero).
    ResultCode ReadMatchingDescriptor(DataFile& file, std::uint16_t table,
                                      std::uint8_t* descriptor) const;
    // On a file that commits in slices (DataFile::SetSliceCommits), lowers the
    // table's BlockCount to `count` in steps with a possible commit between
    // them; otherwise does nothing and the caller's one SetTableBlockCount
    // frees the whole tail.
    ResultCode ShrinkInSlices(std::uint16_t count);
    // Save's writing: content bytes [dirtyStart, dirtyEnd) as blocks of a
    // table content of `size` bytes, of which the first `readable` lie at
    // `content` (the rest go out as zeros); then the block count and
    // LastBlockUsed for `size`.
    ResultCode WriteContent(const std::uint8_t* content, std::int32_t readable, std::int32_t size,
                            std::int32_t dirtyStart, std::int32_t dirtyEnd);
    void JoinDirty(std::int32_t start, std::int32_t end);
    void ClearDirtyRange() { dirtyStart_ = dirtyEnd_ = 0; }

    // Members in the order of the buffer's data model.
    DataFile* file_ = nullptr;
    std::uint16_t table_ = 0;
    std::uint8_t tableType_;
    std::uint8_t tableSubtype_;
    std::uint16_t recordSize_;
    std::int32_t loaded_ = 0;
    std::int32_t dirty_ = 0;
    std::int32_t inverted_ = 0;
    std::int32_t keepStorage_ = 0;
    std::int32_t dirtyStart_ = 0;
    std::int32_t dirtyEnd_ = 0;
    std::int32_t size_ = 0;
};

}  // namespace quillet
