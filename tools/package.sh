#!/usr/bin/env bash
# Builds the release packages into dist/:
#   quillet-convert-<version>-Linux-<arch>.deb and .tar.gz   (Linux build)
#   quillet-convert-<version>-win64.zip                      (mingw-w64 cross build)
# each with a .sha256 beside it. Optimised builds without tests, in
# build/package-linux and build/package-windows.
#
# Usage: tools/package.sh [linux] [windows]   (both when none is named)
# Installs the Debian packages it needs with apt-get when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dist="$root/dist"

kinds=("$@")
[ ${#kinds[@]} -eq 0 ] && kinds=(linux windows)

# package <kind> <build folder> <extra configure arguments...>
package() {
    local kind=$1 build=$2
    shift 2
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLET_TESTS=OFF "$@" >/dev/null
    # Only the programs that are packaged; CPack then installs without
    # building everything else.
    local programs=(quillet-convert)
    if cmake --build "$build" --target help | grep -q '^quillet-check:'; then programs+=(quillet-check); fi
    cmake --build "$build" -j"$(nproc)" --target "${programs[@]}" >&2
    rm -rf "$build/packages"
    (cd "$build" && cpack -B "$build/packages" >&2)
    mkdir -p "$dist"
    local made
    made=$(find "$build/packages" -maxdepth 1 -type f \( -name '*.deb' -o -name '*.tar.gz' -o -name '*.zip' -o -name '*.sha256' \))
    [ -n "$made" ] || { echo "cpack made no $kind package" >&2; exit 1; }
    cp $made "$dist/"
    for f in $made; do echo "$dist/$(basename "$f")"; done
}

for kind in "${kinds[@]}"; do
    case "$kind" in
        linux)
            bash tools/install-deps.sh build package >&2
            package linux "$root/build/package-linux" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON
            ;;
        windows)
            bash tools/install-deps.sh build windows >&2
            package windows "$root/build/package-windows" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
                --toolchain "$root/cmake/mingw-w64-x86_64.cmake"
            ;;
        *) echo "unknown package kind: $kind (linux or windows)" >&2; exit 2 ;;
    esac
done
