#!/usr/bin/env bash
# User-interface test of quillet-convert.exe under Wine, on an X display (run
# it under xvfb-run). It drives the real program with ui-probe.exe: finds the
# open-file dialog and every message box, checks their texts, captions and
# buttons, picks files, confirms, and checks the folder afterwards. Screenshots
# of the dialog and of each box go to <build>/ui-artifacts/.
#
# Usage: run-ui-test.sh <windows build folder> [<quillet-sample program>]
# WINEPREFIX must name a prepared prefix. Exits non-zero on any failure.
set -uo pipefail

build=$(cd "$1" && pwd)
sample_tool=${2:-}
wine=${QUILLET_WINE:-/usr/lib/wine/wine64}
[ -x "$wine" ] || wine=wine
exe="$build/app/quillet-convert.exe"
probe="$build/ui-probe.exe"
artifacts="$build/ui-artifacts"
here=$(cd "$(dirname "$0")" && pwd)

# Names with any characters go to Wine and come back from the probe as UTF-8,
# whatever the caller's locale.
export LC_ALL=C.UTF-8

rm -rf "$artifacts" && mkdir -p "$artifacts"
# The probe carries the converter's manifest (UTF-8 code page), so that it
# types and reads names with any characters.
x86_64-w64-mingw32-windres "$build/resources/manifest-only.rc" -O coff -o "$build/ui-probe.res" ||
    exit 1
x86_64-w64-mingw32-g++-posix -std=c++20 -Wall -Wextra -Werror -O1 -static -static-libgcc \
    -static-libstdc++ "$here/UiProbe.cpp" "$build/ui-probe.res" -o "$probe" || exit 1

passed=0
failed=0
fail() {
    echo "FAIL: $*"
    failed=$((failed + 1))
}
pass() {
    echo "ok: $*"
    passed=$((passed + 1))
}

# expect_line <file> <exact line> <what>
expect_line() {
    if grep -qxF -- "$2" "$1"; then pass "$3"; else fail "$3: no line '$2' in:"; cat "$1"; fi
}
# expect_no_line <file> <pattern> <what>
expect_no_line() {
    if grep -qE -- "$2" "$1"; then fail "$3"; cat "$1"; else pass "$3"; fi
}

probe() { "$wine" "$probe" "$@" 2>/dev/null | tr -d '\r'; }
shot() { import -window root "$artifacts/$1.png" 2>/dev/null || fail "screenshot $1"; }

# Starts the converter in folder $1 (its current folder, so the dialog opens
# there); its exit code lands in $1/.exit.
start_converter() {
    (cd "$1" && "$wine" "$exe" >/dev/null 2>&1; echo $? >"$1/.exit") &
    converter_pid=$!
}
# finish_converter <folder> <expected exit code> <what>
finish_converter() {
    local waited=0
    while kill -0 "$converter_pid" 2>/dev/null && [ $waited -lt 600 ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
    if kill -0 "$converter_pid" 2>/dev/null; then
        fail "$3: the program did not end"
        kill "$converter_pid"
        return
    fi
    local code
    code=$(cat "$1/.exit" 2>/dev/null)
    rm -f "$1/.exit"
    if [ "$code" = "$2" ]; then pass "$3: exit code $2"; else fail "$3: exit code '$code', wanted $2"; fi
}

dialog_title="Choose the file to convert"
text_id=65535 # the text of a message box

# check_dialog <output file>: the settings visible in the dialog.
check_dialog() {
    expect_line "$1" "window $dialog_title" "dialog title"
    if grep -qE '^control [0-9]+ ComboBox 1 Quillet Files \(\*\.qdx\)$' "$1"; then
        pass "dialog filter shows Quillet Files (*.qdx)"
    else
        fail "dialog filter"
        cat "$1"
    fi
    # OFN_HIDEREADONLY: the read-only check box (chx1, 1040) is hidden.
    expect_no_line "$1" '^control 1040 Button 1 ' "read-only check box hidden"
}

# The Windows form of a path of this machine (Wine's drive Z: is the root).
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# choose <folder> <name typed> <screenshot name> [<screenshot once typed>]:
# shows the dialog, checks it, types the name as a full path in <folder> and
# presses Open. The full path,
# since with no initial folder the dialog opens in the folder it showed last
# (the system keeps one per program), not always in the current one.
choose() {
    local out="$1/.probe"
    local typed
    typed="$(windows_path "$1")\\$2"
    if ! probe wait "$dialog_title" 60000 >"$out"; then
        fail "dialog did not appear"
        cat "$out"
        return 1
    fi
    check_dialog "$out"
    [ -n "$3" ] && shot "$3"
    # The dialog fills its file-name field after it appears: type after that,
    # and check what the field holds.
    sleep 1
    if [ "$(probe type "$dialog_title" "$typed")" != "typed $typed" ]; then
        fail "typing into the dialog"
    fi
    [ -n "${4:-}" ] && shot "$4"
    probe press "$dialog_title" 1 || fail "pressing Open"
    return 0
}

# message <folder> <caption> <text> <buttons: ok|okcancel> <icon: error|none> <shot>
# Checks the box and leaves it open.
message() {
    local out="$1/.probe"
    if ! probe wait "$2" 30000 >"$out"; then
        fail "message box '$2' did not appear"
        cat "$out"
        # What is showing instead: the dialog, or an error box.
        probe wait "$dialog_title" 1 | head -3
        probe wait "Error" 1
        return 1
    fi
    shot "$6"
    expect_line "$out" "control $text_id Static 1 $3" "box '$6' text"
    expect_line "$out" "control 1 Button 1 OK" "box '$6' has OK"
    if [ "$4" = okcancel ]; then
        expect_line "$out" "control 2 Button 1 Cancel" "box '$6' has Cancel"
    else
        expect_no_line "$out" '^control 2 Button' "box '$6' has no Cancel"
    fi
    if [ "$5" = error ]; then
        # Under Wine an icon handle of another process may not compare equal
        # to the system's error icon: a shown icon counts (boxes without the
        # error icon show none), and the screenshot shows which.
        if grep -qxE 'icon (error|other)' "$out"; then
            pass "box '$6' shows the error icon"
        else
            fail "box '$6' shows no error icon"
            cat "$out"
        fi
    else
        expect_no_line "$out" '^icon (error|other)$' "box '$6' has no icon"
    fi
}

work=$(mktemp -d "$build/ui-work.XXXXXX")
trap 'rm -rf "$work"' EXIT

# 1. Cancelling the dialog ends the program with 0 and no message.
mkdir -p "$work/cancel"
start_converter "$work/cancel"
if probe wait "$dialog_title" 60000 >"$work/cancel/.probe"; then
    check_dialog "$work/cancel/.probe"
    shot dialog
    probe press "$dialog_title" 2 || fail "pressing Cancel"
else
    fail "dialog did not appear"
    cat "$work/cancel/.probe"
fi
finish_converter "$work/cancel" 0 "cancel"

# 2. A file that is not a data file: "Error 5", exit code 5, file unchanged.
mkdir -p "$work/bad"
head -c 2000 /dev/urandom >"$work/bad/notes.qdx"
sum_before=$(sha256sum <"$work/bad/notes.qdx")
start_converter "$work/bad"
# Typed without the extension: the default extension "qdx" is added.
if choose "$work/bad" "notes" ""; then
    message "$work/bad" "Error" "Error 5 occurred attempting to access the file." ok none error-5
    probe press "Error" 1 || fail "pressing OK"
fi
finish_converter "$work/bad" 5 "not a data file"
[ "$(sha256sum <"$work/bad/notes.qdx")" = "$sum_before" ] && pass "the bad file is unchanged" ||
    fail "the bad file changed"
[ "$(ls "$work/bad" | wc -l)" = 1 ] && pass "no file was added next to it" ||
    { fail "files were added"; ls -la "$work/bad"; }

# 3. A name for a file that does not exist: "Error 33", nothing created.
mkdir -p "$work/missing"
start_converter "$work/missing"
if choose "$work/missing" "missing.qdx" ""; then
    message "$work/missing" "Error" "Error 33 occurred attempting to access the file." ok none \
        error-33
    probe press "Error" 1 || fail "pressing OK"
fi
finish_converter "$work/missing" 33 "missing file"
[ ! -e "$work/missing/missing.qdx" ] && pass "no file was created" || fail "a file was created"

# 4 and 5. Conversions of sample files of formats 5 and 4.
if [ -n "$sample_tool" ]; then
    # convert_sample <format> <confirm text> <shot>
    convert_sample() {
        local folder="$work/format$1"
        mkdir -p "$folder"
        "$sample_tool" --format "$1" --seed 7 --quiet --out "$folder/List.qdx" ||
            { fail "quillet-sample --format $1"; return; }
        cp "$folder/List.qdx" "$work/original$1.qdx"
        start_converter "$folder"
        if choose "$folder" "List.qdx" ""; then
            message "$folder" "Confirm Conversion" "$2" okcancel none "$3-confirm"
            probe press "Confirm Conversion" 1 || fail "pressing OK"
            message "$folder" "Success" "The file was converted successfully." ok none \
                "$3-success"
            probe press "Success" 1 || fail "pressing OK"
        fi
        finish_converter "$folder" 0 "format $1 conversion"
        local names
        names=$(cd "$folder" && ls | tr '\n' ' ')
        if [ "$names" = "List Backup.qdx List.qdx " ]; then
            pass "format $1: converted file and backup, nothing else"
        else
            fail "format $1: folder holds: $names"
        fi
        cmp -s "$folder/List Backup.qdx" "$work/original$1.qdx" && pass "format $1: backup is the original" ||
            fail "format $1: backup differs from the original"
        if "$sample_tool" --check "$folder/List.qdx" >"$folder/../check$1.txt" 2>&1; then
            pass "format $1: converted file passes the sample check"
        else
            fail "format $1: converted file fails the sample check"
            cat "$folder/../check$1.txt"
        fi
    }
    convert_sample 5 "OK to convert this file to Quillet Version 3.0?" format5
    convert_sample 4 "OK to convert this file to Quillet Version 2.0?  The current version of Quillet is Version 4.0, so please make sure you are not converting this file twice." format4
fi

# 6. Explorer shows a program's first icon group: the program's own, in the
# three sizes made from platform/win32/quillet-convert-icon.txt.
expect_line <(probe icons "$(windows_path "$exe")" 1) "icon sizes 16 32 48" "program icon group"

# 6b. The icon on the dialog's title bar. Without a window manager the X
# server draws no title bars, so here the program runs in a Wine desktop
# window, where Wine draws them itself; the desktop and the dialog sit at the
# top left of the screen. The title bar's icon is the program's when the
# blue of its arrow (#2E6FD8) shows there.
desktop="/desktop=quillet-ui,640x400"
(cd "$work" && "$wine" explorer "$desktop" "$(windows_path "$exe")" >/dev/null 2>&1) &
desktop_pid=$!
icon_blue=0
for _ in $(seq 1 60); do
    sleep 0.5
    import -window root -crop 28x28+0+0 +repage "$work/title.png" 2>/dev/null || continue
    icon_blue=$(convert "$work/title.png" txt:- 2>/dev/null | grep -ci '#2E6FD8') || icon_blue=0
    [ "$icon_blue" -gt 0 ] && break
done
shot dialog-title-icon
[ "$icon_blue" -gt 0 ] && pass "the dialog's title bar shows the program's icon ($icon_blue pixels)" ||
    fail "no program icon on the dialog's title bar"
# Cancel, from a probe started in the same desktop.
"$wine" explorer "$desktop" "$probe" press "$dialog_title" 2 >/dev/null 2>&1
for _ in $(seq 1 100); do kill -0 "$desktop_pid" 2>/dev/null || break; sleep 0.2; done
if kill -0 "$desktop_pid" 2>/dev/null; then
    wineserver -k >/dev/null 2>&1
    "$wine" wineboot >/dev/null 2>&1
fi

# Names with Cyrillic, CJK and an emoji, in the folder and in the file name.
unicode_folder="Журнал 日本語 📁"
unicode_name="Список 文件 🎉"

# 7. A format 5 file in such a folder and under such a name, chosen through
# the dialog, converted; the backup gets the name's characters too.
if [ -n "$sample_tool" ]; then
    folder="$work/$unicode_folder"
    mkdir -p "$folder"
    "$sample_tool" --format 5 --seed 11 --quiet --out "$folder/$unicode_name.qdx" ||
        fail "quillet-sample into $folder"
    cp "$folder/$unicode_name.qdx" "$work/original-unicode.qdx"
    start_converter "$folder"
    # As a user would: the folder typed first and opened in the dialog, then
    # the file's own name typed there.
    chosen=0
    if probe wait "$dialog_title" 60000 >"$folder/.probe"; then
        check_dialog "$folder/.probe"
        sleep 1
        [ "$(probe type "$dialog_title" "$(windows_path "$folder")")" = "typed $(windows_path "$folder")" ] ||
            fail "typing the folder into the dialog"
        probe press "$dialog_title" 1 || fail "pressing Open on the folder"
        sleep 2
        probe wait "$dialog_title" 1000 >"$folder/.probe"
        expect_line "$folder/.probe" "control 1137 ComboBox 1 $unicode_folder" \
            "the dialog shows the folder in any script"
        [ "$(probe type "$dialog_title" "$unicode_name.qdx")" = "typed $unicode_name.qdx" ] ||
            fail "typing the name into the dialog"
        shot unicode-dialog
        probe press "$dialog_title" 1 || fail "pressing Open"
        chosen=1
    else
        fail "dialog did not appear"
    fi
    if [ "$chosen" = 1 ]; then
        message "$folder" "Confirm Conversion" "OK to convert this file to Quillet Version 3.0?" \
            okcancel none unicode-confirm
        probe press "Confirm Conversion" 1 || fail "pressing OK"
        message "$folder" "Success" "The file was converted successfully." ok none unicode-success
        probe press "Success" 1 || fail "pressing OK"
    fi
    finish_converter "$folder" 0 "conversion of a file with a name in any script"
    names=$(cd "$folder" && ls | tr '\n' '|')
    if [ "$names" = "$unicode_name Backup.qdx|$unicode_name.qdx|" ]; then
        pass "converted file and backup under the names in any script, nothing else"
    else
        fail "the folder holds: $names"
    fi
    cmp -s "$folder/$unicode_name Backup.qdx" "$work/original-unicode.qdx" &&
        pass "the backup of the name in any script is the original" ||
        fail "the backup differs from the original"
    if "$sample_tool" --check "$folder/$unicode_name.qdx" >"$work/check-unicode.txt" 2>&1; then
        pass "the converted file in any script passes the sample check"
    else
        fail "the converted file in any script fails the sample check"
        cat "$work/check-unicode.txt"
    fi
fi

# bytes <text>: its length in UTF-8 bytes.
bytes() { printf '%s' "$1" | wc -c; }

# 8. A path of fewer than 260 characters that takes more than 259 bytes in
# UTF-8: refused with its notice, the dialog comes again and can be
# cancelled; nothing is created and the file stays as it was.
folder="$work/long-$unicode_folder"
mkdir -p "$folder"
long_name=$(printf 'Ж%.0s' $(seq 1 110))
typed_path="$(windows_path "$folder")\\$long_name.qdx"
chars=$(printf '%s' "$typed_path" | wc -m)
if [ "$chars" -lt 260 ] && [ "$(bytes "$typed_path")" -gt 259 ]; then
    pass "the long path has $chars characters and $(bytes "$typed_path") bytes"
else
    fail "the long path has $chars characters and $(bytes "$typed_path") bytes"
fi
head -c 3000 /dev/urandom >"$folder/$long_name.qdx"
sum_before=$(sha256sum <"$folder/$long_name.qdx")
start_converter "$folder"
if choose "$folder" "$long_name.qdx" ""; then
    message "$folder" "Error" "The path is too long: $typed_path" ok error path-too-long
    probe press "Error" 1 || fail "pressing OK"
    if probe wait "$dialog_title" 30000 >"$folder/.probe"; then
        pass "the dialog comes again after the notice"
        probe press "$dialog_title" 2 || fail "pressing Cancel"
    else
        fail "the dialog did not come again"
    fi
fi
finish_converter "$folder" 0 "a path too long in UTF-8"
[ "$(ls "$folder")" = "$long_name.qdx" ] && pass "nothing was created next to the long name" ||
    { fail "files were added"; ls -la "$folder"; }
[ "$(sha256sum <"$folder/$long_name.qdx")" = "$sum_before" ] &&
    pass "the file with the long name is unchanged" || fail "the file with the long name changed"

# 9. A path that fits in 259 bytes, but whose backup name (7 bytes more) does
# not: "Error 8001", and nothing is created (no backup, no temporary file).
if [ -n "$sample_tool" ]; then
    folder="$work/fits-$unicode_folder"
    mkdir -p "$folder"
    prefix="$(windows_path "$folder")\\"
    name="$unicode_name "
    # Two-byte characters, then ASCII to reach 257 bytes with ".qdx".
    while [ $(($(bytes "$prefix$name") + 2 + 4)) -le 257 ]; do name+="Ж"; done
    while [ $(($(bytes "$prefix$name") + 4)) -lt 257 ]; do name+="x"; done
    path_bytes=$(bytes "$prefix$name.qdx")
    [ "$path_bytes" = 257 ] && pass "the path that fits has 257 bytes" ||
        fail "the path that fits has $path_bytes bytes"
    "$sample_tool" --format 5 --seed 5 --quiet --out "$folder/$name.qdx" ||
        fail "quillet-sample into $folder"
    sum_before=$(sha256sum <"$folder/$name.qdx")
    start_converter "$folder"
    if choose "$folder" "$name.qdx" ""; then
        message "$folder" "Confirm Conversion" "OK to convert this file to Quillet Version 3.0?" \
            okcancel none backup-too-long-confirm
        probe press "Confirm Conversion" 1 || fail "pressing OK"
        message "$folder" "Error" "Error 8001 occurred attempting to access the file." ok none \
            error-8001
        probe press "Error" 1 || fail "pressing OK"
    fi
    # Exit codes reach the shell modulo 256.
    finish_converter "$folder" $((8001 % 256)) "no backup name fits"
    [ "$(ls "$folder")" = "$name.qdx" ] && pass "no backup and no temporary file were left" ||
        { fail "files were added"; ls -la "$folder"; }
    [ "$(sha256sum <"$folder/$name.qdx")" = "$sum_before" ] &&
        pass "the file whose backup name does not fit is unchanged" || fail "the file changed"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
