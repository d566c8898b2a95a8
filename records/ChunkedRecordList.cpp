// Chunked record lists and fresh chunked contents.

#include "platform/LittleEndian.h"
#include "records/ChunkedTable.h"
#include "records/LocalTime.h"
#include "records/RecordCodes.h"

namespace quillet {

// ---- ChunkedRecordList ----

ResultCode ChunkedRecordList::Reset(std::int32_t freeStorage) {
    return view_.Reset(freeStorage);
}

ResultCode ChunkedRecordList::Save() {
    const ResultCode saved = view_.Save();
    return saved == kChunkNoTarget ? kListNotOpen : saved;
}

ResultCode ChunkedRecordList::Bind(Buffer* buffer) {
    ChunkedRecordList::Unbind();
    bound_ = buffer;
    view_.BindView(buffer, 0);
    const ResultCode attached = list_.Attach(&view_);
    if (attached) {
        ChunkedRecordList::Unbind();
        return attached;
    }
    return 0;
}

ResultCode ChunkedRecordList::Unbind() {
    const ResultCode detached = list_.Detach();
    view_.UnbindView();
    bound_ = nullptr;
    return detached;
}

ResultCode ChunkedRecordList::GetChunkRecord(std::int16_t chunk, std::int32_t n,
                                             PropertyRecord& record) {
    view_.SelectChunk(chunk);
    return list_.GetRecord(n, record);
}

ResultCode ChunkedRecordList::InsertChunkRecord(std::int16_t chunk, std::int32_t n,
                                                const PropertyRecord& record) {
    view_.SelectChunk(chunk);
    return list_.InsertRecord(n, record);
}

ResultCode ChunkedRecordList::ReplaceChunkRecord(std::int16_t chunk, std::int32_t n,
                                                 const PropertyRecord& record) {
    view_.SelectChunk(chunk);
    return list_.ReplaceRecord(n, record);
}

ResultCode ChunkedRecordList::DeleteChunkRecord(std::int16_t chunk, std::int32_t n) {
    view_.SelectChunk(chunk);
    return list_.DeleteRecord(n);
}

ResultCode ChunkedRecordList::CountChunkRecords(std::int16_t chunk, std::int32_t* count) {
    view_.SelectChunk(chunk);
    return list_.CountRecords(count);
}

ResultCode ChunkedRecordList::ViewChunk(std::int16_t chunk, const std::uint8_t** data,
                                        std::int32_t* size) {
    *data = nullptr;
    *size = 0;
    if (!list_.buffer()) return kListNotOpen;
    view_.SelectChunk(chunk);
    const ResultCode loaded = view_.Load();
    if (loaded) return loaded;
    *size = view_.Size();
    *data = view_.Data();
    return 0;
}

ResultCode ChunkedRecordList::CopyChunk(std::int16_t chunk, Buffer& destination) {
    const std::uint8_t* data = nullptr;
    std::int32_t size = 0;
    const ResultCode viewed = ViewChunk(chunk, &data, &size);
    if (viewed) return viewed;
    if (!destination.Assign(data, size)) return kListResizeFailed;
    return 0;
}

// ---- ChunkedRecordSet ----

ResultCode ChunkedRecordSet::InitializeNew() {
    Buffer* bound = boundBuffer();
    if (!bound) return kChunkNoTarget;
    if (!bound->Clear()) return kListResizeFailed;
    std::uint8_t header[kChunkHeaderSize] = {};
    Store16(header, kChunkHeaderVersion);
    Store32(header + 8, CurrentLocalTimeSeconds(*platform_));
    Store32(header + 12, platform_->TickCount());
    view().SelectChunk(0);
    if (!view().Resize(kChunkHeaderSize) || !view().Write(header, 0, kChunkHeaderSize)) {
        return kListResizeFailed;
    }
    for (std::int16_t chunk = kFirstListChunk; chunk <= kLastListChunk; ++chunk) {
        view().SelectChunk(chunk);
        if (!view().Resize(0)) return kListResizeFailed;
    }
    PropertyRecord record(*platform_);
    const ResultCode set = record.SetLong(kChunkListCounterTag, 0);
    if (set) return set;
    return InsertChunkRecord(kFirstListChunk, -1, record);
}

}  // namespace quillet
