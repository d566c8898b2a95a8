#include "tests/support/EngineTestUtil.h"

#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/LittleEndian.h"
#include "storage/IntegrityCheck.h"

namespace quillet::testing {

BlockImage PatternBlock(std::uint32_t seed) {
    BlockImage b(kBlockSize);
    std::uint32_t x = seed * 2654435761u + 0x9e3779b9u;
    for (std::size_t i = 0; i < kBlockSize; i += 4) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        Store32(b.data() + i, x);
    }
    Store32(b.data(), seed);  // the seed itself, readable in a failure message
    return b;
}

ResultCode WriteWholeBlock(DataFile& file, std::uint16_t table, std::uint16_t index,
                           const BlockImage& bytes) {
    BlockRef ref(file);
    ResultCode r = file.ClaimBlock(table, index, ref.Out());
    if (r != 0) return r;
    std::memcpy(ref.data(), bytes.data(), kBlockSize);
    return ref.MarkModifiedAndRelease();
}

ResultCode ReadWholeBlock(DataFile& file, std::uint16_t table, std::uint16_t index,
                          BlockImage* bytes) {
    BlockRef ref(file);
    const ResultCode r = file.GetBlock(table, index, ref.Out());
    if (r != 0) return r;
    bytes->assign(ref.data(), ref.data() + kBlockSize);
    return 0;
}

std::string IntegrityFindings(DataFile& file) {
    const bool ownAccess = file.AccessDepth() == 0;
    if (ownAccess) {
        const ResultCode r = file.BeginAccess(false);
        if (r != 0) return "read access failed: " + std::to_string(r) + "\n";
    }
    const IntegrityReport report = CheckIntegrity(file);
    if (ownAccess) file.EndAccess(0);
    return report.Describe();
}

std::vector<std::uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::uint16_t HeaderWordSum(const std::uint8_t* header512) {
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < kHeaderSize; i += 2) {
        sum = static_cast<std::uint16_t>(sum + Load16(header512 + i));
    }
    return sum;
}

void FixHeaderChecksum(std::uint8_t* header512) {
    Store16(header512 + header::kChecksum, 0);
    Store16(header512 + header::kChecksum,
            static_cast<std::uint16_t>(0x10000u - HeaderWordSum(header512)));
}

}  // namespace quillet::testing
