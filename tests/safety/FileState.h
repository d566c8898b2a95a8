#pragma once
// The logical content of a data file: what a reader of the file can see
// through the engine, independent of where the blocks lie. Two files with equal
// states hold the same data; the power-loss tests compare a file after a crash
// with the states recorded at the commits of a clean run.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/ResultCode.h"

namespace quillet::testing {

struct TableState {
    std::uint16_t number = 0;
    std::uint8_t type = 0;
    std::uint8_t subtype = 0;
    std::uint16_t blockCount = 0;
    std::uint16_t recordSize = 0;
    std::uint16_t lastBlockUsed = 0;
    std::vector<std::array<std::uint8_t, 512>> blocks;

    bool operator==(const TableState&) const = default;
};

struct FileState {
    std::array<std::uint8_t, 112> banner{};
    std::uint32_t extraLong = 0;
    std::uint16_t extraWord = 0;
    std::array<std::uint8_t, 16> appSignature{};
    std::array<std::uint8_t, 256> appArea{};
    std::vector<TableState> tables;  // tables 2..191 in use, in number order

    bool operator==(const FileState&) const = default;
    std::uint16_t FormatVersion() const {
        return static_cast<std::uint16_t>(appArea[2] | (appArea[3] << 8));
    }
};

// Opens the file read-only and reads its whole logical content. Returns the
// first failing code (of Open, the access or a block read).
ResultCode ReadFileState(Platform& platform, const char* path, FileState* out);

// A short human-readable account of the first differences between two states.
std::string DescribeDifference(const FileState& a, const FileState& b);

}  // namespace quillet::testing
