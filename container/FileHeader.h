#pragma once
// Layout of the 512-byte file header in block 0 of every data file.

#include <cstddef>
#include <cstdint>

namespace quillet {

constexpr std::size_t kHeaderSize = 512;

namespace header {
constexpr std::size_t kSignature = 0;         // 16 bytes "*Orvane Systems*"
constexpr std::size_t kBanner = 16;           // 112 bytes of text, zero-filled
constexpr std::size_t kBannerSize = 112;
constexpr std::size_t kMarker1 = 128;         // u16 0xFFFF
constexpr std::size_t kMarker2 = 130;         // u16 0xDAEC
constexpr std::size_t kChecksum = 132;        // u16
constexpr std::size_t kHeaderSizeField = 134;  // u16 512
constexpr std::size_t kContainerVersion = 136;  // u16
constexpr std::size_t kAppSignature = 140;    // 16 bytes
constexpr std::size_t kRootBlockNumber = 156;  // u16, fresh flag in the top bit
constexpr std::size_t kFileBlocks = 158;      // u16
constexpr std::size_t kCommitCount = 160;     // u32
constexpr std::size_t kExtraLong = 164;       // u32
constexpr std::size_t kExtraWord = 168;       // u16
constexpr std::size_t kContainerFieldsEnd = 170;  // bytes 128..169 are the container's
constexpr std::size_t kAppArea = 256;         // 256 bytes; the AppHeader is its first 64
constexpr std::size_t kAppAreaSize = 256;
constexpr std::size_t kAppSignatureSize = 16;

constexpr std::uint16_t kMarkerWord1 = 0xFFFF;
constexpr std::uint16_t kMarkerWord2 = 0xDAEC;

// The 16 signature characters, without a terminator.
inline constexpr char kSignatureText[] = "*Orvane Systems*";
// The banner of new files: two CR LF pairs, then the sentence (40 bytes).
inline constexpr char kDefaultBanner[] = "\r\n\r\nThis is an Orvane Systems data file.";
}  // namespace header

}  // namespace quillet
