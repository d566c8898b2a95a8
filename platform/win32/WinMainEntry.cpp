// Entry point of the Windows program. It takes no arguments and reads no
// environment or settings: only the instance handle is used, for the dialog.

#include <windows.h>

#include "app/Converter.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
    return quillet::RunConverter(quillet::Platform::Default(), instance);
}
