// quillet-check on sample files of every format (sound), on one damaged
// variant per kind of problem (each named in the report, and each forecast
// compared with what a real conversion of a copy gives), on a file that
// another process holds open, and on its command line. Every report is taken
// from the --json output read back, and every file is compared byte for byte
// before and after: the check never writes.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "check/CheckCommand.h"
#include "check/DryRunPlatform.h"
#include "check/FileReport.h"
#include "check/JsonWriter.h"
#include "container/DataFile.h"
#include "convert/ConversionFile.h"
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "convert/ConversionRoute.h"
#include "platform/LittleEndian.h"
#include "platform/WrappingPlatform.h"
#include "records/ChunkedTable.h"
#include "records/PropertyRecord.h"
#include "records/RecordList.h"
#include "tests/check/JsonRead.h"
#include "tests/platform/ChildProcess.h"
#include "tests/support/EngineTestUtil.h"
#include "tests/support/TempDir.h"
#include "tools/SampleBuilder.h"

namespace quillet {
namespace {

using testing::FixHeaderChecksum;
using testing::JsonReader;
using testing::JsonValue;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;
using Bytes = std::vector<std::uint8_t>;

class Captured final : public CheckOutput {
  public:
    void Out(const std::string& text) override { out += text; }
    void Err(const std::string& text) override { err += text; }
    std::string out;
    std::string err;
};

struct CheckRun {
    int exit = -1;
    std::string out;
    std::string err;
};

CheckRun RunWith(Platform& platform, const std::vector<std::string>& args) {
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    Captured c;
    CheckRun r;
    r.exit = RunCheck(platform, static_cast<int>(argv.size()), argv.data(), c);
    r.out = c.out;
    r.err = c.err;
    return r;
}

// The first problem whose area is `area` and whose code is `code`, or null.
const JsonValue* FindProblem(const JsonValue& file, const std::string& area, std::int64_t code) {
    for (const JsonValue& p : file["problems"].items) {
        if (p["area"].Ascii() == area && p["code"].number == code) return &p;
    }
    return nullptr;
}

std::string Problems(const JsonValue& file) {
    std::string out;
    for (const JsonValue& p : file["problems"].items) {
        out += p["area"].Ascii() + " " + std::to_string(p["code"].number) + ": " +
               p["text"].Ascii() + "\n";
    }
    return out;
}

class CheckTest : public ::testing::Test {
  protected:
    std::string Build(int format, const std::string& name, SampleSummary* summary,
                      std::uint32_t seed = 7) {
        SampleOptions o;
        o.format = format;
        o.seed = seed;
        o.lists = 5;
        o.items = 30;
        o.depth = 3;
        o.archiveBytes = 8000;
        SampleClockPlatform clock(Platform::Default(), seed);
        const std::string path = dir_.File(name);
        EXPECT_EQ(BuildSample(clock, o, path.c_str(), summary), 0);
        return path;
    }

    // Runs quillet-check --json on one file; checks that the output reads
    // back as JSON, that the exit code agrees with the report, and that the
    // file did not change.
    JsonValue CheckJson(const std::string& path, int* exit) {
        const Bytes before = ReadFileBytes(path);
        const CheckRun r = RunWith(Platform::Default(), {"--json", path});
        EXPECT_EQ(ReadFileBytes(path), before) << "the check changed " << path;
        bool ok = false;
        JsonValue doc = JsonReader(r.out).Read(&ok);
        EXPECT_TRUE(ok) << r.out;
        EXPECT_EQ(doc["files"].items.size(), 1u);
        if (doc["files"].items.empty()) return {};
        JsonValue file = doc["files"].items[0];
        EXPECT_EQ(file["exitCode"].number, r.exit);
        *exit = r.exit;
        return file;
    }

    // What the converter's own steps give on a copy of the file: the route
    // the converter chooses, then Convert as it calls it. 0 on success.
    ResultCode RealConversion(const std::string& path, std::uint16_t version) {
        const std::string copy = dir_.File("real-" + std::to_string(serial_++) + ".qdx");
        EXPECT_TRUE(WriteFileBytes(copy, ReadFileBytes(path)));
        ConversionRoute route = ConversionRoute::kInPlace;
        const ResultCode chosen =
            ChooseConversionRoute(Platform::Default(), copy.c_str(), version, &route);
        if (chosen != 0) return chosen;
        ConversionFile conversion(Platform::Default());
        const int target = version - 1;
        if (route == ConversionRoute::kInPlace) {
            return conversion.Convert(copy.c_str(), target, nullptr);
        }
        const std::string temp = copy + ".tmp";
        return conversion.Convert(temp.c_str(), target, copy.c_str());
    }

    // Changes the content of table `table` through the record layer's own
    // buffer (decoded, whatever the table's storage) and commits.
    void EditTable(const std::string& path, std::uint16_t table, bool chunked,
                   const std::function<void(Bytes&)>& edit) {
        DataFile file(Platform::Default());
        bool created = false;
        ASSERT_EQ(file.Open(path.c_str(), &created, 0), 0);
        ASSERT_EQ(file.BeginAccess(true), 0);
        TableBuffer buffer(chunked ? kChunkedTableType : kRecordTableType,
                           chunked ? kChunkedTableSubtype : kRecordTableSubtype, 2);
        buffer.SetInverted(chunked);
        ResultCode r = buffer.BindOpen(file, table);
        if (r == 0) r = buffer.Load();
        if (r == 0) {
            Bytes content(buffer.Data(), buffer.Data() + buffer.Size());
            edit(content);
            r = buffer.Write(content.data(), 0, static_cast<std::int32_t>(content.size())) ? 0 : 1;
        }
        if (r == 0) r = buffer.Save();
        buffer.Unbind();
        EXPECT_EQ(file.EndAccess(r), 0);
    }

    // Changes header bytes and stores a checksum that makes the header valid.
    void PatchHeader(const std::string& path, std::size_t offset, const Bytes& bytes) {
        Bytes all = ReadFileBytes(path);
        std::memcpy(all.data() + offset, bytes.data(), bytes.size());
        FixHeaderChecksum(all.data());
        ASSERT_TRUE(WriteFileBytes(path, all));
    }

    TempDir dir_;
    int serial_ = 0;
};

// Byte offset of chunk `n` in a chunked content.
std::size_t ChunkOffset(const Bytes& content, int n) {
    std::size_t offset = 0;
    for (int k = 0; k < n; ++k) offset += 4 * ((Load32(content.data() + offset) - 1) / 4 + 1);
    return offset;
}

// Byte offset of record `n` in a record list content.
std::size_t RecordOffset(const Bytes& content, int n, std::size_t start = 0) {
    std::size_t offset = start;
    for (int k = 0; k < n; ++k) offset += 2 * Load16(content.data() + offset);
    return offset;
}

const SampleEntry& ListEntry(const SampleSummary& s, int list) {
    for (const SampleEntry& e : s.entries) {
        if (e.isList && e.list == list) return e;
    }
    return s.entries.front();
}

TEST_F(CheckTest, SoundSamplesOfEveryFormatAreDescribedAndForecastAsTheConverterDoes) {
    for (int format : {3, 4, 5}) {
        for (std::uint32_t seed : {3u, 11u}) {
            SCOPED_TRACE("format " + std::to_string(format) + " seed " + std::to_string(seed));
            SampleSummary s;
            const std::string path =
                Build(format, "s" + std::to_string(format) + std::to_string(seed), &s, seed);
            int exit = -1;
            const JsonValue f = CheckJson(path, &exit);
            EXPECT_EQ(exit, 0) << Problems(f);
            EXPECT_TRUE(f["sound"].boolean);
            EXPECT_TRUE(f["problems"].items.empty()) << Problems(f);
            EXPECT_EQ(f["formatVersion"].number, format);
            EXPECT_EQ(f["quilletVersion"].Ascii(), format == 3   ? "2.0"
                                                   : format == 4 ? "3.0"
                                                                 : "4.0");
            EXPECT_EQ(f["containerVersion"].number, 1);
            EXPECT_TRUE(f["signatureOk"].boolean);
            EXPECT_EQ(static_cast<std::uint64_t>(f["fileBytes"].number), s.fileBytes);
            EXPECT_EQ(f["fileBlocks"].number * 512, f["fileBytes"].number);
            EXPECT_TRUE(f["listsRead"].boolean);
            EXPECT_EQ(f["lists"].number, static_cast<std::int64_t>(s.lists.size()));
            EXPECT_EQ(f["folders"].number,
                      static_cast<std::int64_t>(s.entries.size() - s.lists.size()));
            std::int64_t items = 0;
            for (const SampleList& l : s.lists) items += l.itemCount;
            EXPECT_EQ(f["items"].number, items);
            EXPECT_EQ(f["listIndexTable"].number, s.listIndexTable);
            EXPECT_EQ(f["leakedBlocks"].number, 0);
            EXPECT_EQ(f["usedBlocks"].number + f["freeBlocks"].number, f["fileBlocks"].number);

            // Every list's table is listed with its kind and the list's name.
            for (std::size_t i = 0; i < s.lists.size(); ++i) {
                const JsonValue* t = nullptr;
                for (const JsonValue& x : f["tables"].items) {
                    if (x["number"].number == s.lists[i].table) t = &x;
                }
                ASSERT_NE(t, nullptr) << "table " << s.lists[i].table;
                EXPECT_EQ((*t)["kind"].Ascii(), format == 3 ? "record list" : "chunked list table");
                if (format != 3) {
                    const std::u16string& name = ListEntry(s, static_cast<int>(i)).name;
                    EXPECT_EQ((*t)["role"].Ascii(), "list");
                    if (!name.empty()) {
                        EXPECT_EQ((*t)["list"].text, name);
                    }
                }
                EXPECT_GT((*t)["contentBytes"].number, 0);
            }

            const JsonValue& c = f["conversion"];
            if (format == 3) {
                EXPECT_EQ(c["action"].Ascii(), "not offered");
                EXPECT_EQ(c["message"].Ascii(),
                          "This file is already in Quillet Version 2.0 format, which is the "
                          "oldest version this program can convert to. Use Quillet to convert "
                          "this file to a newer format.");
            } else {
                EXPECT_EQ(c["action"].Ascii(),
                          format == 5 ? "through a temporary file" : "in place");
                EXPECT_EQ(c["toVersion"].number, format - 1);
                EXPECT_TRUE(c["dryRun"].boolean);
                EXPECT_EQ(RealConversion(path, static_cast<std::uint16_t>(format)), 0);
            }
            // The compaction estimate is a number of free blocks, no more.
            EXPECT_GE(f["reclaimableBlocks"].number, 0);
            EXPECT_LE(f["reclaimableBlocks"].number, f["freeBlocks"].number);
        }
    }
}

TEST_F(CheckTest, TheTextReportSaysWhatTheJsonSays) {
    SampleSummary s;
    const std::string path = Build(5, "text.qdx", &s);
    const CheckRun r = RunWith(Platform::Default(), {path});
    EXPECT_EQ(r.exit, 0);
    EXPECT_NE(r.out.find("Format version 5 (Quillet Version 4.0), container version 1"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Sound: no problem found"), std::string::npos);
    std::int64_t items = 0;
    for (const SampleList& l : s.lists) items += l.itemCount;
    EXPECT_NE(
        r.out.find(std::to_string(s.lists.size()) + " lists, " + std::to_string(items) + " items"),
        std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("The converter asks: \"OK to convert this file to Quillet Version 3.0?\""),
              std::string::npos);
    EXPECT_NE(r.out.find("through a temporary file"), std::string::npos);
}

// One damaged variant per kind of problem. Each names the problem where it
// is, and the forecast is what a real conversion of a copy gives.
struct Damage {
    const char* name;
    int format;
    int exit;           // expected exit code
    const char* area;   // expected problem (none when empty)
    std::int64_t code;  // its code
    const char* text;   // part of its text
    std::function<void(CheckTest&, const std::string&, const SampleSummary&)> apply;
};

class DamagedCheckTest : public CheckTest {
  public:
    void EditTablePublic(const std::string& path, std::uint16_t table, bool chunked,
                         const std::function<void(Bytes&)>& edit) {
        EditTable(path, table, chunked, edit);
    }
    void PatchHeaderPublic(const std::string& path, std::size_t offset, const Bytes& bytes) {
        PatchHeader(path, offset, bytes);
    }
};

TEST_F(DamagedCheckTest, EveryKindOfProblemIsNamedWhereItIsAndForecastLikeARealConversion) {
    auto edit = [](CheckTest& t, const std::string& path, std::uint16_t table, bool chunked,
                   const std::function<void(Bytes&)>& fn) {
        static_cast<DamagedCheckTest&>(t).EditTablePublic(path, table, chunked, fn);
    };
    auto header = [](CheckTest& t, const std::string& path, std::size_t offset, const Bytes& b) {
        static_cast<DamagedCheckTest&>(t).PatchHeaderPublic(path, offset, b);
    };
    const std::vector<Damage> damages = {
        {"index record chain", 5, 1, "list index", 7203, "has the length 0 words",
         [&](CheckTest& t, const std::string& p, const SampleSummary& s) {
             edit(t, p, s.listIndexTable, false, [](Bytes& c) {
                 const std::size_t at = RecordOffset(c, 1);
                 c[at] = 0;
                 c[at + 1] = 0;
             });
         }},
        {"chunk chain of a list", 4, 1, "list", 7106, "chunk 2 has the length 2 bytes",
         [&](CheckTest& t, const std::string& p, const SampleSummary& s) {
             edit(t, p, s.lists[1].table, true,
                  [](Bytes& c) { Store32(c.data() + ChunkOffset(c, 2), 2); });
         }},
        {"item record chain", 5, 1, "list", 7203, "runs past the end of the list",
         [&](CheckTest& t, const std::string& p, const SampleSummary& s) {
             edit(t, p, s.lists[0].table, true,
                  [](Bytes& c) { Store16(c.data() + ChunkOffset(c, 5) + 4, 0x7FFF); });
         }},
        {"field walk", 4, 1, "list index", 0, "runs past the end of the record",
         [&](CheckTest& t, const std::string& p, const SampleSummary& s) {
             edit(t, p, s.listIndexTable, false, [&t](Bytes& c) {
                 // The name field of the first entry that has one becomes a
                 // Blob whose count runs far past the record.
                 std::size_t at = 0;
                 while (at + 2 <= c.size()) {
                     PropertyRecord r(Platform::Default());
                     r.MakeView(reinterpret_cast<std::uint16_t*>(c.data() + at));
                     const std::int32_t v = r.FindValueIndex(0x8001);
                     if (v > 0) {
                         Store16(c.data() + at + 2 * (v - 1), 0xC001);
                         Store16(c.data() + at + 2 * v, 0x7FFF);
                         return;
                     }
                     at += 2 * Load16(c.data() + at);
                 }
                 ADD_FAILURE() << "no named entry";
                 (void)t;
             });
         }},
        {"table named twice", 5, 1, "list", 7001, "an earlier entry names too",
         [&](CheckTest& t, const std::string& p, const SampleSummary& s) {
             const std::uint16_t first = s.lists[0].table;
             const std::uint16_t second = s.lists[1].table;
             edit(t, p, s.listIndexTable, false, [&](Bytes& c) {
                 for (std::size_t at = 0; at + 2 <= c.size(); at += 2 * Load16(c.data() + at)) {
                     PropertyRecord r(Platform::Default());
                     r.MakeView(reinterpret_cast<std::uint16_t*>(c.data() + at));
                     const std::int32_t v = r.FindValueIndex(0x0029);
                     if (v > 0 && Load16(c.data() + at + 2 * v) == second) {
                         Store16(c.data() + at + 2 * v, first);
                     }
                 }
             });
         }},
        {"list table of another kind", 4, 1, "list", 7001, "cannot be read as a chunked",
         [&](CheckTest&, const std::string& p, const SampleSummary& s) {
             DataFile file(Platform::Default());
             bool created = false;
             ASSERT_EQ(file.Open(p.c_str(), &created, 0), 0);
             ASSERT_EQ(file.BeginAccess(true), 0);
             EXPECT_EQ(file.EndAccess(file.SetTableType(s.lists[2].table, 3, 0)), 0);
         }},
        {"block named twice", 4, 1, "blocks", 5, "and also",
         [&](CheckTest&, const std::string& p, const SampleSummary& s) {
             // Table 2's first slot in the root block names the block of
             // another table's first data block.
             Bytes all = ReadFileBytes(p);
             const std::size_t root = 512u * (Load16(all.data() + 156) & 0x7FFF);
             const std::uint16_t other = s.lists[0].table;
             ASSERT_LT(other, 8);
             std::memcpy(all.data() + root + 2 * 64 + 16, all.data() + root + other * 64 + 16, 2);
             ASSERT_TRUE(WriteFileBytes(p, all));
         }},
        {"leaked block", 5, 1, "blocks", 0, "leaked",
         [&](CheckTest& t, const std::string& p, const SampleSummary&) {
             Bytes all = ReadFileBytes(p);
             const std::uint16_t blocks = Load16(all.data() + 158);
             all.resize(all.size() + 512, 0);
             ASSERT_TRUE(WriteFileBytes(p, all));
             Bytes b(2);
             Store16(b.data(), static_cast<std::uint16_t>(blocks + 1));
             header(t, p, 158, b);
         }},
        {"foreign signature", 5, 1, "signature", 38, "not \"Tallyset\"",
         [&](CheckTest& t, const std::string& p, const SampleSummary&) {
             header(t, p, 140 + 14, {'u', 0});
         }},
        {"newer format", 4, 0, "", 0, "",
         [&](CheckTest& t, const std::string& p, const SampleSummary&) {
             header(t, p, 256 + 2, {6, 0});
         }},
        {"older format", 4, 0, "", 0, "",
         [&](CheckTest& t, const std::string& p, const SampleSummary&) {
             header(t, p, 256 + 2, {0, 0});
         }},
        {"header checksum", 5, 2, "", 0, "",
         [&](CheckTest&, const std::string& p, const SampleSummary&) {
             Bytes all = ReadFileBytes(p);
             all[20] ^= 0x40;
             ASSERT_TRUE(WriteFileBytes(p, all));
         }},
        {"not a data file", 5, 2, "", 0, "",
         [&](CheckTest&, const std::string& p, const SampleSummary&) {
             ASSERT_TRUE(WriteFileBytes(p, Bytes(700, 0x5A)));
         }},
    };

    for (const Damage& d : damages) {
        SCOPED_TRACE(d.name);
        SampleSummary s;
        const std::string path = Build(d.format, std::string(d.name) + ".qdx", &s);
        d.apply(*this, path, s);
        if (HasFatalFailure()) return;
        int exit = -1;
        const JsonValue f = CheckJson(path, &exit);
        EXPECT_EQ(exit, d.exit) << Problems(f);
        const JsonValue& c = f["conversion"];
        if (d.area[0] != '\0') {
            const JsonValue* p = FindProblem(f, d.area, d.code);
            ASSERT_NE(p, nullptr) << Problems(f);
            EXPECT_NE((*p)["text"].Ascii().find(d.text), std::string::npos) << (*p)["text"].Ascii();
            if (d.code != 0) {
                EXPECT_EQ((*p)["meaning"].kind, JsonValue::Kind::kString);
            }
            // A problem that the converter is said to stop at is the code the
            // forecast shows.
            if ((*p)["stopsConversion"].boolean) {
                EXPECT_EQ(c["code"].number, d.code);
            }
        }
        const std::int64_t version = f["formatVersion"].number;
        if (exit == 2) {
            EXPECT_FALSE(f["readable"].boolean);
            EXPECT_EQ(c["action"].Ascii(), "error");
            EXPECT_EQ(c["message"].Ascii(), "Error " + std::to_string(f["openCode"].number) +
                                                " occurred attempting to access the file.");
        } else if (version == 4 || version == 5) {
            // The forecast is exactly what the converter's steps give.
            const ResultCode real = RealConversion(path, static_cast<std::uint16_t>(version));
            EXPECT_EQ(c["action"].Ascii() == "error" ? c["code"].number : 0, real)
                << c["step"].Ascii();
            if (real != 0) {
                EXPECT_EQ(c["message"].Ascii(), "Error " + std::to_string(real) +
                                                    " occurred attempting to access the file.");
            }
        } else {
            EXPECT_EQ(c["action"].Ascii(), "not offered");
            EXPECT_FALSE(f["listsRead"].boolean);
            EXPECT_EQ(
                c["message"].Ascii().substr(0, 50),
                version == 0
                    ? std::string("This file was created with a version of Quillet that is older")
                          .substr(0, 50)
                    : std::string("This file was created with a version of Quillet that is newer")
                          .substr(0, 50));
        }
    }
}

TEST_F(CheckTest, ListProblemsNameTheListTableChunkAndByte) {
    SampleSummary s;
    const std::string path = Build(5, "where.qdx", &s);
    std::size_t chunk5 = 0;
    EditTable(path, s.lists[1].table, true, [&](Bytes& c) {
        chunk5 = ChunkOffset(c, 5);
        // Record 2 of the items gets a length of 0.
        const std::size_t at = RecordOffset(c, 2, chunk5 + 4);
        Store16(c.data() + at, 0);
    });
    int exit = -1;
    const JsonValue f = CheckJson(path, &exit);
    EXPECT_EQ(exit, 1);
    const JsonValue* p = FindProblem(f, "list", 7203);
    ASSERT_NE(p, nullptr) << Problems(f);
    EXPECT_EQ((*p)["table"].number, s.lists[1].table);
    EXPECT_EQ((*p)["chunk"].number, 5);
    EXPECT_EQ((*p)["record"].number, 2);
    EXPECT_EQ((*p)["list"].text, ListEntry(s, 1).name);
    // The byte offset is in the chunk's payload: past records 0 and 1.
    Bytes content;
    EditTable(path, s.lists[1].table, true, [&](Bytes& c) { content = c; });
    EXPECT_EQ(static_cast<std::size_t>((*p)["byte"].number),
              RecordOffset(content, 2, chunk5 + 4) - (chunk5 + 4));
}

TEST_F(CheckTest, AFileThatAnotherProcessHoldsOpenIsCheckedAndTheConverterWouldMeetIt) {
    SampleSummary s;
    const std::string path = Build(4, "held.qdx", &s);
    testing::ChildProcess child;
    ASSERT_TRUE(child.Start({"hold", path}));
    std::string line;
    ASSERT_TRUE(child.ReadLine(&line));
    ASSERT_EQ(line, "open 0");

    int exit = -1;
    const JsonValue f = CheckJson(path, &exit);
    EXPECT_EQ(exit, 0) << Problems(f);
    EXPECT_EQ(f["lists"].number, static_cast<std::int64_t>(s.lists.size()));
    // The converter opens the file without sharing it, so it meets the reader.
    EXPECT_EQ(f["conversion"]["action"].Ascii(), "error");
    EXPECT_EQ(f["conversion"]["code"].number, 22);
    child.CloseInput();
    EXPECT_EQ(child.Wait(), 0);

    // Once the reader is gone, the same file converts.
    const JsonValue after = CheckJson(path, &exit);
    EXPECT_EQ(after["conversion"]["action"].Ascii(), "in place");
}

#ifndef _WIN32
// A read-only format 4 file is refused by the converter before its backup copy
// (-5); the forecast says so, and the file is still reported sound.
TEST_F(CheckTest, AReadOnlyFormatFourFileIsForecastAsTheConverterRefusesIt) {
    SampleSummary s;
    const std::string path = Build(4, "readonly.qdx", &s);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    int exit = -1;
    const JsonValue f = CheckJson(path, &exit);
    EXPECT_EQ(exit, 0) << Problems(f);
    EXPECT_EQ(f["conversion"]["action"].Ascii(), "error");
    EXPECT_EQ(f["conversion"]["code"].number, -5);
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    EXPECT_EQ(CheckJson(path, &exit)["conversion"]["action"].Ascii(), "in place");
}
#endif

// The inputs that once made a fuzzing harness fail, and the samples cut short
// and with bytes flipped: each gets a report, the file stays as it was, and the
// JSON reads back.
TEST_F(CheckTest, HostileFilesGetAReport) {
    std::vector<Bytes> inputs;
    std::error_code ec;
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(QUILLET_FUZZ_REGRESSIONS, ec)) {
        if (entry.is_regular_file()) inputs.push_back(ReadFileBytes(entry.path().string()));
    }
    SampleSummary s;
    const Bytes sample = ReadFileBytes(Build(5, "hostile.qdx", &s));
    for (std::size_t cut : {511u, 512u, 1024u, 3000u}) {
        inputs.emplace_back(sample.begin(), sample.begin() + std::min(cut, sample.size()));
    }
    for (std::uint32_t seed = 1; seed <= 40; ++seed) {
        Bytes flipped = sample;
        std::uint32_t x = seed * 2654435761u;
        for (int k = 0; k < 8; ++k) {
            x = x * 1664525u + 1013904223u;
            const std::size_t at = 512 + x % (flipped.size() - 512);  // the header stays valid
            flipped[at] ^= static_cast<std::uint8_t>(1u << (x >> 29));
        }
        inputs.push_back(std::move(flipped));
    }
    const std::size_t firstFlipped = inputs.size() - 40;
    EXPECT_GT(inputs.size(), 44u);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        SCOPED_TRACE("input " + std::to_string(i));
        DryRunPlatform disk(Platform::Default());
        disk.PutFile("input.qdx", inputs[i]);
        std::vector<FileReport> reports;
        reports.push_back(CheckFile(disk, "input.qdx", nullptr));
        ASSERT_NE(disk.FileBytes("input.qdx"), nullptr);
        EXPECT_EQ(*disk.FileBytes("input.qdx"), inputs[i]);
        bool ok = false;
        const JsonValue doc = JsonReader(ReportsToJson(disk, reports)).Read(&ok);
        EXPECT_TRUE(ok);
        EXPECT_EQ(doc["files"].items[0]["exitCode"].number, reports.back().ExitCode());
        // With its header intact, a damaged file is read and reported on,
        // never refused as unreadable.
        if (i >= firstFlipped) {
            EXPECT_TRUE(reports.back().opened);
        }
    }
}

// A platform whose clock runs 700 ms on every reading, so that every file
// takes "more than a second".
class SlowClock final : public WrappingPlatform {
  public:
    SlowClock() : WrappingPlatform(Platform::Default()) {}
    std::uint32_t TickCount() override { return ticks_ += 700; }

  private:
    std::uint32_t ticks_ = 0;
};

TEST_F(CheckTest, CommandLineExitCodesAndProgress) {
    SampleSummary s;
    const std::string sound = Build(5, "sound.qdx", &s);
    const std::string damaged = Build(5, "damaged.qdx", &s);
    EditTable(damaged, s.listIndexTable, false, [](Bytes& c) { Store16(c.data(), 0); });
    const std::string missing = dir_.File("missing.qdx");

    EXPECT_EQ(RunWith(Platform::Default(), {}).exit, 2);
    const CheckRun bad = RunWith(Platform::Default(), {"--bogus", sound});
    EXPECT_EQ(bad.exit, 2);
    EXPECT_NE(bad.err.find("unknown option --bogus"), std::string::npos);
    const CheckRun help = RunWith(Platform::Default(), {"--help"});
    EXPECT_EQ(help.exit, 0);
    EXPECT_EQ(help.out.rfind("Usage: quillet-check", 0), 0u);
    const CheckRun version = RunWith(Platform::Default(), {"--version"});
    EXPECT_EQ(version.out, kCheckVersionText);
    EXPECT_EQ(version.out.rfind("quillet-check ", 0), 0u);

    // The worst file decides; every file is reported, in order.
    EXPECT_EQ(RunWith(Platform::Default(), {sound}).exit, 0);
    EXPECT_EQ(RunWith(Platform::Default(), {sound, damaged}).exit, 1);
    const CheckRun all = RunWith(Platform::Default(), {"--json", damaged, missing, sound});
    EXPECT_EQ(all.exit, 2);
    bool ok = false;
    const JsonValue doc = JsonReader(all.out).Read(&ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(doc["files"].items.size(), 3u);
    EXPECT_EQ(doc["files"].items[0]["exitCode"].number, 1);
    EXPECT_EQ(doc["files"].items[1]["openCode"].number, 33);
    EXPECT_EQ(doc["files"].items[2]["exitCode"].number, 0);
    // "--" ends the options: a file may begin with dashes.
    EXPECT_EQ(RunWith(Platform::Default(), {"--", "--json"}).exit, 2);

    // No progress line for quick files; lines on standard error for slow ones.
    EXPECT_EQ(RunWith(Platform::Default(), {sound}).err, "");
    SlowClock slow;
    const CheckRun slowRun = RunWith(slow, {sound});
    EXPECT_EQ(slowRun.exit, 0);
    EXPECT_NE(slowRun.err.find("quillet-check: " + sound + ": "), std::string::npos) << slowRun.err;
    EXPECT_EQ(slowRun.out, RunWith(Platform::Default(), {sound}).out);
}

}  // namespace
}  // namespace quillet
