#!/usr/bin/env bash
# Side-by-side benchmark of the Release plugin, driven through the `tarnwick` host, against the tools that read
# the same images: dd (the bytes of a file straight off the image), debugfs dump/rdump/ls, and 7-Zip. It builds
# into build-bench/, makes its disks under build-bench/work/ (kept between runs, remade when their version
# changes), times every case several times and prints medians, ratios and each goal with a pass/fail mark. It
# reports and never gates: the exit status is 0 whatever the figures.
#
# Settings (environment): BENCH_COLD=1 drops the page cache before every run where root may; BENCH_RUNS measured runs of a fast case (odd, default 5); BENCH_TIMEOUT seconds after
# which a run is stopped and counted as "more than" (default 60); BENCH_LONG_MIB size of the file of the long
# copy (default 2048); BENCH_WORK the work folder; BENCH_CASES the cases to run, of: files requests folders groups
# long sparse slow (default all of them).
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/ensure_packages.sh
ensure_packages cmake ninja-build g++ fdisk e2fsprogs time coreutils
# The peers and tools of single cases: a case whose tool cannot be installed is reported as not measured.
ensure_packages 7zip || echo "bench: 7-Zip is missing: the 7zz rows are left out" >&2
ensure_packages strace || echo "bench: strace is missing: the read-request rows are left out" >&2

runs=${BENCH_RUNS:-5}
limit=${BENCH_TIMEOUT:-60}
long_mib=${BENCH_LONG_MIB:-2048}
# A case whose unmeasured first run takes longer than this many seconds is measured once, not BENCH_RUNS times.
slow_seconds=10
cases=" ${BENCH_CASES:-files requests folders groups long sparse slow} "
# wanted CASE: whether BENCH_CASES names CASE.
wanted() { [[ $cases == *" $1 "* ]]; }
build=build-bench
work=${BENCH_WORK:-$build/work}
mkdir -p "$work"
work=$(cd "$work" && pwd)
# Everything the script deletes lies under the work folder: never let that be the root.
if [ "$work" = / ]; then echo "bench.sh: refusing to work in /" >&2; exit 2; fi
export PATH="$PATH:/usr/sbin:/sbin"
export E2FSPROGS_FAKE_TIME=1700000000

# Every disk has one partition at sector 2048: sda1 to the host, "?offset=" to e2fsprogs; 7-Zip finds the
# volume by its signature.
part_offset=$(( 2048 * 512 ))

# ---------------------------------------------------------------------------------------------------------------
# Building and disks

build_host() {
    if [ ! -f "$build/build.ninja" ]; then
        cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICK_TESTS=OFF > /dev/null
    fi
    cmake --build "$build" --target Tarnwick tarnwick -j 2 > /dev/null
}

# make_disk IMAGE MIB: an empty disk of MIB MiB (sparse) with one Linux partition from sector 2048 to the end.
make_disk() {
    truncate -s "$2M" "$1"
    printf 'label: dos\nstart=2048, type=83\n' | sfdisk -q "$1"
}

# The sectors of the one partition of IMAGE.
partition_sectors() {
    sfdisk -d "$1" | awk -F'size=' '/start=/ { split($2, f, ","); gsub(/ /, "", f[1]); print f[1] }'
}

# mkfs_on IMAGE TYPE BLOCK TREE [mke2fs options]: a file system filling the partition, made from TREE.
mkfs_on() {
    local image=$1 fstype=$2 block=$3 tree=$4; shift 4
    local blocks=$(( $(partition_sectors "$image") * 512 / block ))
    mke2fs -q -F -t "$fstype" -b "$block" -E "offset=$part_offset" -d "$tree" "$@" "$image" "$blocks"
}

volume_of() { echo "$1?offset=$part_offset"; }

# stage_folder TREE DIR COUNT: the empty files of the big folder DIR: names 1 to 1000 in TREE/DIR itself, the
# rest in staging folders of 1000 under TREE/stage_DIR, one per first number, for big_folder to move.
stage_folder() {
    local tree=$1 dir=$2 count=$3 s
    mkdir -p "$tree/$dir"
    (cd "$tree/$dir" && seq -f 'file_%06g' 1 1000 | xargs touch)
    for (( s = 1001; s <= count; s += 1000 )); do
        mkdir -p "$tree/stage_$dir/s$s"
        (cd "$tree/stage_$dir/s$s" && seq -f 'file_%06g' "$s" $(( s + 999 < count ? s + 999 : count )) | xargs touch)
    done
}

# big_folder IMAGE DIR COUNT: moves the staged names into DIR, an indexed folder as a real volume's would be.
# mke2fs -d links each name by a linear search of the folder, quadratic in its size, so the folder starts with
# 1000 names, is indexed, and takes the rest by debugfs link (naming the target folder, not the new path, keeps
# debugfs from searching it). debugfs adds to an index of one level only: the index is rebuilt every 30 000
# names, packed, so that the splits it makes never outgrow that level.
big_folder() {
    local image=$1 dir=$2 count=$3 first s
    local volume
    volume=$(volume_of "$image")
    for (( first = 1001; first <= count; first += 30000 )); do
        e2fsck -fyD "$volume" > /dev/null 2>&1 || [ $? -le 1 ]
        for (( s = first; s < first + 30000 && s <= count; s += 1000 )); do
            seq -f 'file_%06g' "$s" $(( s + 999 < count ? s + 999 : count )) |
                awk -v s="/stage_$dir/s$s" -v d="/$dir" '{ print "link " s "/" $0 " " d; print "unlink " s "/" $0 }'
            echo "rmdir /stage_$dir/s$s"
        done > "$work/link.cmds"
        debugfs -w -f "$work/link.cmds" "$volume" > /dev/null 2>&1
    done
    echo "rmdir /stage_$dir" | debugfs -w -f - "$volume" > /dev/null 2>&1
    e2fsck -fyD "$volume" > /dev/null 2>&1 || [ $? -le 1 ]
    e2fsck -fn "$volume" > /dev/null 2>&1 || echo "bench: warning: $image is not clean after filling /$dir" >&2
}

# A volume of 1024 block groups of 128 MiB with the default 8192 inodes of 256 bytes each (2 MiB of inode table
# a group), and a folder in every group but the first holding two files. The allocator puts a new inode in its
# parent's group, so each folder is pushed into the next group by marking the rest of the groups before it in
# use; the marks are cleared at the end. Only the written blocks take space in the image.
make_groups_disk() {
    local image=$1 ipg=8192 groups=1024 g base
    make_disk "$image" $(( groups * 128 + 1 ))
    local blocks=$(( $(partition_sectors "$image") * 512 / 4096 ))
    mke2fs -q -F -t ext4 -b 4096 -J size=16 -E "offset=$part_offset" "$image" "$blocks"
    head -c 10000 "$work/random.bin" > "$work/a.bin"
    tail -c 3000 "$work/random.bin" > "$work/b.bin"
    {
        echo "seti <12> $(( ipg - 11 ))"
        for (( g = 1; g < groups; g++ )); do
            base=$(( g * ipg ))
            printf 'cd /\nmkdir g%04d\ncd /g%04d\n' "$g" "$g"
            echo "write $work/a.bin a.bin"
            echo "write $work/b.bin b.bin"
            if (( g < groups - 1 )); then echo "seti <$(( base + 4 ))> $(( ipg - 3 ))"; fi
        done
        echo "freei <12> $(( ipg - 11 ))"
        for (( g = 1; g < groups - 1; g++ )); do echo "freei <$(( g * ipg + 4 ))> $(( ipg - 3 ))"; done
    } > "$work/groups.cmds"
    debugfs -w -f "$work/groups.cmds" "$(volume_of "$image")" > /dev/null 2>&1
    e2fsck -fn "$(volume_of "$image")" > /dev/null 2>&1 || echo "bench: warning: $image is not clean" >&2
}

make_disks() {
    local stamp
    # Bump the version whenever the disks change, so that a kept work folder is remade.
    stamp="disks-v1 $long_mib"
    if [ -f "$work/stamp" ] && [ "$(cat "$work/stamp")" = "$stamp" ]; then
        echo "disks: reusing $work"
        return
    fi
    echo "disks: making them under $work"
    rm -rf "${work:?}"
    mkdir -p "$work/trees/ext4" "$work/trees/ext3" "$work/trees/ext2"
    head -c 256M /dev/urandom > "$work/random.bin"

    local t=$work/trees
    cp "$work/random.bin" "$t/ext4/big.bin"
    # The long copy's file: the random file repeated, so that no block is zero (a zero block would become a hole).
    local i
    for (( i = 0; i < long_mib; i += 256 )); do cat "$work/random.bin"; done | head -c "${long_mib}M" > "$t/ext4/long.bin"
    stage_folder "$t/ext4" many10k 10000
    stage_folder "$t/ext4" many100k 100000
    make_disk "$work/ext4.img" $(( long_mib + 640 ))
    mkfs_on "$work/ext4.img" ext4 4096 "$t/ext4" -N 131072
    big_folder "$work/ext4.img" many10k 10000
    big_folder "$work/ext4.img" many100k 100000

    ln "$work/random.bin" "$t/ext3/big.bin"
    make_disk "$work/ext3.img" 320
    mkfs_on "$work/ext3.img" ext3 4096 "$t/ext3"

    head -c 60M "$work/random.bin" > "$t/ext2/big.bin"
    make_disk "$work/ext2.img" 80
    mkfs_on "$work/ext2.img" ext2 1024 "$t/ext2"

    make_groups_disk "$work/groups.img"
    rm -rf "${t:?}"
    echo "$stamp" > "$work/stamp"
}

# ---------------------------------------------------------------------------------------------------------------
# Timing

# The copies go to memory (/dev/shm) when it has room, so that writing them back to a shared disk does not blur
# the figures; both sides write the same bytes to the same place either way.
out_parent=$work
if [ -d /dev/shm ] && [ -w /dev/shm ] && [ "$(df -Pk /dev/shm | awk 'NR == 2 { print $4 }')" -gt $(( (long_mib + 1024) * 1024 )) ]; then
    out_parent=/dev/shm
fi
out=""
fresh_out() {
    out=$out_parent/tarnwick-bench-out
    rm -rf "${out:?}"
    mkdir -p "$out"
}

# With BENCH_COLD=1, and where that is possible (root with a writable /proc/sys/vm/drop_caches), the page cache
# is dropped before every run; otherwise the unmeasured first run of each case warms it. Warm is the default: on a
# machine shared with other work, dropping the cache slows everything else and makes the figures noisy.
cold=0
if [ "${BENCH_COLD:-0}" = 1 ] && [ "$(id -u)" -eq 0 ] && { sync && echo 3 > /proc/sys/vm/drop_caches; } 2> /dev/null; then
    cold=1
fi

# run_once CMD...: runs CMD in a fresh output folder, stdout discarded; sets elapsed (seconds) and timed_out.
elapsed=0
timed_out=0
run_once() {
    fresh_out
    if (( cold )); then sync; echo 3 > /proc/sys/vm/drop_caches; fi
    local start=$EPOCHREALTIME status=0
    (cd "$out" && timeout "$limit" "$@" > /dev/null 2> "$work/stderr") || status=$?
    local end=$EPOCHREALTIME
    elapsed=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }')
    timed_out=0
    if [ "$status" -eq 124 ]; then
        timed_out=1
    elif [ "$status" -ne 0 ] && ! { [ "$1" = 7zz ] && [ "$status" -eq 1 ]; }; then
        # 7-Zip exits 1 for its warning that the volume lies at an offset in the image.
        echo "bench: '$*' failed with status $status: $(head -c 300 "$work/stderr")" >&2
    fi
}

# measure CMD...: one unmeasured run (which warms the cache when it is not dropped), then the measured runs; sets
# median to their median in seconds, or to ">LIMIT" when a run timed out; count to the number measured.
median=""
count=0
measure() {
    local times=() n=$runs
    run_once "$@"
    if (( timed_out )); then median=">$limit"; count=0; return; fi
    if awk -v e="$elapsed" -v s="$slow_seconds" 'BEGIN { exit !(e > s) }'; then n=1; fi
    local i
    for (( i = 0; i < n; i++ )); do
        run_once "$@"
        if (( timed_out )); then median=">$limit"; count=$(( i + 1 )); return; fi
        times+=("$elapsed")
    done
    count=$n
    median=$(printf '%s\n' "${times[@]}" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
}

# ratio A B: A/B to two places, or "n/a"; A may be ">x" (then the ratio is a lower bound).
ratio() {
    local a=$1 b=$2
    if [[ $b == ">"* || -z $b ]]; then echo "n/a"; return; fi
    if [[ $a == ">"* ]]; then awk -v a="${a#>}" -v b="$b" 'BEGIN { printf ">%.2f", a / b }'; return; fi
    awk -v a="$a" -v b="$b" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'
}

# mark VALUE LIMIT: "pass" when VALUE <= LIMIT, "FAIL" otherwise (a lower bound ">x" above LIMIT fails).
mark() {
    local v=$1
    if [[ $v == "n/a" || -z $v ]]; then echo "-"; return; fi
    awk -v v="${v#>}" -v l="$2" 'BEGIN { print (v <= l ? "pass" : "FAIL") }'
}

rows=()
# row CASE TARNWICK PEER PEER_TIME RATIO GOAL: one line of the final table.
row() {
    rows+=("$(printf '%-30s|%12s|%-26s|%12s|%8s|%-10s|%s' "$1" "$2" "$3" "$4" "$5" "$6" "$7")")
    printf '  %-28s tarnwick %-10s %-26s %-10s ratio %-7s %s %s\n' "$1" "$2" "$3" "$4" "$5" "$6" "$7"
}

seconds() { [[ $1 == ">"* ]] && echo "$1 s" || awk -v s="$1" 'BEGIN { printf "%.3f s", s }'; }

# ---------------------------------------------------------------------------------------------------------------
# Cases

# dd_script IMAGE FILE: writes to dd.sh the dd commands that copy FILE's bytes off IMAGE into ./copy, with
# bs=1M, one dd per stretch of the image that holds the file; stretches less than 128 KiB apart are read as one
# (the block maps of ext2/3 lie between the data; a group's tables are larger). Prints the bytes that dd reads.
dd_script() {
    local image=$1 file=$2 block
    block=$(dumpe2fs -h "$(volume_of "$image")" 2> /dev/null | awk -F: '/^Block size/ { gsub(/ /, "", $2); print $2 }')
    debugfs -R "blocks $file" "$(volume_of "$image")" 2> /dev/null | tr ' ' '\n' | grep . | sort -n |
        awk -v bs="$block" -v off="$part_offset" -v img="$image" -v script="$work/dd.sh" '
            function flush() {
                printf "dd if=%s of=copy bs=1M iflag=skip_bytes,count_bytes oflag=append conv=notrunc skip=%d count=%d status=none\n",
                    img, off + first * bs, (last - first + 1) * bs > script
                total += (last - first + 1) * bs
            }
            NR == 1 { first = $1; last = $1; next }
            { if (($1 - last - 1) * bs >= 131072) { flush(); first = $1 }; last = $1 }
            END { if (NR > 0) flush(); print total + 0 }'
}

# file_case LABEL IMAGE FILE SIZE GOAL: copying one file, against dd, debugfs dump and 7-Zip.
file_case() {
    local label=$1 image=$root/$2 file=$3 size=$4 goal=$5
    echo "$label: $file, $(( size / 1048576 )) MiB"
    measure "$tarnwick" --disk "$image" get /sda1"$file" copy
    local ours=$median
    local dd_bytes stretches
    dd_bytes=$(dd_script "$image" "$file")
    stretches=$(wc -l < "$work/dd.sh")
    measure bash "$work/dd.sh"
    row "$label" "$(seconds "$ours")" "dd bs=1M ($stretches x, $(( dd_bytes / 1048576 )) MiB)" "$(seconds "$median")" \
        "$(ratio "$ours" "$median")" "<= $goal" "$(mark "$(ratio "$ours" "$median")" "$goal")"
    measure debugfs -R "dump $file copy" "$(volume_of "$image")"
    row "$label" "$(seconds "$ours")" "debugfs dump" "$(seconds "$median")" "$(ratio "$ours" "$median")" "" ""
    if command -v 7zz > /dev/null; then
        measure 7zz e -text -y -bso0 -bsp0 "$image" "${file#/}"
        row "$label" "$(seconds "$ours")" "7zz e" "$(seconds "$median")" "$(ratio "$ours" "$median")" "" ""
    else
        row "$label" "$(seconds "$ours")" "7zz e (not installed)" "" "" "" ""
    fi
}

# read_requests LABEL IMAGE FILE SIZE [GOAL]: read requests on the image per MiB copied, counted by strace in an
# untimed run. Requests are the read calls on a descriptor opened on the image.
read_requests() {
    local label=$1 image=$root/$2 file=$3 size=$4 goal=${5:-}
    if ! command -v strace > /dev/null; then
        row "$label" "n/a" "(strace not installed)" "" "" "${goal:+<= $goal}" ""
        return
    fi
    fresh_out
    (cd "$out" && strace -f --seccomp-bpf -qq -s 0 -o "$work/strace.log" -e trace=openat,open,close,read,pread64,readv,preadv,preadv2 \
        "$tarnwick" --disk "$image" get "/sda1$file" copy > /dev/null 2>&1) || true
    local requests
    requests=$(awk -v img="$image" '
        { sub(/^[0-9]+ +/, "") }
        /^(openat|open)\(/ && index($0, "\"" img "\"") && / = [0-9]+$/ { image_fd[$NF] = 1; next }
        /^close\(/ { fd = $0; sub(/^close\(/, "", fd); sub(/[,)].*/, "", fd); delete image_fd[fd]; next }
        /^(read|pread64|readv|preadv|preadv2)\(/ {
            fd = $0; sub(/^[a-z0-9]+\(/, "", fd); sub(/[, ].*/, "", fd)
            if (fd in image_fd) n++
        }
        END { print n + 0 }' "$work/strace.log")
    local per_mib
    per_mib=$(awk -v n="$requests" -v s="$size" 'BEGIN { printf "%.1f", n / (s / 1048576) }')
    local kib
    kib=$(awk -v n="$requests" -v s="$size" 'BEGIN { if (n > 0) printf "%.0f", s / n / 1024; else print "-" }')
    echo "$label: $requests read requests for $(( size / 1048576 )) MiB ($kib KiB a request on average)"
    if [ -n "$goal" ]; then
        row "$label" "$per_mib /MiB" "(read requests per MiB)" "" "" "<= $goal" "$(mark "$per_mib" "$goal")"
    else
        row "$label" "$per_mib /MiB" "(read requests per MiB)" "" "" "" ""
    fi
}

# The folders of the ext4 volume: listing, and copying the 10 000 and the 100 000 files.
folder_cases() {
    local image=$root/$1 volume
    volume=$(volume_of "$image")
    echo "folders: ls and get -r of many10k and many100k"
    measure "$tarnwick" --disk "$image" ls /sda1/many10k
    local ours=$median
    measure debugfs -R "ls -p /many10k" "$volume"
    row "ls many10k" "$(seconds "$ours")" "debugfs ls -p" "$(seconds "$median")" "$(ratio "$ours" "$median")" \
        "<= 1.2" "$(mark "$(ratio "$ours" "$median")" 1.2)"

    measure "$tarnwick" --disk "$image" get -r /sda1/many10k copy
    local ours10k=$median
    measure debugfs -R "rdump /many10k ." "$volume"
    row "get -r many10k" "$(seconds "$ours10k")" "debugfs rdump" "$(seconds "$median")" \
        "$(ratio "$ours10k" "$median")" "<= 1.2" "$(mark "$(ratio "$ours10k" "$median")" 1.2)"

    measure "$tarnwick" --disk "$image" get -r /sda1/many100k copy
    local ours100k=$median
    measure debugfs -R "rdump /many100k ." "$volume"
    row "get -r many100k" "$(seconds "$ours100k")" "debugfs rdump" "$(seconds "$median")" \
        "$(ratio "$ours100k" "$median")" "" ""
    local growth
    growth=$(ratio "$ours100k" "$ours10k")
    row "get -r 100k / 10k" "$growth" "(tarnwick against itself)" "" "" "<= 11" "$(mark "$growth" 11)"
}

# Copying every file of the volume of 1024 groups: the host's peak memory, and what it read from the image.
groups_case() {
    local image=$root/$1
    echo "1024 groups: get -r of the whole volume (2046 files in 1023 groups)"
    (( cold )) || run_once "$tarnwick" --disk "$image" get -r /sda1 copy
    run_once /usr/bin/time -f %M -o "$work/peak" "$tarnwick" --disk "$image" get -r /sda1 copy
    local peak_kib wall peak_mib verdict
    peak_kib=$(tail -n 1 "$work/peak" 2> /dev/null | grep -E '^[0-9]+$' || true)
    wall=$elapsed
    (( timed_out )) && wall=">$limit"
    if [ -n "$peak_kib" ] && (( ! timed_out )); then
        peak_mib=$(awk -v k="$peak_kib" 'BEGIN { printf "%.1f MiB", k / 1024 }')
        verdict=$(awk -v k="$peak_kib" 'BEGIN { print (k < 100 * 1024 ? "pass" : "FAIL") }')
    else
        peak_mib="n/a"
        verdict="FAIL (no figure)"
    fi
    row "1024 groups: peak memory" "$peak_mib" "(get -r, $(seconds "$wall"))" "" "" "< 100 MiB" "$verdict"
    (( cold )) || run_once debugfs -R "rdump / ." "$(volume_of "$image")"
    run_once /usr/bin/time -f %M -o "$work/peak" debugfs -R "rdump / ." "$(volume_of "$image")"
    row "1024 groups: debugfs rdump" "" "peak $(awk -v k="$(tail -n 1 "$work/peak")" 'BEGIN { printf "%.1f MiB", k / 1024 }')" \
        "$(seconds "$elapsed")" "" "" ""
}

# The long copy: progress calls a second as the host sees them, and the process's CPU time over its wall time.
long_case() {
    local image=$root/$1 file=$2
    echo "long copy: $file, $long_mib MiB"
    # Once unmeasured, as every case: a copy from a cold cache would wait on the disk and flatter the CPU figure.
    (( cold )) || run_once "$tarnwick" --disk "$image" get "/sda1$file" copy
    run_once /usr/bin/time -f '%e %U %S' -o "$work/cpu" "$tarnwick" --stats --disk "$image" get "/sda1$file" copy
    local calls_per_second copy_seconds cpu_ratio
    calls_per_second=$(sed -n 's/.*calls_per_second=\([0-9.]*\).*/\1/p' "$work/stderr")
    copy_seconds=$(sed -n 's/.*copy_seconds=\([0-9.]*\).*/\1/p' "$work/stderr")
    cpu_ratio=$(awk '{ if ($1 > 0) printf "%.2f", ($2 + $3) / $1; else print "n/a" }' "$work/cpu")
    local note=""
    if awk -v s="${copy_seconds:-0}" 'BEGIN { exit !(s < 2) }'; then note=" (shorter than 2 s: raise BENCH_LONG_MIB)"; fi
    row "long copy: progress calls/s" "${calls_per_second:-n/a}" "(copy of ${copy_seconds:-?} s$note)" "" "" "<= 100" \
        "$(mark "${calls_per_second:-n/a}" 100)"
    row "long copy: CPU / wall" "$cpu_ratio" "(user+sys over elapsed)" "" "" "<= 1.2" "$(mark "$cpu_ratio" 1.2)"
}

# The disks of the sparse case, kept under their own stamp so that adding them does not remake the others: a
# 16 GiB file holding 1 MiB of data (256 KiB at the start, in the middle and before the end) on a small volume.
make_extra_disks() {
    local stamp="extra-v1"
    if [ -f "$work/extra.stamp" ] && [ "$(cat "$work/extra.stamp")" = "$stamp" ]; then return; fi
    local t=$work/trees/sparse
    rm -rf "${t:?}"
    mkdir -p "$t"
    truncate -s 16G "$t/sparse.bin"
    local at
    for at in 0 8192 16380; do
        head -c 256K "$work/random.bin" | dd of="$t/sparse.bin" bs=1M seek="$at" conv=notrunc status=none
    done
    head -c 256K "$work/random.bin" | dd of="$t/sparse.bin" bs=256K seek=$(( 4 * 4096 + 1 )) conv=notrunc status=none
    make_disk "$work/sparse.img" 64
    mkfs_on "$work/sparse.img" ext4 4096 "$t"
    rm -rf "${t:?}"
    echo "$stamp" > "$work/extra.stamp"
}

# sparse_case LABEL IMAGE FILE: the time of a copy of a file that is mostly holes, and the space the copy takes.
# The copy goes to the work folder's disk (where a copy that writes its holes as zeros is stopped after
# BENCH_SPARSE_TIMEOUT seconds, default 20), never to memory.
sparse_case() {
    local image=$root/$1 file=$2 saved_parent=$out_parent saved_limit=$limit
    echo "sparse copy: $file"
    out_parent=$work
    limit=${BENCH_SPARSE_TIMEOUT:-20}
    run_once "$tarnwick" --disk "$image" get "/sda1$file" copy
    local wall=$elapsed allocated="n/a" verdict
    (( timed_out )) && wall=">$limit"
    if [ -f "$out/copy" ]; then
        allocated=$(stat -c '%b %B' "$out/copy" | awk '{ printf "%.1f MiB", $1 * $2 / 1048576 }')
    fi
    verdict=$(awk -v w="${wall#>}" -v t="$timed_out" 'BEGIN { print (t == 0 && w <= 1 ? "pass" : "FAIL") }')
    row "sparse 16 GiB (1 MiB data): time" "$(seconds "$wall")" "" "" "" "<= 1 s" "$verdict"
    verdict=$(awk -v a="$allocated" 'BEGIN { print (a != "n/a" && a + 0 <= 4 ? "pass" : "FAIL") }')
    (( timed_out )) && allocated="$allocated (stopped)"
    row "sparse 16 GiB: space taken" "$allocated" "(allocated size of the copy)" "" "" "<= 4 MiB" "$verdict"
    fresh_out
    out_parent=$saved_parent
    limit=$saved_limit
}

# slow_case IMAGE FILE: the copy from a slow drive to a slow target (scripts/bench/slow_io.c, preloaded): every MiB
# read from the image costs BENCH_SLOW_US_PER_MIB microseconds (default 8000) and every MiB written to the copy's
# folder as much, so that reading and writing each take about 2 s for 256 MiB. The library reports the delays it
# served. A copy that overlaps reading and writing takes about the larger of the two; one that alternates, as dd
# does, their sum. dd runs under the same delays, side by side.
slow_case() {
    local image=$root/$1 file=$2
    local library=$work/slow_io.so report=$work/slow_io.report
    if ! cc -shared -fPIC -O2 -o "$library" scripts/bench/slow_io.c -ldl 2> "$work/stderr"; then
        row "slow drive and target" "n/a" "(slow_io.c did not build)" "" "" "" ""
        return
    fi
    local per_mib=${BENCH_SLOW_US_PER_MIB:-8000}
    echo "slow drive and target: $file, $per_mib us a MiB read and a MiB written"
    local slow=(env LD_PRELOAD="$library" SLOW_READS_PATH="$(realpath "$image")"
                SLOW_WRITES_DIR="$(realpath "$out_parent")/tarnwick-bench-out" SLOW_IO_REPORT="$report"
                SLOW_READ_US_PER_MIB="$per_mib" SLOW_WRITE_US_PER_MIB="$per_mib")
    rm -f "$report"
    measure "${slow[@]}" "$tarnwick" --disk "$image" get "/sda1$file" copy
    local ours=$median reads writes
    read -r reads writes < <(tail -n 1 "$report" 2> /dev/null || echo "0 0")
    dd_script "$image" "$file" > /dev/null
    rm -f "$report"
    measure "${slow[@]}" bash "$work/dd.sh"
    local dd_time=$median larger sum
    larger=$(awk -v r="$reads" -v w="$writes" 'BEGIN { printf "%.4f", (r > w ? r : w) }')
    sum=$(awk -v r="$reads" -v w="$writes" 'BEGIN { printf "%.4f", r + w }')
    row "slow I/O: copy" "$(seconds "$ours")" "larger of reads, writes" "$(seconds "$larger")" \
        "$(ratio "$ours" "$larger")" "<= 1.2" "$(mark "$(ratio "$ours" "$larger")" 1.2)"
    row "slow I/O: copy" "$(seconds "$ours")" "reads + writes" "$(seconds "$sum")" "$(ratio "$ours" "$sum")" "" ""
    row "slow I/O: copy" "$(seconds "$ours")" "dd bs=1M, same delays" "$(seconds "$dd_time")" \
        "$(ratio "$ours" "$dd_time")" "" ""
}

# ---------------------------------------------------------------------------------------------------------------

started=$EPOCHREALTIME
build_host
make_disks
# Absolute paths: every run works in the output folder.
root=$work
tarnwick=$(cd "$build" && pwd)/tarnwick
if (( cold )); then
    echo "cache: the page cache is dropped before every run, of tarnwick and of its peers alike"
else
    echo "cache: warm; every case of tarnwick and of each peer is warmed by one unmeasured run (BENCH_COLD=1 drops the cache before every run where root may)"
fi
echo "runs: median of $runs (1 when the unmeasured run took over ${slow_seconds} s); a run is stopped after ${limit} s"

if wanted files; then
    file_case "ext4 (4 KiB, extents)" ext4.img /big.bin $(( 256 * 1048576 )) 0.8
    file_case "ext3 (4 KiB, block maps)" ext3.img /big.bin $(( 256 * 1048576 )) 1.0
    file_case "ext2 (1 KiB, block maps)" ext2.img /big.bin $(( 60 * 1048576 )) 1.2
fi
if wanted requests; then
    read_requests "ext4 read requests" ext4.img /big.bin $(( 256 * 1048576 )) 4
    read_requests "ext3 read requests" ext3.img /big.bin $(( 256 * 1048576 ))
    read_requests "ext2 read requests" ext2.img /big.bin $(( 60 * 1048576 ))
fi
if wanted folders; then folder_cases ext4.img; fi
if wanted groups; then groups_case groups.img; fi
if wanted long; then long_case ext4.img /long.bin; fi
if wanted sparse; then
    make_extra_disks
    sparse_case sparse.img /sparse.bin
fi
if wanted slow; then slow_case ext4.img /big.bin; fi

fresh_out
rm -rf "${out:?}"
echo
printf '%-30s|%12s|%-26s|%12s|%8s|%-10s|%s\n' "case" "tarnwick" "peer" "peer" "ratio" "goal" "mark"
printf '%s\n' "${rows[@]}"
echo
awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "bench: whole run %.0f s\n", b - a }'
exit 0
