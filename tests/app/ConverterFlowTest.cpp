// The converter's flow against a scripted user interface, with the real engine
// and conversion on real files and failures injected at chosen system calls.

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/Converter.h"
#include "convert/ConversionFile.h"
#include "tests/app/ScriptedPlatform.h"
#include "tests/app/TestFiles.h"
#include "tests/support/TempDir.h"

namespace quillet {
namespace {

using testing::DataFileOptions;
using testing::FolderNames;
using testing::ReadBytes;
using testing::ScriptedPlatform;
using testing::ShownMessage;
using testing::TempDir;
using Names = std::vector<std::string>;

constexpr char kTooOld[] =
    "This file was created with a version of Quillet that is older than Version 2.0 and "
    "cannot be converted. Use Quillet to convert this file to a newer format.";
constexpr char kOldest[] =
    "This file is already in Quillet Version 2.0 format, which is the oldest version this "
    "program can convert to. Use Quillet to convert this file to a newer format.";
constexpr char kTooNew[] =
    "This file was created with a version of Quillet that is newer than this conversion "
    "program.  Use a newer version of this program to convert this file.";
constexpr char kConfirm4[] =
    "OK to convert this file to Quillet Version 2.0?  The current version of Quillet is "
    "Version 4.0, so please make sure you are not converting this file twice.";
constexpr char kConfirm5[] = "OK to convert this file to Quillet Version 3.0?";
constexpr char kSuccess[] = "The file was converted successfully.";
constexpr char kBackupFailed[] = "Unable to make a backup copy of the file.";

std::string ErrorText(ResultCode code) {
    return "Error " + std::to_string(code) + " occurred attempting to access the file.";
}

void ExpectMessage(const ShownMessage& m, const std::string& text, const std::string& caption,
                   MessageButtons buttons, MessageIcon icon = MessageIcon::kNone) {
    EXPECT_EQ(m.text, text);
    EXPECT_EQ(m.caption, caption);
    EXPECT_EQ(m.buttons, buttons);
    EXPECT_EQ(m.icon, icon);
}

void ExpectErrorMessage(const ScriptedPlatform& p, ResultCode code) {
    ASSERT_FALSE(p.messages.empty());
    ExpectMessage(p.messages.back(), ErrorText(code), "<none>", MessageButtons::kOk);
}

std::uint16_t VersionOf(const std::string& path) {
    std::uint16_t version = 0xFFFF;
    std::uint8_t signature[16];
    EXPECT_EQ(testing::ReadDataFile(Platform::Default(), path, &version, signature), 0);
    return version;
}

class ConverterFlow : public ::testing::Test {
  protected:
    ConverterFlow() : platform(Platform::Default()) {}

    // Makes List.qdx and points the dialog at it.
    void MakeList(std::uint16_t version, bool tallyset = true) {
        DataFileOptions options;
        options.version = version;
        options.tallysetSignature = tallyset;
        ASSERT_EQ(testing::MakeDataFile(Platform::Default(), list, options), 0);
        original = ReadBytes(list);
        ASSERT_FALSE(original.empty());
        platform.dialogAnswer = list;
    }
    int Run() { return RunConverter(platform, &instanceToken); }

    TempDir dir;
    ScriptedPlatform platform;
    std::string list = dir.File("List.qdx");
    std::vector<std::uint8_t> original;
    int instanceToken = 0;
};

TEST_F(ConverterFlow, CancelAtTheDialogEndsQuietly) {
    platform.cancelDialog = true;
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(platform.messages.empty());
    EXPECT_TRUE(platform.calls.empty());
    // The dialog as the program sets it up.
    EXPECT_EQ(platform.dialogCalls, 1);
    EXPECT_EQ(platform.dialogInstance, &instanceToken);
    EXPECT_EQ(platform.dialogTitle, "Choose the file to convert");
    EXPECT_EQ(platform.dialogFilterName, "Quillet Files (*.qdx)");
    EXPECT_EQ(platform.dialogFilterPattern, "*.qdx");
    EXPECT_EQ(platform.dialogFilterIndex, 1u);
    EXPECT_EQ(platform.dialogInitialFolder, "");
    EXPECT_EQ(platform.dialogOffered, "");
    EXPECT_EQ(platform.dialogFlags, 0x804u);
    EXPECT_EQ(platform.dialogDefaultExtension, "qdx");
}

struct VersionRow {
    std::uint16_t version;
    const char* text;
};

class VersionTable : public ConverterFlow, public ::testing::WithParamInterface<VersionRow> {};

TEST_P(VersionTable, VersionsThatCannotBeConvertedGetTheirMessage) {
    MakeList(GetParam().version);
    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(platform.messages.size(), 1u);
    ExpectMessage(platform.messages[0], GetParam().text, "<none>", MessageButtons::kOk);
    EXPECT_EQ(ReadBytes(list), original);
    EXPECT_EQ(FolderNames(dir.path()), Names{"List.qdx"});
    EXPECT_TRUE(platform.calls.empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, VersionTable,
                         ::testing::Values(VersionRow{0, kTooOld}, VersionRow{1, kTooOld},
                                           VersionRow{2, kTooOld}, VersionRow{3, kOldest},
                                           VersionRow{6, kTooNew}, VersionRow{7, kTooNew},
                                           VersionRow{0x8000, kTooNew}, VersionRow{65535, kTooNew}),
                         [](const ::testing::TestParamInfo<VersionRow>& info) {
                             return "Version" + std::to_string(info.param.version);
                         });

TEST_F(ConverterFlow, CancelAtTheQuestionChangesNothing) {
    for (std::uint16_t version : {4, 5}) {
        SCOPED_TRACE(version);
        std::filesystem::remove(list);
        platform.messages.clear();
        MakeList(version);
        platform.answers = {MessageAnswer::kCancel};
        EXPECT_EQ(Run(), 0);
        ASSERT_EQ(platform.messages.size(), 1u);
        ExpectMessage(platform.messages[0], version == 4 ? kConfirm4 : kConfirm5,
                      "Confirm Conversion", MessageButtons::kOkCancel);
        EXPECT_EQ(ReadBytes(list), original);
        EXPECT_EQ(FolderNames(dir.path()), Names{"List.qdx"});
        EXPECT_TRUE(platform.calls.empty());
    }
}

TEST_F(ConverterFlow, Version5IsConvertedThroughATemporaryFile) {
    MakeList(5);
    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(platform.messages.size(), 2u);
    ExpectMessage(platform.messages[0], kConfirm5, "Confirm Conversion", MessageButtons::kOkCancel);
    ExpectMessage(platform.messages[1], kSuccess, "Success", MessageButtons::kOk);
    EXPECT_EQ(FolderNames(dir.path()), (Names{"List Backup.qdx", "List.qdx"}));
    EXPECT_EQ(ReadBytes(dir.File("List Backup.qdx")), original);
    EXPECT_EQ(VersionOf(list), 4);

    // temp name (made and freed), then chosen -> backup, then temp -> chosen.
    ASSERT_EQ(platform.calls.size(), 4u);
    EXPECT_EQ(platform.calls[0], "temp " + dir.path().string() + platform.Separator() + " RXV");
    const std::string removed = platform.calls[1];
    ASSERT_EQ(removed.rfind("remove ", 0), 0u);
    const std::string temp = removed.substr(7);
    EXPECT_EQ(platform.calls[2], "move " + list + " -> " + dir.File("List Backup.qdx"));
    EXPECT_EQ(platform.calls[3], "move " + temp + " -> " + list);
}

TEST_F(ConverterFlow, Version4IsConvertedInPlaceAfterABackupCopy) {
    MakeList(4);
    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(platform.messages.size(), 2u);
    ExpectMessage(platform.messages[0], kConfirm4, "Confirm Conversion", MessageButtons::kOkCancel);
    ExpectMessage(platform.messages[1], kSuccess, "Success", MessageButtons::kOk);
    EXPECT_EQ(FolderNames(dir.path()), (Names{"List Backup.qdx", "List.qdx"}));
    EXPECT_EQ(ReadBytes(dir.File("List Backup.qdx")), original);
    EXPECT_EQ(VersionOf(list), 3);
    EXPECT_EQ(platform.calls, Names{"copy " + list + " -> " + dir.File("List Backup.qdx")});
}

TEST_F(ConverterFlow, NextFreeBackupNumberIsUsed) {
    MakeList(5);
    testing::WriteBytes(dir.File("List Backup.qdx"), {1, 2, 3});
    testing::WriteBytes(dir.File("List Backup 2.qdx"), {4, 5, 6});
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(ReadBytes(dir.File("List Backup 3.qdx")), original);
    EXPECT_EQ(ReadBytes(dir.File("List Backup.qdx")), (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(ReadBytes(dir.File("List Backup 2.qdx")), (std::vector<std::uint8_t>{4, 5, 6}));
    EXPECT_EQ(FolderNames(dir.path()).size(), 4u);
}

TEST_F(ConverterFlow, FilesThatCannotBeReadReportTheEngineCode) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        ResultCode code;
    };
    std::vector<std::uint8_t> garbage(1024, 0x41);
    MakeList(5);
    std::vector<std::uint8_t> badChecksum = original;
    badChecksum[20] ^= 0x01;  // a banner byte: the markers stay right
    const Case cases[] = {
        {"not a data file", garbage, 5},
        {"bad checksum", badChecksum, 6},
        {"empty", {}, 3},
        {"short header", std::vector<std::uint8_t>(original.begin(), original.begin() + 300), 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::WriteBytes(list, c.bytes);
        platform.messages.clear();
        platform.calls.clear();
        EXPECT_EQ(Run(), c.code);
        ASSERT_EQ(platform.messages.size(), 1u);
        ExpectErrorMessage(platform, c.code);
        EXPECT_EQ(ReadBytes(list), c.bytes);
        EXPECT_EQ(FolderNames(dir.path()), Names{"List.qdx"});
    }
}

TEST_F(ConverterFlow, MissingFileIsError33AndCreatesNothing) {
    platform.dialogAnswer = dir.File("Missing.qdx");
    EXPECT_EQ(Run(), 33);
    ASSERT_EQ(platform.messages.size(), 1u);
    ExpectErrorMessage(platform, 33);
    EXPECT_TRUE(FolderNames(dir.path()).empty());
}

TEST_F(ConverterFlow, FailedBackupCopyShowsItsMessageAndConvertsNothing) {
    MakeList(4);
    platform.copyHook = [](const char*, const char*) { return win32::kDiskFull; };
    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(platform.messages.size(), 2u);
    ExpectMessage(platform.messages[1], kBackupFailed, "<none>", MessageButtons::kOk,
                  MessageIcon::kError);
    EXPECT_EQ(ReadBytes(list), original);
    EXPECT_EQ(FolderNames(dir.path()), Names{"List.qdx"});
    // The copy takes back what it made itself; the flow removes nothing.
    for (const std::string& call : platform.calls) EXPECT_NE(call.rfind("remove ", 0), 0u);
}

#ifndef _WIN32
// Another user plants a symlink at the backup name after it was found free:
// the copy fails on it, nothing is written where it points and nothing of the
// folder changes.
TEST_F(ConverterFlow, BackupNameTakenByALinkMeanwhileWritesNothingThroughIt) {
    MakeList(4);
    const std::string target = dir.File("theirs.qdx");
    platform.copyHook = [&target](const char*, const char* destination) {
        return ::symlink(target.c_str(), destination) == 0 ? win32::kSuccess : win32::kGenFailure;
    };
    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(platform.messages.size(), 2u);
    ExpectMessage(platform.messages[1], kBackupFailed, "<none>", MessageButtons::kOk,
                  MessageIcon::kError);
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.File("List Backup.qdx")));
    EXPECT_EQ(ReadBytes(list), original);
}

// A symlink planted at the temporary name between the name and the conversion
// (pointing nowhere, or at another file of the user): the conversion refuses
// the name, the link's target is untouched and the link stays.
TEST_F(ConverterFlow, TemporaryNameTakenByALinkMeanwhileTouchesNothing) {
    const std::string mine = dir.File("Mine.txt");
    const std::string nowhere = dir.File("Nowhere.qdx");
    testing::WriteBytes(mine, {1, 2, 3});
    for (const std::string& target : {nowhere, mine}) {
        MakeList(5);
        std::string planted;
        platform.attributesHook = [&planted, &target](const char* path) {
            if (planted.empty() && testing::IsTemporaryName(path)) {
                planted = path;
                if (::symlink(target.c_str(), path) != 0) return win32::kGenFailure;
            }
            std::uint32_t attributes = 0;
            return Platform::Default().GetPathAttributes(path, &attributes);
        };
        const int code = Run();
        EXPECT_EQ(code, -80);
        ExpectErrorMessage(platform, -80);
        ASSERT_FALSE(planted.empty());
        EXPECT_TRUE(std::filesystem::is_symlink(planted));
        EXPECT_FALSE(std::filesystem::exists(nowhere));
        EXPECT_EQ(ReadBytes(mine), (std::vector<std::uint8_t>{1, 2, 3}));
        EXPECT_EQ(ReadBytes(list), original);
        // The only removal of the name is that of the reserved empty file,
        // before the link was planted.
        EXPECT_EQ(std::count(platform.calls.begin(), platform.calls.end(), "remove " + planted), 1);
        ::unlink(planted.c_str());
        ::unlink(list.c_str());
        platform.messages.clear();
        platform.calls.clear();
    }
}

// A private list stays private in both flows: the converted file and the
// backup get the list's mode, and a backup copy its last-write time.
TEST_F(ConverterFlow, PrivateListGivesPrivateConvertedFileAndBackup) {
    for (const std::uint16_t version : {4, 5}) {
        MakeList(version);
        ASSERT_EQ(::chmod(list.c_str(), 0600), 0);
        struct timespec times[2] = {{1500000000, 0}, {1500000000, 500}};
        ASSERT_EQ(::utimensat(AT_FDCWD, list.c_str(), times, 0), 0);
        EXPECT_EQ(Run(), 0);
        const std::string backup = dir.File("List Backup.qdx");
        struct stat converted;
        struct stat kept;
        ASSERT_EQ(::lstat(list.c_str(), &converted), 0);
        ASSERT_EQ(::lstat(backup.c_str(), &kept), 0);
        EXPECT_EQ(converted.st_mode & 07777, 0600u) << "format " << version;
        EXPECT_EQ(kept.st_mode & 07777, 0600u) << "format " << version;
        EXPECT_EQ(kept.st_mtim.tv_sec, 1500000000) << "format " << version;
        EXPECT_EQ(kept.st_mtim.tv_nsec, 500) << "format " << version;
        EXPECT_EQ(ReadBytes(backup), original);
        ::unlink(backup.c_str());
        ::unlink(list.c_str());
        platform.messages.clear();
    }
}

// A format 4 file that cannot be written is refused before any backup is made.
TEST_F(ConverterFlow, ReadOnlyVersion4FileIsRefusedBeforeTheBackupCopy) {
    MakeList(4);
    ASSERT_EQ(::chmod(list.c_str(), 0444), 0);
    EXPECT_EQ(Run(), -5);
    ExpectErrorMessage(platform, -5);
    EXPECT_EQ(FolderNames(dir.path()), Names{"List.qdx"});
    EXPECT_TRUE(platform.calls.empty());
}
#endif

TEST_F(ConverterFlow, Version4ConversionFailureKeepsTheBackup) {
    MakeList(4, /*tallyset=*/false);
    EXPECT_EQ(Run(), 38);
    ASSERT_EQ(platform.messages.size(), 2u);
    ExpectErrorMessage(platform, 38);
    EXPECT_EQ(ReadBytes(list), original);
    EXPECT_EQ(ReadBytes(dir.File("List Backup.qdx")), original);
    EXPECT_EQ(FolderNames(dir.path()), (Names{"List Backup.qdx", "List.qdx"}));
}

TEST_F(ConverterFlow, Version5ConversionFailureRemovesTheTemporaryFile) {
    MakeList(5, /*tallyset=*/false);
    EXPECT_EQ(Run(), 38);
    ASSERT_EQ(platform.messages.size(), 2u);
    ExpectErrorMessage(platform, 38);
    EXPECT_EQ(ReadBytes(list), original);
    EXPECT_EQ(FolderNames(dir.path()), Names{"List.qdx"});
}

TEST_F(ConverterFlow, WriteFailureInTheTemporaryFileIsReported) {
    MakeList(5);
    platform.failWritesTo = ".tmp";
    const int code = Run();
    EXPECT_NE(code, 0);
    ASSERT_EQ(platform.messages.size(), 2u);
    ExpectErrorMessage(platform, code);
    EXPECT_EQ(ReadBytes(list), original);
    EXPECT_EQ(FolderNames(dir.path()), Names{"List.qdx"});
}

TEST_F(ConverterFlow, NoTemporaryNameIsReported) {
    MakeList(5);
    platform.tempHook = [](const char*) { return win32::kAccessDenied; };
    EXPECT_EQ(Run(), -5);
    ASSERT_EQ(platform.messages.size(), 2u);
    ExpectErrorMessage(platform, -5);
    EXPECT_EQ(ReadBytes(list), original);
    EXPECT_EQ(FolderNames(dir.path()), Names{"List.qdx"});
}

TEST_F(ConverterFlow, NoBackupNameAfterTheConversionRemovesTheTemporaryFile) {
    MakeList(5);
    // Every backup name is taken; all other names are as on the disk.
    platform.attributesHook = [](const char* path) {
        if (std::string(path).find(" Backup") != std::string::npos) return win32::kSuccess;
        std::uint32_t attributes = 0;
        return Platform::Default().GetPathAttributes(path, &attributes);
    };
    EXPECT_EQ(Run(), kNoBackupName);
    ExpectErrorMessage(platform, kNoBackupName);
    EXPECT_EQ(ReadBytes(list), original);
    EXPECT_EQ(FolderNames(dir.path()), Names{"List.qdx"});
    // Known before the conversion: no temporary file was ever made.
    EXPECT_TRUE(platform.calls.empty());
}

TEST_F(ConverterFlow, NoBackupNameForVersion4ConvertsNothing) {
    MakeList(4);
    platform.attributesHook = [](const char*) { return win32::kSuccess; };
    EXPECT_EQ(Run(), kNoBackupName);
    ExpectErrorMessage(platform, kNoBackupName);
    EXPECT_EQ(ReadBytes(list), original);
    EXPECT_EQ(FolderNames(dir.path()), Names{"List.qdx"});
}

// While the names change, the chosen file's mutex is held, so that no other
// opener (which could create a file under the chosen name) comes in between.
TEST_F(ConverterFlow, ChosenFilesMutexIsHeldAcrossBothRenames) {
    MakeList(5);
    std::string mutexName = list;
    for (char& c : mutexName) {
        if (c == '\\') c = '/';
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    std::vector<WaitResult> seen;
    platform.moveHook = [&](const char*, const char*) {
        std::thread other([&] {
            std::unique_ptr<NamedMutex> mutex;
            ASSERT_EQ(Platform::Default().OpenNamedMutex(mutexName.c_str(), &mutex),
                      win32::kSuccess);
            const WaitResult result = mutex->Wait(0);
            if (result == WaitResult::kAcquired) mutex->Release();
            seen.push_back(result);
        });
        other.join();
        return win32::kSuccess;
    };
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(seen, (std::vector<WaitResult>{WaitResult::kTimeout, WaitResult::kTimeout}));
    EXPECT_EQ(VersionOf(list), 4);
}

// A file found by the check but gone at the open is not created by the
// read-only open.
TEST_F(ConverterFlow, FileThatVanishesBeforeTheOpenIsNotCreated) {
    platform.dialogAnswer = list;
    platform.attributesHook = [](const char*) { return win32::kSuccess; };
    EXPECT_EQ(Run(), 33);
    ExpectErrorMessage(platform, 33);
    EXPECT_TRUE(FolderNames(dir.path()).empty());
}

TEST_F(ConverterFlow, FailedRenameOfTheChosenFileLeavesItInPlace) {
    MakeList(5);
    platform.moveHook = [this](const char* from, const char*) {
        return std::string(from) == list ? win32::kSharingViolation : win32::kSuccess;
    };
    EXPECT_EQ(Run(), -32);
    ExpectErrorMessage(platform, -32);
    EXPECT_EQ(ReadBytes(list), original);
    EXPECT_EQ(FolderNames(dir.path()), Names{"List.qdx"});
}

TEST_F(ConverterFlow, FailedRenameOfTheTemporaryFilePutsTheOldFileBack) {
    MakeList(5);
    platform.moveHook = [](const char* from, const char*) {
        return testing::IsTemporaryName(from) ? win32::kAccessDenied : win32::kSuccess;
    };
    EXPECT_EQ(Run(), -5);
    ExpectErrorMessage(platform, -5);
    EXPECT_EQ(ReadBytes(list), original);
    EXPECT_EQ(FolderNames(dir.path()), Names{"List.qdx"});
    // chosen -> backup, temp -> chosen (fails), backup -> chosen, then the temp goes.
    ASSERT_GE(platform.calls.size(), 6u);
    EXPECT_EQ(platform.calls[4], "move " + dir.File("List Backup.qdx") + " -> " + list);
    EXPECT_EQ(platform.calls[5].rfind("remove ", 0), 0u);
}

TEST_F(ConverterFlow, WhenPuttingBackFailsTooTheOldFileStaysAsBackup) {
    MakeList(5);
    platform.moveHook = [this](const char* from, const char*) {
        return std::string(from) == list ? win32::kSuccess : win32::kAccessDenied;
    };
    EXPECT_EQ(Run(), -5);
    ExpectErrorMessage(platform, -5);
    EXPECT_EQ(ReadBytes(dir.File("List Backup.qdx")), original);
    EXPECT_EQ(FolderNames(dir.path()), Names{"List Backup.qdx"});
}

}  // namespace
}  // namespace quillet
