// The converter's decision for a file and the dry run of its conversion.

#include "check/ConvertForecast.h"

#include <cstdio>

#include "app/ConverterTexts.h"
#include "check/DryRunPlatform.h"
#include "convert/ConversionFile.h"
#include "convert/ConversionRoute.h"
#include "convert/ConvertCodes.h"

namespace quillet {

namespace {

// The converter's own texts.
constexpr const char* kTooOldText = texts::kTooOld;
constexpr const char* kOldestText = texts::kOldest;
constexpr const char* kTooNewText = texts::kTooNew;
constexpr const char* kConfirm4Text = texts::kConfirm4;
constexpr const char* kConfirm5Text = texts::kConfirm5;

// Names of the dry run's files in memory.
constexpr char kDryChosen[] = "dry-run.qdx";
constexpr char kDryTemporary[] = "RXV0000.TMP";

std::string ErrorMessage(ResultCode code) {
    char text[96];
    std::snprintf(text, sizeof text, texts::kErrorFormat, static_cast<int>(code));
    return text;
}

void SetError(ConvertForecast& f, ResultCode code, const char* step) {
    f.action = ConvertAction::kError;
    f.code = code;
    f.meaning = MeaningOfCode(code);
    f.message = ErrorMessage(code);
    f.step = step;
}

ConvertAction ActionOf(ConversionRoute route) {
    return route == ConversionRoute::kThroughTemporaryFile ? ConvertAction::kThroughTemporaryFile
                                                           : ConvertAction::kInPlace;
}

}  // namespace

std::int64_t ReclaimableBlocks(Platform& platform, const std::vector<std::uint8_t>& snapshot) {
    DryRunPlatform dry(platform);
    dry.PutFile(kDryChosen, snapshot);
    ConversionFile file(dry);
    bool created = false;
    if (file.Open(kDryChosen, &created, OpenShareRead) != 0) return -1;
    ResultCode r = file.BeginAccess(true);
    if (r != 0) return -1;
    const std::int64_t before = file.FileBlocks();
    r = file.EndAccess(file.CompactFile());
    if (r == kCompactNothingToGain) return 0;
    if (r != 0) return -1;
    const std::int64_t after = file.FileBlocks();
    file.Close();
    return before > after ? before - after : 0;
}

void ForecastConversion(Platform& platform, const char* path,
                        const std::vector<std::uint8_t>& snapshot, bool sharedElsewhere,
                        FileReport& report, const ProgressFunction& progress) {
    ConvertForecast& f = report.forecast;
    const std::uint16_t version = report.formatVersion;
    f.fromVersion = version;
    if (sharedElsewhere) {
        // The converter's open shares nothing, so it meets the other opener.
        SetError(f, 22, "opening the file to read its format version");
        return;
    }
    if (version <= 2 || version == 3 || version >= 6) {
        f.action = ConvertAction::kNotOffered;
        f.message = version <= 2 ? kTooOldText : version == 3 ? kOldestText : kTooNewText;
        return;
    }
    f.toVersion = version - 1;
    f.message = version == 4 ? kConfirm4Text : kConfirm5Text;
    // The converter's own choice, made from the file on disk (read only).
    ConversionRoute route = ConversionRoute::kInPlace;
    const ResultCode chosen = ChooseConversionRoute(platform, path, version, &route);
    if (chosen != 0) {
        SetError(f, chosen, "choosing how to convert the file");
        return;
    }
    f.route = ActionOf(route);
    f.action = f.route;
    // The converter refuses to convert a read-only file in place before it
    // makes the backup copy, with the code its own open would give.
    std::uint32_t attributes = 0;
    if (f.route == ConvertAction::kInPlace &&
        platform.GetPathAttributes(path, &attributes) == win32::kSuccess &&
        (attributes & kFileAttributeReadOnly) != 0) {
        SetError(f, -static_cast<ResultCode>(win32::kAccessDenied),
                 "checking that the file can be converted in place");
        return;
    }

    if (snapshot.empty()) {
        SetError(f, 3,
                 "reading the file (quillet-check could not read a copy of it for the dry run)");
        return;
    }
    if (progress) progress("conversion dry run");
    DryRunPlatform dry(platform);
    dry.PutFile(kDryChosen, snapshot);
    ResultCode r = 0;
    const char* result = kDryChosen;
    {
        ConversionFile conversion(dry);
        if (f.action == ConvertAction::kInPlace) {
            r = conversion.Convert(kDryChosen, f.toVersion, nullptr);
        } else {
            r = conversion.Convert(kDryTemporary, f.toVersion, kDryChosen);
            result = kDryTemporary;
        }
    }
    f.dryRun = true;
    if (r != 0) {
        SetError(f, r,
                 f.route == ConvertAction::kInPlace ? "converting the file in place"
                                                    : "converting into the temporary file");
        return;
    }
    if (const std::vector<std::uint8_t>* bytes = dry.FileBytes(result)) {
        f.convertedBytes = bytes->size();
    }
}

}  // namespace quillet
