#pragma once
// A copy of this test program running in another process, in one of the child
// modes of ChildModes.cpp, talked to through its standard input and output one
// line at a time. Destruction kills it (if still running) and reaps it.

#ifndef _WIN32
#include <sys/types.h>
#endif

#include <string>
#include <vector>

namespace quillet::testing {

class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts "<this program> --child <args...>". False if it could not start.
    bool Start(const std::vector<std::string>& args);
    // The next line the child printed, without its newline; false at the end of
    // its output or after `timeoutMs` without a full line.
    bool ReadLine(std::string* line, int timeoutMs = 20000);
    bool WriteLine(const std::string& line);
    // Closes the child's standard input: child modes end at the end of input.
    void CloseInput();
    void Kill();
    // Waits for the end of the child: its exit code, or minus the signal number.
    int Wait();

  private:
#ifdef _WIN32
    // Process and pipe handles (ChildProcessWin32.cpp).
    void* process_ = nullptr;
    void* toChild_ = nullptr;
    void* fromChild_ = nullptr;
#else
    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
#endif
    std::string pending_;
};

// Runs the child mode named by args[0]; the exit code of the child process.
int RunChildMode(int argc, char** argv);

}  // namespace quillet::testing
