#pragma once
// Result codes that the conversion produces itself, and the engine codes it
// returns on its own account.

#include "platform/ResultCode.h"

namespace quillet {

// Convert and StepDownVersion.
constexpr ResultCode kConvertTargetExists = -80;  // copy mode: a file is at the target path
constexpr ResultCode kConvertBadSignature = 38;   // the AppSignature is not "Tallyset"
constexpr ResultCode kConvertNoSuchFile = 46;     // in place: no file at the target path
constexpr ResultCode kConvertRefused = 46;        // the versions do not allow the step

// The block tree of the file to convert names a block twice or beyond the
// file: like a header whose markers are wrong, not a sound data file.
constexpr ResultCode kConvertDamagedFile = 5;

// CompactFile.
constexpr ResultCode kCompactTransactionBusy = 24;  // free-list entries already taken or freed
constexpr ResultCode kCompactNothingToGain = 25;    // counted as success by Convert
constexpr ResultCode kCompactBlockBeyondEnd = 26;   // a block in use would lie beyond the end

// Engine codes returned by the conversion itself.
constexpr ResultCode kConvertIndexOutOfRange = 10;  // a table larger than a block map can hold
constexpr ResultCode kConvertSeekFailed = 14;       // the file pointer did not reach the end
constexpr ResultCode kConvertNotWritable = 34;      // no write permission in this access

}  // namespace quillet
