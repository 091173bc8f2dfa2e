#!/usr/bin/env bash
# The main job end to end: builds the plugin and the `tarnwick` host, makes a sample disk with three ext
# partitions, then lists the partitions and folders on it and copies a file out, with a progress bar.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/ensure_packages.sh
ensure_packages cmake ninja-build g++ fdisk e2fsprogs

build="build-demo"
if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICK_TESTS=OFF
fi
cmake --build "$build" --target Tarnwick tarnwick -j "$(nproc)"

# The test fixtures' disk: ext4 (sda1), a FAT32 primary, and ext2 (sda5) and ext3 (sda6) in an extended partition.
sample=$build/sample
if [ ! -f "$sample/main.img" ] || [ tests/fixtures/make_disks.sh -nt "$sample/main.img" ]; then
    tests/fixtures/make_disks.sh "$sample"
fi

# The plugin reads drives only for an administrator, which on Linux is root.
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)

copy_dir=$(mktemp -d)
trap 'rm -rf "${copy_dir:?}"' EXIT

step() {
    printf '\n$ tarnwick --disk %s %s\n' "$sample/main.img" "$*"
    "${as_root[@]}" "$build/tarnwick" --disk "$sample/main.img" "$@"
}

step ls /
step ls /sda1
step ls /sda1/home/user/docs
step get /sda1/home/user/docs/notes.txt "$copy_dir/notes.txt"

if cmp -s "$copy_dir/notes.txt" "$sample/trees/main1/home/user/docs/notes.txt"; then
    echo "notes.txt copied out: $(wc -c < "$copy_dir/notes.txt") bytes, identical to its source file"
else
    echo "notes.txt differs from the file the partition was made from" >&2
    exit 1
fi
