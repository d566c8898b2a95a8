// Window stand-ins: a listener is a Unix datagram socket bound in the runtime
// folder under "w-<handle as 8 hex digits>". A handle is a window while a
// socket is bound there: connect(2) to a leftover file of a dead process fails
// with ECONNREFUSED. A message is one 4-byte datagram (the message number,
// little-endian), sent without waiting.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "platform/posix/PosixErrors.h"
#include "platform/posix/PosixPlatform.h"
#include "platform/posix/RuntimeFolder.h"

namespace quillet {

namespace {

// The socket address of a handle; false when the folder's path is too long
// for a socket address.
bool AddressOf(std::uint32_t handle, sockaddr_un* address) {
    int dirfd = -1;
    std::string folder;
    if (posix::ProcessRuntimeFolder(&dirfd, &folder) != win32::kSuccess) return false;
    char name[16];
    std::snprintf(name, sizeof name, "/w-%08x", handle);
    const std::string path = folder + name;
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (path.size() + 1 > sizeof address->sun_path) return false;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

class SocketListener final : public WindowListener {
  public:
    SocketListener(int fd, std::uint32_t handle, const sockaddr_un& address)
        : fd_(fd), handle_(handle), address_(address) {}
    ~SocketListener() override {
        ::unlink(address_.sun_path);
        ::close(fd_);
    }
    SocketListener(const SocketListener&) = delete;
    SocketListener& operator=(const SocketListener&) = delete;

    std::uint32_t Handle() const override { return handle_; }

    bool Receive(std::uint32_t timeoutMs, std::uint32_t* message) override {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            unsigned char bytes[8];
            const ssize_t n = ::recv(fd_, bytes, sizeof bytes, MSG_DONTWAIT);
            if (n == 4) {
                *message = static_cast<std::uint32_t>(bytes[0]) |
                           (static_cast<std::uint32_t>(bytes[1]) << 8) |
                           (static_cast<std::uint32_t>(bytes[2]) << 16) |
                           (static_cast<std::uint32_t>(bytes[3]) << 24);
                return true;
            }
            if (n >= 0) continue;  // not a message of ours: dropped
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) return false;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
            struct pollfd wait = {fd_, POLLIN, 0};
            ::poll(&wait, 1, static_cast<int>(left) + 1);
        }
    }

  private:
    int fd_;
    std::uint32_t handle_;
    sockaddr_un address_;
};

}  // namespace

bool PosixPlatform::IsWindow(std::uint32_t handle) {
    if (handle == 0) return false;
    sockaddr_un address;
    if (!AddressOf(handle, &address)) return false;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // connect(2) of a datagram socket sends nothing; it only finds the peer.
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    ::close(fd);
    return result == 0;
}

Win32Error PosixPlatform::PostWindowMessage(std::uint32_t handle, std::uint32_t message) {
    if (handle == 0) return win32::kInvalidWindowHandle;
    sockaddr_un address;
    if (!AddressOf(handle, &address)) return win32::kInvalidWindowHandle;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return posix::Win32FromErrno(errno);
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(message), static_cast<unsigned char>(message >> 8),
        static_cast<unsigned char>(message >> 16), static_cast<unsigned char>(message >> 24)};
    ssize_t sent;
    do {
        sent = ::sendto(fd, bytes, sizeof bytes, MSG_DONTWAIT | MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (sent < 0 && errno == EINTR);
    const int error = errno;
    ::close(fd);
    if (sent == 4) return win32::kSuccess;
    if (error == EAGAIN || error == EWOULDBLOCK) return posix::kNotEnoughQuota;  // queue full
    return win32::kInvalidWindowHandle;
}

Win32Error PosixPlatform::CreateWindowListener(std::unique_ptr<WindowListener>* listener) {
    std::random_device random;
    for (int attempt = 0; attempt < 64; ++attempt) {
        const std::uint32_t handle = static_cast<std::uint32_t>(random());
        if (handle == 0) continue;
        sockaddr_un address;
        if (!AddressOf(handle, &address)) {
            int dirfd = -1;
            const Win32Error error = posix::ProcessRuntimeFolder(&dirfd, nullptr);
            return error != win32::kSuccess ? error : win32::kFilenameExcedRange;
        }
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return posix::Win32FromErrno(errno);
        // bind(2) fails when the name exists, live or left over, so a handle is
        // never taken twice; a leftover simply makes us pick another number.
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            *listener = std::make_unique<SocketListener>(fd, handle, address);
            return win32::kSuccess;
        }
        const int error = errno;
        ::close(fd);
        if (error != EADDRINUSE) return posix::Win32FromErrno(error);
    }
    return win32::kTooManyOpenFiles;
}

}  // namespace quillet
