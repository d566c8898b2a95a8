#pragma once
// The bodies of the fuzzing harnesses. Each takes arbitrary bytes, drives one
// part of the program with them on an in-memory disk (FuzzDisk.h), and returns an empty
// text, or an account of a broken property (the libFuzzer entry points abort
// on it; the regression replay in safety_tests fails on it). Crashes, leaks,
// hangs and out-of-bounds accesses are found by the sanitizers and libFuzzer's
// own timeout.

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillet::testing {

// The bytes are a data file: open it read-only, read its header, AppHeader and
// signature, every table descriptor and (a bounded selection of) every table's
// blocks; then open it for writing and read its tables again.
std::string FuzzOpenFile(const std::uint8_t* data, std::size_t size);

// The bytes are a data file: the integrity walk; then a write transaction
// (a table created, blocks written, a table deleted) and a commit. A file that
// was sound before such a commit must be sound after it.
std::string FuzzIntegrity(const std::uint8_t* data, std::size_t size);

// The bytes are a data file: `Convert` into a new file (format 5 to 4, the
// source only read) and in place (down to 3). A copy that succeeds is sound;
// the source of a copy is never changed; an in-place conversion of a sound
// file that succeeds leaves it sound.
std::string ConvertInFull(const std::uint8_t* data, std::size_t size);

// The blocks the bytes' table descriptors claim in all, when they open as a
// data file (0 when they do not). A claim beyond kMaxTableBlocks is left out:
// the copy refuses such a table, and a list's load refuses it, before either
// reads a block of it, so fuzz_convert keeps fuzzing those refusals.
std::uint32_t ClaimedBlocks(const std::uint8_t* data, std::size_t size);

// ConvertInFull for the inputs whose tables claim at most
// kFuzzedClaimedBlocks; the others pass without a run. A conversion costs
// about the blocks it claims: a 3 KiB input whose descriptors claim 5700
// blocks of holes converts 3 MiB twice and takes 130 ms under the sanitizers,
// 80 times the mean, so a few such inputs and their mutations took most of
// the harness's time. Up to 1 MiB the tables still have several index blocks
// and the step's lists several slices; beyond it the same loops only run
// longer. Larger claims are converted by fuzz_check's dry run, and the replay
// of the kept inputs runs ConvertInFull on them.
constexpr std::uint32_t kFuzzedClaimedBlocks = 2048;
std::string FuzzConvert(const std::uint8_t* data, std::size_t size);

// The first byte chooses operations, the rest is the content of a record
// list, of a single record image, and of a chunked buffer: counting, finding,
// reading fields and their text, comparing, changing owned copies, inserting,
// replacing and deleting records, chunk operations.
std::string FuzzRecords(const std::uint8_t* data, std::size_t size);

// A harness by name. The list of all of them, kFuzzTargets, is written from
// tests/fuzz/Harnesses.cmake into the build's FuzzTargetList.h.
using FuzzTarget = std::string (*)(const std::uint8_t*, std::size_t);
struct NamedFuzzTarget {
    const char* name;
    FuzzTarget target;
};

}  // namespace quillet::testing
