// The user interface on Windows: the common open-file dialog and message boxes.

#include <windows.h>
// commdlg.h needs the types of windows.h first.
#include <commdlg.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

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

// Room for the path the user chooses: more than the longest path the system
// accepts (32767 UTF-16 units) can take in UTF-8, so the dialog never cuts a
// choice and a path too long for kMaxPath bytes is seen whole.
constexpr std::size_t kDialogBufferSize = 3 * 32768 + 1;

// The program's icon (icon resource 1 of the executable) on the title bar of
// the open-file dialog. For the lifetime of this object a CBT hook of the
// calling thread gives the first top-level window activated on the thread, the
// dialog, the icon in both sizes (WM_SETICON). A program without that icon
// (the test programs) installs no hook, and the dialog is as the system makes
// it. The icons are shared resources of the module: nothing to free.
class DialogIcon {
  public:
    DialogIcon() {
        HMODULE module = ::GetModuleHandleA(nullptr);
        small_ = static_cast<HICON>(::LoadImageA(module, MAKEINTRESOURCEA(1), IMAGE_ICON,
                                                 ::GetSystemMetrics(SM_CXSMICON),
                                                 ::GetSystemMetrics(SM_CYSMICON), LR_SHARED));
        big_ = static_cast<HICON>(::LoadImageA(module, MAKEINTRESOURCEA(1), IMAGE_ICON,
                                               ::GetSystemMetrics(SM_CXICON),
                                               ::GetSystemMetrics(SM_CYICON), LR_SHARED));
        if (small_ == nullptr && big_ == nullptr) return;
        current_ = this;
        // SetWindowsHookExA: on failure (null) the dialog just has no icon.
        hook_ = ::SetWindowsHookExA(WH_CBT, &DialogIcon::OnCbt, nullptr, ::GetCurrentThreadId());
        if (hook_ == nullptr) current_ = nullptr;
    }
    DialogIcon(const DialogIcon&) = delete;
    DialogIcon& operator=(const DialogIcon&) = delete;
    ~DialogIcon() {
        if (hook_ != nullptr) ::UnhookWindowsHookEx(hook_);
        if (current_ == this) current_ = nullptr;
    }

  private:
    static LRESULT CALLBACK OnCbt(int code, WPARAM wParam, LPARAM lParam) {
        DialogIcon* self = current_;
        if (code == HCBT_ACTIVATE && self != nullptr && !self->done_) {
            HWND window = reinterpret_cast<HWND>(wParam);
            if (::GetAncestor(window, GA_ROOTOWNER) == window) {
                if (self->small_ != nullptr) {
                    ::SendMessageA(window, WM_SETICON, ICON_SMALL,
                                   reinterpret_cast<LPARAM>(self->small_));
                }
                if (self->big_ != nullptr) {
                    ::SendMessageA(window, WM_SETICON, ICON_BIG,
                                   reinterpret_cast<LPARAM>(self->big_));
                }
                self->done_ = true;
            }
        }
        return ::CallNextHookEx(nullptr, code, wParam, lParam);
    }

    // The hook procedure has no context of its own: the object of this
    // thread's dialog is found here.
    static thread_local DialogIcon* current_;
    HICON small_ = nullptr;
    HICON big_ = nullptr;
    HHOOK hook_ = nullptr;
    bool done_ = false;
};

thread_local DialogIcon* DialogIcon::current_ = nullptr;

}  // namespace

// GetOpenFileNameA with an OPENFILENAMEA record of the pre-2000 size: no owner
// window, the given instance, a filter list of the one pair name/pattern ended
// by an empty string, no custom filter, the filter index, no file title
// buffer, the initial folder, title, flags and default extension, no hook,
// template or custom data. The program's icon is put on the dialog's title
// bar (DialogIcon).
//
// The file buffer is not `path` itself but one large enough for any path
// (kDialogBufferSize), offered `path` as its name. A chosen path of up to
// kMaxPath - 1 bytes is copied to `path`. A longer one, which the system's
// 260-byte buffer would refuse or cut (in UTF-8 a name of fewer than 260
// characters can take far more bytes), is never passed on: the message box
// "The path is too long: <path>" with the error icon says so, and the dialog
// is shown again, offering no name. Returns false when the user cancelled or
// the dialog failed; a filter name and pattern that do not fit into 512 bytes
// together make the dialog fail rather than being cut.
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
    path[kMaxPath - 1] = '\0';
    std::string offered(path);

    // Bytes after the offered name are not zero, so a result that the system
    // left without its terminating zero is seen as such.
    std::vector<char> buffer(kDialogBufferSize);
    for (;;) {
        std::memset(buffer.data(), 0x01, buffer.size());
        std::memcpy(buffer.data(), offered.c_str(), offered.size() + 1);

        OPENFILENAMEA record;
        std::memset(&record, 0, sizeof record);
        record.lStructSize = kOpenFileNameSize400;
        record.hwndOwner = nullptr;
        record.hInstance = static_cast<HINSTANCE>(dialog.instance);
        record.lpstrFilter = filter;
        record.lpstrCustomFilter = nullptr;
        record.nMaxCustFilter = 0;
        record.nFilterIndex = dialog.filterIndex;
        record.lpstrFile = buffer.data();
        record.nMaxFile = static_cast<DWORD>(buffer.size());
        record.lpstrFileTitle = nullptr;
        record.nMaxFileTitle = 0;
        record.lpstrInitialDir = dialog.initialFolder;
        record.lpstrTitle = dialog.title;
        record.Flags = dialog.flags;
        record.lpstrDefExt = dialog.defaultExtension;
        record.lCustData = 0;
        record.lpfnHook = nullptr;
        record.lpTemplateName = nullptr;
        bool chosen = false;
        {
            DialogIcon icon;
            chosen = ::GetOpenFileNameA(&record) != FALSE;
        }
        if (!chosen) return false;
        const void* end = std::memchr(buffer.data(), '\0', buffer.size());
        if (end == nullptr) return false;
        const std::size_t length =
            static_cast<std::size_t>(static_cast<const char*>(end) - buffer.data());
        if (length < kMaxPath) {
            std::memcpy(path, buffer.data(), length + 1);
            return true;
        }
        const std::string notice = "The path is too long: " + std::string(buffer.data(), length);
        ShowMessageBox(notice.c_str(), nullptr, MessageButtons::kOk, MessageIcon::kError);
        offered.clear();
    }
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
