// Named shared blocks and window listeners, within one process and across
// processes.

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "platform/Platform.h"
#include "tests/platform/ChildProcess.h"
#include "tests/platform/UniqueName.h"

namespace quillet::testing {
namespace {

Platform& P() {
    return Platform::Default();
}

std::unique_ptr<SharedBlock> OpenBlock(const std::string& name, bool* existed) {
    std::unique_ptr<SharedBlock> block;
    EXPECT_EQ(P().OpenSharedBlock(name.c_str(), existed, &block), win32::kSuccess);
    return block;
}

bool AllZero(const std::uint8_t* data) {
    for (std::size_t i = 0; i < SharedBlock::kSize; ++i) {
        if (data[i] != 0) return false;
    }
    return true;
}

TEST(SharedBlock, TwoHandlesSeeTheSameBytesAndTheLastCloseForgetsThem) {
    const std::string name = UniqueName("block");
    bool existed = true;
    auto a = OpenBlock(name, &existed);
    EXPECT_FALSE(existed);
    EXPECT_TRUE(AllZero(a->Data()));
    a->Data()[0] = 7;
    a->Data()[511] = 9;
    auto b = OpenBlock(name, &existed);
    EXPECT_TRUE(existed);
    EXPECT_NE(a->Data(), b->Data());  // two mappings of one block
    EXPECT_EQ(b->Data()[0], 7);
    EXPECT_EQ(b->Data()[511], 9);
    b->Data()[100] = 42;
    EXPECT_EQ(a->Data()[100], 42);
    a.reset();
    auto c = OpenBlock(name, &existed);
    EXPECT_TRUE(existed);  // b still has it open
    EXPECT_EQ(c->Data()[100], 42);
    b.reset();
    c.reset();
    auto d = OpenBlock(name, &existed);
    EXPECT_FALSE(existed);
    EXPECT_TRUE(AllZero(d->Data()));
}

TEST(SharedBlock, ChangesAreSeenByAnotherProcessBothWays) {
    const std::string name = UniqueName("block-process");
    bool existed = true;
    auto block = OpenBlock(name, &existed);
    ASSERT_FALSE(existed);
    block->Data()[8] = 0x5A;
    ChildProcess child;
    ASSERT_TRUE(child.Start({"block", name}));
    std::string line;
    ASSERT_TRUE(child.ReadLine(&line));
    EXPECT_EQ(line, "existed 1");
    ASSERT_TRUE(child.WriteLine("get 8"));
    ASSERT_TRUE(child.ReadLine(&line));
    EXPECT_EQ(line, "get 90");
    ASSERT_TRUE(child.WriteLine("set 300 17"));
    ASSERT_TRUE(child.ReadLine(&line));
    EXPECT_EQ(block->Data()[300], 17);
    child.CloseInput();
    EXPECT_EQ(child.Wait(), 0);
}

TEST(SharedBlock, ABlockWhoseOnlyUserWasKilledStartsFromZeros) {
    const std::string name = UniqueName("block-stale");
    {
        ChildProcess child;
        ASSERT_TRUE(child.Start({"block", name}));
        std::string line;
        ASSERT_TRUE(child.ReadLine(&line));
        EXPECT_EQ(line, "existed 0");
        ASSERT_TRUE(child.WriteLine("set 16 3"));
        ASSERT_TRUE(child.ReadLine(&line));
        child.Kill();  // no chance to clean up
        child.Wait();
    }
    bool existed = true;
    auto block = OpenBlock(name, &existed);
    EXPECT_FALSE(existed);
    EXPECT_TRUE(AllZero(block->Data()));
}

TEST(SharedBlock, AfterAnotherProcessClosedItTheNextCreatorStartsFromZeros) {
    const std::string name = UniqueName("block-closed");
    ChildProcess child;
    ASSERT_TRUE(child.Start({"block", name}));
    std::string line;
    ASSERT_TRUE(child.ReadLine(&line));
    ASSERT_TRUE(child.WriteLine("set 0 1"));
    ASSERT_TRUE(child.ReadLine(&line));
    child.CloseInput();
    ASSERT_EQ(child.Wait(), 0);
    bool existed = true;
    auto block = OpenBlock(name, &existed);
    EXPECT_FALSE(existed);
    EXPECT_TRUE(AllZero(block->Data()));
}

TEST(WindowListener, IsAWindowUntilDestroyedAndReceivesWhatIsPosted) {
    std::unique_ptr<WindowListener> listener;
    ASSERT_EQ(P().CreateWindowListener(&listener), win32::kSuccess);
    const std::uint32_t handle = listener->Handle();
    EXPECT_NE(handle, 0u);
    EXPECT_TRUE(P().IsWindow(handle));
    std::uint32_t message = 0;
    EXPECT_FALSE(listener->Receive(0, &message));  // IsWindow posted nothing
#ifdef _WIN32
    // Windows message numbers end at 0xFFFF (registered messages); Wine drops
    // a posted 0xFFFFFFFF without a word.
    constexpr std::uint32_t kHighest = 0xFFFF;
#else
    constexpr std::uint32_t kHighest = 0xFFFFFFFF;
#endif
    EXPECT_EQ(P().PostWindowMessage(handle, 0x8001), win32::kSuccess);
    EXPECT_EQ(P().PostWindowMessage(handle, kHighest), win32::kSuccess);
    ASSERT_TRUE(listener->Receive(5000, &message));
    EXPECT_EQ(message, 0x8001u);
    ASSERT_TRUE(listener->Receive(5000, &message));
    EXPECT_EQ(message, kHighest);
    EXPECT_FALSE(listener->Receive(10, &message));
    listener.reset();
    EXPECT_FALSE(P().IsWindow(handle));
    EXPECT_EQ(P().PostWindowMessage(handle, 1), win32::kInvalidWindowHandle);
    EXPECT_FALSE(P().IsWindow(0));
    EXPECT_EQ(P().PostWindowMessage(0, 1), win32::kInvalidWindowHandle);
}

TEST(WindowListener, TwoListenersHaveDifferentHandles) {
    std::unique_ptr<WindowListener> a;
    std::unique_ptr<WindowListener> b;
    ASSERT_EQ(P().CreateWindowListener(&a), win32::kSuccess);
    ASSERT_EQ(P().CreateWindowListener(&b), win32::kSuccess);
    EXPECT_NE(a->Handle(), b->Handle());
    ASSERT_EQ(P().PostWindowMessage(b->Handle(), 5), win32::kSuccess);
    std::uint32_t message = 0;
    EXPECT_FALSE(a->Receive(20, &message));
    ASSERT_TRUE(b->Receive(5000, &message));
    EXPECT_EQ(message, 5u);
}

TEST(WindowListener, AnotherProcessListenerIsAliveUntilItsProcessIsKilled) {
    ChildProcess child;
    ASSERT_TRUE(child.Start({"listen"}));
    std::string line;
    ASSERT_TRUE(child.ReadLine(&line));
    ASSERT_EQ(line.rfind("handle ", 0), 0u) << line;
    const auto handle = static_cast<std::uint32_t>(std::stoul(line.substr(7)));
    EXPECT_TRUE(P().IsWindow(handle));
    EXPECT_EQ(P().PostWindowMessage(handle, 1234), win32::kSuccess);
    ASSERT_TRUE(child.WriteLine("recv 5000"));
    ASSERT_TRUE(child.ReadLine(&line));
    EXPECT_EQ(line, "msg 1234");
    child.Kill();  // its socket file stays behind
    child.Wait();
    EXPECT_FALSE(P().IsWindow(handle));
    EXPECT_EQ(P().PostWindowMessage(handle, 1), win32::kInvalidWindowHandle);
}

}  // namespace
}  // namespace quillet::testing
