// Names of the files made next to the chosen file: the backup and the
// temporary file of a conversion.

#include <cstdio>
#include <cstring>

#include "app/Converter.h"

namespace quillet {
namespace {

// Copies at most kMaxPath - 1 bytes of `text` into `out` and terminates it.
void CopyPath(char* out, const char* text) {
    std::size_t length = std::strlen(text);
    if (length > kMaxPath - 1) length = kMaxPath - 1;
    std::memcpy(out, text, length);
    out[length] = '\0';
}

}  // namespace

ResultCode MakeBackupName(Platform& platform, const char* path, char* out) {
    out[0] = '\0';
    char stem[kMaxPath];
    CopyPath(stem, path);

    // The extension is the text from the last dot of the file name on. A dot in
    // a folder name is no extension: cutting there would put the backup into
    // the parent folder under the folder's name.
    const char* separator = platform.FindLastChar(stem, platform.Separator());
    const char* dot = platform.FindLastChar(stem, '.');
    std::size_t stemLength = std::strlen(stem);
    if (dot != nullptr && (separator == nullptr || dot > separator)) {
        stemLength = static_cast<std::size_t>(dot - stem);
    }
    stem[stemLength] = '\0';

    char candidate[kMaxPath];
    for (int n = 1; n <= kMaxBackupNumber; ++n) {
        char suffix[32];
        if (n == 1) {
            std::snprintf(suffix, sizeof suffix, " Backup.%s", "qdx");
        } else {
            std::snprintf(suffix, sizeof suffix, " Backup %d.%s", n, "qdx");
        }
        const std::size_t suffixLength = std::strlen(suffix);
        // A suffix cut at the end of the buffer would make names that no longer
        // differ (or no longer end in ".qdx"); longer numbers cannot fit either.
        if (stemLength + suffixLength > kMaxPath - 1) return kNoBackupName;
        std::memcpy(candidate, stem, stemLength);
        std::memcpy(candidate + stemLength, suffix, suffixLength + 1);

        std::uint32_t attributes = 0;
        const Win32Error error = platform.GetPathAttributes(candidate, &attributes);
        if (error == win32::kSuccess) continue;  // taken: try the next number
        // Only a name that certainly names nothing of any kind (a symlink that
        // points nowhere takes its name too) is free; a name whose state is
        // unknown is not used.
        if (error != win32::kFileNotFound && error != win32::kPathNotFound) {
            return -static_cast<ResultCode>(error);
        }
        std::memcpy(out, candidate, stemLength + suffixLength + 1);
        return 0;
    }
    return kNoBackupName;
}

ResultCode MakeTempName(Platform& platform, const char* path, char* out) {
    out[0] = '\0';
    char folder[kMaxPath];
    CopyPath(folder, path);
    const char* separator = platform.FindLastChar(folder, platform.Separator());
    if (separator != nullptr) {
        folder[separator - folder + 1] = '\0';  // keep the folder with its separator
    } else {
        folder[0] = '\0';  // the current folder
    }

    char name[kMaxPath] = {};
    Win32Error error = platform.MakeTempFile(folder, "RXV", name);
    if (error != win32::kSuccess) return -static_cast<ResultCode>(error);
    name[kMaxPath - 1] = '\0';
    // The conversion creates the file itself, as a new file: should anyone
    // take the name meanwhile, the conversion fails on it (-80) and leaves
    // what stands there alone.
    error = platform.RemoveFile(name);
    if (error != win32::kSuccess) return -static_cast<ResultCode>(error);
    CopyPath(out, name);
    return 0;
}

}  // namespace quillet
