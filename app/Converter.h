#pragma once
// The converter program: lets the user choose one data file, tells what can be
// done with its format version, converts it one version down after the user's
// confirmation, keeps a backup of the file as it was, and ends with an exit code.

#include "container/DataFile.h"
#include "platform/Platform.h"
#include "platform/ResultCode.h"

namespace quillet {

// No backup name is free next to the chosen file: every numbered name up to
// kMaxBackupNumber exists, or the name with its suffix does not fit in a path
// buffer. Codes of the program's own layers are small numbers or lie in
// 1001..1007 and 7001..7204, and system failures are negative, so 8001 names
// this case alone.
constexpr ResultCode kNoBackupName = 8001;

// The largest n tried for "<stem> Backup <n>.qdx".
constexpr int kMaxBackupNumber = 9999;

// Runs the whole flow once and returns the exit code: 0, or the code that was
// shown in the error message. `instance` is handed to the open-file dialog.
// `limits` is what the route and the conversion plan the free list with: the
// format's own by default; tests lower it to take a small file along the
// route of a large one.
int RunConverter(Platform& platform, void* instance, const SliceLimits& limits = SliceLimits{});

// Writes to `out` (kMaxPath bytes) the first name of "<stem> Backup.qdx",
// "<stem> Backup 2.qdx", "<stem> Backup 3.qdx", ... that names no existing file
// or folder, where <stem> is `path` without the extension of its file name.
// Returns 0, or kNoBackupName when no such name is free or fits; `out` then
// holds the empty text.
ResultCode MakeBackupName(Platform& platform, const char* path, char* out);

// Writes to `out` (kMaxPath bytes) a new unique temporary name "RXV....TMP" in
// the folder of `path`. The system creates the file to reserve the name; it is
// deleted again, so the name is free when this returns 0. On failure returns
// minus the system's error, and `out` holds the empty text.
ResultCode MakeTempName(Platform& platform, const char* path, char* out);

// Shows "Error <code> occurred attempting to access the file." in a message
// box with the default caption and an OK button.
void ReportError(Platform& platform, ResultCode code);

}  // namespace quillet
