#!/usr/bin/env bash
# The Windows build and its tests: cross-builds everything with mingw-w64 into
# build-windows/, runs the whole unit test suite under Wine through CTest (in a
# fresh Wine prefix inside the build folder), then the user-interface test of
# quillet-convert.exe under Xvfb. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build-windows"

bash tools/install-deps.sh build test windows

cmake --preset windows
cmake --build --preset windows

# A fresh 64-bit prefix for every run; no Mono or Gecko installers.
export WINEPREFIX="$build/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX"
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=wine
"$wine" wineboot -i >/dev/null 2>&1 || true
# The prefix's wineserver is ended when the run ends, whatever the outcome.
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

ctest --test-dir "$build" --output-on-failure -j2 --label-exclude "^slow$"
ctest --test-dir "$build" --output-on-failure -j2 --label-regex "^slow$"

# The sample builder is a Linux program: built from the same sources in a host
# build inside the Windows build folder.
sample=
if [ -f tools/CMakeLists.txt ]; then
    cmake -S . -B "$build/host" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLET_TESTS=OFF
    cmake --build "$build/host" -j2 --target quillet-sample
    sample="$build/host/tools/quillet-sample"
fi

xvfb-run -a -s "-screen 0 1024x768x24" bash tests/windows/run-ui-test.sh "$build" $sample
