#include "tests/app/TestFiles.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "container/DataFile.h"
#include "convert/ConversionFile.h"
#include "platform/LittleEndian.h"

namespace quillet::testing {
namespace {

// The table kind of a record list: type 3, subtype 0, record size 2.
constexpr std::uint8_t kRecordListType = 3;
constexpr std::uint8_t kRecordListSubtype = 0;
constexpr std::uint16_t kRecordListRecordSize = 2;

// "Ledgerly" as UTF-16LE: a signature of another application.
constexpr std::uint8_t kOtherSignature[16] = {'L', 0, 'e', 0, 'd', 0, 'g', 0,
                                              'e', 0, 'r', 0, 'l', 0, 'y', 0};

ResultCode FillNewFile(DataFile& file, const DataFileOptions& options) {
    ResultCode result =
        file.SetAppSignature(options.tallysetSignature ? kTallysetSignature : kOtherSignature);
    if (result != 0) return result;

    std::uint8_t appHeader[appheader::kSize] = {};
    Store16(appHeader + appheader::kLength, AppHeaderLengthForVersion(options.version));
    Store16(appHeader + appheader::kFormatVersion, options.version);
    if (options.emptyListIndex && (options.version == 4 || options.version == 5)) {
        std::uint16_t table = 0;
        result = file.CreateTable(&table, kRecordListType, kRecordListSubtype);
        if (result != 0) return result;
        result = file.SetTableRecordSize(table, kRecordListRecordSize);
        if (result != 0) return result;
        Store16(appHeader + appheader::kListIndexTable, table);
    }
    return file.SetAppHeader(appHeader, sizeof appHeader);
}

}  // namespace

ResultCode MakeDataFile(Platform& platform, const std::string& path,
                        const DataFileOptions& options) {
    DataFile file(platform);
    bool created = false;
    ResultCode result = file.Open(path.c_str(), &created, 0);
    if (result != 0) return result;
    if (!created) {
        file.Close();
        return -static_cast<ResultCode>(win32::kFileExists);
    }
    result = file.BeginAccess(true);
    if (result == 0) result = file.EndAccess(FillNewFile(file, options));
    file.Close();
    return result;
}

ResultCode ReadDataFile(Platform& platform, const std::string& path, std::uint16_t* version,
                        std::uint8_t* signature16) {
    DataFile file(platform);
    bool created = false;
    ResultCode result = file.Open(path.c_str(), &created, OpenReadOnly);
    if (result != 0) return result;
    result = file.BeginAccess(false);
    if (result == 0) {
        std::uint8_t appHeader[appheader::kSize] = {};
        ResultCode got = file.GetAppHeader(appHeader, sizeof appHeader);
        if (got == 0) got = file.GetAppSignature(signature16);
        *version = Load16(appHeader + appheader::kFormatVersion);
        result = file.EndAccess(got);
    }
    file.Close();
    return result;
}

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> FolderNames(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace quillet::testing
