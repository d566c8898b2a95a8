#pragma once
// Sample data files of formats 3, 4 and 5, written with the project's own
// engine and record layer, for the demo, the tests and the benchmark.
//
// A sample is first generated as a format-independent model (outline of
// folders and lists, each list's header record, column definitions, records
// and items, plus bulk archive tables) from a seed and a few size knobs. The
// model is then projected to the layout of one format (`ProjectSample`) and
// written (`BuildSample`). The projection is also what a conversion must
// produce: the format 4 projection of a model is what converting its format 5
// file down to 4 gives, the format 3 projection what converting down to 3
// gives, apart from table numbers that the step to 3 chooses itself.
//
// `VerifySample` reads a file back through the record layer and compares it
// with a summary, record image by record image.

#include <cstdint>
#include <string>
#include <vector>

#include "container/DataFile.h"
#include "platform/Platform.h"
#include "platform/ResultCode.h"
#include "platform/WrappingPlatform.h"

namespace quillet {

// A record's word image (word 0 its length), as the record layer stores it.
using WordImage = std::vector<std::uint16_t>;

struct SampleOptions {
    int format = 5;                 // 3, 4 or 5
    std::uint32_t seed = 1;         // every byte of the file follows from the seed and the knobs
    int lists = 8;                  // lists in the outline (0..150)
    int items = 200;                // average items per list; each list gets items/2 .. 3*items/2
    int depth = 3;                  // outline levels 0 .. depth-1 (1..16)
    int folders = -1;               // folders in the outline; -1: about one per two lists
    int columns = 12;               // columns per list (1..40); 12 or more covers every type
    std::int64_t archiveBytes = 0;  // bytes of archived item records in bulk tables
    bool tableGap = true;           // leave one unused table number between used ones
    bool keepItemImages = false;    // the summary keeps every item and archive image
};

// One entry of the outline, in outline order.
struct SampleEntry {
    bool isList = false;
    std::int16_t identifier = 0;
    std::int16_t level = 0;
    std::int16_t parent = 0;  // identifier of the parent folder, 0 at the top
    int list = -1;            // index into SampleSummary::lists for a list
    std::u16string name;
    WordImage image;  // the entry's record: index entry (4, 5) or folder record (3)
};

struct SampleList {
    std::int16_t identifier = 0;
    std::uint16_t table = 0;         // the list's own table (formats 4, 5) or its item table (3)
    WordImage header;                // chunk 1 record 0 (4, 5), or the list record (3)
    std::vector<WordImage> columns;  // chunk 2 (4, 5), or this list's part of the column list (3)
    std::vector<std::uint16_t> columnTypes;
    std::vector<WordImage> chunk3;  // formats 4 and 5 only
    std::vector<WordImage> chunk4;  // formats 4 and 5 only
    std::int32_t itemCount = 0;
    std::uint64_t itemBytes = 0;   // bytes of the packed items
    std::uint64_t itemHash = 0;    // FNV-1a of the packed items
    std::vector<WordImage> items;  // only with keepItemImages
};

struct SampleArchive {
    std::uint16_t table = 0;
    std::int32_t records = 0;
    std::uint64_t bytes = 0;
    std::uint64_t hash = 0;         // FNV-1a of the packed records
    std::vector<WordImage> images;  // only with keepItemImages
};

// What a sample file holds, in the layout of one format.
struct SampleSummary {
    SampleOptions options;  // the options the sample was made from
    int format = 0;
    std::uint8_t appArea[256] = {};    // the application area; the AppHeader is its first 64 bytes
    std::uint16_t listIndexTable = 0;  // index (4, 5) or list records (3)
    std::uint16_t folderTable = 0;     // format 3
    std::uint16_t columnTable = 0;     // format 3
    std::vector<SampleEntry> entries;
    std::vector<SampleList> lists;
    std::vector<WordImage> columnList;  // format 3: the sorted column list in stored order
    std::vector<SampleArchive> archives;
    std::uint16_t gapTable = 0;  // the table number left unused, 0 when none
    std::int64_t totalItems = 0;
    std::uint64_t fileBytes = 0;  // size of the file after building
};

// The 16-byte application signature: "Tallyset" as UTF-16LE.
extern const std::uint8_t kSampleSignature[16];

// Seeded generator used everywhere in the builder (splitmix64).
class SampleRandom {
  public:
    explicit SampleRandom(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next();
    // Uniform in [lo, hi], both included.
    std::int64_t Range(std::int64_t lo, std::int64_t hi);
    bool Chance(int percent) { return Range(0, 99) < percent; }

  private:
    std::uint64_t state_;
};

// Builds a record image from fields given in any order: the fields are
// sorted into field order (number, then type) and packed. Independent of
// PropertyRecord, so the two can check each other.
class ImageBuilder {
  public:
    struct Field {
        std::uint16_t tag;
        std::vector<std::uint16_t> values;
    };

    void Short(std::uint16_t tag, std::uint16_t value);
    void Long(std::uint16_t tag, std::int32_t value);
    void Time(std::uint16_t tag, std::uint64_t fileTime);
    void String(std::uint16_t tag, const std::u16string& text);
    void Blob(std::uint16_t tag, const std::vector<std::uint16_t>& data);
    // Appends a field as it stands, without sorting (for reading images).
    void AppendRaw(std::uint16_t tag, std::vector<std::uint16_t> values) {
        fields_.push_back(Field{tag, std::move(values)});
    }
    // Removes a field if present.
    void Remove(std::uint16_t tag);
    bool Has(std::uint16_t tag) const;
    WordImage Image() const;

    const std::vector<Field>& fields() const { return fields_; }

  private:
    void Put(std::uint16_t tag, std::vector<std::uint16_t> values);
    std::vector<Field> fields_;
};

std::uint64_t HashWords(std::uint64_t hash, const WordImage& image);
constexpr std::uint64_t kHashStart = 14695981039346656037ull;

// The fields of an image in stored order, for diagnostics and projections.
bool ParseImage(const WordImage& image, ImageBuilder* out);
std::string DescribeImage(const WordImage& image);

// Generates the format 5 model of a sample (the richest layout) and projects it
// to `format` (3, 4 or 5). Table numbers are those of a file that BuildSample
// wrote in format `writtenAs` (0: `format` itself) and that was then converted
// down to `format`: a conversion keeps every table number, and the step to 3
// puts its three new lists under the lowest free numbers. Returns false for
// options outside their ranges.
bool ProjectSample(const SampleOptions& options, int format, SampleSummary* out,
                   std::string* problem, int writtenAs = 0);

// Writes a new sample file at `path` (which must not exist: -80 when it does)
// in options.format. `out` (optional) receives the summary. The file's bytes
// follow from the options alone when `platform` has a fixed clock
// (SampleClockPlatform).
ResultCode BuildSample(Platform& platform, const SampleOptions& options, const char* path,
                       SampleSummary* out);

// Builds at `path` a sample of about `targetBytes`, adding archived items to
// the given options (lists and items stay as given). The file is rebuilt until
// it is within 2 % of the target or four rounds have run.
ResultCode BuildSampleOfSize(Platform& platform, SampleOptions options, std::uint64_t targetBytes,
                             const char* path, SampleSummary* out);

// Builds at `path` a list-heavy sample of about `targetBytes`: the lists of
// the given options (8 unless set) carry nearly all of the file in their items,
// with no archive tables. The average item count per list is corrected until
// the file is within 2 % of the target or five rounds have run. A list whose
// table would exceed the 6144 blocks a table can map cannot be built; the
// answer is then the engine's code.
ResultCode BuildListHeavySample(Platform& platform, SampleOptions options,
                                std::uint64_t targetBytes, const char* path, SampleSummary* out);

// Reads the file at `path` and compares it with `expected`: AppHeader and
// signature, outline, every list's records, columns and items, the archive
// tables, and which table numbers are in use. Returns 0 when everything
// matches; otherwise a code (the record layer's or engine's, or
// kSampleMismatch) and a description in *problem.
ResultCode VerifySample(Platform& platform, const char* path, const SampleSummary& expected,
                        std::string* problem);

// VerifySample's code for content that differs from the summary.
constexpr ResultCode kSampleMismatch = 1;

// A Platform that passes every call to another one, except the clock: local
// time, system time and tick count come from a virtual clock that starts at a
// date derived from the seed and advances by a fixed step on every reading (and
// by the time given to SleepMs). The fresh chunked tables the builder creates
// record the clock, so with this platform equal options give equal files.
class SampleClockPlatform : public WrappingPlatform {
  public:
    SampleClockPlatform(Platform& inner, std::uint32_t seed);

    void SleepMs(std::uint32_t milliseconds) override;
    FileTime SystemTimeAsFileTime() override;
    SystemTime LocalTime() override;
    std::uint32_t TickCount() override;

  private:
    std::uint64_t milliseconds_;  // virtual time since 1601-01-01
    std::uint32_t ticks_;
};

// The command line of quillet-sample, parsed.
struct SampleCommand {
    SampleOptions options;
    std::string out;
    std::string check;     // --check PATH: open and check instead of building
    double targetMib = 0;  // --target-mib N
    bool force = false;    // --force: replace an existing file
    bool quiet = false;
};

// Parses arguments (argv[0] excluded). false with a message for bad input.
bool ParseSampleCommand(int argc, const char* const* argv, SampleCommand* out,
                        std::string* message);

// Opens the file read-only and runs the checks a sample must pass: header and
// signature, the engine's integrity check, and a walk of every list through
// the record layer. 0 when sound; *report says what was found.
ResultCode CheckSampleFile(Platform& platform, const char* path, std::string* report);

}  // namespace quillet
