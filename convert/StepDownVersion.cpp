// StepDownVersion: checks the application signature and the versions, runs
// the version steps on the application data and stores the new version.

#include <cstring>

#include "container/FileHeader.h"
#include "convert/ConversionFile.h"
#include "convert/ConvertCodes.h"
#include "platform/LittleEndian.h"

namespace quillet {

ResultCode ConversionFile::StepDownVersion(int targetVersion, DataFile* listSource) {
    std::uint8_t app[appheader::kSize];
    ResultCode result = GetAppHeader(app, appheader::kSize);
    if (result != 0) return result;
    std::uint8_t signature[header::kAppSignatureSize];
    result = GetAppSignature(signature);
    if (result != 0) return result;
    if (std::memcmp(signature, kTallysetSignature, sizeof signature) != 0) {
        return kConvertBadSignature;
    }
    if (targetVersion < 3) return kConvertRefused;
    const int version = Load16(app + appheader::kFormatVersion);
    if (version <= targetVersion || version > 5) return kConvertRefused;

    // The lists can come from elsewhere only for a single step: after the
    // step from 5 the step to 3 must read the lists the first one wrote.
    if (listSource != nullptr && version - targetVersion != 1) return kConvertRefused;
    DataFile& lists = listSource != nullptr ? *listSource : *this;
    if (version == 5 && targetVersion <= 4) {
        result = StepDown5To4(*this, Load16(app + appheader::kListIndexTable), lists);
        if (result != 0) return result;
    }
    // The test uses the version read above, so a version 5 file with target 3
    // passes through both steps.
    if (version >= 4 && targetVersion <= 3) {
        result = StepDown4To3(*this, app, lists);
        if (result != 0) return result;
    }

    const std::uint16_t length = AppHeaderLengthForVersion(targetVersion);
    Store16(app + appheader::kFormatVersion, static_cast<std::uint16_t>(targetVersion));
    Store16(app + appheader::kLength, length);
    if (length < appheader::kSize) std::memset(app + length, 0, appheader::kSize - length);
    return SetAppHeader(app, appheader::kSize);
}

}  // namespace quillet
