#!/usr/bin/env bash
# Builds the release packages (tools/package.sh), lists what each holds and
# checks the files a user needs are there, then installs the .deb, converts a
# sample file with the installed program, and removes the package again.
# Installing needs root (or sudo). Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

mapfile -t made < <(bash tools/package.sh linux windows)
deb= tgz= zip=
for f in "${made[@]}"; do
    case "$f" in
        *.deb) deb=$f ;;
        *.tar.gz) tgz=$f ;;
        *.zip) zip=$f ;;
    esac
done
for f in "$deb" "$tgz" "$zip"; do
    [ -n "$f" ] && [ -f "$f" ] || { echo "FAIL: a package is missing: ${made[*]}" >&2; exit 1; }
done

passed=0
failed=0
check() { # check <what> <command...>
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; passed=$((passed + 1)); else echo "FAIL: $what"; failed=$((failed + 1)); fi
}
# has <listing file> <path pattern, a whole line>
has() { grep -qxE -- "$2" "$1"; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== $(basename "$deb")"
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'
dpkg-deb --contents "$deb" | tee "$work/deb.long"
awk '{print $NF}' "$work/deb.long" | sed 's|^\./|/|' >"$work/deb.txt"
check ".deb: /usr/bin/quillet-convert" has "$work/deb.txt" '/usr/bin/quillet-convert'
check ".deb: README in /usr/share/doc" has "$work/deb.txt" '/usr/share/doc/quillet-convert/README.md'
check ".deb: licence in /usr/share/doc" has "$work/deb.txt" '/usr/share/doc/quillet-convert/LICENSE'
check ".deb: nothing of the build (tests, sample builder)" \
    bash -c "! grep -qE 'test|quillet-sample|quillet-bench' '$work/deb.txt'"

echo "== $(basename "$tgz")"
tar -tzvf "$tgz"
tar -tzf "$tgz" | sed 's|^[^/]*/||' >"$work/tgz.txt"
check ".tar.gz: bin/quillet-convert" has "$work/tgz.txt" 'bin/quillet-convert'
check ".tar.gz: share/doc README and licence" \
    bash -c "grep -qx 'share/doc/quillet-convert/README.md' '$work/tgz.txt' && grep -qx 'share/doc/quillet-convert/LICENSE' '$work/tgz.txt'"

echo "== $(basename "$zip")"
python3 -m zipfile -l "$zip"
python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$zip" |
    sed 's|^[^/]*/||' >"$work/zip.txt"
check ".zip: quillet-convert.exe" has "$work/zip.txt" 'quillet-convert.exe'
check ".zip: README.md and LICENSE.txt" \
    bash -c "grep -qx 'README.md' '$work/zip.txt' && grep -qx 'LICENSE.txt' '$work/zip.txt'"
if grep -q 'quillet-check' "$work/deb.txt"; then
    check ".zip: quillet-check.exe beside quillet-convert.exe" has "$work/zip.txt" 'quillet-check.exe'
fi
mkdir -p "$work/zip"
python3 -m zipfile -e "$zip" "$work/zip"
exe=$(find "$work/zip" -name quillet-convert.exe | head -1)
check ".zip: quillet-convert.exe is a Windows GUI program" \
    bash -c "file '$exe' 2>/dev/null | grep -q 'PE32+ executable (GUI)' || x86_64-w64-mingw32-objdump -p '$exe' | grep -q 'Subsystem.*(Windows GUI)'"

# Install the .deb and convert a sample with the installed program.
sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
if dpkg-query -W -f='${Status}' quillet-convert 2>/dev/null | grep -q "install ok installed"; then
    echo "FAIL: quillet-convert is installed already; not replacing it" >&2
    exit 1
fi
trap '$sudo dpkg -r quillet-convert >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
$sudo dpkg -i "$deb" >/dev/null
check "installed: quillet-convert on the PATH at /usr/bin" test "$(command -v quillet-convert)" = /usr/bin/quillet-convert

# The sample builder, from the Linux package's build folder (it is not packaged).
cmake --build "$root/build/package-linux" -j"$(nproc)" --target quillet-sample >/dev/null
sample="$root/build/package-linux/tools/quillet-sample"
mkdir -p "$work/run"
"$sample" --format 5 --seed 3 --quiet --out "$work/run/List.qdx"
cp "$work/run/List.qdx" "$work/original.qdx"
status=0
printf '%s\nok\n\n' "$work/run/List.qdx" | (cd "$work/run" && quillet-convert) >"$work/run.txt" 2>&1 ||
    status=$?
cat "$work/run.txt"
check "installed program: exit code 0" test "$status" = 0
check "installed program: reports success" grep -qx 'The file was converted successfully.' "$work/run.txt"
check "installed program: the backup is the original" cmp -s "$work/run/List Backup.qdx" "$work/original.qdx"
check "installed program: the converted file passes the sample check" \
    "$sample" --check "$work/run/List.qdx"

echo "packages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
