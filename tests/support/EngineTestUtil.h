#pragma once
// Helpers for tests that work on data files through the storage engine:
// whole-block reads and writes, the integrity walk as a test verdict, and raw
// file images.

#include <cstdint>
#include <string>
#include <vector>

#include "container/DataFile.h"

namespace quillet::testing {

using BlockImage = std::vector<std::uint8_t>;  // 512 bytes

// A block whose bytes all derive from `seed`, so that two seeds differ in
// every block and a block read back can be told from any other.
BlockImage PatternBlock(std::uint32_t seed);

// Overwrites data block (table, index) whole, as the record layer does:
// ClaimBlock, fill, MarkBlockModified with release.
ResultCode WriteWholeBlock(DataFile& file, std::uint16_t table, std::uint16_t index,
                           const BlockImage& bytes);
// Reads data block (table, index) with GetBlock.
ResultCode ReadWholeBlock(DataFile& file, std::uint16_t table, std::uint16_t index,
                          BlockImage* bytes);

// Runs the integrity walk (inside a read access of its own when the file is
// not in an access) and returns its findings, one per line; empty when the
// file is sound. An access that cannot begin is reported as a finding too.
std::string IntegrityFindings(DataFile& file);

// The bytes of a file on the disk, or empty when it cannot be read.
std::vector<std::uint8_t> ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);

// The header's word sum (0 for a valid header).
std::uint16_t HeaderWordSum(const std::uint8_t* header512);
// Stores the checksum that makes the header's word sum 0.
void FixHeaderChecksum(std::uint8_t* header512);

}  // namespace quillet::testing
