#pragma once
// Shared pieces of the fault-injection and power-loss tests: the user of the
// converter (a platform wrapper that picks the file and confirms), sample
// files of formats 4 and 5, the reference result of a clean conversion, and
// the checks of what is on the disk afterwards.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/WrappingPlatform.h"
#include "tests/safety/FileState.h"
#include "tests/support/PowerLossPlatform.h"
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

// Runs the converter once on `inner` with the user choosing `chosen`, the
// route and conversion planning with `limits`.
FlowOutcome RunFlow(Platform& inner, const std::string& chosen,
                    const SliceLimits& limits = SliceLimits{});

// A sample data file of format 4 or 5 in memory.
struct Sample {
    std::string name;
    SampleOptions options;
    Bytes bytes;
    // What the converter plans the free list with for this sample.
    SliceLimits limits;
    // The route the converter must take: format 5 always through a temporary
    // file, format 4 in place unless its step cannot be held in one commit.
    bool throughTemporaryFile = false;
    // Through a temporary file, the step runs in the copy's transaction
    // (it cannot fit in one of its own): the copy has no commit of its own.
    bool stepWithCopy = false;
    // The commits of the step (one, or more in slices) and the compaction
    // passes the clean conversion must show at least (0: not asked).
    int minStepCommits = 0;
    int minCompactionPasses = 0;
    int format() const { return options.format; }
};

// Small samples of both formats with varied shapes: one list, several lists
// with bulk archive tables, and an outline deep enough to need indirect maps.
// `large` adds bigger ones for the slow sweeps.
std::vector<Sample> Samples(int format, bool large);

// A list-heavy sample of a few hundred blocks (eight lists, no archive
// tables) with the free list planned at a few hundred entries, so that it
// takes the route of a file whose lists fill most of the format's limit: the
// copy and the step in one transaction inside the temporary file, and for
// format 4 the temporary file instead of the in-place step, the lists read
// from the source. `items` sets its size (the average items per list).
Sample ListHeavySample(int format, int items);

// The reference conversion: the sample converted on a clean in-memory disk.
struct Reference {
    FileState original;   // the sample's content
    FileState converted;  // the converted file's content
    Bytes convertedBytes;
    int commits = 0;           // commits of the converted file in the clean run
    int compactionPasses = 0;  // commits that lowered FileBlocks (one per pass)
    // Commits up to the step's end: the new file's first, the container
    // copy's (on the route through a temporary file, unless the step runs
    // with the copy) and the step's own.
    int stepCommits = 0;
};
// Converts `sample` without faults and checks the result against the builder's
// projection of the older format, that it took the sample's route and made
// at least the slices and passes the sample asks for. Empty problem when all
// went well.
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
