// The file header in block 0: validation (with the conversion of the legacy
// layout), writing, reading on open, and the making of a new file's header and
// root block.

#include "container/FileHeader.h"

#include <algorithm>
#include <cstring>

#include "container/DataFile.h"
#include "platform/LittleEndian.h"

namespace quillet {

namespace {

constexpr std::size_t kHalf = 128;
constexpr std::size_t kSignatureSize = 16;
constexpr std::size_t kDefaultBannerSize = sizeof(header::kDefaultBanner) - 1;

std::uint16_t WordSum(const std::uint8_t* image) {
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < kHeaderSize; i += 2) {
        sum = static_cast<std::uint16_t>(sum + Load16(image + i));
    }
    return sum;
}

void StoreDefaultBanner(std::uint8_t* image) {
    std::memset(image + header::kBanner, 0, header::kBannerSize);
    std::memcpy(image + header::kBanner, header::kDefaultBanner, kDefaultBannerSize);
}

}  // namespace

ResultCode DataFile::ValidateHeader(std::uint8_t* image, bool readOnly) {
    bool converted = false;
    if (std::memcmp(image, header::kSignatureText, kSignatureSize) != 0 &&
        Load16(image) == header::kMarkerWord1 && Load16(image + 2) == header::kMarkerWord2) {
        // Legacy layout: the two 128-byte halves stand in the other order.
        std::swap_ranges(image, image + kHalf, image + kHalf);
        converted = true;
    }
    if (Load16(image + header::kMarker1) != header::kMarkerWord1 ||
        Load16(image + header::kMarker2) != header::kMarkerWord2) {
        return 5;
    }
    if (WordSum(image) != 0) return 6;
    if (converted) {
        std::memcpy(image + header::kSignature, header::kSignatureText, kSignatureSize);
        StoreDefaultBanner(image);
        image[kHalf - 1] = 0;
    }
    if (Load16(image + header::kHeaderSizeField) != kHeaderSize) return 7;
    const std::uint16_t version = Load16(image + header::kContainerVersion);
    if (version > 2 || (version == 2 && !readOnly)) return 8;
    return 0;
}

ResultCode DataFile::WriteHeader() {
    if (!file_) return 15;
    Store16(workingHeader_ + header::kChecksum, 0);
    Store16(workingHeader_ + header::kChecksum,
            static_cast<std::uint16_t>(0x10000u - WordSum(workingHeader_)));
    std::uint64_t reached = 1;
    if (file_->Seek(0, &reached) != win32::kSuccess || reached != 0) return 14;
    std::uint32_t written = 0;
    if (file_->Write(workingHeader_, kHeaderSize, &written) != win32::kSuccess ||
        written != kHeaderSize) {
        return 4;
    }
    std::memcpy(savedHeader_, workingHeader_, kHeaderSize);
    return 0;
}

void DataFile::PutBackCommittedHeader() {
    if (!file_) return;
    // The saved image may differ from the bytes read at open in the fields
    // that validation rewrites (legacy layout, stale root flag), so its sum is
    // made right again; for any other file this gives back the same bytes.
    std::uint8_t image[kHeaderSize];
    std::memcpy(image, savedHeader_, kHeaderSize);
    Store16(image + header::kChecksum, 0);
    Store16(image + header::kChecksum, static_cast<std::uint16_t>(0x10000u - WordSum(image)));
    std::uint64_t reached = 1;
    if (file_->Seek(0, &reached) != win32::kSuccess || reached != 0) return;
    std::uint32_t written = 0;
    file_->Write(image, kHeaderSize, &written);
    file_->Flush();
}

ResultCode DataFile::ReadHeader() {
    if (!file_) return 15;
    std::uint32_t got = 0;
    if (file_->Read(workingHeader_, kHeaderSize, &got) != win32::kSuccess || got != kHeaderSize) {
        return 3;
    }
    const ResultCode r = ValidateHeader(workingHeader_, readOnly_ != 0);
    if (r != 0) return r;
    ClearStaleRootFlag();
    std::memcpy(savedHeader_, workingHeader_, kHeaderSize);
    if (RootBlockNumber() == 0) return InitRootBlock();
    return LoadRootBlock();
}

void DataFile::ClearStaleRootFlag() {
    // A header on disk never carries the fresh flag (a commit clears it
    // before writing); one that does would let this transaction change the
    // committed root block in place.
    Store16(workingHeader_ + header::kRootBlockNumber,
            static_cast<BlockNumber>(RootBlockNumber() & kBlockNumberMask));
}

ResultCode DataFile::CreateHeader() {
    writable_ = 1;
    std::memset(workingHeader_, 0, kHeaderSize);
    std::memcpy(workingHeader_ + header::kSignature, header::kSignatureText, kSignatureSize);
    StoreDefaultBanner(workingHeader_);
    Store16(workingHeader_ + header::kMarker1, header::kMarkerWord1);
    Store16(workingHeader_ + header::kMarker2, header::kMarkerWord2);
    Store16(workingHeader_ + header::kChecksum, 0);
    Store16(workingHeader_ + header::kHeaderSizeField, kHeaderSize);
    Store16(workingHeader_ + header::kContainerVersion, 1);
    Store16(workingHeader_ + header::kRootBlockNumber, 0);
    Store16(workingHeader_ + header::kFileBlocks, 1);
    Store32(workingHeader_ + header::kCommitCount, 0);
    Store32(workingHeader_ + header::kExtraLong, 1);
    Store16(workingHeader_ + header::kExtraWord, 0);
    const ResultCode r = WriteHeader();
    if (r != 0) return r;
    return InitRootBlock();
}

ResultCode DataFile::InitRootBlock() {
    const std::uint16_t blocks = FileBlocks();
    // A header that claims a full file (or more) leaves no number for a root.
    if (blocks >= kMaxFileBlocks) return 31;
    const BlockNumber root = static_cast<BlockNumber>(blocks | kFreshFlag);
    Store16(workingHeader_ + header::kRootBlockNumber, root);
    headerDirty_ = 1;
    SetFileBlocks(static_cast<std::uint16_t>(blocks + 1));

    CacheEntry* entry = nullptr;
    bool cached = false;
    ResultCode r = LookupBlock(kDirectoryTable, 0, BlockKind::kData, false, &entry, &cached);
    if (r != 0) return r;
    rootEntry_ = entry;
    rootBuffer_ = entry->buffer;
    entry->blockNumber = root;
    entry->flags |= kEntryNumberKnown;

    std::uint8_t* b = rootBuffer_;
    std::memset(b, 0, kBlockSize);
    Store16(b + descriptor::kBlockCount, 1);
    b[descriptor::kIndirect] = 0;
    b[descriptor::kMapFlag] = 1;
    b[descriptor::kTableType] = 2;
    b[descriptor::kTableSubtype] = 0;
    Store16(b + descriptor::kRecordSize, 64);
    Store16(b + descriptor::kLastBlockUsed, 2);
    Store16(b + descriptor::kSlots, root);
    std::uint8_t* freeTable = b + kDescriptorSize;
    freeTable[descriptor::kTableType] = 1;

    r = MarkBlockModified(rootEntry_, false);
    if (r != 0) return r;
    freeCursor_ = 0;
    freeLimit_ = Load16(freeTable + descriptor::kBlockCount);
    r = Commit();
    if (r != 0) return r;
    canUndo_ = 0;
    return 0;
}

}  // namespace quillet
