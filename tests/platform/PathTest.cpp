// Paths and whole-file operations: full path, attributes, copy, move, delete
// and temporary names.

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "platform/Platform.h"
#include "tests/support/TempDir.h"

namespace quillet::testing {
namespace {

Platform& P() {
    return Platform::Default();
}

// The path in the form of this platform: '/' becomes its separator.
std::string Native(std::string path) {
    for (char& c : path) {
        if (c == '/') c = P().Separator();
    }
    return path;
}

void MakeReadOnly(const std::string& path, bool readOnly) {
    using std::filesystem::perms;
    std::filesystem::permissions(path, perms::owner_read | perms::group_read | perms::others_read |
                                           (readOnly ? perms::none : perms::owner_write));
}

// Attributes of a plain file and of a read-only one: Windows marks every new
// file for archiving, and FILE_ATTRIBUTE_NORMAL is only reported alone.
#ifdef _WIN32
constexpr std::uint32_t kFileAttributeArchive = 0x20;
constexpr std::uint32_t kPlainFile = kFileAttributeArchive;
constexpr std::uint32_t kReadOnlyFile = kFileAttributeReadOnly | kFileAttributeArchive;
#else
constexpr std::uint32_t kPlainFile = kFileAttributeNormal;
constexpr std::uint32_t kReadOnlyFile = kFileAttributeReadOnly;
#endif

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Runs the test body with the current folder set to `folder`, restoring it.
class InFolder {
  public:
    explicit InFolder(const std::filesystem::path& folder)
        : saved_(std::filesystem::current_path()) {
        std::filesystem::current_path(folder);
    }
    ~InFolder() { std::filesystem::current_path(saved_); }

  private:
    std::filesystem::path saved_;
};

std::string Full(const char* path, std::size_t size = kMaxPath) {
    std::vector<char> out(size + 1, '#');
    const Win32Error error = P().GetFullPath(path, out.data(), size);
    return error == win32::kSuccess ? std::string(out.data()) : "error " + std::to_string(error);
}

TEST(FullPath, FoldsDotsRelativeToTheCurrentFolder) {
    TempDir dir;
    const std::string base = std::filesystem::canonical(dir.path()).string();
    InFolder in(base);
    EXPECT_EQ(Full("file.qdx"), base + Native("/file.qdx"));
    EXPECT_EQ(Full("./a/./b/../c.qdx"), base + Native("/a/c.qdx"));
    EXPECT_EQ(Full("a//b///c"), base + Native("/a/b/c"));
    EXPECT_EQ(Full("a/b/"), base + Native("/a/b/"));  // a trailing separator stays
    EXPECT_EQ(Full("."), base);
    EXPECT_EQ(Full("no/such/thing/../x"), base + Native("/no/such/x"));  // need not exist
#ifdef _WIN32
    // A path from the root of the current drive.
    const std::string drive = base.substr(0, 2);
    EXPECT_EQ(Full("\\x\\..\\..\\..\\y"), drive + "\\y");  // ".." stops at the root
    EXPECT_EQ(Full("\\"), drive + "\\");
    EXPECT_EQ(Full("\\a\\b\\.."), drive + "\\a");
#else
    EXPECT_EQ(Full("/x/../../../y"), "/y");  // ".." stops at the root
    EXPECT_EQ(Full("/"), "/");
    EXPECT_EQ(Full("/a/b/.."), "/a");
#endif
}

TEST(FullPath, AResultThatDoesNotFitIsAnErrorNotACutPath) {
#ifdef _WIN32
    const std::string path = "C:\\ab\\de";  // 8 bytes and a terminator
#else
    const std::string path = "/abc/def";  // 8 bytes and a terminator
#endif
    EXPECT_EQ(Full(path.c_str(), 9), path);
    EXPECT_EQ(Full(path.c_str(), 8), "error 206");
    const std::string longPath = Native("/") + std::string(300, 'x');
    EXPECT_EQ(Full(longPath.c_str()), "error 206");
    char out[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(P().GetFullPath(longPath.c_str(), out, sizeof out), win32::kFilenameExcedRange);
    EXPECT_EQ(out[0], '#');  // nothing written
}

TEST(Attributes, TellFoldersReadOnlyAndNormalFilesAndWhatIsMissing) {
    TempDir dir;
    std::uint32_t attributes = 0;
    ASSERT_EQ(P().GetPathAttributes(dir.path().string().c_str(), &attributes), win32::kSuccess);
    EXPECT_EQ(attributes, kFileAttributeDirectory);
    const std::string file = dir.File("f");
    WriteText(file, "x");
    ASSERT_EQ(P().GetPathAttributes(file.c_str(), &attributes), win32::kSuccess);
    EXPECT_EQ(attributes, kPlainFile);
    MakeReadOnly(file, true);
    ASSERT_EQ(P().GetPathAttributes(file.c_str(), &attributes), win32::kSuccess);
    EXPECT_EQ(attributes, kReadOnlyFile);
    EXPECT_EQ(P().GetPathAttributes(dir.File("missing").c_str(), &attributes),
              win32::kFileNotFound);
    EXPECT_EQ(P().GetPathAttributes(dir.File("missing/f").c_str(), &attributes),
              win32::kPathNotFound);
}

TEST(CopyFile, CreatesANewFileNeverReplacesOneAndNeverTouchesTheSource) {
    TempDir dir;
    const std::string source = dir.File("src");
    const std::string destination = dir.File("dst");
    std::string big(200000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 300);
    WriteText(source, big);
    ASSERT_EQ(P().CopyFileTo(source.c_str(), destination.c_str()), win32::kSuccess);
    EXPECT_EQ(ReadAll(destination), big);
    WriteText(source, "short");
    EXPECT_EQ(P().CopyFileTo(source.c_str(), destination.c_str()), win32::kFileExists);
    EXPECT_EQ(ReadAll(destination), big);
    EXPECT_EQ(P().CopyFileTo(source.c_str(), source.c_str()), win32::kFileExists);
    EXPECT_EQ(ReadAll(source), "short");
    EXPECT_EQ(P().CopyFileTo(dir.File("missing").c_str(), dir.File("new").c_str()),
              win32::kFileNotFound);
    EXPECT_FALSE(std::filesystem::exists(dir.File("new")));
}

#ifndef _WIN32
// A name taken by a symlink is taken: nothing is written where it points, and
// the copy made at a free name has the source's mode and last-write time.
TEST(CopyFile, NeverWritesThroughALinkAndKeepsModeAndLastWriteTime) {
    TempDir dir;
    const std::string source = dir.File("List.qdx");
    WriteText(source, "private list");
    ASSERT_EQ(::chmod(source.c_str(), 0600), 0);
    struct timespec old[2] = {{1000000000, 0}, {1234567890, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, source.c_str(), old, 0), 0);

    const std::string elsewhere = dir.File("elsewhere");
    const std::string mine = dir.File("mine");
    WriteText(mine, "another file of mine");
    for (const std::string& target : {elsewhere, mine}) {
        const std::string link = dir.File("List Backup.qdx");
        ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
        EXPECT_EQ(P().CopyFileTo(source.c_str(), link.c_str()), win32::kFileExists);
        struct stat st;
        ASSERT_EQ(::lstat(link.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        ::unlink(link.c_str());
    }
    EXPECT_FALSE(std::filesystem::exists(elsewhere));
    EXPECT_EQ(ReadAll(mine), "another file of mine");

    for (const mode_t mode : {0600u, 0640u, 0444u}) {
        ASSERT_EQ(::chmod(source.c_str(), mode), 0);
        const std::string copy = dir.File("copy" + std::to_string(mode));
        ASSERT_EQ(P().CopyFileTo(source.c_str(), copy.c_str()), win32::kSuccess);
        struct stat st;
        ASSERT_EQ(::lstat(copy.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
        EXPECT_EQ(st.st_mtim.tv_sec, 1234567890);
        EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
        EXPECT_EQ(ReadAll(copy), "private list");
    }
}

// Creating never goes through a symlink, and a link that points nowhere still
// takes its name.
TEST(Files, CreationNeverFollowsALink) {
    TempDir dir;
    const std::string link = dir.File("link");
    const std::string target = dir.File("target");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    std::uint32_t attributes = 0;
    ASSERT_EQ(P().GetPathAttributes(link.c_str(), &attributes), win32::kSuccess);
    EXPECT_EQ(attributes, kFileAttributeNormal | kFileAttributeReparsePoint);
    for (const FileDisposition disposition :
         {FileDisposition::kOpenAlways, FileDisposition::kCreateNew}) {
        std::unique_ptr<File> file;
        EXPECT_EQ(P().OpenFile(link.c_str(), FileAccess::kReadWrite, FileShare::kNone, disposition,
                               &file),
                  win32::kFileExists);
        EXPECT_FALSE(file);
    }
    EXPECT_FALSE(std::filesystem::exists(target));
    WriteText(target, "x");  // now the link points at a file
    ASSERT_EQ(P().GetPathAttributes(link.c_str(), &attributes), win32::kSuccess);
    EXPECT_EQ(attributes, kFileAttributeNormal | kFileAttributeReparsePoint);
    ::unlink(target.c_str());

    std::unique_ptr<File> created;
    const std::string fresh = dir.File("fresh");
    ASSERT_EQ(P().OpenFile(fresh.c_str(), FileAccess::kReadWrite, FileShare::kNone,
                           FileDisposition::kCreateNew, &created),
              win32::kSuccess);
    struct stat st;
    ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // private until someone gives more
    created.reset();
    std::unique_ptr<File> again;
    EXPECT_EQ(P().OpenFile(fresh.c_str(), FileAccess::kRead, FileShare::kRead,
                           FileDisposition::kCreateNew, &again),
              win32::kFileExists);
}
#endif

TEST(CopyFile, RespectsOpenHandlesLikeAnyOtherOpener) {
    TempDir dir;
    const std::string source = dir.File("src");
    const std::string destination = dir.File("dst");
    WriteText(source, "data");
    std::unique_ptr<File> exclusive;
    ASSERT_EQ(P().OpenFile(source.c_str(), FileAccess::kReadWrite, FileShare::kNone,
                           FileDisposition::kOpenExisting, &exclusive),
              win32::kSuccess);
    EXPECT_EQ(P().CopyFileTo(source.c_str(), destination.c_str()), win32::kSharingViolation);
    EXPECT_FALSE(std::filesystem::exists(destination));
}

TEST(MoveFile, RenamesButNeverReplaces) {
    TempDir dir;
    const std::string a = dir.File("a");
    const std::string b = dir.File("b");
    const std::string c = dir.File("c");
    WriteText(a, "first");
    WriteText(b, "second");
    EXPECT_EQ(P().MoveFileTo(a.c_str(), b.c_str()), win32::kAlreadyExists);
    EXPECT_EQ(ReadAll(a), "first");
    EXPECT_EQ(ReadAll(b), "second");
    ASSERT_EQ(P().MoveFileTo(a.c_str(), c.c_str()), win32::kSuccess);
    EXPECT_FALSE(std::filesystem::exists(a));
    EXPECT_EQ(ReadAll(c), "first");
    EXPECT_EQ(P().MoveFileTo(a.c_str(), dir.File("d").c_str()), win32::kFileNotFound);
    EXPECT_EQ(P().MoveFileTo(c.c_str(), dir.File("no/d").c_str()), win32::kPathNotFound);
    EXPECT_EQ(ReadAll(c), "first");
}

TEST(MoveFile, AndDeleteRefuseAFileThatIsOpen) {
    TempDir dir;
    const std::string a = dir.File("a");
    WriteText(a, "open");
    {
        std::unique_ptr<File> file;
        ASSERT_EQ(P().OpenFile(a.c_str(), FileAccess::kRead, FileShare::kReadWrite,
                               FileDisposition::kOpenExisting, &file),
                  win32::kSuccess);
        EXPECT_EQ(P().MoveFileTo(a.c_str(), dir.File("b").c_str()), win32::kSharingViolation);
        EXPECT_EQ(P().RemoveFile(a.c_str()), win32::kSharingViolation);
        EXPECT_EQ(ReadAll(a), "open");
    }
    EXPECT_EQ(P().MoveFileTo(a.c_str(), dir.File("b").c_str()), win32::kSuccess);
    EXPECT_EQ(P().RemoveFile(dir.File("b").c_str()), win32::kSuccess);
    EXPECT_FALSE(std::filesystem::exists(dir.File("b")));
}

TEST(DeleteFile, RefusesFoldersReadOnlyFilesAndReportsMissingOnes) {
    TempDir dir;
    const std::string file = dir.File("f");
    WriteText(file, "x");
    MakeReadOnly(file, true);
    EXPECT_EQ(P().RemoveFile(file.c_str()), win32::kAccessDenied);
    EXPECT_TRUE(std::filesystem::exists(file));
    MakeReadOnly(file, false);
    EXPECT_EQ(P().RemoveFile(file.c_str()), win32::kSuccess);
    EXPECT_EQ(P().RemoveFile(file.c_str()), win32::kFileNotFound);
    EXPECT_EQ(P().RemoveFile(dir.path().string().c_str()), win32::kAccessDenied);
    EXPECT_EQ(P().RemoveFile(dir.File("x/y").c_str()), win32::kPathNotFound);
}

TEST(TempFile, NamesAreUniqueCreatedEmptyAndFollowThePattern) {
    TempDir dir;
    const std::string folder = dir.path().string() + P().Separator();
#ifdef _WIN32
    // The system chooses the letter case of the digits and the extension, and
    // writes the number without leading zeros (Wine: "RXV5e.tmp").
    const auto flags = std::regex::ECMAScript | std::regex::icase;
#else
    const auto flags = std::regex::ECMAScript;
#endif
    const std::regex pattern(
        std::regex_replace(folder, std::regex("[.^$|()\\[\\]{}*+?\\\\]"), "\\$&") +
            "RXV[0-9A-F]{1,4}\\.TMP",
        flags);
    std::set<std::string> seen;
    for (int i = 0; i < 300; ++i) {
        char out[kMaxPath];
        ASSERT_EQ(P().MakeTempFile(folder.c_str(), "RXVQ", out), win32::kSuccess);
        const std::string name(out);
        EXPECT_TRUE(std::regex_match(name, pattern)) << name;
        EXPECT_TRUE(seen.insert(name).second) << "repeated " << name;
        EXPECT_TRUE(std::filesystem::is_regular_file(name));
        EXPECT_EQ(std::filesystem::file_size(name), 0u);
    }
    EXPECT_EQ(
        static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir.path()),
                                               std::filesystem::directory_iterator())),
        seen.size());
}

TEST(TempFile, WorksWithoutTrailingSeparatorInTheCurrentFolderAndRefusesTooLongNames) {
    TempDir dir;
    char out[kMaxPath];
    ASSERT_EQ(P().MakeTempFile(dir.path().string().c_str(), "AB", out), win32::kSuccess);
    EXPECT_EQ(std::filesystem::path(out).parent_path(), dir.path());
    EXPECT_EQ(std::filesystem::path(out).filename().string().substr(0, 2), "AB");
    {
        const auto saved = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        const Win32Error error = P().MakeTempFile("", "ZZZ", out);
        std::filesystem::current_path(saved);
        ASSERT_EQ(error, win32::kSuccess);
        // "ZZZ", one to four hexadecimal digits, ".TMP", and no folder.
        EXPECT_TRUE(std::regex_match(std::string(out),
                                     std::regex("ZZZ[0-9A-F]{1,4}\\.TMP", std::regex::icase)))
            << out;
        EXPECT_TRUE(std::filesystem::exists(dir.path() / out));
    }
    const std::string deep =
        dir.path().string() + Native("/") + std::string(250, 'd') + Native("/");
    EXPECT_EQ(P().MakeTempFile(deep.c_str(), "RXV", out), win32::kFilenameExcedRange);
#ifdef _WIN32
    constexpr Win32Error kMissingFolder = 267;  // ERROR_DIRECTORY
#else
    constexpr Win32Error kMissingFolder = win32::kPathNotFound;
#endif
    EXPECT_EQ(P().MakeTempFile(dir.File(Native("missing/")).c_str(), "RXV", out), kMissingFolder);
}

}  // namespace
}  // namespace quillet::testing
