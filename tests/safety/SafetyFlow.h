#pragma once
// Shared pieces of the fault-injection and power-loss tests: the user of the
// converter (a platform wrapper that picks the file and confirms), sample
// files of formats 4 and 5, the reference result of a clean conversion, and
// the checks of what is on the disk afterwards.

#include <cstdint>
#include <string>
#include <vector>

#include "tests/safety/FileState.h"
#include "tests/support/PowerLossPlatform.h"
#include "tests/support/WrappingPlatform.h"
#include "tools/SampleBuilder.h"

namespace quillet::testing {

using Bytes = std::vector<std::uint8_t>;

// The user: the dialog returns `chosen`, every message box is answered OK and
// recorded.
class UserPlatform : public WrappingPlatform {
  public:
    UserPlatform(Platform& inner, std::string chosen)
        : WrappingPlatform(inner), chosen_(std::move(chosen)) {}

    bool ShowOpenFileDialog(const OpenFileDialog& dialog, char* path) override;
    MessageAnswer ShowMessageBox(const char* text, const char* caption, MessageButtons buttons,
                                 MessageIcon icon) override;

    const std::vector<std::string>& messages() const { return messages_; }

  private:
    std::string chosen_;
    std::vector<std::string> messages_;
};

// How a run of the converter ended, as the user saw it.
struct FlowOutcome {
    int exitCode = 0;
    std::vector<std::string> messages;
    bool succeeded = false;      // exit 0 and the success message shown
    bool reportedError = false;  // nonzero exit, or an error message shown
    std::string Describe() const;
};

// Runs the converter once on `inner` with the user choosing `chosen`.
FlowOutcome RunFlow(Platform& inner, const std::string& chosen);

// A sample data file of format 4 or 5 in memory.
struct Sample {
    std::string name;
    SampleOptions options;
    Bytes bytes;
    int format() const { return options.format; }
};

// Small samples of both formats with varied shapes: one list, several lists
// with bulk archive tables, and an outline deep enough to need indirect maps.
// `large` adds bigger ones for the slow sweeps.
std::vector<Sample> Samples(int format, bool large);

// The reference conversion: the sample converted on a clean in-memory disk.
struct Reference {
    FileState original;   // the sample's content
    FileState converted;  // the converted file's content
    Bytes convertedBytes;
};
// Converts `sample` without faults and checks the result against the builder's
// projection of the older format. Empty problem when all went well.
Reference MakeReference(const Sample& sample, std::string* problem);

// A full path inside a disk's root.
std::string PathIn(PowerLossPlatform& disk, const std::string& name);

// Opens a file image on a disk of its own and checks it: it opens, its block
// tree passes the integrity walk, and *state receives its logical content.
// Returns an empty text when sound, else what went wrong.
std::string InspectImage(const Bytes& bytes, FileState* state);

// The names in a disk's folder that are temporary names of the converter.
std::vector<std::string> TempFiles(const DiskImage& image);

// Every path of the image whose name is a backup name of `chosen`.
std::vector<std::string> BackupFiles(const DiskImage& image, const std::string& chosen);

}  // namespace quillet::testing
