// What the test program does when started as a child process: one small
// scenario per mode, reporting on standard output and taking orders from
// standard input. Every mode ends at the end of its input.

#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "platform/Platform.h"
#include "tests/platform/ChildProcess.h"
#include "tests/platform/ShareModes.h"

namespace quillet::testing {

namespace {

void Say(const std::string& line) {
    std::cout << line << std::endl;  // flushed: the parent waits for it
}

void WaitForEndOfInput() {
    std::string line;
    while (std::getline(std::cin, line)) {
    }
}

// hold-file <path> <mode index>: opens the file and keeps it open.
int HoldFile(const std::string& path, int mode) {
    std::unique_ptr<File> file;
    const ShareCase& c = kShareCases[mode];
    const Win32Error error = Platform::Default().OpenFile(path.c_str(), c.access, c.share,
                                                          FileDisposition::kOpenAlways, &file);
    Say("open " + std::to_string(error));
    WaitForEndOfInput();
    return 0;
}

// try-files <path>: tries every access and share mode in turn, closing each.
int TryFiles(const std::string& path) {
    std::string results;
    for (const ShareCase& c : kShareCases) {
        std::unique_ptr<File> file;
        const Win32Error error = Platform::Default().OpenFile(
            path.c_str(), c.access, c.share, FileDisposition::kOpenExisting, &file);
        results += (results.empty() ? "" : " ") + std::to_string(error);
    }
    Say(results);
    return 0;
}

// hold-mutex <name>: takes the mutex; "release" releases it, the end of input
// ends the process without releasing.
int HoldMutex(const std::string& name) {
    std::unique_ptr<NamedMutex> mutex;
    const Win32Error error = Platform::Default().OpenNamedMutex(name.c_str(), &mutex);
    if (error != win32::kSuccess) {
        Say("open " + std::to_string(error));
        return 1;
    }
    Say("wait " + std::to_string(static_cast<int>(mutex->Wait(20000))));
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "release") Say("release " + std::to_string(mutex->Release()));
    }
    return 0;
}

// wait-mutex <name> <timeout>: one wait, reported; released when owned.
int WaitMutex(const std::string& name, std::uint32_t timeout) {
    std::unique_ptr<NamedMutex> mutex;
    const Win32Error error = Platform::Default().OpenNamedMutex(name.c_str(), &mutex);
    if (error != win32::kSuccess) {
        Say("open " + std::to_string(error));
        return 1;
    }
    const WaitResult result = mutex->Wait(timeout);
    Say("wait " + std::to_string(static_cast<int>(result)));
    if (result == WaitResult::kAcquired || result == WaitResult::kAbandoned) mutex->Release();
    return 0;
}

// hold-range <path> <offset> <length>: locks a byte range and keeps it.
int HoldRange(const std::string& path, std::uint64_t offset, std::uint64_t length) {
    std::unique_ptr<File> file;
    Win32Error error =
        Platform::Default().OpenFile(path.c_str(), FileAccess::kReadWrite, FileShare::kReadWrite,
                                     FileDisposition::kOpenAlways, &file);
    if (error == win32::kSuccess) error = file->LockRange(offset, length);
    Say("lock " + std::to_string(error));
    WaitForEndOfInput();
    return 0;
}

// block <name>: opens the shared block; "set <offset> <value>" and
// "get <offset>" change and report bytes.
int Block(const std::string& name) {
    std::unique_ptr<SharedBlock> block;
    bool existed = false;
    const Win32Error error = Platform::Default().OpenSharedBlock(name.c_str(), &existed, &block);
    if (error != win32::kSuccess) {
        Say("open " + std::to_string(error));
        return 1;
    }
    Say(std::string("existed ") + (existed ? "1" : "0"));
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command;
        std::size_t offset = 0;
        words >> command >> offset;
        if (offset >= SharedBlock::kSize) continue;
        if (command == "set") {
            int value = 0;
            words >> value;
            block->Data()[offset] = static_cast<std::uint8_t>(value);
            Say("set");
        } else if (command == "get") {
            Say("get " + std::to_string(block->Data()[offset]));
        }
    }
    return 0;
}

// listen: creates a listener and reports its handle; "recv <timeout>" reports
// the next message number or "none".
int Listen() {
    std::unique_ptr<WindowListener> listener;
    const Win32Error error = Platform::Default().CreateWindowListener(&listener);
    if (error != win32::kSuccess) {
        Say("open " + std::to_string(error));
        return 1;
    }
    Say("handle " + std::to_string(listener->Handle()));
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command;
        std::uint32_t timeout = 0;
        words >> command >> timeout;
        if (command != "recv") continue;
        std::uint32_t message = 0;
        Say(listener->Receive(timeout, &message) ? "msg " + std::to_string(message) : "none");
    }
    return 0;
}

// move-file <from> <to>, remove-file <path>: one rename or removal, reported.
int MoveOne(const std::string& from, const std::string& to) {
    Say("move " + std::to_string(Platform::Default().MoveFileTo(from.c_str(), to.c_str())));
    return 0;
}
int RemoveOne(const std::string& path) {
    Say("remove " + std::to_string(Platform::Default().RemoveFile(path.c_str())));
    return 0;
}

}  // namespace

int RunChildMode(int argc, char** argv) {
    if (argc < 1) return 2;
    const std::string mode = argv[0];
    // "hex:" and hexadecimal digits: the bytes of an argument that the
    // Windows command line would not carry unchanged (ChildProcessWin32.cpp).
    auto arg = [&](int i) {
        std::string text = i < argc ? std::string(argv[i]) : std::string();
        if (text.rfind("hex:", 0) != 0) return text;
        std::string bytes;
        for (std::size_t at = 4; at + 1 < text.size(); at += 2) {
            bytes += static_cast<char>(std::stoi(text.substr(at, 2), nullptr, 16));
        }
        return bytes;
    };
    auto number = [&](int i) { return std::stoull(arg(i)); };
    if (mode == "hold-file" && argc == 3) return HoldFile(arg(1), static_cast<int>(number(2)));
    if (mode == "try-files" && argc == 2) return TryFiles(arg(1));
    if (mode == "hold-mutex" && argc == 2) return HoldMutex(arg(1));
    if (mode == "wait-mutex" && argc == 3) {
        return WaitMutex(arg(1), static_cast<std::uint32_t>(number(2)));
    }
    if (mode == "hold-range" && argc == 4) return HoldRange(arg(1), number(2), number(3));
    if (mode == "block" && argc == 2) return Block(arg(1));
    if (mode == "listen" && argc == 1) return Listen();
    if (mode == "move-file" && argc == 3) return MoveOne(arg(1), arg(2));
    if (mode == "remove-file" && argc == 2) return RemoveOne(arg(1));
    std::fprintf(stderr, "unknown child mode %s\n", mode.c_str());
    return 2;
}

}  // namespace quillet::testing
