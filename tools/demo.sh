#!/usr/bin/env bash
# Builds the converter and the sample builder, writes a format 5 sample list
# file demo/List.qdx (replacing an earlier demo folder), and runs the converter
# in the demo folder. Answer its questions in the terminal, or pipe them in:
#   printf 'List\nok\n\n' | bash tools/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh build >&2
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLET_TESTS=OFF >/dev/null
cmake --build build/demo --target quillet-convert quillet-sample -j"$(nproc)" >/dev/null
rm -rf demo
mkdir -p demo
build/demo/tools/quillet-sample --format 5 --seed 1 --lists 6 --items 120 --depth 3 --out demo/List.qdx
echo "Sample written: demo/List.qdx"
echo
cd demo
status=0
../build/demo/app/quillet-convert || status=$?
echo
echo "Exit code: $status"
echo "The demo folder now holds:"
ls -l
exit "$status"
