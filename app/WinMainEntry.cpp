// Entry point of the Windows program. It takes no arguments and reads no
// environment or settings: only the instance handle is used, for the dialog.
//
// The signature is the one the Windows runtime calls, spelt without the
// system's headers (those belong to the platform layer): an instance handle is
// a pointer to the opaque HINSTANCE__, the command line a char pointer, and
// the function has C linkage and the stdcall convention (the only convention
// on x86_64, where the attribute changes nothing).

#include "app/Converter.h"

struct HINSTANCE__;

#if defined(__i386__)
#define QUILLET_WINAPI __attribute__((stdcall))
#else
#define QUILLET_WINAPI
#endif

extern "C" int QUILLET_WINAPI WinMain(HINSTANCE__* instance, HINSTANCE__* /*previous*/,
                                      char* /*commandLine*/, int /*show*/) {
    return quillet::RunConverter(quillet::Platform::Default(), instance);
}
