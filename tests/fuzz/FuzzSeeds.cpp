// Writes the seed corpora of the fuzzing harnesses into a folder given on the
// command line: small sample files of formats 3, 4 and 5 for the file
// harnesses (open, integrity, convert) and record-list, record and chunk
// contents for the records harness. Nothing binary is kept in the repository.

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/EngineTestUtil.h"
#include "tests/support/PowerLossPlatform.h"
#include "tests/support/TempDir.h"
#include "tools/SampleBuilder.h"

namespace {

using quillet::WordImage;

bool Save(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

void Append(std::vector<std::uint8_t>* bytes, const WordImage& image) {
    for (std::uint16_t w : image) {
        bytes->push_back(static_cast<std::uint8_t>(w));
        bytes->push_back(static_cast<std::uint8_t>(w >> 8));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    int written = 0;
    quillet::testing::TempDir dir;
    quillet::testing::PowerLossPlatform disk(quillet::Platform::Default(), dir.path().string());
    int n = 0;
    for (int format : {3, 4, 5}) {
        for (int shape = 0; shape < 3; ++shape) {
            quillet::SampleOptions o;
            o.format = format;
            o.seed = static_cast<std::uint32_t>(100 + n);
            o.lists = 1 + shape * 2;
            o.items = 4 + shape * 6;
            o.depth = 1 + shape;
            o.columns = shape == 0 ? 2 : 12;
            o.archiveBytes = shape == 2 ? 14000 : 0;
            quillet::SampleClockPlatform clock(disk, o.seed);
            const std::string path = dir.File("seed" + std::to_string(n) + ".qdx");
            ++n;
            if (quillet::BuildSample(clock, o, path.c_str(), nullptr) != 0) {
                std::fprintf(stderr, "sample %d could not be built\n", n);
                return 1;
            }
            const auto bytes = *disk.CurrentBytes(path);
            if (!Save(folder + "/file-" + std::to_string(n) + ".qdx", bytes)) return 1;
            ++written;
        }
    }
    // Record contents: a list of records of every field type, a single record,
    // and a chunked content (16-byte header chunk, then record lists).
    quillet::ImageBuilder a, b;
    a.Short(0x0001, 7);
    a.Long(0x4002, -5);
    a.Time(0x6003, 0x01d0000000000000ull);
    a.String(0x8004, u"Item text");
    a.Blob(0xC005, {3, 0x1234, 0x5678});
    b.Short(0x1001, 0x0004);
    b.String(0x8002, u"Second");
    std::vector<std::uint8_t> list = {0x5A};  // the first byte chooses the operations
    Append(&list, a.Image());
    Append(&list, b.Image());
    Append(&list, a.Image());
    if (!Save(folder + "/records-list", list)) return 1;
    std::vector<std::uint8_t> chunked = {0xA5, 16, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<std::uint8_t> payload;
    Append(&payload, a.Image());
    const std::uint32_t len = static_cast<std::uint32_t>(payload.size() + 4);
    for (int i = 0; i < 4; ++i) chunked.push_back(static_cast<std::uint8_t>(len >> (8 * i)));
    chunked.insert(chunked.end(), payload.begin(), payload.end());
    while ((chunked.size() - 1) % 4 != 0) chunked.push_back(0);
    for (int c = 0; c < 4; ++c) chunked.insert(chunked.end(), {4, 0, 0, 0});
    if (!Save(folder + "/records-chunked", chunked)) return 1;
    std::printf("%d sample files and 2 record contents written to %s\n", written, folder.c_str());
    return 0;
}
