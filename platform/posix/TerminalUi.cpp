// The open-file dialog and the message boxes of PosixPlatform, presented in the
// terminal on standard input and standard output.
//
// Other programs drive the converter through this protocol, so its lines are
// fixed. Every prompt ends without a newline and is flushed before reading.
// Answers are read one line at a time; a trailing "\r" is dropped. A line longer
// than 4096 bytes is read to its end but kept as one answer that is no valid
// answer: it names no file and is neither "ok" nor "cancel". When standard
// input is not a terminal (answers piped in by a script), each answer read is
// echoed after its prompt, so the output reads as the terminal session would;
// at the end of input the prompt's line is ended with a newline.
//
// Names and paths are printed with control characters (C0, DEL, C1) and bytes
// that are not UTF-8 written as "\xNN", and a backslash as "\\", so that a name
// can neither send commands to the terminal nor look like two listed entries.
//
// Open-file dialog:
//     Choose the file to convert            the dialog's title
//     Filter: Quillet Files (*.qdx)         the filter's name
//     Files in <folder>:                    the initial folder (the current folder when
//       <name>                              the initial folder is empty), then each
//       <name>                              regular file matching the filter pattern
//                                           (ASCII case ignored), sorted by name, two
//                                           spaces before each
//     File name:                            prompt ("File name: ")
//   - An empty line or the end of input is Cancel.
//   - A relative path is taken relative to the current folder; "." and ".." are
//     folded. The result is the absolute path.
//   - A name whose last component has no "." gets "." and the default extension.
//   - Refused with one notice line and the prompt again:
//       "The folder does not exist: <folder>"   the folder part names no folder
//       "That is a folder: <path>"              the path names an existing folder
//       "That is not a file: <path>"            the path names a device, pipe or the like
//       "The path is too long: <path>"          the absolute path exceeds 259 bytes
//
// Message box:
//     == <caption> ==                       "Error" when no caption is given
//     [error]                               only with the error icon
//     <text>                                the text on one line (line breaks in it
//                                           become spaces)
//     [OK]        or      [OK] [Cancel]     the buttons
//     >                                     prompt ("> ")
//   - OK box: any line, or the end of input, closes it (OK).
//   - OK and Cancel box: "ok", "o" or an empty line is OK; "cancel", "c" or the
//     end of input is Cancel (ASCII case and surrounding blanks ignored);
//     anything else prints "Please answer ok or cancel." and the prompt again.

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "platform/posix/PosixPlatform.h"

namespace quillet {
namespace {

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr std::size_t kMaxAnswer = 4096;

// `text` as it may be shown: control characters, invalid UTF-8 and the
// backslash escaped (see above).
std::string Printable(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    auto escape = [&](unsigned char c) {
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    };
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            out += "\\\\";
            ++i;
            continue;
        }
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F) {
                escape(c);
            } else {
                out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        // The length of a well-formed UTF-8 sequence starting here, or 0.
        std::size_t length = 0;
        std::uint32_t point = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            point = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            point = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            point = c & 0x07;
        }
        bool valid = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) valid = false;
            point = (point << 6) | (next & 0x3F);
        }
        const std::uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        valid = valid && point >= smallest && point <= 0x10FFFF &&
                !(point >= 0xD800 && point <= 0xDFFF) && !(point >= 0x80 && point <= 0x9F);
        if (!valid) {
            escape(c);
            ++i;
            continue;
        }
        out.append(text, i, length);
        i += length;
    }
    return out;
}

// Reads one line from standard input; false at the end of input. At most
// kMaxAnswer bytes are kept; *tooLong tells that the line had more. Without a
// terminal nobody sees the typed line, so it is echoed.
bool ReadAnswer(std::string* line, bool* tooLong = nullptr) {
    std::cout.flush();
    const bool echo = isatty(STDIN_FILENO) == 0;
    line->clear();
    bool overflow = false;
    bool any = false;
    std::streambuf* input = std::cin.rdbuf();
    for (;;) {
        const int c = input->sbumpc();
        if (c == std::char_traits<char>::eof()) break;
        any = true;
        if (c == '\n') break;
        if (line->size() < kMaxAnswer + 1) {
            line->push_back(static_cast<char>(c));  // one more than kept: "\r" may go
        } else {
            overflow = true;
        }
    }
    if (!any) {
        std::cout << "\n";
        return false;
    }
    if (!line->empty() && line->back() == '\r' && !overflow) line->pop_back();
    if (line->size() > kMaxAnswer) {
        overflow = true;
        line->resize(kMaxAnswer);
    }
    if (tooLong != nullptr) *tooLong = overflow;
    if (echo) std::cout << Printable(*line) << (overflow ? "..." : "") << "\n";
    return true;
}

std::string TrimmedLower(const std::string& s) {
    std::size_t begin = s.find_first_not_of(" \t");
    if (begin == std::string::npos) return std::string();
    std::size_t end = s.find_last_not_of(" \t");
    std::string out = s.substr(begin, end - begin + 1);
    for (char& c : out) c = LowerAscii(c);
    return out;
}

// Glob match with '*' and '?', ASCII case ignored (as the Win32 dialog filters).
bool MatchesPattern(const char* name, const char* pattern) {
    const char* starPattern = nullptr;
    const char* starName = nullptr;
    while (*name != '\0') {
        if (*pattern == '*') {
            starPattern = ++pattern;
            starName = name;
        } else if (*pattern != '\0' &&
                   (*pattern == '?' || LowerAscii(*pattern) == LowerAscii(*name))) {
            ++pattern;
            ++name;
        } else if (starPattern != nullptr) {
            pattern = starPattern;
            name = ++starName;
        } else {
            return false;
        }
    }
    while (*pattern == '*') ++pattern;
    return *pattern == '\0';
}

// A filter pattern may list several patterns separated by ';'.
bool MatchesFilter(const std::string& name, const char* filter) {
    if (filter == nullptr || *filter == '\0') return true;
    std::string all(filter);
    std::size_t start = 0;
    while (start <= all.size()) {
        std::size_t end = all.find(';', start);
        if (end == std::string::npos) end = all.size();
        std::string one = all.substr(start, end - start);
        if (!one.empty() && MatchesPattern(name.c_str(), one.c_str())) return true;
        start = end + 1;
    }
    return false;
}

void ListFolder(const std::filesystem::path& folder, const char* pattern) {
    std::cout << "Files in " << Printable(folder.string()) << ":\n";
    std::vector<std::string> names;
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec);
    if (!ec) {
        for (const auto& entry : it) {
            std::error_code typeError;
            if (!entry.is_regular_file(typeError)) continue;
            std::string name = entry.path().filename().string();
            if (MatchesFilter(name, pattern)) names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) std::cout << "  " << Printable(name) << "\n";
}

}  // namespace

bool PosixPlatform::ShowOpenFileDialog(const OpenFileDialog& dialog, char* path) {
    std::error_code ec;
    const std::filesystem::path current = std::filesystem::current_path(ec);
    if (ec) return false;  // the dialog cannot work without a current folder

    std::cout << (dialog.title != nullptr ? dialog.title : "Open") << "\n";
    if (dialog.filterName != nullptr) std::cout << "Filter: " << dialog.filterName << "\n";
    std::filesystem::path folder = current;
    if (dialog.initialFolder != nullptr && dialog.initialFolder[0] != '\0') {
        folder = current / dialog.initialFolder;
    }
    ListFolder(folder, dialog.filterPattern);

    for (;;) {
        std::cout << "File name: ";
        std::string line;
        bool tooLong = false;
        if (!ReadAnswer(&line, &tooLong) || line.empty()) return false;
        if (tooLong) {
            // No path fits in such a line; the whole line is one refused answer.
            std::cout << "The path is too long: " << Printable(line.substr(0, 64)) << "...\n";
            continue;
        }

        std::filesystem::path chosen = (current / line).lexically_normal();
        std::error_code statError;
        if (std::filesystem::is_directory(chosen, statError)) {
            std::cout << "That is a folder: " << Printable(chosen.string()) << "\n";
            continue;
        }
        std::string text = chosen.string();
        std::string fileName = chosen.filename().string();
        if (fileName.find('.') == std::string::npos && dialog.defaultExtension != nullptr &&
            dialog.defaultExtension[0] != '\0') {
            text += ".";
            text += dialog.defaultExtension;
        }
        std::filesystem::path parent = chosen.parent_path();
        if (!std::filesystem::is_directory(parent, statError)) {
            std::cout << "The folder does not exist: " << Printable(parent.string()) << "\n";
            continue;
        }
        // A device or a pipe is no data file, and opening one may wait forever.
        const auto status = std::filesystem::status(text, statError);
        if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
            std::cout << "That is not a file: " << Printable(text) << "\n";
            continue;
        }
        if (text.size() >= kMaxPath) {
            std::cout << "The path is too long: " << Printable(text) << "\n";
            continue;
        }
        std::memcpy(path, text.c_str(), text.size() + 1);
        return true;
    }
}

MessageAnswer PosixPlatform::ShowMessageBox(const char* text, const char* caption,
                                            MessageButtons buttons, MessageIcon icon) {
    std::cout << "== " << (caption != nullptr ? caption : "Error") << " ==\n";
    if (icon == MessageIcon::kError) std::cout << "[error]\n";
    std::string body(text != nullptr ? text : "");
    std::replace(body.begin(), body.end(), '\r', ' ');
    std::replace(body.begin(), body.end(), '\n', ' ');
    std::cout << body << "\n";

    if (buttons == MessageButtons::kOk) {
        std::cout << "[OK]\n> ";
        std::string line;
        ReadAnswer(&line);
        return MessageAnswer::kOk;
    }

    std::cout << "[OK] [Cancel]\n";
    for (;;) {
        std::cout << "> ";
        std::string line;
        bool tooLong = false;
        if (!ReadAnswer(&line, &tooLong)) return MessageAnswer::kCancel;
        const std::string answer = tooLong ? std::string("?") : TrimmedLower(line);
        if (answer.empty() || answer == "ok" || answer == "o") return MessageAnswer::kOk;
        if (answer == "cancel" || answer == "c") return MessageAnswer::kCancel;
        std::cout << "Please answer ok or cancel.\n";
    }
}

}  // namespace quillet
