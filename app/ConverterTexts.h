#pragma once
// The converter's messages, verbatim: shown by the converter itself and quoted
// by quillet-check when it tells a user what the converter would say.

namespace quillet::texts {

inline constexpr char kTooOld[] =
    "This file was created with a version of Quillet that is older than Version 2.0 and "
    "cannot be converted. Use Quillet to convert this file to a newer format.";
inline constexpr char kOldest[] =
    "This file is already in Quillet Version 2.0 format, which is the oldest version this "
    "program can convert to. Use Quillet to convert this file to a newer format.";
inline constexpr char kTooNew[] =
    "This file was created with a version of Quillet that is newer than this conversion "
    "program.  Use a newer version of this program to convert this file.";
inline constexpr char kConfirm4[] =
    "OK to convert this file to Quillet Version 2.0?  The current version of Quillet is "
    "Version 4.0, so please make sure you are not converting this file twice.";
inline constexpr char kConfirm5[] = "OK to convert this file to Quillet Version 3.0?";
// The error message; %d is the signed result code.
inline constexpr char kErrorFormat[] = "Error %d occurred attempting to access the file.";

}  // namespace quillet::texts
