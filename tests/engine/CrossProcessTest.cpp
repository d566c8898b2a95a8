// Cross-process behaviour with real child processes (this program started
// again in its "session" mode): the file's mutex serialises opens and
// accesses, also between two spellings of one path; a holder's death frees it;
// a holder that keeps it gives 27 after 10 seconds (slow); share modes give
// 22; in the shared modes another process's commit is seen and the cache is
// dropped; with the shared header the header is re-read only when the counts
// differ, and each commit posts one message to every live listener.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "tests/engine/EngineFixture.h"
#include "tests/platform/ChildProcess.h"
#include "tests/support/FaultPlatform.h"
#include "platform/WrappingPlatform.h"

namespace quillet::testing {
namespace {

using Clock = std::chrono::steady_clock;

// A child with a DataFile open on `path` with `flags`.
class Session {
  public:
    bool Start(const std::string& path, std::uint32_t flags, ResultCode* opened) {
        if (!child_.Start({"session", path, std::to_string(flags)})) return false;
        std::string line;
        if (!child_.ReadLine(&line) || line.rfind("open ", 0) != 0) return false;
        *opened = std::stoi(line.substr(5));
        return true;
    }
    // Sends a command and returns its answer ("" when none came in time).
    std::string Ask(const std::string& command, int timeoutMs = 20000) {
        child_.WriteLine(command);
        return Answer(timeoutMs);
    }
    std::string Answer(int timeoutMs) {
        std::string line;
        return child_.ReadLine(&line, timeoutMs) ? line : "";
    }
    void Send(const std::string& command) { child_.WriteLine(command); }
    ChildProcess& process() { return child_; }

  private:
    ChildProcess child_;
};

class CrossProcessTest : public DiskFileTest {
  protected:
    void SetUp() override {
        DiskFileTest::SetUp();
        // A file with table 2, block 0 = seed 1.
        ASSERT_EQ(OpenFile(), 0);
        ASSERT_EQ(Write([&] {
                      ResultCode r = MakeTable(*file_, 2);
                      if (r == 0) r = WriteWholeBlock(*file_, 2, 0, PatternBlock(1));
                      return r;
                  }),
                  0);
        file_.reset();
    }
    void StartSession(Session& s, std::uint32_t flags, const std::string& path = "") {
        ResultCode opened = -1;
        ASSERT_TRUE(s.Start(path.empty() ? path_ : path, flags, &opened));
        ASSERT_EQ(opened, 0);
    }
    std::uint32_t SeedInParent() {
        BlockImage b;
        const ResultCode r = Read([&] { return ReadWholeBlock(*file_, 2, 0, &b); });
        return r == 0 ? Load32(b.data()) : 0xffffffff;
    }
};

#if defined(QUILLET_ENGINE_FAST_TESTS)

TEST_F(CrossProcessTest, AccessesOfTwoProcessesAreSerialised) {
    ASSERT_EQ(OpenFile(OpenShareReadWrite), 0);
    Session child;
    StartSession(child, OpenShareReadWrite);
    ASSERT_EQ(file_->BeginAccess(true), 0);
    child.Send("begin w");
    EXPECT_EQ(child.Answer(500), "");  // waits for the parent's access
    ASSERT_EQ(WriteWholeBlock(*file_, 2, 0, PatternBlock(7)), 0);
    ASSERT_EQ(file_->EndAccess(0), 0);
    EXPECT_EQ(child.Answer(5000), "begin 0");
    EXPECT_EQ(child.Ask("end 0"), "end 0");
    EXPECT_EQ(child.Ask("read 2 0"), "read 0 7");
}

// The mutex is named after the full path with letters in upper case: a
// relative spelling and the full path in other letter case share it (on a
// file system that tells case apart they are even two files). Where letter
// case is ignored they are one file, so both opens share it.
TEST_F(CrossProcessTest, OpenWaitsForTheMutexOfAnotherSpelling) {
    const std::string upper = dir_.File("ENGINE.QDX");
    Session child;
    StartSession(child, OpenShareReadWrite, upper);  // creates the upper-case file
    ASSERT_EQ(child.Ask("begin w"), "begin 0");
    const std::filesystem::path here = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    std::atomic<bool> done{false};
    ResultCode result = -1;
    std::thread opener([&] {
        DataFile file(Platform::Default());
        bool created = false;
        result = file.Open("engine.qdx", &created, OpenShareReadWrite);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_FALSE(done.load());
    EXPECT_EQ(child.Ask("end 0"), "end 0");
    opener.join();
    std::filesystem::current_path(here);
    EXPECT_TRUE(done.load());
    EXPECT_EQ(result, 0);
}

TEST_F(CrossProcessTest, DeathOfTheHolderFreesTheMutex) {
    ASSERT_EQ(OpenFile(OpenShareReadWrite), 0);
    for (bool killed : {false, true}) {
        Session child;
        StartSession(child, OpenShareReadWrite);
        ASSERT_EQ(child.Ask("begin w"), "begin 0");
        std::atomic<bool> done{false};
        ResultCode result = -1;
        const auto start = Clock::now();
        std::thread waiter([&] {
            result = file_->BeginAccess(false);
            done = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_FALSE(done.load());
        if (killed) {
            child.process().Kill();  // no chance to release anything
        } else {
            child.Send("die");  // ends the process while it holds the access
        }
        child.process().Wait();
        waiter.join();
        EXPECT_EQ(result, 0) << killed;
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(8)) << killed;
        EXPECT_EQ(file_->EndAccess(0), 0);
        EXPECT_EQ(SeedInParent(), 1u);
    }
}

TEST_F(CrossProcessTest, ShareModeConflictsGive22) {
    struct Case {
        std::uint32_t child, parent;
        ResultCode expect;
    } cases[] = {
        {0, 0, 22},
        {0, OpenReadOnly, 22},
        {0, OpenShareReadWrite, 22},
        {OpenShareRead, OpenReadOnly | OpenShareReadWrite, 0},
        {OpenShareRead, OpenShareRead, 22},  // the child writes, the parent shares reading only
        {OpenShareReadWrite, OpenShareReadWrite, 0},
        {OpenShareReadWrite, 0, 22},
        {OpenReadOnly | OpenShareRead, OpenReadOnly | OpenShareRead, 0},
    };
    for (const Case& c : cases) {
        Session child;
        StartSession(child, c.child);
        EXPECT_EQ(OpenFile(c.parent), c.expect) << c.child << " then " << c.parent;
        file_.reset();
    }
}

// In the shared modes every outermost access looks at the header; a commit of
// another process is found, and nothing read before it is used after it.
TEST_F(CrossProcessTest, CommitsOfAnotherProcessAreSeen) {
    for (std::uint32_t flags : {OpenShareReadWrite, OpenFileLock, OpenSharedHeader}) {
        ASSERT_EQ(OpenFile(flags), 0);
        Session child;
        StartSession(child, flags);
        EXPECT_EQ(SeedInParent(), 1u);  // now cached in the parent
        ASSERT_EQ(child.Ask("change 2 5").rfind("change 0 ", 0), 0u) << flags;
        ASSERT_EQ(file_->BeginAccess(false), 0);
        EXPECT_TRUE(file_->WasHeaderReloaded()) << flags;
        EXPECT_EQ(file_->RootEntry(), nullptr);  // the cache was dropped
        BlockImage b;
        ASSERT_EQ(ReadWholeBlock(*file_, 2, 0, &b), 0);
        EXPECT_EQ(Load32(b.data()), 5u) << flags;
        EXPECT_EQ(file_->EndAccess(0), 0);
        // Undo is refused after another process committed.
        ASSERT_EQ(Write([&] { return WriteWholeBlock(*file_, 2, 0, PatternBlock(6)); }), 0);
        ASSERT_EQ(child.Ask("change 2 8").rfind("change 0 ", 0), 0u);
        EXPECT_EQ(file_->UndoLastCommitLocked(), 36) << flags;
        EXPECT_EQ(SeedInParent(), 8u);
        // And the parent's own commits are seen by the child.
        ASSERT_EQ(Write([&] { return WriteWholeBlock(*file_, 2, 0, PatternBlock(1)); }), 0);
        EXPECT_EQ(child.Ask("read 2 0"), "read 0 1");
        file_.reset();
    }
}

// With the shared header, the header is read only when the shared commit
// count differs from the one this object last saw.
TEST_F(CrossProcessTest, SharedHeaderRereadsOnlyWhenCountsDiffer) {
    FaultPlatform counting(Platform::Default());
    file_ = std::make_unique<DataFile>(counting);
    bool created = false;
    ASSERT_EQ(file_->Open(path_.c_str(), &created, OpenSharedHeader), 0);
    Session child;
    StartSession(child, OpenSharedHeader);
    counting.ResetCounts();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(InAccess(*file_, false, [] { return ResultCode{0}; }), 0);
    EXPECT_EQ(counting.Count(FaultKind::kRead), 0u);
    ASSERT_EQ(child.Ask("change 3 9").rfind("change 0 ", 0), 0u);
    ASSERT_EQ(InAccess(*file_, false, [] { return ResultCode{0}; }), 0);
    EXPECT_EQ(counting.Count(FaultKind::kRead), 1u);
    EXPECT_TRUE(file_->WasHeaderReloaded());
    // Until this object commits, its seen count stays behind: every access
    // reads again and finds nothing new.
    ASSERT_EQ(InAccess(*file_, false, [] { return ResultCode{0}; }), 0);
    EXPECT_EQ(counting.Count(FaultKind::kRead), 2u);
    EXPECT_FALSE(file_->WasHeaderReloaded());
    ASSERT_EQ(
        InAccess(*file_, true, [&] { return WriteWholeBlock(*file_, 3, 1, PatternBlock(4)); }), 0);
    counting.ResetCounts();
    ASSERT_EQ(InAccess(*file_, false, [] { return ResultCode{0}; }), 0);
    EXPECT_EQ(counting.Count(FaultKind::kRead), 0u);
    EXPECT_EQ(child.Ask("read 3 1"), "read 0 4");
}

// Listeners registered in the shared header's window table get one message
// per committing access of any process; a dead one's entry is emptied.
TEST_F(CrossProcessTest, CommitsNotifyLiveListenersOnce) {
    ASSERT_EQ(OpenFile(OpenSharedHeader), 0);
    std::unique_ptr<WindowListener> first, second, gone;
    ASSERT_EQ(platform().CreateWindowListener(&first), 0u);
    ASSERT_EQ(platform().CreateWindowListener(&second), 0u);
    ASSERT_EQ(platform().CreateWindowListener(&gone), 0u);
    const std::uint32_t goneHandle = gone->Handle();
    gone.reset();
    std::uint8_t* view = file_->SharedView();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(Load32(view), 512u);
    EXPECT_EQ(Load32(view + 12), 64u);
    Store32(view + 16, 4);
    Store32(view + 20, first->Handle());
    Store32(view + 24, 0x401);
    Store32(view + 28, goneHandle);
    Store32(view + 32, 0x402);
    Store32(view + 36, 0);  // an empty entry
    Store32(view + 40, 0x404);
    Store32(view + 44, second->Handle());
    Store32(view + 48, 0x403);

    Session child;
    StartSession(child, OpenSharedHeader);
    std::uint32_t message = 0;
    EXPECT_EQ(child.Ask("look"), "look 0");  // no change: no message
    EXPECT_FALSE(first->Receive(300, &message));
    ASSERT_EQ(child.Ask("change 2 3").rfind("change 0 ", 0), 0u);
    ASSERT_TRUE(first->Receive(5000, &message));
    EXPECT_EQ(message, 0x401u);
    ASSERT_TRUE(second->Receive(5000, &message));
    EXPECT_EQ(message, 0x403u);
    EXPECT_FALSE(first->Receive(300, &message));
    EXPECT_FALSE(second->Receive(100, &message));
    EXPECT_EQ(Load32(view + 28), 0u);      // the dead listener's entry
    EXPECT_EQ(Load32(view + 32), 0x402u);  // only the handle is emptied
    EXPECT_EQ(Load32(view + 20), first->Handle());
    // A failed access of the parent posts nothing; a committed one posts.
    EXPECT_EQ(Write([&] { return MakeTable(*file_, 9) == 0 ? ResultCode{70} : ResultCode{1}; }),
              70);
    EXPECT_FALSE(first->Receive(300, &message));
    ASSERT_EQ(Write([&] { return MakeTable(*file_, 9); }), 0);
    EXPECT_TRUE(first->Receive(5000, &message));
    EXPECT_TRUE(second->Receive(5000, &message));
    // Undo notifies as well, once.
    ASSERT_EQ(file_->UndoLastCommitLocked(), 0);
    EXPECT_TRUE(first->Receive(5000, &message));
    EXPECT_TRUE(second->Receive(5000, &message));
    EXPECT_FALSE(second->Receive(300, &message));
}

// A shared block of exactly 512 bytes on the heap, so that the sanitizer
// build sees any read past its end, and a window count far beyond the 61
// entries the block can hold.
class TightSharedBlockPlatform : public WrappingPlatform {
  public:
    using WrappingPlatform::WrappingPlatform;
    Win32Error OpenSharedBlock(const char*, bool* existed,
                               std::unique_ptr<SharedBlock>* block) override {
        *existed = false;
        *block = std::make_unique<HeapBlock>();
        return 0;
    }
    bool IsWindow(std::uint32_t handle) override {
        ++asked;
        return handle % 2 == 0;
    }
    Win32Error PostWindowMessage(std::uint32_t, std::uint32_t) override {
        ++posted;
        return 0;
    }
    int asked = 0, posted = 0;

  private:
    struct HeapBlock : SharedBlock {
        std::unique_ptr<std::uint8_t[]> bytes{new std::uint8_t[SharedBlock::kSize]()};
        std::uint8_t* Data() override { return bytes.get(); }
    };
};

TEST(NotifyWindows, NeverReadsPastTheSharedBlock) {
    TempDir dir;
    TightSharedBlockPlatform platform(Platform::Default());
    DataFile file(platform);
    bool created = false;
    ASSERT_EQ(file.Open(dir.File("tight.qdx").c_str(), &created, OpenSharedHeader), 0);
    std::uint8_t* view = file.SharedView();
    Store32(view + 16, 100000);
    for (std::uint32_t i = 0; i < 61; ++i) {
        Store32(view + 20 + 8 * i, i + 1);  // odd handles are dead
        Store32(view + 24 + 8 * i, 0x500 + i);
    }
    ASSERT_EQ(InAccess(file, true, [&] { return MakeTable(file, 2); }), 0);
    EXPECT_EQ(platform.asked, 61);
    EXPECT_EQ(platform.posted, 30);
    for (std::uint32_t i = 0; i < 61; ++i) {
        EXPECT_EQ(Load32(view + 20 + 8 * i), (i + 1) % 2 == 0 ? i + 1 : 0u) << i;
    }
}

#endif  // QUILLET_ENGINE_FAST_TESTS

#if defined(QUILLET_ENGINE_SLOW_TESTS)

// A holder that keeps the mutex: Open and BeginAccess give up after 10
// seconds with 27.
TEST_F(CrossProcessTest, HolderPastTenSecondsGives27) {
    ASSERT_EQ(OpenFile(OpenShareReadWrite), 0);
    Session child;
    StartSession(child, OpenShareReadWrite);
    ASSERT_EQ(child.Ask("begin w"), "begin 0");
    auto start = Clock::now();
    EXPECT_EQ(file_->BeginAccess(false), 27);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(9900));
    EXPECT_EQ(file_->AccessDepth(), 0);
    DataFile second(Platform::Default());
    bool created = false;
    start = Clock::now();
    EXPECT_EQ(second.Open(path_.c_str(), &created, OpenShareReadWrite), 27);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(9900));
    EXPECT_EQ(file_->UndoLastCommitLocked(), 27);
    EXPECT_EQ(child.Ask("end 0"), "end 0");
    EXPECT_EQ(file_->BeginAccess(false), 0);
    EXPECT_EQ(file_->EndAccess(0), 0);
}

#endif  // QUILLET_ENGINE_SLOW_TESTS

}  // namespace
}  // namespace quillet::testing
