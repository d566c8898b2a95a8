// Child processes on Windows: this program started again with CreateProcessA,
// its standard input and output connected to anonymous pipes.

#include <windows.h>

#include <string>
#include <vector>

#include "tests/platform/ChildProcess.h"

namespace quillet::testing {

namespace {

// The command line reaches the child through the ANSI code page, which turns
// bytes that are no text of that page (ill-formed UTF-8) into U+FFFD: an
// argument with any byte outside printable ASCII travels as "hex:" and its
// bytes in hexadecimal, which RunChildMode decodes.
std::string EncodeChildArgument(const std::string& arg) {
    bool plain = true;
    for (char c : arg) plain = plain && c >= 0x20 && c < 0x7f;
    if (plain && arg.rfind("hex:", 0) != 0) return arg;
    static const char kDigits[] = "0123456789abcdef";
    std::string out = "hex:";
    for (char c : arg) {
        const auto byte = static_cast<unsigned char>(c);
        out += kDigits[byte >> 4];
        out += kDigits[byte & 15];
    }
    return out;
}

// One argument quoted for the command line as the C runtime splits it again:
// backslashes are literal except before a quote, where they are doubled.
std::string Quote(const std::string& arg) {
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

void CloseIfOpen(void** handle) {
    if (*handle != nullptr) ::CloseHandle(static_cast<HANDLE>(*handle));
    *handle = nullptr;
}

}  // namespace

ChildProcess::~ChildProcess() {
    if (process_ != nullptr) {
        Kill();
        Wait();
    }
    CloseIfOpen(&toChild_);
    CloseIfOpen(&fromChild_);
}

bool ChildProcess::Start(const std::vector<std::string>& args) {
    char program[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(nullptr, program, sizeof program);
    if (length == 0 || length >= sizeof program) return false;

    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    HANDLE inputRead = nullptr;
    HANDLE inputWrite = nullptr;
    HANDLE outputRead = nullptr;
    HANDLE outputWrite = nullptr;
    if (!::CreatePipe(&inputRead, &inputWrite, &inherit, 0)) return false;
    if (!::CreatePipe(&outputRead, &outputWrite, &inherit, 0)) {
        ::CloseHandle(inputRead);
        ::CloseHandle(inputWrite);
        return false;
    }
    // Only the child's ends are inherited: a later child must not hold this
    // one's input open.
    ::SetHandleInformation(inputWrite, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(outputRead, HANDLE_FLAG_INHERIT, 0);

    std::string commandLine = Quote(program) + " --child";
    for (const std::string& arg : args) commandLine += " " + Quote(EncodeChildArgument(arg));
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inputRead;
    startup.hStdOutput = outputWrite;
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    const BOOL started = ::CreateProcessA(program, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                          nullptr, &startup, &info);
    ::CloseHandle(inputRead);
    ::CloseHandle(outputWrite);
    if (!started) {
        ::CloseHandle(inputWrite);
        ::CloseHandle(outputRead);
        return false;
    }
    ::CloseHandle(info.hThread);
    process_ = info.hProcess;
    toChild_ = inputWrite;
    fromChild_ = outputRead;
    return true;
}

bool ChildProcess::ReadLine(std::string* line, int timeoutMs) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        const auto newline = pending_.find('\n');
        if (newline != std::string::npos) {
            *line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            // The child's standard output is in text mode: lines end in CR LF.
            if (!line->empty() && line->back() == '\r') line->pop_back();
            return true;
        }
        if (fromChild_ == nullptr) return false;
        DWORD available = 0;
        if (!::PeekNamedPipe(static_cast<HANDLE>(fromChild_), nullptr, 0, nullptr, &available,
                             nullptr)) {
            return false;  // the child closed its output
        }
        if (available == 0) {
            if (::GetTickCount() - start >= static_cast<DWORD>(timeoutMs)) return false;
            ::Sleep(2);
            continue;
        }
        char buffer[512];
        DWORD got = 0;
        const DWORD want = available < sizeof buffer ? available : sizeof buffer;
        if (!::ReadFile(static_cast<HANDLE>(fromChild_), buffer, want, &got, nullptr) || got == 0) {
            return false;
        }
        pending_.append(buffer, got);
    }
}

bool ChildProcess::WriteLine(const std::string& line) {
    if (toChild_ == nullptr) return false;
    const std::string text = line + "\n";
    DWORD done = 0;
    while (done < text.size()) {
        DWORD written = 0;
        if (!::WriteFile(static_cast<HANDLE>(toChild_), text.data() + done,
                         static_cast<DWORD>(text.size() - done), &written, nullptr) ||
            written == 0) {
            return false;
        }
        done += written;
    }
    return true;
}

void ChildProcess::CloseInput() {
    CloseIfOpen(&toChild_);
}

void ChildProcess::Kill() {
    if (process_ != nullptr) ::TerminateProcess(static_cast<HANDLE>(process_), 137);
}

int ChildProcess::Wait() {
    if (process_ == nullptr) return -1;
    HANDLE process = static_cast<HANDLE>(process_);
    // A child that does not end within a minute is stuck: end it rather than
    // hang the test program.
    if (::WaitForSingleObject(process, 60000) != WAIT_OBJECT_0) {
        ::TerminateProcess(process, 137);
        ::WaitForSingleObject(process, INFINITE);
    }
    DWORD code = 0;
    const BOOL known = ::GetExitCodeProcess(process, &code);
    ::CloseHandle(process);
    process_ = nullptr;
    return known ? static_cast<int>(code) : -1;
}

}  // namespace quillet::testing
