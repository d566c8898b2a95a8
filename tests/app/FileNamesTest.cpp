// Backup and temporary names, and the error message, against a real folder or
// a scripted view of which names exist.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "app/Converter.h"
#include "tests/app/ScriptedPlatform.h"
#include "tests/app/TestFiles.h"
#include "tests/support/TempDir.h"

namespace quillet {
namespace {

using testing::ScriptedPlatform;
using testing::TempDir;

void Touch(const std::string& path) {
    std::ofstream(path) << "x";
}

std::string Backup(Platform& platform, const std::string& path, ResultCode* code = nullptr) {
    char out[kMaxPath];
    std::memset(out, 'z', sizeof out);
    const ResultCode result = MakeBackupName(platform, path.c_str(), out);
    if (code != nullptr) *code = result;
    return out;
}

// A scripted folder: exactly the names in `existing` exist.
void UseNames(ScriptedPlatform& platform, const std::set<std::string>& existing) {
    platform.attributesHook = [existing](const char* path) {
        return existing.count(path) != 0 ? win32::kSuccess : win32::kFileNotFound;
    };
}

TEST(BackupName, FirstFreeNumberAfterTakenNames) {
    TempDir dir;
    ScriptedPlatform platform(Platform::Default());
    const std::string list = dir.File("List.qdx");
    Touch(list);
    EXPECT_EQ(Backup(platform, list), dir.File("List Backup.qdx"));

    Touch(dir.File("List Backup.qdx"));
    EXPECT_EQ(Backup(platform, list), dir.File("List Backup 2.qdx"));

    Touch(dir.File("List Backup 2.qdx"));
    ResultCode code = -1;
    EXPECT_EQ(Backup(platform, list, &code), dir.File("List Backup 3.qdx"));
    EXPECT_EQ(code, 0);
    // A folder of that name is taken too.
    std::filesystem::create_directory(dir.File("List Backup 3.qdx"));
    EXPECT_EQ(Backup(platform, list), dir.File("List Backup 4.qdx"));
    // A gap in the numbers is filled.
    std::filesystem::remove(dir.File("List Backup 2.qdx"));
    EXPECT_EQ(Backup(platform, list), dir.File("List Backup 2.qdx"));
}

TEST(BackupName, ExtensionIsCutFromTheFileNameOnly) {
    TempDir dir;
    ScriptedPlatform platform(Platform::Default());
    std::filesystem::create_directory(dir.File("dir.v2"));
    // No dot at all: the suffix goes after the whole path.
    EXPECT_EQ(Backup(platform, dir.File("List")), dir.File("List Backup.qdx"));
    // A dot only in a folder name is no extension; the backup stays in that folder.
    EXPECT_EQ(Backup(platform, dir.File("dir.v2/List")), dir.File("dir.v2/List Backup.qdx"));
    // Only the last dot of the file name starts the extension.
    EXPECT_EQ(Backup(platform, dir.File("dir.v2/List.old.qdx")),
              dir.File("dir.v2/List.old Backup.qdx"));
    // Another extension is replaced by ".qdx".
    EXPECT_EQ(Backup(platform, dir.File("List.txt")), dir.File("List Backup.qdx"));
}

TEST(BackupName, UsesThePlatformSeparator) {
    ScriptedPlatform platform(Platform::Default());
    platform.separator = '\\';
    UseNames(platform, {"C:\\dir.v2\\List Backup.qdx"});
    EXPECT_EQ(Backup(platform, "C:\\dir.v2\\List"), "C:\\dir.v2\\List Backup 2.qdx");
    // With '\\' as the separator a '/' is an ordinary byte.
    UseNames(platform, {});
    EXPECT_EQ(Backup(platform, "C:\\a.b/List"), "C:\\a Backup.qdx");
}

TEST(BackupName, SuffixThatDoesNotFitIsRefused) {
    ScriptedPlatform platform(Platform::Default());
    UseNames(platform, {});
    const std::string suffix = " Backup.qdx";  // 11 bytes
    const std::string fits(kMaxPath - 1 - suffix.size(), 'a');
    ResultCode code = -1;
    const std::string name = Backup(platform, fits + ".qdx", &code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(name, fits + suffix);
    EXPECT_EQ(name.size(), kMaxPath - 1);

    // One byte longer: the unnumbered name would be cut.
    const std::string tooLong = fits + "b";
    EXPECT_EQ(Backup(platform, tooLong + ".qdx", &code), "");
    EXPECT_EQ(code, kNoBackupName);

    // The unnumbered name fits but is taken, and " Backup 2.qdx" is longer.
    UseNames(platform, {fits + suffix});
    EXPECT_EQ(Backup(platform, fits + ".qdx", &code), "");
    EXPECT_EQ(code, kNoBackupName);

    // A path cut at 259 bytes, without any dot: its end is where the suffix
    // would go, so no name fits.
    UseNames(platform, {});
    EXPECT_EQ(Backup(platform, std::string(400, 'c'), &code), "");
    EXPECT_EQ(code, kNoBackupName);
}

TEST(BackupName, SearchStopsAtTheLargestNumber) {
    ScriptedPlatform platform(Platform::Default());
    platform.attributesHook = [](const char*) { return win32::kSuccess; };
    ResultCode code = -1;
    EXPECT_EQ(Backup(platform, "/folder/List.qdx", &code), "");
    EXPECT_EQ(code, kNoBackupName);
    EXPECT_EQ(platform.attributeQueries, kMaxBackupNumber);

    // The largest number itself is still used.
    platform.attributeQueries = 0;
    platform.attributesHook = [](const char* path) {
        return std::string(path) == "/folder/List Backup 9999.qdx" ? win32::kFileNotFound
                                                                   : win32::kSuccess;
    };
    EXPECT_EQ(Backup(platform, "/folder/List.qdx", &code), "/folder/List Backup 9999.qdx");
    EXPECT_EQ(code, 0);
}

TEST(BackupName, UnknownStateOfANameIsAnError) {
    ScriptedPlatform platform(Platform::Default());
    platform.attributesHook = [](const char*) { return win32::kAccessDenied; };
    ResultCode code = 0;
    EXPECT_EQ(Backup(platform, "/folder/List.qdx", &code), "");
    EXPECT_EQ(code, -static_cast<ResultCode>(win32::kAccessDenied));
    // A missing folder on the way counts as free, as a missing file does.
    platform.attributesHook = [](const char*) { return win32::kPathNotFound; };
    EXPECT_EQ(Backup(platform, "/folder/List.qdx", &code), "/folder/List Backup.qdx");
    EXPECT_EQ(code, 0);
}

TEST(TempName, IsAFreeNameInTheFolderOfThePath) {
    TempDir dir;
    ScriptedPlatform platform(Platform::Default());
    char out[kMaxPath];
    ASSERT_EQ(MakeTempName(platform, dir.File("List.qdx").c_str(), out), 0);
    const std::filesystem::path temp(out);
    EXPECT_EQ(temp.parent_path(), dir.path());
    const std::string name = temp.filename().string();
    EXPECT_EQ(name.rfind("RXV", 0), 0u) << name;
    // The system picks the letter case of the extension (".TMP" here, ".tmp"
    // on Windows).
    EXPECT_TRUE(testing::IsTemporaryName(name)) << name;
    EXPECT_FALSE(std::filesystem::exists(temp));  // reserved, then deleted again
    EXPECT_TRUE(testing::FolderNames(dir.path()).empty());
    ASSERT_EQ(platform.calls.size(), 2u);
    EXPECT_EQ(platform.calls[0], "temp " + dir.path().string() + platform.Separator() + " RXV");
    EXPECT_EQ(platform.calls[1], "remove " + temp.string());
}

TEST(TempName, WithoutSeparatorTheCurrentFolderIsAsked) {
    ScriptedPlatform platform(Platform::Default());
    platform.tempHook = [](const char*) { return win32::kAccessDenied; };
    char out[kMaxPath] = "stale";
    EXPECT_EQ(MakeTempName(platform, "List.qdx", out), -5);
    EXPECT_STREQ(out, "");
    ASSERT_EQ(platform.calls.size(), 1u);
    EXPECT_EQ(platform.calls[0], "temp  RXV");
}

TEST(TempName, FailureToFreeTheNameIsReported) {
    TempDir dir;
    ScriptedPlatform platform(Platform::Default());
    platform.removeHook = [](const char*) { return win32::kSharingViolation; };
    char out[kMaxPath];
    EXPECT_EQ(MakeTempName(platform, dir.File("List.qdx").c_str(), out), -32);
    EXPECT_STREQ(out, "");
}

TEST(ErrorReport, ShowsTheSignedCodeWithTheDefaultCaption) {
    ScriptedPlatform platform(Platform::Default());
    ReportError(platform, -80);
    ReportError(platform, 7204);
    ASSERT_EQ(platform.messages.size(), 2u);
    EXPECT_EQ(platform.messages[0].text, "Error -80 occurred attempting to access the file.");
    EXPECT_EQ(platform.messages[0].caption, "<none>");
    EXPECT_EQ(platform.messages[0].buttons, MessageButtons::kOk);
    EXPECT_EQ(platform.messages[0].icon, MessageIcon::kNone);
    EXPECT_EQ(platform.messages[1].text, "Error 7204 occurred attempting to access the file.");
}

}  // namespace
}  // namespace quillet
