#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, when they are
# missing. Usage: tools/install-deps.sh [build|unit|test|windows|package]...
set -euo pipefail

packages=(cmake ninja-build g++ make)
for want in "$@"; do
    case "$want" in
        build) ;;
        # GoogleTest alone: what the ordinary build's tests need.
        unit) packages+=(libgtest-dev googletest libgmock-dev) ;;
        # libclang-rt-dev holds libFuzzer and the sanitizer runtimes for clang.
        test) packages+=(libgtest-dev googletest libgmock-dev libbenchmark-dev clang libclang-rt-dev) ;;
        # python3 runs tools/make-icon.py, which makes the program's icon.
        windows) packages+=(g++-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix wine64 wine xvfb xauth
                            xdotool imagemagick x11-apps python3) ;;
        # dpkg-shlibdeps (dpkg-dev) finds the .deb's dependencies for CPack.
        package) packages+=(dpkg-dev python3) ;;
        *) echo "unknown package group: $want" >&2; exit 2 ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then sudo=sudo; else
        echo "Missing packages: ${missing[*]}; run as root or install them." >&2; exit 1
    fi
else
    sudo=
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}" >/dev/null
