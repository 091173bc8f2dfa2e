#!/usr/bin/env bash
# Checks the cross-built Windows files of one architecture with the cross objdump: check_pe.sh ARCH BUILD_DIR, ARCH
# i686 or x86_64. The plugin must be a DLL of the right PE format exporting exactly the entry points named in
# exports.txt (one a line, next to this script) under their plain names (no stdcall "@N" twins); the plugin and
# tarnwick.exe must import only from system DLLs, so that they run on a bare Windows without the compiler's
# runtime DLLs next to them.
set -euo pipefail

arch=${1:?usage: check_pe.sh ARCH BUILD_DIR}
dir=${2:?usage: check_pe.sh ARCH BUILD_DIR}
case $arch in
    i686) format=pei-i386 magic=010b plugin=$dir/Tarnwick.wfx ;;
    x86_64) format=pei-x86-64 magic=020b plugin=$dir/Tarnwick.wfx64 ;;
    *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac
objdump=$arch-w64-mingw32-objdump
exports=$(awk 'NF {print $1}' "$(dirname "$0")/exports.txt" | LC_ALL=C sort -u | tr '\n' ' ')
allowed_imports="advapi32.dll kernel32.dll msvcrt.dll user32.dll"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

for file in "$plugin" "$dir/tarnwick.exe"; do
    if ! headers=$("$objdump" -p "$file" 2>&1); then
        fail "$file is no $arch PE file: $headers"
        continue
    fi
    grep -q "file format $format\$" <<< "$headers" ||
        fail "$file is not $format: $(grep -m1 'file format' <<< "$headers")"
    grep -qE "^Magic[[:space:]]+$magic" <<< "$headers" || fail "$file: optional header magic is not $magic"
    is_dll=$(awk '/^Characteristics/ {in_list = 1; next} in_list && /^[^\t]/ {exit} in_list && /\tDLL$/ {print "yes"}' \
             <<< "$headers")
    if [ "$file" = "$plugin" ]; then
        [ "$is_dll" = yes ] || fail "$file is not marked as a DLL"
        # The names of the "[Ordinal/Name Pointer] Table" lines, up to the blank line that ends the table.
        actual=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {in_table = 1; next}
                      in_table && NF == 0 {exit}
                      in_table {print $NF}' <<< "$headers" | LC_ALL=C sort | tr '\n' ' ')
        [ "$actual" = "$exports" ] || fail "$file exports '$actual', expected '$exports'"
    else
        [ -z "$is_dll" ] || fail "$file is marked as a DLL"
    fi
    imports=$(awk '/DLL Name:/ {print tolower($3)}' <<< "$headers" | LC_ALL=C sort -u)
    [ -n "$imports" ] || fail "$file imports nothing: the import table was not found"
    for import in $imports; do
        [[ " $allowed_imports " == *" $import "* ]] || fail "$file imports $import"
    done
done

if [ "$failures" -gt 0 ]; then
    echo "check_pe $arch: $failures failures" >&2
    exit 1
fi
echo "check_pe $arch: $(basename "$plugin") and tarnwick.exe passed"
