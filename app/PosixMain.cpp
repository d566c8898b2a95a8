// Entry point on POSIX systems. The program takes no arguments and reads no
// environment or settings: everything it needs comes from the user.

#include "app/Converter.h"

int main() {
    return quillet::RunConverter(quillet::Platform::Default(), nullptr);
}
