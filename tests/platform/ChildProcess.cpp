// Child processes: starting this program again in a child mode.

#include "tests/platform/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

extern char** environ;

namespace quillet::testing {

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        Kill();
        Wait();
    }
    if (toChild_ >= 0) ::close(toChild_);
    if (fromChild_ >= 0) ::close(fromChild_);
}

bool ChildProcess::Start(const std::vector<std::string>& args) {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0) return false;
    if (::pipe2(output, O_CLOEXEC) != 0) {
        ::close(input[0]);
        ::close(input[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);

    std::vector<std::string> all = {"/proc/self/exe", "--child"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int result =
        ::posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    if (result != 0) {
        ::close(input[1]);
        ::close(output[0]);
        return false;
    }
    pid_ = pid;
    toChild_ = input[1];
    fromChild_ = output[0];
    return true;
}

bool ChildProcess::ReadLine(std::string* line, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto newline = pending_.find('\n');
        if (newline != std::string::npos) {
            *line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return true;
        }
        if (fromChild_ < 0) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return false;
        struct pollfd wait = {fromChild_, POLLIN, 0};
        const int ready = ::poll(&wait, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char buffer[512];
        const ssize_t n = ::read(fromChild_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
}

bool ChildProcess::WriteLine(const std::string& line) {
    if (toChild_ < 0) return false;
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(toChild_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void ChildProcess::CloseInput() {
    if (toChild_ >= 0) ::close(toChild_);
    toChild_ = -1;
}

void ChildProcess::Kill() {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
}

int ChildProcess::Wait() {
    if (pid_ <= 0) return -1;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return -WTERMSIG(status);
    return -1;
}

}  // namespace quillet::testing
