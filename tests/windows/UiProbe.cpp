// ui-probe: finds the top-level windows of another program by caption, prints
// their controls, types into the open-file dialog and presses buttons. The user
// interface test (run-ui-test.sh) drives quillet-convert.exe with it.
//
//   ui-probe wait <caption> <timeout ms>   print the window's controls, exit 0;
//                                          exit 1 when it does not appear in time
//   ui-probe gone <caption> <timeout ms>   exit 0 once no such window exists
//   ui-probe type <caption> <text>         set the file-name field of a dialog
//   ui-probe press <caption> <control id>  press the button with that id
//   ui-probe icons <program.exe> 1         print the sizes of the program's
//                                          first icon group ("icon sizes 16 32")
//
// Control lines: "control <id> <class> <visible 0/1> <text>"; an icon control
// adds "icon error" (the system's error icon), "icon other" or "icon none".
// After the "window <title>" line, "title icon 1" tells that the window has an
// icon of its own for its title bar (WM_GETICON), "title icon 0" that it has
// none.
//
// The probe is linked with the converter's manifest, so it speaks the same
// UTF-8 code page: captions and texts on its command line and in its output
// are UTF-8.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Search {
    std::string caption;
    HWND found = nullptr;
};

BOOL CALLBACK FindTopLevel(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    if (!::IsWindowVisible(window)) return TRUE;
    char text[512] = {};
    ::GetWindowTextA(window, text, sizeof text);
    if (search->caption == text) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND FindWindowByCaption(const std::string& caption) {
    Search search{caption, nullptr};
    ::EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForWindow(const std::string& caption, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        HWND window = FindWindowByCaption(caption);
        if (window != nullptr) return window;
        if (::GetTickCount() - start >= timeoutMs) return nullptr;
        ::Sleep(100);
    }
}

std::vector<HWND> Children(HWND window) {
    std::vector<HWND> children;
    ::EnumChildWindows(
        window,
        [](HWND child, LPARAM context) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(context)->push_back(child);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&children));
    return children;
}

std::string TextOf(HWND window) {
    // WM_GETTEXT works across processes for standard controls.
    char text[2048] = {};
    ::SendMessageA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return text;
}

void PrintControls(HWND window) {
    std::printf("window %s\n", TextOf(window).c_str());
    const bool titleIcon = ::SendMessageA(window, WM_GETICON, ICON_SMALL, 0) != 0 ||
                           ::SendMessageA(window, WM_GETICON, ICON_BIG, 0) != 0;
    std::printf("title icon %d\n", titleIcon ? 1 : 0);
    HICON errorIcon = ::LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_ERROR));
    for (HWND child : Children(window)) {
        char className[128] = {};
        ::GetClassNameA(child, className, sizeof className);
        std::string text = TextOf(child);
        for (char& c : text) {
            if (c == '\n' || c == '\r') c = ' ';
        }
        std::printf("control %d %s %d %s\n", ::GetDlgCtrlID(child), className,
                    ::IsWindowVisible(child) ? 1 : 0, text.c_str());
        const LONG style = ::GetWindowLongA(child, GWL_STYLE);
        if (std::string(className) == "Static" && (style & SS_TYPEMASK) == SS_ICON) {
            HICON shown = reinterpret_cast<HICON>(::SendMessageA(child, STM_GETICON, 0, 0));
            std::printf("icon %s\n", shown == nullptr     ? "none"
                                     : shown == errorIcon ? "error"
                                                          : "other");
        }
    }
    std::fflush(stdout);
}

int Usage() {
    std::fprintf(stderr, "usage: ui-probe wait|gone|type|press|icons <caption> <argument>\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return Usage();
    const std::string command = argv[1];
    const std::string caption = argv[2];
    const std::string argument = argv[3];
    if (command == "wait") {
        HWND window =
            WaitForWindow(caption, static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)));
        if (window == nullptr) {
            std::printf("no window \"%s\"\n", caption.c_str());
            return 1;
        }
        ::Sleep(300);  // let the window finish laying out its controls
        PrintControls(window);
        return 0;
    }
    if (command == "icons") {
        // The group icon resource 1 (RT_GROUP_ICON): a 6-byte header whose
        // last word is the count, then 14 bytes per image, width first (0
        // meaning 256). Explorer shows a program's first group.
        HMODULE module = ::LoadLibraryExA(caption.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (module == nullptr) return 1;
        HRSRC found = ::FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(14));
        HGLOBAL loaded = found != nullptr ? ::LoadResource(module, found) : nullptr;
        const auto* bytes =
            static_cast<const unsigned char*>(loaded != nullptr ? ::LockResource(loaded) : nullptr);
        const DWORD size = found != nullptr ? ::SizeofResource(module, found) : 0;
        if (bytes == nullptr || size < 6) {
            std::printf("no icon group\n");
            ::FreeLibrary(module);
            return 1;
        }
        const unsigned count = bytes[4] | (bytes[5] << 8);
        std::printf("icon sizes");
        for (unsigned i = 0; i < count && 6 + 14 * (i + 1) <= size; ++i) {
            const unsigned width = bytes[6 + 14 * i];
            std::printf(" %u", width == 0 ? 256 : width);
        }
        std::printf("\n");
        ::FreeLibrary(module);
        return 0;
    }
    if (command == "gone") {
        const DWORD timeout = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10));
        const DWORD start = ::GetTickCount();
        while (FindWindowByCaption(caption) != nullptr) {
            if (::GetTickCount() - start >= timeout) return 1;
            ::Sleep(100);
        }
        return 0;
    }
    HWND window = WaitForWindow(caption, 10000);
    if (window == nullptr) {
        std::printf("no window \"%s\"\n", caption.c_str());
        return 1;
    }
    if (command == "type") {
        // The file-name field: edt1 (0x480) or the combo box cmb13 (0x47C).
        HWND field = ::GetDlgItem(window, 0x47C);
        if (field == nullptr) field = ::GetDlgItem(window, 0x480);
        if (field == nullptr) return 1;
        ::SendMessageA(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argument.c_str()));
        std::printf("typed %s\n", TextOf(field).c_str());
        return 0;
    }
    if (command == "press") {
        const int id = std::atoi(argument.c_str());
        HWND button = ::GetDlgItem(window, id);
        if (button == nullptr) return 1;
        // Posted, so that the probe never waits for the dialog to finish.
        ::PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                       reinterpret_cast<LPARAM>(button));
        return 0;
    }
    return Usage();
}
