// What the engine test program does when started as a child process:
//
//   session <path> <open flags>
//
// opens a DataFile, says "open <code>", then runs one command per input line
// and answers each with one line:
//
//   begin w|r          -> "begin <code>"            BeginAccess
//   end <result>       -> "end <code>"              EndAccess
//   change <t> <seed>  -> "change <code> <commits>" one write access: table t
//                                                    (created when missing),
//                                                    block 0 := pattern seed
//   read <t> <i>       -> "read <code> <seed>"      one read access
//   look               -> "look <code>"             an access that changes nothing
//   die                -> (no answer)               ends the process at once,
//                                                    holding what it holds
//
// The end of input closes the file and ends the process.

#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "container/DataFile.h"
#include "platform/LittleEndian.h"
#include "tests/platform/ChildProcess.h"
#include "tests/support/EngineTestUtil.h"

namespace quillet::testing {

namespace {

void Say(const std::string& line) {
    std::cout << line << std::endl;
}

int Session(const std::string& path, std::uint32_t flags) {
    DataFile file(Platform::Default());
    bool created = false;
    Say("open " + std::to_string(file.Open(path.c_str(), &created, flags)));
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        if (command == "begin") {
            std::string mode;
            in >> mode;
            Say("begin " + std::to_string(file.BeginAccess(mode == "w")));
        } else if (command == "end") {
            ResultCode result = 0;
            in >> result;
            Say("end " + std::to_string(file.EndAccess(result)));
        } else if (command == "change") {
            std::uint16_t table = 0;
            std::uint32_t seed = 0;
            in >> table >> seed;
            ResultCode r = file.BeginAccess(true);
            if (r == 0) {
                std::uint8_t d[kDescriptorSize];
                ResultCode work = file.ReadTableDescriptor(table, d);
                if (work == 0 && d[descriptor::kTableType] == 0) {
                    std::uint16_t t = table;
                    work = file.CreateTable(&t, 3, 0);
                }
                if (work == 0) work = WriteWholeBlock(file, table, 0, PatternBlock(seed));
                r = file.EndAccess(work);
            }
            Say("change " + std::to_string(r) + " " + std::to_string(file.SeenCommitCount()));
        } else if (command == "read") {
            std::uint16_t table = 0, index = 0;
            in >> table >> index;
            BlockImage b;
            ResultCode r = file.BeginAccess(false);
            if (r == 0) r = file.EndAccess(ReadWholeBlock(file, table, index, &b));
            Say("read " + std::to_string(r) + " " + std::to_string(r == 0 ? Load32(b.data()) : 0));
        } else if (command == "look") {
            ResultCode r = file.BeginAccess(false);
            if (r == 0) r = file.EndAccess(0);
            Say("look " + std::to_string(r));
        } else if (command == "die") {
            std::cout.flush();
            std::_Exit(0);
        } else {
            Say("unknown " + command);
        }
    }
    return 0;
}

}  // namespace

int RunChildMode(int argc, char** argv) {
    if (argc >= 3 && std::string(argv[0]) == "session") {
        return Session(argv[1], static_cast<std::uint32_t>(std::stoul(argv[2])));
    }
    Say("unknown mode");
    return 2;
}

}  // namespace quillet::testing
