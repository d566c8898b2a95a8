#pragma once
// Result codes of the record layer: property records and their text forms,
// table binding and table contents, chunks, and record lists.

#include "platform/ResultCode.h"

namespace quillet {

// Property records.
constexpr ResultCode kRecordIsView = 1001;    // a change on a view of a list's memory
constexpr ResultCode kRecordNoMemory = 1002;  // local memory or a temporary buffer unavailable
constexpr ResultCode kRecordTooLong = 1003;   // the image would reach 32767 words
constexpr ResultCode kFieldFound = 1004;      // walk stop signal; never leaves the record code

// Field text.
constexpr ResultCode kFieldAbsent = 1005;         // GetText of a field that is not present
constexpr ResultCode kFieldHasNoText = 1006;      // Time and Blob fields have no text form
constexpr ResultCode kFieldTextNotNumber = 1007;  // SetText of a non-integer on a number

// Table binding and table contents.
constexpr ResultCode kTableWrongType = 7001;        // type or subtype not the expected one
constexpr ResultCode kTableNotBound = 7002;         // Load or Save without a bound table
constexpr ResultCode kTableWrongRecordSize = 7003;  // record size differs (both nonzero)
constexpr ResultCode kTableContentUnavailable =
    7101;  // no memory, or a size its blocks cannot hold

// Chunks.
constexpr ResultCode kChunkNoTarget = 7104;     // the chunk view has no target
constexpr ResultCode kChunkMissing = 7105;      // the chunk lies past the one after the last
constexpr ResultCode kChunkChainBroken = 7106;  // a chunk length below 4 or past the end

// Record lists.
constexpr ResultCode kListNotOpen = 7201;       // the list has no buffer
constexpr ResultCode kListResizeFailed = 7202;  // a buffer refused Clear, Resize or Write
constexpr ResultCode kListChainBroken = 7203;   // a record length below 1 or past the end
constexpr ResultCode kListNoSuchRecord = 7204;  // the record number is at or past the end

}  // namespace quillet
