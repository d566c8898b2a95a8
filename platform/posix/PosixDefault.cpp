// The platform of a Linux build.

#include "platform/posix/PosixPlatform.h"

namespace quillet {

Platform& Platform::Default() {
    static PosixPlatform platform;
    return platform;
}

}  // namespace quillet
