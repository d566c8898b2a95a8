#pragma once
// What quillet-check finds out about one data file: what is in it, whether it
// is sound, and what the converter would do with it. Everything is found with
// a read-only open that shares reading; the file is never written.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/ResultCode.h"

namespace quillet {

// One problem found in the file, with where it is. Fields that do not apply
// are -1 (numbers) or empty (texts).
struct CheckProblem {
    std::string area;              // "header", "blocks", "signature", "list index", "list", ...
    std::string text;              // what is wrong, in plain words
    ResultCode code = 0;           // the code the record layer or the engine gives for it, or 0
    bool stopsConversion = false;  // the converter refuses the file because of it
    std::int32_t table = -1;
    std::u16string listName;  // the list's name, when it can be read
    bool hasListName = false;
    std::int32_t entry = -1;  // entry of the list index
    std::int32_t chunk = -1;
    std::int32_t record = -1;
    std::int64_t block = -1;  // block number
    std::int64_t byte = -1;   // byte offset in the table's content (the chunk's payload
                              // when `chunk` is given)
};

// One table in use.
struct TableInfo {
    std::uint16_t number = 0;
    std::uint8_t type = 0;
    std::uint8_t subtype = 0;
    std::uint16_t blockCount = 0;
    std::uint16_t recordSize = 0;
    std::uint16_t lastBlockUsed = 0;
    std::int64_t contentBytes = 0;  // as the record layer would read it; -1 when it cannot
    std::string kind;               // "directory", "free list", "record list", "chunked list table"
    std::string role;               // what the application keeps there, or empty
    std::u16string listName;        // the name of the list kept there, when it can be read
    bool hasListName = false;
};

// What the converter would do with the file.
enum class ConvertAction {
    kNotOffered,            // a message says why no conversion is offered
    kInPlace,               // format 4 to 3, converted where it is after a backup copy
    kThroughTemporaryFile,  // converted into a temporary file that then takes the file's place
    kError,                 // the converter would stop with "Error %d occurred ..."
};

struct ConvertForecast {
    ConvertAction action = ConvertAction::kError;
    // The route a conversion of a format 4 or 5 file takes (kInPlace or
    // kThroughTemporaryFile), also when it would end in an error; kNotOffered
    // for other files.
    ConvertAction route = ConvertAction::kNotOffered;
    int fromVersion = -1;
    int toVersion = -1;
    std::string message;               // the converter's message box text, verbatim
    ResultCode code = 0;               // with kError: the code the message shows
    std::string meaning;               // one sentence on what the code means
    std::string step;                  // where the converter would stop, with kError
    bool dryRun = false;               // the conversion was run on a copy in memory
    std::uint64_t convertedBytes = 0;  // the size of that copy afterwards, when it succeeded
};

struct FileReport {
    std::string path;

    // Reading the file at all.
    bool opened = false;
    ResultCode openCode = 0;  // the code of the failed open, when !opened
    std::string openMeaning;

    // Container.
    std::uint64_t fileBytes = 0;
    std::uint16_t containerVersion = 0;
    std::uint32_t fileBlocks = 0;
    std::uint32_t commitCount = 0;
    bool signatureOk = false;  // the application signature is "Tallyset"

    // Application.
    std::uint16_t formatVersion = 0;
    std::uint16_t appHeaderLength = 0;
    std::uint16_t listIndexTable = 0;
    std::uint16_t folderTable = 0;  // format 3
    std::uint16_t columnTable = 0;  // format 3
    std::string quilletVersion;     // "2.0", "3.0", "4.0", "older than 2.0", "newer than 4.0"

    std::vector<TableInfo> tables;
    // The folders, lists and items below were counted: the format is 3, 4 or
    // 5 and the signature is "Tallyset".
    bool listsRead = false;
    std::int64_t folders = 0;
    std::int64_t lists = 0;
    std::int64_t items = 0;

    // Space.
    std::uint32_t usedBlocks = 0;
    std::uint32_t freeBlocks = 0;
    std::uint32_t leakedBlocks = 0;
    // Blocks the compaction pass would give back, run on the file as it is;
    // -1 when it could not be run.
    std::int64_t reclaimableBlocks = -1;

    std::vector<CheckProblem> problems;
    std::uint32_t problemsNotListed = 0;  // beyond the listing bound

    ConvertForecast forecast;

    // 0 sound, 1 a problem found, 2 the file cannot be read.
    int ExitCode() const;
};

// At most this many problems are listed per file; the rest are counted.
constexpr std::size_t kMaxListedProblems = 200;

// Called now and then during a long check with a short text of what runs.
using ProgressFunction = std::function<void(const char* stage)>;

// Checks the file at `path`. Never writes to it.
FileReport CheckFile(Platform& platform, const char* path, const ProgressFunction& progress);

// One sentence on what a code that the converter shows means.
std::string MeaningOfCode(ResultCode code);

// The Quillet version a format version belongs to.
std::string QuilletVersionOf(std::uint16_t formatVersion);

// Adds a problem, or counts it when the listing bound is reached.
void AddProblem(FileReport& report, CheckProblem problem);

}  // namespace quillet
