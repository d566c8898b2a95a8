#pragma once
// The six ways of opening a file that the share-mode tests combine, and the
// Win32 outcome of opening one while another is open.

#include <string>

#include "platform/Platform.h"

namespace quillet::testing {

struct ShareCase {
    FileAccess access;
    FileShare share;
    const char* name;
};

inline constexpr ShareCase kShareCases[6] = {
    {FileAccess::kRead, FileShare::kNone, "R/none"},
    {FileAccess::kRead, FileShare::kRead, "R/read"},
    {FileAccess::kRead, FileShare::kReadWrite, "R/rw"},
    {FileAccess::kReadWrite, FileShare::kNone, "RW/none"},
    {FileAccess::kReadWrite, FileShare::kRead, "RW/read"},
    {FileAccess::kReadWrite, FileShare::kReadWrite, "RW/rw"},
};

// kShareAllowed[first][second]: whether a second open succeeds while the
// first is open, written out from the Win32 rules (a share mode must allow
// every access of the other handle, in both directions).
//   second:            R/none R/read R/rw RW/none RW/read RW/rw
inline constexpr bool kShareAllowed[6][6] = {
    /* R/none  */ {false, false, false, false, false, false},
    /* R/read  */ {false, true, true, false, false, false},
    /* R/rw    */ {false, true, true, false, true, true},
    /* RW/none */ {false, false, false, false, false, false},
    /* RW/read */ {false, false, true, false, false, false},
    /* RW/rw   */ {false, false, true, false, false, true},
};

}  // namespace quillet::testing
