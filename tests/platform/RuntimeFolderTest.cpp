// The private runtime folder is refused unless it is ours alone, and lock
// files of named objects never join two names.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/posix/LockFile.h"
#include "platform/posix/PosixPlatform.h"
#include "platform/posix/RuntimeFolder.h"
#include "platform/posix/RuntimeSweep.h"
#include "tests/platform/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace quillet::testing {
namespace {

using posix::OpenPrivateFolder;
using posix::ResolveRuntimeFolder;

Win32Error Check(const std::string& path, uid_t owner) {
    int fd = -1;
    const Win32Error error = OpenPrivateFolder(path.c_str(), owner, &fd);
    if (fd >= 0) ::close(fd);
    return error;
}

TEST(RuntimeFolder, OnlyAPrivateDirectoryOfOursIsAccepted) {
    TempDir dir;
    const uid_t me = ::geteuid();
    const std::string good = dir.File("good");
    ASSERT_EQ(::mkdir(good.c_str(), 0700), 0);
    EXPECT_EQ(Check(good, me), win32::kSuccess);

    const std::string groupWritable = dir.File("group");
    ASSERT_EQ(::mkdir(groupWritable.c_str(), 0700), 0);
    ::chmod(groupWritable.c_str(), 0770);
    EXPECT_EQ(Check(groupWritable, me), win32::kAccessDenied);
    const std::string readable = dir.File("readable");
    ASSERT_EQ(::mkdir(readable.c_str(), 0700), 0);
    ::chmod(readable.c_str(), 0704);
    EXPECT_EQ(Check(readable, me), win32::kAccessDenied);

    const std::string link = dir.File("link");
    ASSERT_EQ(::symlink(good.c_str(), link.c_str()), 0);
    EXPECT_EQ(Check(link, me), win32::kAccessDenied);

    const std::string file = dir.File("file");
    ASSERT_EQ(::close(::open(file.c_str(), O_CREAT | O_WRONLY, 0600)), 0);
    EXPECT_EQ(Check(file, me), win32::kAccessDenied);

    EXPECT_EQ(Check(good, me + 4242), win32::kAccessDenied);  // owned by someone else
    if (me == 0) {
        const std::string foreign = dir.File("foreign");
        ASSERT_EQ(::mkdir(foreign.c_str(), 0700), 0);
        ASSERT_EQ(::chown(foreign.c_str(), 4242, 4242), 0);
        EXPECT_EQ(Check(foreign, me), win32::kAccessDenied);
    }
}

Win32Error Resolve(const char* home, const std::string& tmpBase, std::string* path,
                   std::string* why) {
    int fd = -1;
    const Win32Error error =
        ResolveRuntimeFolder(home, tmpBase.c_str(), ::geteuid(), path, &fd, why);
    if (fd >= 0) ::close(fd);
    return error;
}

TEST(RuntimeFolder, ResolutionUsesTheHomeFolderAndNamesWhatItRefuses) {
    TempDir dir;
    const uid_t me = ::geteuid();
    const std::string home = dir.File("home");
    ASSERT_EQ(::mkdir(home.c_str(), 0755), 0);
    std::string path;
    std::string why;
    ASSERT_EQ(Resolve(home.c_str(), dir.path().string(), &path, &why), win32::kSuccess);
    EXPECT_EQ(path, home + "/.quillet");
    struct stat st;
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // Without a home folder: the fallback under the temporary folder.
    const std::string expected = dir.path().string() + "/quillet-" + std::to_string(me);
    ASSERT_EQ(Resolve(nullptr, dir.path().string(), &path, &why), win32::kSuccess);
    EXPECT_EQ(path, expected);
    ASSERT_EQ(Resolve("relative/home", dir.path().string(), &path, &why), win32::kSuccess);
    EXPECT_EQ(path, expected);

    // A home folder that others may change is refused, and said so.
    const std::string open = dir.File("open-home");
    ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
    ::chmod(open.c_str(), 0777);
    EXPECT_EQ(Resolve(open.c_str(), dir.path().string(), &path, &why), win32::kAccessDenied);
    EXPECT_EQ(path, open + "/.quillet");
    EXPECT_NE(why.find(open), std::string::npos);

    // Someone made the folder first, open to others, or as a symlink.
    TempDir other;
    const std::string planted = other.path().string() + "/quillet-" + std::to_string(me);
    ASSERT_EQ(::mkdir(planted.c_str(), 0777), 0);
    ::chmod(planted.c_str(), 0777);
    EXPECT_EQ(Resolve(nullptr, other.path().string(), &path, &why), win32::kAccessDenied);
    EXPECT_EQ(path, planted);
    EXPECT_FALSE(why.empty());
    ::rmdir(planted.c_str());
    ASSERT_EQ(::symlink(home.c_str(), planted.c_str()), 0);
    EXPECT_EQ(Resolve(nullptr, other.path().string(), &path, &why), win32::kAccessDenied);
}

// Runs a child mode with XDG_RUNTIME_DIR set to `xdg`, or unset when it is
// empty; the first line it prints.
std::string FirstLineOf(ChildProcess& child, const std::vector<std::string>& args,
                        const std::string& xdg) {
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedValue = saved != nullptr ? saved : "";
    if (xdg.empty()) {
        ::unsetenv("XDG_RUNTIME_DIR");
    } else {
        ::setenv("XDG_RUNTIME_DIR", xdg.c_str(), 1);
    }
    const bool started = child.Start(args);
    if (saved != nullptr) {
        ::setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
    } else {
        ::unsetenv("XDG_RUNTIME_DIR");
    }
    std::string line;
    if (!started || !child.ReadLine(&line)) return "<no line>";
    return line;
}

TEST(RuntimeFolder, ProcessesWithAndWithoutXdgRuntimeDirExcludeEachOther) {
    TempDir dir;
    const std::string xdg = dir.File("xdg");
    ASSERT_EQ(::mkdir(xdg.c_str(), 0700), 0);
    const std::string file = dir.File("List.qdx");
    ASSERT_EQ(::close(::open(file.c_str(), O_CREAT | O_WRONLY, 0600)), 0);
    const std::string mutexName = "/QUILLET/EXCLUSION/" + std::to_string(::getpid());

    for (const bool holderHasXdg : {true, false}) {
        const std::string holderXdg = holderHasXdg ? xdg : "";
        const std::string otherXdg = holderHasXdg ? "" : xdg;
        ChildProcess mutexHolder;
        ASSERT_EQ(FirstLineOf(mutexHolder, {"hold-mutex", mutexName}, holderXdg), "wait 0");
        // Read access, sharing reading and writing (never deleting).
        ChildProcess fileHolder;
        ASSERT_EQ(FirstLineOf(fileHolder, {"hold-file", file, "2"}, holderXdg), "open 0");

        ChildProcess waiter;
        EXPECT_EQ(FirstLineOf(waiter, {"wait-mutex", mutexName, "300"}, otherXdg),
                  "wait " + std::to_string(static_cast<int>(WaitResult::kTimeout)));
        ChildProcess opener;
        EXPECT_EQ(FirstLineOf(opener, {"try-files", file}, otherXdg), "32 0 0 32 0 0");
        ChildProcess mover;
        EXPECT_EQ(FirstLineOf(mover, {"move-file", file, file + ".moved"}, otherXdg), "move 32");
        ChildProcess remover;
        EXPECT_EQ(FirstLineOf(remover, {"remove-file", file}, otherXdg), "remove 32");
        EXPECT_TRUE(std::filesystem::exists(file));
        EXPECT_FALSE(std::filesystem::exists(file + ".moved"));
    }
}

TEST(NamedObjectFiles, TwoNamesWithOneFileNameGetSeparateSlots) {
    TempDir dir;
    const int dirfd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dirfd, 0);
    {
        // The same base file name stands for a hash collision.
        posix::LockFile first;
        posix::LockFile second;
        posix::LockFile again;
        bool existed = true;
        ASSERT_EQ(posix::OpenNamedObject(dirfd, "m-collide", "first", 8, &first, &existed),
                  win32::kSuccess);
        EXPECT_FALSE(existed);
        ASSERT_EQ(posix::OpenNamedObject(dirfd, "m-collide", "second", 8, &second, &existed),
                  win32::kSuccess);
        EXPECT_FALSE(existed);
        ASSERT_EQ(posix::OpenNamedObject(dirfd, "m-collide", "first", 8, &again, &existed),
                  win32::kSuccess);
        EXPECT_TRUE(existed);
        struct stat a;
        struct stat b;
        struct stat c;
        ASSERT_EQ(::fstat(first.Fd(), &a), 0);
        ASSERT_EQ(::fstat(second.Fd(), &b), 0);
        ASSERT_EQ(::fstat(again.Fd(), &c), 0);
        EXPECT_NE(a.st_ino, b.st_ino);
        EXPECT_EQ(a.st_ino, c.st_ino);
        EXPECT_TRUE(std::filesystem::exists(dir.File("m-collide-0")));
        EXPECT_TRUE(std::filesystem::exists(dir.File("m-collide-1")));
    }
    // The last user of each removed its file.
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    ::close(dirfd);
}

TEST(NamedObjectFiles, BaseNamesAreShortSafeFileNames) {
    const std::string weird = std::string("/../\x01\xff ") + std::string(1000, 'Z');
    const std::string name = posix::NamedObjectBaseName('s', weird);
    EXPECT_LE(name.size(), 60u);
    EXPECT_EQ(name.find('/'), std::string::npos);
    EXPECT_EQ(name.find(".."), std::string::npos);
    EXPECT_NE(name, posix::NamedObjectBaseName('s', weird + "Z"));
    EXPECT_NE(name, posix::NamedObjectBaseName('m', weird));
}

// A socket bound at `path`; closed again unless `keep`, which leaves the
// file behind as a dead process would.
int BindSocket(const std::string& path, bool keep) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    if (!keep) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST(RuntimeSweep, RemovesOnlyWhatNobodyUses) {
    TempDir dir;
    const int dirfd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dirfd, 0);
    posix::LockFile live;
    bool existed = false;
    ASSERT_EQ(posix::OpenNamedObject(dirfd, "s-live", "live", 512, &live, &existed),
              win32::kSuccess);
    // Lock files whose users are gone, and an unrelated file.
    for (const char* name : {"m-dead-0", "s-dead-0", "f-1-2", "notes.txt"}) {
        ASSERT_EQ(::close(::open(dir.File(name).c_str(), O_CREAT | O_WRONLY, 0600)), 0);
    }
    const int listening = BindSocket(dir.File("w-00000001"), true);
    BindSocket(dir.File("w-00000002"), false);
    posix::SweepRuntimeFolder(dirfd);
    EXPECT_TRUE(std::filesystem::exists(dir.File("s-live-0")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("m-dead-0")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("s-dead-0")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("f-1-2")));
    EXPECT_TRUE(std::filesystem::exists(dir.File("notes.txt")));
    EXPECT_TRUE(std::filesystem::exists(dir.File("w-00000001")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("w-00000002")));
    ::close(listening);
    live.Close();
    EXPECT_FALSE(std::filesystem::exists(dir.File("s-live-0")));
    ::close(dirfd);
}

// What a killed run left behind goes at the next temporary name in its folder;
// a name that a live run reserved, a file that is open, a link and a file of
// another prefix stay.
TEST(TempFiles, LeftoversOfKilledRunsAreRemovedAndNothingElse) {
    TempDir dir;
    const std::string folder = dir.path().string() + "/";
    PosixPlatform live;
    char reserved[kMaxPath];
    ASSERT_EQ(live.MakeTempFile(folder.c_str(), "RXV", reserved), win32::kSuccess);
    for (const char* name : {"RXV00A1.TMP", "RXV00A2.TMP", "RXW00A3.TMP", "RXV00A4.TXT"}) {
        ASSERT_EQ(::close(::open(dir.File(name).c_str(), O_CREAT | O_WRONLY, 0600)), 0);
    }
    ASSERT_EQ(::symlink(dir.File("RXV00A1.TMP").c_str(), dir.File("RXV00A5.TMP").c_str()), 0);
    std::unique_ptr<File> open;
    ASSERT_EQ(
        Platform::Default().OpenFile(dir.File("RXV00A2.TMP").c_str(), FileAccess::kRead,
                                     FileShare::kReadWrite, FileDisposition::kOpenExisting, &open),
        win32::kSuccess);

    char made[kMaxPath];
    ASSERT_EQ(Platform::Default().MakeTempFile(folder.c_str(), "RXV", made), win32::kSuccess);
    EXPECT_FALSE(std::filesystem::exists(dir.File("RXV00A1.TMP")));
    EXPECT_TRUE(std::filesystem::exists(reserved));
    EXPECT_TRUE(std::filesystem::exists(dir.File("RXV00A2.TMP")));
    EXPECT_TRUE(std::filesystem::exists(dir.File("RXW00A3.TMP")));
    EXPECT_TRUE(std::filesystem::exists(dir.File("RXV00A4.TXT")));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.File("RXV00A5.TMP")));
    EXPECT_TRUE(std::filesystem::exists(made));
    struct stat st;
    ASSERT_EQ(::lstat(made, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace quillet::testing
