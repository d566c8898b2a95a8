#pragma once
// Data files and folder listings for the converter's tests, made with the
// engine itself.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/ResultCode.h"

namespace quillet::testing {

struct DataFileOptions {
    std::uint16_t version = 5;      // FormatVersion, at offset 2 of the AppHeader
    bool tallysetSignature = true;  // false: a signature of another application
    // Formats 4 and 5 name a list index; with this set an empty one is created
    // (a record-list table) and named in the AppHeader.
    bool emptyListIndex = true;
};

// Creates a new data file at `path` (which must not exist) through DataFile:
// signature and AppHeader set and committed. Returns the engine's code.
ResultCode MakeDataFile(Platform& platform, const std::string& path,
                        const DataFileOptions& options);

// Reads the format version and the signature of a data file through DataFile.
ResultCode ReadDataFile(Platform& platform, const std::string& path, std::uint16_t* version,
                        std::uint8_t* signature16);

std::vector<std::uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);

// The names in a folder, sorted.
std::vector<std::string> FolderNames(const std::filesystem::path& folder);

}  // namespace quillet::testing
