#!/usr/bin/env bash
# Makes the release package from the two Windows builds: a zip holding Tarnwick.wfx (32-bit), Tarnwick.wfx64
# (64-bit) and the pluginst.inf that the file manager reads to offer installing the plugin when the zip is opened.
# usage: package.sh BUILD_I686 BUILD_X86_64 OUTDIR; prints the zip's path.
set -euo pipefail

i686=$(cd "${1:?usage: package.sh BUILD_I686 BUILD_X86_64 OUTDIR}" && pwd)
x86_64=$(cd "${2:?usage: package.sh BUILD_I686 BUILD_X86_64 OUTDIR}" && pwd)
out=${3:?usage: package.sh BUILD_I686 BUILD_X86_64 OUTDIR}
mkdir -p "$out"
out=$(cd "$out" && pwd)

version=$(sed -n 's/^version=//p' "$x86_64/pluginst.inf" | tr -d '\r')
[ -n "$version" ] || { echo "package: no version in $x86_64/pluginst.inf" >&2; exit 1; }
staging=$(mktemp -d)
trap 'rm -rf "${staging:?}"' EXIT
cp "$i686/Tarnwick.wfx" "$x86_64/Tarnwick.wfx64" "$staging/"
# Windows tools read the file best with CRLF line ends.
sed 's/\r*$/\r/' "$x86_64/pluginst.inf" > "$staging/pluginst.inf"
zip="$out/Tarnwick-$version.zip"
rm -f "${zip:?}"
(cd "$staging" && cmake -E tar cf "$zip" --format=zip pluginst.inf Tarnwick.wfx Tarnwick.wfx64)
echo "$zip"
