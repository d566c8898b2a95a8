// Named mutexes: recursion, exclusion between threads and processes,
// timeouts, abandonment, and names of any bytes.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "tests/platform/ChildProcess.h"
#include "tests/platform/UniqueName.h"

namespace quillet::testing {
namespace {

Platform& P() {
    return Platform::Default();
}

std::unique_ptr<NamedMutex> OpenMutex(const std::string& name) {
    std::unique_ptr<NamedMutex> mutex;
    EXPECT_EQ(P().OpenNamedMutex(name.c_str(), &mutex), win32::kSuccess);
    return mutex;
}

std::string WaitLine(WaitResult result) {
    return "wait " + std::to_string(static_cast<int>(result));
}

TEST(NamedMutex, TheOwnerTakesItAgainAndReleasesOnceForEachWait) {
    auto mutex = OpenMutex(UniqueName("recursion"));
    ASSERT_EQ(mutex->Wait(0), WaitResult::kAcquired);
    ASSERT_EQ(mutex->Wait(0), WaitResult::kAcquired);
    ASSERT_EQ(mutex->Wait(1000), WaitResult::kAcquired);
    EXPECT_EQ(mutex->Release(), win32::kSuccess);
    EXPECT_EQ(mutex->Release(), win32::kSuccess);
    EXPECT_EQ(mutex->Release(), win32::kSuccess);
    EXPECT_EQ(mutex->Release(), 288u);  // not owned any more
}

TEST(NamedMutex, AnotherThreadWaitsUntilTheOwnerHasReleasedEveryLevel) {
    const std::string name = UniqueName("threads");
    auto mine = OpenMutex(name);
    auto theirs = OpenMutex(name);  // a second handle, as another DataFile would have
    ASSERT_EQ(mine->Wait(0), WaitResult::kAcquired);
    ASSERT_EQ(mine->Wait(0), WaitResult::kAcquired);
    std::atomic<int> stage{0};
    WaitResult blocked = WaitResult::kAcquired;
    WaitResult later = WaitResult::kTimeout;
    Win32Error notOwner = 0;
    std::thread other([&] {
        notOwner = theirs->Release();
        blocked = theirs->Wait(50);
        stage = 1;
        while (stage != 2) std::this_thread::yield();
        later = theirs->Wait(20000);
        if (later == WaitResult::kAcquired) theirs->Release();
    });
    while (stage != 1) std::this_thread::yield();
    EXPECT_EQ(mine->Release(), win32::kSuccess);  // one level still held
    stage = 2;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(mine->Release(), win32::kSuccess);
    other.join();
    EXPECT_EQ(notOwner, 288u);
    EXPECT_EQ(blocked, WaitResult::kTimeout);
    EXPECT_EQ(later, WaitResult::kAcquired);
}

TEST(NamedMutex, ThreadsNeverHoldItTogether) {
    const std::string name = UniqueName("exclusion");
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::atomic<int> entered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            auto mutex = OpenMutex(name);
            for (int i = 0; i < 200; ++i) {
                if (mutex->Wait(20000) != WaitResult::kAcquired) continue;
                if (inside.fetch_add(1) != 0) overlap = true;
                ++entered;
                inside.fetch_sub(1);
                mutex->Release();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_FALSE(overlap);
    EXPECT_EQ(entered, 800);
}

TEST(NamedMutex, AThreadThatEndsOwningItAbandonsIt) {
    const std::string name = UniqueName("thread-end");
    auto mutex = OpenMutex(name);
    std::thread([&] {
        auto own = OpenMutex(name);
        EXPECT_EQ(own->Wait(0), WaitResult::kAcquired);
    }).join();
    EXPECT_EQ(mutex->Wait(5000), WaitResult::kAbandoned);
    EXPECT_EQ(mutex->Release(), win32::kSuccess);
    EXPECT_EQ(mutex->Wait(0), WaitResult::kAcquired);  // reported once only
    EXPECT_EQ(mutex->Release(), win32::kSuccess);
}

TEST(NamedMutex, AnotherProcessWaitsAndTimesOutWhileWeHoldIt) {
    const std::string name = UniqueName("process-waits");
    auto mutex = OpenMutex(name);
    ASSERT_EQ(mutex->Wait(0), WaitResult::kAcquired);
    {
        ChildProcess child;
        ASSERT_TRUE(child.Start({"wait-mutex", name, "200"}));
        std::string line;
        ASSERT_TRUE(child.ReadLine(&line));
        EXPECT_EQ(line, WaitLine(WaitResult::kTimeout));
        EXPECT_EQ(child.Wait(), 0);
    }
    ChildProcess child;
    ASSERT_TRUE(child.Start({"wait-mutex", name, "20000"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(mutex->Release(), win32::kSuccess);
    std::string line;
    ASSERT_TRUE(child.ReadLine(&line));
    EXPECT_EQ(line, WaitLine(WaitResult::kAcquired));
    EXPECT_EQ(child.Wait(), 0);
}

TEST(NamedMutex, WeWaitWhileAnotherProcessHoldsItAndGetItOnRelease) {
    const std::string name = UniqueName("we-wait");
    ChildProcess child;
    ASSERT_TRUE(child.Start({"hold-mutex", name}));
    std::string line;
    ASSERT_TRUE(child.ReadLine(&line));
    ASSERT_EQ(line, WaitLine(WaitResult::kAcquired));
    auto mutex = OpenMutex(name);
    EXPECT_EQ(mutex->Wait(0), WaitResult::kTimeout);
    EXPECT_EQ(mutex->Wait(300), WaitResult::kTimeout);
    ASSERT_TRUE(child.WriteLine("release"));
    ASSERT_TRUE(child.ReadLine(&line));
    EXPECT_EQ(line, "release 0");
    EXPECT_EQ(mutex->Wait(20000), WaitResult::kAcquired);
    EXPECT_EQ(mutex->Release(), win32::kSuccess);
}

TEST(NamedMutex, AKilledOwnerProcessLeavesItAbandonedToTheNextWaiter) {
    const std::string name = UniqueName("abandoned");
    auto mutex = OpenMutex(name);
    ChildProcess child;
    ASSERT_TRUE(child.Start({"hold-mutex", name}));
    std::string line;
    ASSERT_TRUE(child.ReadLine(&line));
    ASSERT_EQ(line, WaitLine(WaitResult::kAcquired));
    EXPECT_EQ(mutex->Wait(0), WaitResult::kTimeout);
    child.Kill();
    child.Wait();
    EXPECT_EQ(mutex->Wait(20000), WaitResult::kAbandoned);
    EXPECT_EQ(mutex->Release(), win32::kSuccess);
    EXPECT_EQ(mutex->Wait(0), WaitResult::kAcquired);
    EXPECT_EQ(mutex->Release(), win32::kSuccess);
}

TEST(NamedMutex, AMutexNoHandleNamesAnyMoreStartsAfresh) {
    const std::string name = UniqueName("gone");
    {
        ChildProcess child;
        ASSERT_TRUE(child.Start({"hold-mutex", name}));
        std::string line;
        ASSERT_TRUE(child.ReadLine(&line));
        ASSERT_EQ(line, WaitLine(WaitResult::kAcquired));
        child.Kill();
        child.Wait();
    }
    // The dead owner had the only handle: the mutex went with it.
    auto mutex = OpenMutex(name);
    EXPECT_EQ(mutex->Wait(0), WaitResult::kAcquired);
    EXPECT_EQ(mutex->Release(), win32::kSuccess);
}

TEST(NamedMutex, NamesOfAnyBytesAndLengthAreDistinctMutexes) {
    const std::string base = UniqueName("names");
    // Same readable prefix, differing far beyond it; bytes that no file name
    // may hold; a name of thousands of bytes.
    const std::vector<std::string> names = {base + std::string(300, 'A') + "1",
                                            base + std::string(300, 'A') + "2",
                                            base + "/../..\\x\x01\x7f\xff",
                                            base + "/../..\\x\x01\x7f\xfe",
                                            base + std::string(5000, '/'),
                                            base + std::string(5000, '/') + "x",
                                            base + "\xff"};
    std::vector<std::unique_ptr<NamedMutex>> held;
    for (const auto& name : names) {
        held.push_back(OpenMutex(name));
        ASSERT_EQ(held.back()->Wait(0), WaitResult::kAcquired);
    }
    // Each is held now; another process finds every one of them taken, and a
    // name that differs from all is free.
    for (const auto& name : names) {
        ChildProcess child;
        ASSERT_TRUE(child.Start({"wait-mutex", name, "0"}));
        std::string line;
        ASSERT_TRUE(child.ReadLine(&line));
        EXPECT_EQ(line, WaitLine(WaitResult::kTimeout)) << name.size();
        child.Wait();
    }
    // Names that differ from all held ones are free, also one that differs
    // only in a byte that is no text of a UTF-8 code page.
    for (const std::string& other : {base + "other", base + "\xfe"}) {
        ChildProcess child;
        ASSERT_TRUE(child.Start({"wait-mutex", other, "0"}));
        std::string line;
        ASSERT_TRUE(child.ReadLine(&line));
        EXPECT_EQ(line, WaitLine(WaitResult::kAcquired)) << other;
        child.Wait();
    }
    for (auto& mutex : held) EXPECT_EQ(mutex->Release(), win32::kSuccess);
}

TEST(NamedMutex, UnnamedMutexesArePrivateAndSeparate) {
    std::unique_ptr<NamedMutex> a;
    std::unique_ptr<NamedMutex> b;
    ASSERT_EQ(P().OpenNamedMutex(nullptr, &a), win32::kSuccess);
    ASSERT_EQ(P().OpenNamedMutex("", &b), win32::kSuccess);
    ASSERT_EQ(a->Wait(0), WaitResult::kAcquired);
    WaitResult other = WaitResult::kFailed;
    WaitResult second = WaitResult::kFailed;
    std::thread([&] {
        other = a->Wait(0);
        second = b->Wait(0);
        if (second == WaitResult::kAcquired) b->Release();
    }).join();
    EXPECT_EQ(other, WaitResult::kTimeout);
    EXPECT_EQ(second, WaitResult::kAcquired);
    EXPECT_EQ(a->Release(), win32::kSuccess);
}

}  // namespace
}  // namespace quillet::testing
