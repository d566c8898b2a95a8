// The real program, started as a child process in a test folder with its
// answers piped into standard input, its output read back and its exit code
// checked.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "container/FileHeader.h"
#include "tests/app/TestFiles.h"
#include "tests/support/TempDir.h"
#include "tools/SampleBuilder.h"

#ifndef QUILLET_CONVERT_PATH
#error "QUILLET_CONVERT_PATH must name the converter executable"
#endif

namespace quillet {
namespace {

using testing::DataFileOptions;
using testing::FolderNames;
using testing::ReadBytes;
using testing::TempDir;
using Names = std::vector<std::string>;

struct Outcome {
    int exitCode = -1;
    std::string output;
};

// Runs the converter in `folder` with `input` as its standard input and any
// extra command-line arguments; standard output and error are collected.
Outcome RunProgram(const std::filesystem::path& folder, const std::string& input,
                   const std::vector<std::string>& arguments = {}) {
    Outcome outcome;
    const std::string inputPath = (folder / ".." / (folder.filename().string() + ".in")).string();
    const std::string outputPath = (folder / ".." / (folder.filename().string() + ".out")).string();
    {
        std::ofstream in(inputPath, std::ios::binary);
        in << input;
    }
    const std::string program = QUILLET_CONVERT_PATH;
    std::vector<std::string> args{program};
    args.insert(args.end(), arguments.begin(), arguments.end());

    const pid_t pid = fork();
    if (pid == 0) {
        const int inFd = open(inputPath.c_str(), O_RDONLY);
        const int outFd = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (inFd < 0 || outFd < 0 || chdir(folder.c_str()) != 0) _exit(200);
        dup2(inFd, 0);
        dup2(outFd, 1);
        dup2(outFd, 2);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(201);
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        outcome.exitCode = WEXITSTATUS(status);
    }
    std::ifstream out(outputPath, std::ios::binary);
    std::stringstream text;
    text << out.rdbuf();
    outcome.output = text.str();
    std::filesystem::remove(inputPath);
    std::filesystem::remove(outputPath);
    return outcome;
}

bool HasLine(const std::string& output, const std::string& line) {
    std::istringstream in(output);
    std::string l;
    while (std::getline(in, l)) {
        if (l == line) return true;
    }
    return false;
}

std::uint16_t VersionOf(const std::string& path) {
    std::uint16_t version = 0xFFFF;
    std::uint8_t signature[16];
    EXPECT_EQ(testing::ReadDataFile(Platform::Default(), path, &version, signature), 0);
    return version;
}

std::string ErrorLine(int code) {
    return "Error " + std::to_string(code) + " occurred attempting to access the file.";
}

class EndToEnd : public ::testing::Test {
  protected:
    void MakeList(std::uint16_t version, bool tallyset = true,
                  const std::string& name = "List.qdx") {
        DataFileOptions options;
        options.version = version;
        options.tallysetSignature = tallyset;
        ASSERT_EQ(testing::MakeDataFile(Platform::Default(), dir.File(name), options), 0);
        original = ReadBytes(dir.File(name));
    }
    TempDir dir;
    std::vector<std::uint8_t> original;
};

TEST_F(EndToEnd, DialogListsMatchingFilesAndCancelsOnAnEmptyLine) {
    MakeList(5, true, "b.qdx");
    MakeList(5, true, "A.QDX");
    testing::WriteBytes(dir.File("notes.txt"), {1});
    std::filesystem::create_directory(dir.File("folder.qdx"));
    const Outcome run = RunProgram(dir.path(), "\n");
    EXPECT_EQ(run.exitCode, 0);
    const std::string expected =
        "Choose the file to convert\n"
        "Filter: Quillet Files (*.qdx)\n"
        "Files in " +
        dir.path().string() +
        ":\n"
        "  A.QDX\n"
        "  b.qdx\n"
        "File name: \n";
    EXPECT_EQ(run.output, expected);
}

// A name cannot send commands to the terminal nor forge a second entry, and
// an answer line far longer than any path is one refused answer that is not
// kept whole.
TEST_F(EndToEnd, ListedNamesAreEscapedAndOverlongAnswersAreOneRefusedAnswer) {
    MakeList(5, true, "evil\n  forged.qdx");
    MakeList(5, true, "red\x1b[31m.qdx");
    MakeList(5, true, "caf\xc3\xa9 \xff.qdx");
    const std::string longLine(100000, 'a');
    const Outcome run = RunProgram(dir.path(), longLine + "\n\n");
    EXPECT_EQ(run.exitCode, 0);
    const std::string expected =
        "Choose the file to convert\n"
        "Filter: Quillet Files (*.qdx)\n"
        "Files in " +
        dir.path().string() +
        ":\n"
        "  caf\xc3\xa9 \\xFF.qdx\n"
        "  evil\\x0A  forged.qdx\n"
        "  red\\x1B[31m.qdx\n"
        "File name: " +
        std::string(4096, 'a') + "...\n" + "The path is too long: " + std::string(64, 'a') +
        "...\n"
        "File name: \n";
    EXPECT_EQ(run.output, expected);
}

TEST_F(EndToEnd, EndOfInputAtTheDialogIsCancel) {
    MakeList(5);
    const Outcome run = RunProgram(dir.path(), "");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output.find("=="), std::string::npos) << run.output;
    EXPECT_EQ(FolderNames(dir.path()), Names{"List.qdx"});
    EXPECT_EQ(ReadBytes(dir.File("List.qdx")), original);
}

TEST_F(EndToEnd, EveryVersionThatCannotBeConvertedGetsItsMessage) {
    struct Row {
        std::uint16_t version;
        const char* text;
    };
    const Row rows[] = {
        {0,
         "This file was created with a version of Quillet that is older than Version 2.0 and "
         "cannot be converted. Use Quillet to convert this file to a newer format."},
        {1,
         "This file was created with a version of Quillet that is older than Version 2.0 and "
         "cannot be converted. Use Quillet to convert this file to a newer format."},
        {2,
         "This file was created with a version of Quillet that is older than Version 2.0 and "
         "cannot be converted. Use Quillet to convert this file to a newer format."},
        {3,
         "This file is already in Quillet Version 2.0 format, which is the oldest version "
         "this program can convert to. Use Quillet to convert this file to a newer format."},
        {6,
         "This file was created with a version of Quillet that is newer than this conversion "
         "program.  Use a newer version of this program to convert this file."},
        {65535,
         "This file was created with a version of Quillet that is newer than this "
         "conversion program.  Use a newer version of this program to convert this file."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.version);
        const std::string name = "V" + std::to_string(row.version) + ".qdx";
        MakeList(row.version, true, name);
        const Outcome run = RunProgram(dir.path(), name + "\n\n");
        EXPECT_EQ(run.exitCode, 0);
        const std::string box =
            "File name: " + name + "\n== Error ==\n" + std::string(row.text) + "\n[OK]\n> \n";
        EXPECT_NE(run.output.find(box), std::string::npos) << run.output;
        EXPECT_EQ(ReadBytes(dir.File(name)), original);
    }
    EXPECT_EQ(FolderNames(dir.path()).size(), 6u);
}

TEST_F(EndToEnd, CancelAtTheQuestion) {
    for (const char* answer : {"c\n", "cancel\n", "  CANCEL \n", ""}) {
        for (std::uint16_t version : {4, 5}) {
            SCOPED_TRACE(std::string(answer) + " version " + std::to_string(version));
            std::filesystem::remove(dir.File("List.qdx"));
            MakeList(version);
            const Outcome run = RunProgram(dir.path(), std::string("List.qdx\n") + answer);
            EXPECT_EQ(run.exitCode, 0);
            EXPECT_TRUE(HasLine(run.output, "== Confirm Conversion ==")) << run.output;
            EXPECT_TRUE(HasLine(run.output, "[OK] [Cancel]")) << run.output;
            EXPECT_FALSE(HasLine(run.output, "== Success ==")) << run.output;
            EXPECT_EQ(FolderNames(dir.path()), Names{"List.qdx"});
            EXPECT_EQ(ReadBytes(dir.File("List.qdx")), original);
        }
    }
}

TEST_F(EndToEnd, Version5BecomesVersion4WithTheOldFileAsBackup) {
    MakeList(5);
    const Outcome run = RunProgram(dir.path(), "List.qdx\nok\n\n");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(HasLine(run.output, "OK to convert this file to Quillet Version 3.0?"));
    EXPECT_TRUE(HasLine(run.output, "== Success =="));
    EXPECT_TRUE(HasLine(run.output, "The file was converted successfully."));
    EXPECT_EQ(FolderNames(dir.path()), (Names{"List Backup.qdx", "List.qdx"}));
    EXPECT_EQ(ReadBytes(dir.File("List Backup.qdx")), original);
    EXPECT_EQ(VersionOf(dir.File("List.qdx")), 4);
}

TEST_F(EndToEnd, Version4BecomesVersion3AfterAnIdenticalBackup) {
    MakeList(4);
    const Outcome run = RunProgram(dir.path(), "List.qdx\n\n\n");  // Enter is OK
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(HasLine(run.output,
                        "OK to convert this file to Quillet Version 2.0?  The current version of "
                        "Quillet is Version 4.0, so please make sure you are not converting this "
                        "file twice."));
    EXPECT_TRUE(HasLine(run.output, "The file was converted successfully."));
    EXPECT_EQ(FolderNames(dir.path()), (Names{"List Backup.qdx", "List.qdx"}));
    EXPECT_EQ(ReadBytes(dir.File("List Backup.qdx")), original);
    EXPECT_EQ(VersionOf(dir.File("List.qdx")), 3);
}

TEST_F(EndToEnd, NameWithoutExtensionGetsQdx) {
    MakeList(5);
    const Outcome run = RunProgram(dir.path(), "List\no\n\n");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(FolderNames(dir.path()), (Names{"List Backup.qdx", "List.qdx"}));
    EXPECT_EQ(VersionOf(dir.File("List.qdx")), 4);
}

TEST_F(EndToEnd, MissingFolderIsAskedAgainAndPathsMayBeRelative) {
    std::filesystem::create_directory(dir.File("sub.d"));
    MakeList(5, true, "sub.d/List.qdx");
    ASSERT_EQ(mkfifo(dir.File("pipe.qdx").c_str(), 0600), 0);  // opening it would wait
    const Outcome run = RunProgram(
        dir.path(), "nowhere/List.qdx\nsub.d\npipe.qdx\n./sub.d/../sub.d/List\nmaybe\nOK\n\n");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(HasLine(run.output, "File name: nowhere/List.qdx"));
    EXPECT_TRUE(HasLine(run.output, "The folder does not exist: " + dir.File("nowhere")))
        << run.output;
    EXPECT_TRUE(HasLine(run.output, "That is a folder: " + dir.File("sub.d"))) << run.output;
    EXPECT_TRUE(HasLine(run.output, "That is not a file: " + dir.File("pipe.qdx"))) << run.output;
    EXPECT_TRUE(HasLine(run.output, "Please answer ok or cancel.")) << run.output;
    EXPECT_EQ(FolderNames(dir.path() / "sub.d"), (Names{"List Backup.qdx", "List.qdx"}));
    EXPECT_EQ(ReadBytes(dir.File("sub.d/List Backup.qdx")), original);
}

TEST_F(EndToEnd, ExistingBackupsAreKept) {
    MakeList(5);
    testing::WriteBytes(dir.File("List Backup.qdx"), {1});
    testing::WriteBytes(dir.File("List Backup 2.qdx"), {2});
    const Outcome run = RunProgram(dir.path(), "List.qdx\nok\n\n");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(FolderNames(dir.path()),
              (Names{"List Backup 2.qdx", "List Backup 3.qdx", "List Backup.qdx", "List.qdx"}));
    EXPECT_EQ(ReadBytes(dir.File("List Backup 3.qdx")), original);
    EXPECT_EQ(ReadBytes(dir.File("List Backup.qdx")), std::vector<std::uint8_t>{1});
}

TEST_F(EndToEnd, MissingFileIsError33) {
    const Outcome run = RunProgram(dir.path(), "Missing.qdx\n\n");
    EXPECT_EQ(run.exitCode, 33);
    EXPECT_NE(
        run.output.find("File name: Missing.qdx\n== Error ==\n" + ErrorLine(33) + "\n[OK]\n> \n"),
        std::string::npos)
        << run.output;
    EXPECT_TRUE(FolderNames(dir.path()).empty());
}

TEST_F(EndToEnd, DamagedFilesReportTheirCode) {
    MakeList(5);
    std::vector<std::uint8_t> badChecksum = original;
    badChecksum[header::kBanner + 3] ^= 0x10;
    std::vector<std::uint8_t> badMarker = original;
    badMarker[header::kMarker2] ^= 0x01;
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        int code;
    };
    const Case cases[] = {
        {"not a data file", badMarker, 5}, {"bad checksum", badChecksum, 6}, {"empty file", {}, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::WriteBytes(dir.File("List.qdx"), c.bytes);
        const Outcome run = RunProgram(dir.path(), "List.qdx\n\n");
        EXPECT_EQ(run.exitCode, c.code) << run.output;
        EXPECT_TRUE(HasLine(run.output, ErrorLine(c.code))) << run.output;
        EXPECT_EQ(ReadBytes(dir.File("List.qdx")), c.bytes);
        EXPECT_EQ(FolderNames(dir.path()), Names{"List.qdx"});
    }
}

TEST_F(EndToEnd, WrongApplicationSignatureIsError38) {
    MakeList(5, /*tallyset=*/false);
    Outcome run = RunProgram(dir.path(), "List.qdx\nok\n\n");
    EXPECT_EQ(run.exitCode, 38) << run.output;
    EXPECT_TRUE(HasLine(run.output, ErrorLine(38))) << run.output;
    EXPECT_EQ(ReadBytes(dir.File("List.qdx")), original);
    EXPECT_EQ(FolderNames(dir.path()), Names{"List.qdx"});  // no temporary file

    // In place the backup copy is made first, and stays.
    std::filesystem::remove(dir.File("List.qdx"));
    MakeList(4, /*tallyset=*/false);
    run = RunProgram(dir.path(), "List.qdx\nok\n\n");
    EXPECT_EQ(run.exitCode, 38) << run.output;
    EXPECT_EQ(ReadBytes(dir.File("List.qdx")), original);
    EXPECT_EQ(ReadBytes(dir.File("List Backup.qdx")), original);
    EXPECT_EQ(FolderNames(dir.path()), (Names{"List Backup.qdx", "List.qdx"}));
}

TEST_F(EndToEnd, ArgumentsAreIgnored) {
    MakeList(5);
    const Outcome run = RunProgram(dir.path(), "\n", {"List.qdx", "--yes"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(FolderNames(dir.path()), Names{"List.qdx"});
    EXPECT_EQ(ReadBytes(dir.File("List.qdx")), original);
}

// Files with real lists, folders, columns and items, as the sample builder
// writes them: the converted file holds what the conversion must make of them,
// and the backup is the file as it was.
TEST_F(EndToEnd, RealListsAreConvertedAndTheBackupIsTheOriginal) {
    for (int format : {5, 4}) {
        SCOPED_TRACE(format);
        TempDir folder;
        SampleOptions options;
        options.format = format;
        options.seed = 11 + static_cast<std::uint32_t>(format);
        options.lists = 6;
        options.items = 40;
        const std::string list = folder.File("Lists.qdx");
        SampleSummary built;
        ASSERT_EQ(BuildSample(Platform::Default(), options, list.c_str(), &built), 0);
        const std::vector<std::uint8_t> before = ReadBytes(list);

        const Outcome run = RunProgram(folder.path(), "Lists\nok\n\n");
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_EQ(FolderNames(folder.path()), (Names{"Lists Backup.qdx", "Lists.qdx"}));
        EXPECT_EQ(ReadBytes(folder.File("Lists Backup.qdx")), before);

        SampleSummary expected;
        std::string problem;
        ASSERT_TRUE(ProjectSample(options, format - 1, &expected, &problem, format)) << problem;
        EXPECT_EQ(VerifySample(Platform::Default(), list.c_str(), expected, &problem), 0)
            << problem;
        // Converting the result once more goes one more version down.
        if (format == 5) {
            const Outcome again = RunProgram(folder.path(), "Lists.qdx\nok\n\n");
            EXPECT_EQ(again.exitCode, 0) << again.output;
            EXPECT_EQ(VersionOf(list), 3);
            EXPECT_EQ(FolderNames(folder.path()),
                      (Names{"Lists Backup 2.qdx", "Lists Backup.qdx", "Lists.qdx"}));
        }
    }
}

}  // namespace
}  // namespace quillet
