#!/usr/bin/env bash
# Checks the release package: check_package.sh ZIP. It must hold exactly pluginst.inf, Tarnwick.wfx and
# Tarnwick.wfx64; pluginst.inf must offer a wfx plugin whose file is the 32-bit one (a 64-bit host takes the file
# of the same name with "64" appended), with a description, a version and a default folder; and each plugin must
# carry a version resource naming the product, its file and the package's version, as Windows shows it.
set -euo pipefail

zip=$(realpath "${1:?usage: check_package.sh ZIP}")
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

work=$(mktemp -d)
trap 'rm -rf "${work:?}"' EXIT
listing=$(cd "$work" && cmake -E tar tf "$zip" | LC_ALL=C sort | tr '\n' ' ')
[ "$listing" = "Tarnwick.wfx Tarnwick.wfx64 pluginst.inf " ] || fail "the zip holds '$listing'"
(cd "$work" && cmake -E tar xf "$zip")

inf=$(tr -d '\r' < "$work/pluginst.inf")
key() { sed -n "s/^$1=//p" <<< "$inf"; }
[ "$(head -n1 <<< "$inf")" = "[plugininstall]" ] || fail "pluginst.inf does not start with [plugininstall]"
[ "$(key type)" = wfx ] || fail "pluginst.inf: type is '$(key type)', not wfx"
[ "$(key file)" = Tarnwick.wfx ] || fail "pluginst.inf: file is '$(key file)'"
[ -n "$(key description)" ] || fail "pluginst.inf has no description"
[ -n "$(key defaultdir)" ] || fail "pluginst.inf has no defaultdir"
version=$(key version)
[[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "pluginst.inf: version '$version' is not N.N.N"
grep -q $'\r$' "$work/pluginst.inf" || fail "pluginst.inf does not have CRLF line ends"

# The version resource, decompiled by the cross windres of the file's own width.
for pair in i686:Tarnwick.wfx x86_64:Tarnwick.wfx64; do
    arch=${pair%%:*} file=${pair#*:}
    if ! rc=$("$arch-w64-mingw32-windres" -i "$work/$file" -O rc 2>&1); then
        fail "$file: no resources could be read: $rc"
        continue
    fi
    dotted="${version//./, }, 0"
    grep -qE "^ *FILEVERSION +${dotted}\$" <<< "$rc" || fail "$file: FILEVERSION is not $dotted"
    for value in "ProductName\", \"Tarnwick" "OriginalFilename\", \"$file" "FileVersion\", \"$version" \
                 "FileDescription\", \"Tarnwick"; do
        grep -qF "VALUE \"$value" <<< "$rc" || fail "$file: the version resource lacks $value"
    done
done

[ "$failures" -eq 0 ] || { echo "$failures package check(s) failed" >&2; exit 1; }
echo "package $zip: pluginst.inf and both plugins with version $version"
