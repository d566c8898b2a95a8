// The converter's flow: choose a file, read its format version, tell the user
// what can be done, convert after confirmation and keep a backup.

#include "app/Converter.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/ConverterTexts.h"
#include "container/DataFile.h"
#include "convert/ConversionFile.h"
#include "convert/ConversionRoute.h"
#include "convert/ConvertCodes.h"
#include "platform/LittleEndian.h"

namespace quillet {
namespace {

constexpr char kDialogTitle[] = "Choose the file to convert";
constexpr char kFilterName[] = "Quillet Files (*.qdx)";
constexpr char kFilterPattern[] = "*.qdx";
constexpr char kDefaultExtension[] = "qdx";
constexpr std::uint32_t kDialogFlags = 0x804;  // path must exist, hide read-only

constexpr const char* kTooOldText = texts::kTooOld;
constexpr const char* kOldestText = texts::kOldest;
constexpr const char* kTooNewText = texts::kTooNew;
constexpr const char* kConfirm4Text = texts::kConfirm4;
constexpr const char* kConfirm5Text = texts::kConfirm5;
constexpr char kConfirmCaption[] = "Confirm Conversion";
constexpr char kBackupFailedText[] = "Unable to make a backup copy of the file.";
constexpr char kSuccessText[] = "The file was converted successfully.";
constexpr char kSuccessCaption[] = "Success";

ResultCode FromWin32(Win32Error error) {
    return -static_cast<ResultCode>(error);
}

// Shows the dialog; the chosen-path buffer holds the offered name on entry and
// the chosen path on success. The text before its last separator becomes the
// initial folder and the text after it the offered file name.
bool ChooseFile(Platform& platform, void* instance, char* chosen) {
    char folder[kMaxPath] = {};
    const char* separator = platform.FindLastChar(chosen, platform.Separator());
    if (separator != nullptr) {
        const std::size_t folderLength = static_cast<std::size_t>(separator - chosen);
        std::memcpy(folder, chosen, folderLength);
        folder[folderLength] = '\0';
        std::memmove(chosen, separator + 1, std::strlen(separator + 1) + 1);
    }

    OpenFileDialog dialog;
    dialog.instance = instance;
    dialog.filterName = kFilterName;
    dialog.filterPattern = kFilterPattern;
    dialog.filterIndex = 1;
    dialog.initialFolder = folder;
    dialog.title = kDialogTitle;
    dialog.flags = kDialogFlags;
    dialog.defaultExtension = kDefaultExtension;
    const bool chosenOk = platform.ShowOpenFileDialog(dialog, chosen);
    chosen[kMaxPath - 1] = '\0';
    return chosenOk && chosen[0] != '\0';
}

// Opens the file read-only and reads its format version. The file is closed
// again before this returns, whatever happened.
ResultCode ReadFormatVersion(DataFile& file, const char* path, std::uint16_t* version) {
    bool created = false;
    ResultCode result = file.Open(path, &created, OpenReadOnly);
    if (result != 0) return result;

    *version = 0;
    result = file.BeginAccess(false);
    if (result == 0) {
        std::uint8_t appHeader[appheader::kSize] = {};
        const ResultCode got = file.GetAppHeader(appHeader, sizeof appHeader);
        if (got == 0) *version = Load16(appHeader + appheader::kFormatVersion);
        result = file.EndAccess(got);
    }
    file.Close();
    return result;
}

// A file converted in place must be writable: finding out only after the
// backup copy would leave a new copy behind on every attempt. The code is the
// one the conversion's own open would give.
ResultCode CheckWritable(Platform& platform, const char* path) {
    std::uint32_t attributes = 0;
    const Win32Error error = platform.GetPathAttributes(path, &attributes);
    if (error != win32::kSuccess) return FromWin32(error);
    if ((attributes & kFileAttributeReadOnly) != 0) return FromWin32(win32::kAccessDenied);
    return 0;
}

// After a failed conversion into `temp`: removes the temporary file, unless
// the conversion found its name taken or a link stands there now, for then
// what is there is not ours.
void RemoveFailedTemp(Platform& platform, const char* temp, ResultCode convertResult) {
    if (convertResult == kConvertTargetExists) return;
    std::uint32_t attributes = 0;
    if (platform.GetPathAttributes(temp, &attributes) == win32::kSuccess &&
        (attributes & kFileAttributeReparsePoint) != 0) {
        return;
    }
    platform.RemoveFile(temp);
}

// The converted file at `temp` takes the place of the chosen file, which moves
// to `backup`. The converted file first gets the access of the chosen file,
// and the chosen file's mutex is held across both renames, so that no opener
// of the file (which might create it) comes in between. Returns 0, or the code
// to report; after a failure the temporary file is gone and the chosen file is
// back under its name if it could be put back.
ResultCode PutConvertedInPlace(Platform& platform, const char* chosen, const char* temp,
                               const char* backup) {
    Win32Error error = platform.CopyAccess(chosen, temp);
    if (error != win32::kSuccess) {
        platform.RemoveFile(temp);
        return FromWin32(error);
    }
    FileMutexHold hold(platform);
    const ResultCode held = hold.Acquire(chosen);
    if (held != 0) {
        platform.RemoveFile(temp);
        return held;
    }
    error = platform.MoveFileTo(chosen, backup);
    if (error != win32::kSuccess) {
        platform.RemoveFile(temp);
        return FromWin32(error);
    }
    error = platform.MoveFileTo(temp, chosen);
    if (error != win32::kSuccess) {
        platform.MoveFileTo(backup, chosen);  // put the old file back; nothing more to do if not
        platform.RemoveFile(temp);
        return FromWin32(error);
    }
    return 0;
}

// Format 4: back up by copy, then convert in place to format 3. Returns the
// code to report, or 0 when the flow ended with a message of its own.
ResultCode ConvertInPlace(Platform& platform, const char* chosen, const SliceLimits& limits) {
    char backup[kMaxPath];
    ResultCode result = MakeBackupName(platform, chosen, backup);
    if (result == 0) result = CheckWritable(platform, chosen);
    if (result != 0) return result;

    // The copy never replaces a file (a name taken since it was found free
    // fails the copy) and takes back what it made when it fails.
    if (platform.CopyFileTo(chosen, backup) != win32::kSuccess) {
        platform.ShowMessageBox(kBackupFailedText, nullptr, MessageButtons::kOk,
                                MessageIcon::kError);
        return 0;
    }

    {
        ConversionFile conversion(platform, limits);
        result = conversion.Convert(chosen, 3, nullptr);
    }
    if (result != 0) return result;  // the backup copy stays
    platform.ShowMessageBox(kSuccessText, kSuccessCaption, MessageButtons::kOk, MessageIcon::kNone);
    return 0;
}

// Format 5, and format 4 when the in-place step cannot hold it: convert into a
// temporary file next to the chosen one down to `targetVersion`, then move the
// chosen file to its backup name and the temporary file to the chosen name.
// The chosen file is not touched before the conversion has succeeded, and the
// temporary file is gone after every failure.
ResultCode ConvertThroughCopy(Platform& platform, const char* chosen, int targetVersion,
                              const SliceLimits& limits) {
    // No backup name can fit or be free: known before the conversion's work.
    char backup[kMaxPath];
    ResultCode result = MakeBackupName(platform, chosen, backup);
    if (result != 0) return result;

    char temp[kMaxPath];
    result = MakeTempName(platform, chosen, temp);
    if (result != 0) return result;

    {
        ConversionFile conversion(platform, limits);
        result = conversion.Convert(temp, targetVersion, chosen);
    }
    if (result != 0) {
        RemoveFailedTemp(platform, temp, result);
        return result;
    }

    result = MakeBackupName(platform, chosen, backup);  // the first free name now
    if (result != 0) {
        platform.RemoveFile(temp);
        return result;
    }
    result = PutConvertedInPlace(platform, chosen, temp, backup);
    if (result != 0) return result;

    platform.ShowMessageBox(kSuccessText, kSuccessCaption, MessageButtons::kOk, MessageIcon::kNone);
    return 0;
}

// Tells the user what the format version allows and runs the conversion the
// user confirms. Returns the code to report, or 0.
ResultCode Classify(Platform& platform, const char* chosen, std::uint16_t version,
                    const SliceLimits& limits) {
    if (version <= 2) {
        platform.ShowMessageBox(kTooOldText, nullptr, MessageButtons::kOk, MessageIcon::kNone);
        return 0;
    }
    if (version == 3) {
        platform.ShowMessageBox(kOldestText, nullptr, MessageButtons::kOk, MessageIcon::kNone);
        return 0;
    }
    if (version >= 6) {
        platform.ShowMessageBox(kTooNewText, nullptr, MessageButtons::kOk, MessageIcon::kNone);
        return 0;
    }
    const char* question = version == 4 ? kConfirm4Text : kConfirm5Text;
    if (platform.ShowMessageBox(question, kConfirmCaption, MessageButtons::kOkCancel,
                                MessageIcon::kNone) != MessageAnswer::kOk) {
        return 0;
    }
    if (version == 5) return ConvertThroughCopy(platform, chosen, 4, limits);
    // The route only reads the file, before the backup is made; a file that
    // cannot be read is reported as the conversion would report it.
    ConversionRoute route = ConversionRoute::kInPlace;
    const ResultCode routed = ChooseConversionRoute(platform, chosen, version, &route, limits);
    if (routed != 0) return routed;
    return route == ConversionRoute::kInPlace ? ConvertInPlace(platform, chosen, limits)
                                              : ConvertThroughCopy(platform, chosen, 3, limits);
}

}  // namespace

void ReportError(Platform& platform, ResultCode code) {
    char text[256];
    std::snprintf(text, sizeof text, texts::kErrorFormat, static_cast<int>(code));
    platform.ShowMessageBox(text, nullptr, MessageButtons::kOk, MessageIcon::kNone);
}

int RunConverter(Platform& platform, void* instance, const SliceLimits& limits) {
    char chosen[kMaxPath] = {};
    if (!ChooseFile(platform, instance, chosen)) return 0;

    // The inspecting file lives for the whole run, and is closed before the
    // user is asked anything and before the file is converted.
    DataFile inspection(platform);
    std::uint16_t version = 0;
    ResultCode result = ReadFormatVersion(inspection, chosen, &version);
    if (result == 0) result = Classify(platform, chosen, version, limits);
    if (result != 0) ReportError(platform, result);
    return result;
}

}  // namespace quillet
