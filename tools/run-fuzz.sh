#!/usr/bin/env bash
# Builds the libFuzzer harnesses (tests/fuzz) with clang++, AddressSanitizer and
# UndefinedBehaviorSanitizer, generates their seed corpora from the sample
# builder, and runs each harness for a bounded time, one after the other,
# starting from its seeds, its kept regressions and the corpus kept in
# tests/fuzz/corpus/<harness>/. Fails when any harness crashes, leaks, trips a
# sanitizer, breaks a property or runs into the per-input timeout; every such
# input is copied to tests/fuzz/regressions/<harness>/, where safety_tests
# replays it.
#
# Environment: FUZZ_SECONDS (per harness, default 60), FUZZ_HARNESSES (default:
# every harness of tests/fuzz/Harnesses.cmake, as the build lists them in
# tests/fuzz/harnesses.txt), FUZZ_BUILD (default build/fuzz, its own CMake tree
# beside build/release and build/asan), FUZZ_JOBS (build jobs, default 2),
# FUZZ_RUNS (executions per harness at most, default no limit), FUZZ_KEEP (1:
# after a clean run, replace tests/fuzz/corpus/<harness>/ by the merged and
# minimised union of it and the run's corpus, inputs cut to FUZZ_KEEP_LEN
# bytes, default 8192; for campaigns outside CI). Exit status: 0 when every harness ran clean, 1 when one failed, 2 when the
# harnesses could not be built.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
runs=${FUZZ_RUNS:--1}
keep=${FUZZ_KEEP:-0}
keep_len=${FUZZ_KEEP_LEN:-8192}
build=${FUZZ_BUILD:-build/fuzz}
jobs=${FUZZ_JOBS:-2}
instrument="-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"

if ! command -v clang++ > /dev/null; then
    echo "run-fuzz: clang++ is needed (apt-get install clang)" >&2
    exit 2
fi

mkdir -p "$build"
# clang++ alone does not bring the libFuzzer and sanitizer runtimes (a Debian
# install without recommended packages lacks them): say so before the build.
probe=$build/fuzz-probe
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
    > "$probe.cpp"
if ! clang++ -fsanitize=fuzzer,address,undefined "$probe.cpp" -o "$probe" > "$probe.log" 2>&1; then
    cat "$probe.log" >&2
    echo "run-fuzz: clang++ cannot link a libFuzzer harness (apt-get install libclang-rt-dev)" >&2
    exit 2
fi
rm -f "$probe" "$probe.cpp" "$probe.log"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DQUILLET_FUZZ=ON \
    -DCMAKE_CXX_FLAGS="$instrument" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" > "$build/configure.log" 2>&1 ||
    { cat "$build/configure.log"; exit 2; }
# Every harness with the kind of seeds it starts from, one "<name> <kind>" a line.
list=$build/tests/fuzz/harnesses.txt
[ -s "$list" ] || { echo "run-fuzz: no harness list in $list" >&2; exit 2; }
harnesses=${FUZZ_HARNESSES:-$(cut -d' ' -f1 "$list" | tr '\n' ' ')}
targets="fuzz_seeds"
for h in $harnesses; do
    grep -q "^$h " "$list" || { echo "run-fuzz: no harness named $h" >&2; exit 2; }
    targets="$targets fuzz_$h"
done
# shellcheck disable=SC2086
cmake --build "$build" -j"$jobs" --target $targets || exit 2

work=$build/fuzz-work
rm -rf "$work"/seeds-* "$work/all-seeds"
mkdir -p "$work/all-seeds"
"$build/tests/fuzz/fuzz_seeds" "$work/all-seeds"
# fuzz_seeds names every seed "<kind>-...": one folder per kind.
cut -d' ' -f2 "$list" | sort -u | while read -r kind; do
    mkdir -p "$work/seeds-$kind"
    for f in "$work/all-seeds/$kind"-*; do
        if [ -f "$f" ]; then mv "$f" "$work/seeds-$kind/"; fi
    done
done
rm -rf "$work/all-seeds"

# A quarantine of 32 MiB instead of 256 still keeps freed memory poisoned for
# hundreds of runs (judged by how fast the default one fills, a conversion run
# frees in the order of 100 KiB, a record run about 2 KiB), and it let
# fuzz_records, fuzz_convert and fuzz_integrity run 15 to 20 % faster: a large
# quarantine keeps a harness working in memory it has not touched lately, and
# page-faulting fresh memory in while it fills.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1:quarantine_size_mb=32
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

status=0
summary=""
for h in $harnesses; do
    corpus=$work/corpus-$h
    crashes=$work/crashes-$h
    rm -rf "$crashes"
    mkdir -p "$corpus" "$crashes"
    seeds=$work/seeds-$(grep "^$h " "$list" | cut -d' ' -f2)
    regressions=tests/fuzz/regressions/$h
    extra=()
    [ -d "$regressions" ] && extra+=("$regressions")
    [ -d "tests/fuzz/corpus/$h" ] && extra+=("tests/fuzz/corpus/$h")
    log=$work/$h.log
    echo "== fuzz_$h for ${seconds}s"
    set +e
    # libFuzzer's rare-feature schedule trims its list of rare features, down
    # to the 100 rarest, only when a new feature turns up, and then keeps every
    # feature hit at most the threshold (255) times: thousands of them once the
    # kept corpus has loaded. It searches that list for most features each run
    # hits. From a kept corpus that already reaches all a short run can, no
    # new feature comes and the list stays long: the search took up to two
    # thirds of fuzz_records' time and a third to a half of fuzz_convert's and
    # fuzz_open's. With a threshold of 0 the list is trimmed to 100 while the
    # corpus loads.
    # The schedule also gives an input less of its attention the longer the
    # input takes to run. The inputs fuzz_convert finds in a run are larger
    # than the kept ones and took 1.8 times as long each, and the schedule
    # favours new finds: its 60 s runs made about 1600 runs a second, against
    # 3500 with this. From the seeds alone, in 150 s, it made 401 thousand runs
    # instead of 174 thousand and reached more (2910 edges against 2901).
    "$build/tests/fuzz/fuzz_$h" -max_total_time="$seconds" -runs="$runs" -timeout=10 -rss_limit_mb=2048 \
        -max_len=65536 -entropic_feature_frequency_threshold=0 -entropic_scale_per_exec_time=1 \
        -print_final_stats=1 -artifact_prefix="$crashes/" \
        "$corpus" "$seeds" ${extra[@]+"${extra[@]}"} > "$log" 2>&1
    rc=$?
    set -e
    executed=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
    features=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
    line="fuzz_$h: ${executed:-?} executions, coverage ${cov:-?} edges, ${features:-?} features"
    found=$(find "$crashes" -type f | wc -l)
    if [ "$rc" -ne 0 ] || [ "$found" -ne 0 ]; then
        status=1
        line="$line, FAILED (exit $rc, $found inputs kept)"
        mkdir -p "$regressions"
        for f in "$crashes"/*; do
            [ -f "$f" ] && cp "$f" "$regressions/"
        done
        grep -E 'ERROR|SUMMARY|broken property|timeout|leak' "$log" | head -20 || true
    elif [ "$keep" = 1 ]; then
        kept=tests/fuzz/corpus/$h
        merged=$work/merged-$h
        rm -rf "$merged"
        mkdir -p "$merged" "$kept"
        if "$build/tests/fuzz/fuzz_$h" -merge=1 -max_len="$keep_len" "$merged" "$corpus" "$kept" \
            > "$work/$h-merge.log" 2>&1; then
            find "$kept" -type f ! -name README -delete
            cp "$merged"/* "$kept/"
            line="$line, corpus kept: $(find "$kept" -type f ! -name README | wc -l) files"
        else
            line="$line, corpus merge failed (see $work/$h-merge.log)"
            status=1
        fi
    fi
    echo "$line"
    summary="$summary$line"$'\n'
done
echo
echo "Fuzzing summary (${seconds}s per harness):"
printf '%s' "$summary"
exit $status
