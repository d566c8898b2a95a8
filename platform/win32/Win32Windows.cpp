// Windows and posted messages: IsWindow, PostMessageA, and listeners that are
// hidden message-only windows.
//
// Window handles are 32-bit values on every Windows version (64-bit Windows
// keeps user handles within 32 bits so that 32- and 64-bit programs can pass
// them to each other), which is why the 32-bit handles of Platform.h and of the
// shared window table can name real windows. A handle converts back to HWND
// with sign extension, as the system does.

#include <windows.h>

#include "platform/win32/Win32Internal.h"
#include "platform/win32/Win32Platform.h"

namespace quillet {

namespace {

using win32detail::LastErrorOr;

HWND ToWindow(std::uint32_t handle) {
    return reinterpret_cast<HWND>(static_cast<INT_PTR>(static_cast<std::int32_t>(handle)));
}

std::uint32_t FromWindow(HWND window) {
    return static_cast<std::uint32_t>(reinterpret_cast<UINT_PTR>(window) & 0xffffffffU);
}

constexpr char kListenerClass[] = "QuilletMessageListener";

// The listener's window class, registered once per process on first use.
// Returns false when it can be neither registered nor found.
bool RegisterListenerClass(HINSTANCE instance) {
    WNDCLASSA windowClass{};
    if (::GetClassInfoA(instance, kListenerClass, &windowClass)) return true;
    windowClass.lpfnWndProc = ::DefWindowProcA;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kListenerClass;
    if (::RegisterClassA(&windowClass) != 0) return true;
    // Another thread may have registered it in between.
    return ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

// A message-only window owned by the thread that created it. Messages posted
// to it wait in that thread's queue until Receive takes them, so Receive must
// be called on the creating thread.
class Win32WindowListener final : public WindowListener {
  public:
    explicit Win32WindowListener(HWND window) : window_(window) {}
    Win32WindowListener(const Win32WindowListener&) = delete;
    Win32WindowListener& operator=(const Win32WindowListener&) = delete;
    ~Win32WindowListener() override {
        ::DestroyWindow(window_);
        // Messages still queued for the destroyed window are dropped with it.
        MSG message;
        while (::PeekMessageA(&message, window_, 0, 0, PM_REMOVE)) {
        }
    }

    std::uint32_t Handle() const override { return FromWindow(window_); }

    // Takes the next message posted to this window (PeekMessageA with the
    // window as filter), waiting for new ones with MsgWaitForMultipleObjectsEx
    // until the timeout has passed. Messages sent (not posted) to the window
    // are handled by its default window procedure meanwhile.
    bool Receive(std::uint32_t timeoutMs, std::uint32_t* message) override {
        const DWORD start = ::GetTickCount();
        for (;;) {
            MSG queued;
            if (::PeekMessageA(&queued, window_, 0, 0, PM_REMOVE)) {
                *message = queued.message;
                return true;
            }
            const DWORD elapsed = ::GetTickCount() - start;
            if (elapsed >= timeoutMs) return false;
            const DWORD waited =
                ::MsgWaitForMultipleObjectsEx(0, nullptr, timeoutMs - elapsed,
                                              QS_POSTMESSAGE | QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
            if (waited == WAIT_FAILED) return false;
        }
    }

  private:
    HWND window_;
};

}  // namespace

// IsWindow. Handle 0 is never a window.
bool Win32Platform::IsWindow(std::uint32_t handle) {
    return handle != 0 && ::IsWindow(ToWindow(handle)) != FALSE;
}

// PostMessageA(handle, message, 0, 0). A handle that names no window (0 would
// post to the thread's own queue) fails with win32::kInvalidWindowHandle
// before the message is looked at: Wine checks the message number first and
// would answer ERROR_MESSAGE_SYNC_ONLY for a system message number.
Win32Error Win32Platform::PostWindowMessage(std::uint32_t handle, std::uint32_t message) {
    if (!IsWindow(handle)) return win32::kInvalidWindowHandle;
    if (!::PostMessageA(ToWindow(handle), message, 0, 0)) {
        return LastErrorOr(win32::kInvalidWindowHandle);
    }
    return win32::kSuccess;
}

// CreateWindowExA of a message-only window (parent HWND_MESSAGE) of this
// module's listener class. It belongs to the calling thread: messages reach it
// through that thread's queue, and IsWindow turns false once it is destroyed.
Win32Error Win32Platform::CreateWindowListener(std::unique_ptr<WindowListener>* listener) {
    listener->reset();
    HINSTANCE instance = ::GetModuleHandleA(nullptr);
    if (!RegisterListenerClass(instance)) return LastErrorOr(win32::kNotEnoughMemory);
    HWND window = ::CreateWindowExA(0, kListenerClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    instance, nullptr);
    if (window == nullptr) return LastErrorOr(win32::kNotEnoughMemory);
    *listener = std::make_unique<Win32WindowListener>(window);
    return win32::kSuccess;
}

}  // namespace quillet
