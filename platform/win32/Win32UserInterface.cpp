// The user interface on Windows: the common open-file dialog and message boxes.

#include <windows.h>
// commdlg.h needs the types of windows.h first.
#include <commdlg.h>

#include <cstddef>
#include <cstring>

#include "platform/win32/Win32Platform.h"

namespace quillet {

namespace {

// The size of OPENFILENAMEA as it was before Windows 2000 added the fields
// after lpTemplateName (OPENFILENAME_SIZE_VERSION_400A): 76 bytes on 32-bit
// Windows, 136 on x86_64. The dialog then looks and behaves as it did for
// programs of that time (no places bar).
constexpr DWORD kOpenFileNameSize400 =
    static_cast<DWORD>(offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR));
static_assert(sizeof(void*) != 4 || kOpenFileNameSize400 == 76);
static_assert(sizeof(void*) != 8 || kOpenFileNameSize400 == 136);

// Appends `text` and its terminating zero at `used` in `buffer` of `size` bytes.
// Returns false, changing nothing, when it does not fit.
bool AppendWithZero(char* buffer, std::size_t size, std::size_t* used, const char* text) {
    const std::size_t length = std::strlen(text) + 1;
    if (length > size - *used) return false;
    std::memcpy(buffer + *used, text, length);
    *used += length;
    return true;
}

}  // namespace

// GetOpenFileNameA with an OPENFILENAMEA record of the pre-2000 size: no owner
// window, the given instance, a filter list of the one pair name/pattern ended
// by an empty string, no custom filter, the filter index, `path` as the
// kMaxPath-byte file buffer, no file title buffer, the initial folder, title,
// flags and default extension, no hook, template or custom data.
// A filter name and pattern that do not fit into 512 bytes together make the
// dialog fail (false) rather than being cut.
bool Win32Platform::ShowOpenFileDialog(const OpenFileDialog& dialog, char* path) {
    if (path == nullptr) return false;
    char filter[512];
    std::size_t used = 0;
    const char* name = dialog.filterName != nullptr ? dialog.filterName : "";
    const char* pattern = dialog.filterPattern != nullptr ? dialog.filterPattern : "";
    if (!AppendWithZero(filter, sizeof filter, &used, name) ||
        !AppendWithZero(filter, sizeof filter, &used, pattern) ||
        !AppendWithZero(filter, sizeof filter, &used, "")) {
        return false;
    }
    // The file buffer must hold a terminated string on entry.
    path[kMaxPath - 1] = '\0';

    OPENFILENAMEA record;
    std::memset(&record, 0, sizeof record);
    record.lStructSize = kOpenFileNameSize400;
    record.hwndOwner = nullptr;
    record.hInstance = static_cast<HINSTANCE>(dialog.instance);
    record.lpstrFilter = filter;
    record.lpstrCustomFilter = nullptr;
    record.nMaxCustFilter = 0;
    record.nFilterIndex = dialog.filterIndex;
    record.lpstrFile = path;
    record.nMaxFile = static_cast<DWORD>(kMaxPath);
    record.lpstrFileTitle = nullptr;
    record.nMaxFileTitle = 0;
    record.lpstrInitialDir = dialog.initialFolder;
    record.lpstrTitle = dialog.title;
    record.Flags = dialog.flags;
    record.lpstrDefExt = dialog.defaultExtension;
    record.lCustData = 0;
    record.lpfnHook = nullptr;
    record.lpTemplateName = nullptr;
    return ::GetOpenFileNameA(&record) != FALSE;
}

// MessageBoxA(no owner window, text, caption, MB_OK or MB_OKCANCEL, plus
// MB_ICONERROR). A message box that cannot be shown (MessageBoxA returns 0)
// answers kCancel, so that a question is never taken as confirmed.
MessageAnswer Win32Platform::ShowMessageBox(const char* text, const char* caption,
                                            MessageButtons buttons, MessageIcon icon) {
    UINT type = buttons == MessageButtons::kOkCancel ? MB_OKCANCEL : MB_OK;
    if (icon == MessageIcon::kError) type |= MB_ICONERROR;
    const int answer = ::MessageBoxA(nullptr, text != nullptr ? text : "", caption, type);
    return answer == IDOK ? MessageAnswer::kOk : MessageAnswer::kCancel;
}

}  // namespace quillet
