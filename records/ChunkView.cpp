// ChunkView: one chunk of a chunked Buffer as a Buffer of its own.

#include "records/ChunkView.h"

#include "platform/LittleEndian.h"

namespace quillet {

namespace {

// Units a chunk of `length` bytes takes (length >= 4).
std::int64_t UnitsOf(std::int64_t length) {
    return (length - 1) / 4 + 1;
}

}  // namespace

std::int16_t ChunkView::SelectChunk(std::int16_t n) {
    if (!target_) return 0;
    const std::int16_t previous = chunk_;
    chunk_ = n;
    return previous;
}

ResultCode ChunkView::LocateChunk(std::int32_t* offset) {
    *offset = 0;
    if (!target_) return kChunkNoTarget;
    const std::uint8_t* data = target_->Data();
    if (!data) return chunk_ == 0 ? 0 : kChunkNoTarget;
    if (chunk_ < 0) return kChunkMissing;
    const std::int64_t units = target_->Size() / 4;
    std::int64_t at = 0;
    for (std::int32_t k = 0; k < chunk_; ++k) {
        if (at == units) return kChunkMissing;
        if (at > units || at < 0) return kChunkChainBroken;
        const std::int64_t length = Load32(data + at * 4);
        if (length < 4) return kChunkChainBroken;
        at += UnitsOf(length);
    }
    if (at > units || at < 0) return kChunkChainBroken;
    *offset = static_cast<std::int32_t>(at);
    return 0;
}

ResultCode ChunkView::ChunkExtent(std::int32_t* offset, std::int32_t* units, std::int64_t* length) {
    *units = 0;
    *length = 0;
    const ResultCode located = LocateChunk(offset);
    if (located) return located;
    const std::uint8_t* data = target_->Data();
    const std::int64_t total = data ? target_->Size() / 4 : 0;
    if (*offset + 1 > total) return 0;  // the chunk right after the last
    const std::int64_t chunkLength = Load32(data + static_cast<std::int64_t>(*offset) * 4);
    if (chunkLength < 4) return kChunkChainBroken;
    const std::int64_t chunkUnits = UnitsOf(chunkLength);
    if (*offset + chunkUnits > total) return kChunkChainBroken;
    *units = static_cast<std::int32_t>(chunkUnits);
    *length = chunkLength;
    return 0;
}

std::uint8_t* ChunkView::Data() {
    std::int32_t offset = 0;
    std::int32_t units = 0;
    std::int64_t length = 0;
    if (ChunkExtent(&offset, &units, &length) || units == 0) return nullptr;
    return target_->Data() + static_cast<std::int64_t>(offset) * 4 + 4;
}

std::int32_t ChunkView::Size() {
    std::int32_t offset = 0;
    std::int32_t units = 0;
    std::int64_t length = 0;
    if (ChunkExtent(&offset, &units, &length) || units == 0) return 0;
    return static_cast<std::int32_t>(length - 4);
}

bool ChunkView::Resize(std::int32_t n) {
    if (n < 0) return false;
    std::int32_t offset = 0;
    std::int32_t units = 0;
    std::int64_t length = 0;
    if (ChunkExtent(&offset, &units, &length)) return false;
    const std::int64_t total = target_->Data() ? target_->Size() / 4 : 0;
    const std::int64_t newUnits = (static_cast<std::int64_t>(n) + 3) / 4 + 1;
    const std::int64_t newTotal = total - units + newUnits;
    if (newTotal * 4 > INT32_MAX) return false;
    if (newTotal > total && !target_->Resize(static_cast<std::int32_t>(newTotal * 4))) {
        return false;
    }
    const std::int64_t after = offset + units;
    if (newUnits != units && after < total) {
        if (!target_->Move(static_cast<std::int32_t>((offset + newUnits) * 4),
                           static_cast<std::int32_t>(after * 4),
                           static_cast<std::int32_t>((total - after) * 4))) {
            if (newTotal > total) target_->Resize(static_cast<std::int32_t>(total * 4));
            return false;
        }
    }
    std::uint8_t word[4];
    Store32(word, static_cast<std::uint32_t>(n) + 4);
    if (!target_->Write(word, offset * 4, 4)) return false;
    if (newTotal < total && !target_->Resize(static_cast<std::int32_t>(newTotal * 4))) {
        return false;
    }
    return true;
}

ResultCode ChunkView::Load() {
    if (!target_) return kChunkNoTarget;
    const ResultCode loaded = target_->Load();
    if (loaded) return loaded;
    // A broken chain is reported here, so that a list over this chunk does not
    // read it as empty.
    std::int32_t offset = 0;
    std::int32_t units = 0;
    std::int64_t length = 0;
    const ResultCode extent = ChunkExtent(&offset, &units, &length);
    return extent == kChunkChainBroken ? extent : 0;
}

ResultCode ChunkView::Save() {
    return target_ ? target_->Save() : kChunkNoTarget;
}

ResultCode ChunkView::Reset(std::int32_t freeStorage) {
    return target_ ? target_->Reset(freeStorage) : 0;
}

bool ChunkView::IsDirty() {
    return target_ ? target_->IsDirty() : false;
}

bool ChunkView::Write(const void* source, std::int32_t offset, std::int32_t length) {
    std::int32_t at = 0;
    std::int32_t units = 0;
    std::int64_t chunkLength = 0;
    if (ChunkExtent(&at, &units, &chunkLength)) return false;
    if (offset < 0 || length < 0) return false;
    const std::int64_t payload = chunkLength - 4;
    if (payload < static_cast<std::int64_t>(offset) + length) return false;
    return target_->Write(source, at * 4 + 4 + offset, length);
}

bool ChunkView::Move(std::int32_t destination, std::int32_t source, std::int32_t length) {
    std::int32_t at = 0;
    std::int32_t units = 0;
    std::int64_t chunkLength = 0;
    if (ChunkExtent(&at, &units, &chunkLength)) return false;
    if (destination < 0 || source < 0 || length < 0) return false;
    const std::int64_t payload = chunkLength - 4;
    if (static_cast<std::int64_t>(source) + length > payload ||
        static_cast<std::int64_t>(destination) + length > payload) {
        return false;
    }
    return target_->Move(at * 4 + 4 + destination, at * 4 + 4 + source, length);
}

}  // namespace quillet
