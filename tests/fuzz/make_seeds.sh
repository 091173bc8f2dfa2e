#!/usr/bin/env bash
# Builds the fuzzer's seed disks, each a few hundred KiB: MBR, EBR and GUID tables written by sfdisk, ext2, ext3 and
# ext4 volumes filled by mke2fs -d with block maps, extent trees, holes, nested folders and links, inline data,
# bigalloc, journals that need replaying (one of them ending in fast commits), an ext4 damaged with debugfs where
# its inodes and records disagree, extents and attributes damaged as Linux refuses them, an LVM2 physical volume
# whose logical volume holds an ext2, and the two members of a RAID1 as partitions.
# usage: make_seeds.sh OUTDIR
set -euo pipefail

out=${1:?usage: make_seeds.sh OUTDIR}
export PATH="$PATH:/usr/sbin:/sbin"
export E2FSPROGS_FAKE_TIME=1700000000
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d)
trap 'rm -rf "${work:?}"' EXIT

# A small tree for a volume with BLOCK-byte blocks: direct, single-indirect and sparse files, a folder of several
# blocks, three levels of folders and symbolic links, one too long for i_block.
make_tree() {
    local d=$1 block=$2 i
    mkdir -p "$d/a/b/c" "$d/list"
    printf 'hello\n' > "$d/hello.txt"
    : > "$d/empty"
    head -c $(( 14 * block + 5 )) /dev/urandom > "$d/indirect.bin"
    truncate -s $(( 24 * block )) "$d/sparse.bin"
    printf 'tail' | dd of="$d/sparse.bin" bs="$block" seek=20 conv=notrunc status=none
    printf 'deep\n' > "$d/a/b/c/deep.txt"
    ln -s a/b/c/deep.txt "$d/link"
    ln -s "$(printf './%.0s' $(seq 1 30))a/b/c/deep.txt" "$d/long_link"
    for i in $(seq 1 30); do : > "$d/list/entry_with_a_longer_name_$i"; done
}

# seed NAME SIZE_KIB, then "start size type fstype block" for each partition (fstype - for none).
seed() {
    local name=$1 image=$out/$1.img n=0 tables="label: dos"$'\n'"label-id: 0x54574b00"$'\n' args
    rm -f "$image"
    truncate -s "${2}K" "$image"
    shift 2
    args=("$@")
    while [ $# -ge 5 ]; do tables+="start=$1, size=$2, type=$3"$'\n'; shift 5; done
    printf '%s' "$tables" | sfdisk -q --wipe never "$image"
    set -- "${args[@]}"
    while [ $# -ge 5 ]; do
        if [ "$4" != - ]; then
            n=$(( n + 1 ))
            make_tree "$work/$name$n" "$5"
            mke2fs -q -F -t "$4" -b "$5" -O ^resize_inode,^has_journal -N 64 -E "offset=$(( $1 * 512 ))" \
                -d "$work/$name$n" "$image" $(( $2 * 512 / $5 )) >/dev/null
        fi
        shift 5
    done
}

seed ext2_1k 320  8 600 83 ext2 1024
seed ext4_1k 384  8 744 83 ext4 1024
seed ext2_4k 640  8 1256 83 ext2 4096
# An ext4 whose inodes say other than its records: a zeroed folder, a mode of no type, a folder behind an unwritten
# extent, a folder's stray i_size_high and the compressed-clusters flag.
seed damaged 384  8 744 83 ext4 1024
printf '%s\n' 'clri /a/b/c' 'sif /hello.txt mode 0x31a4' 'sif /a block[4] 0x8001' 'sif /list size_hi 1' \
    'sif /list flags 0x80200' | debugfs -w -f - "$out/damaged.img?offset=4096" > /dev/null 2>&1
seed logical 768  8 600 83 ext2 1024  616 920 5 - -  624 440 83 ext2 1024  1072 456 83 ext4 1024
# A GUID table behind its protective MBR: a Linux-data ext2, a basic-data ext4, an entry of another type, and the
# backup table in the last 33 sectors.
gpt=$out/gpt.img
rm -f "$gpt"
truncate -s 704K "$gpt"
sfdisk -q --wipe never "$gpt" <<'PARTS'
label: gpt
start=40, size=600, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4
start=640, size=40, type=0657FD6D-A4AB-43C4-84E5-0933C84B4F4F
start=680, size=680, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7
PARTS
make_tree "$work/gpt1" 1024
make_tree "$work/gpt3" 1024
mke2fs -q -F -t ext2 -b 1024 -O ^resize_inode -N 64 -E offset=$(( 40 * 512 )) -d "$work/gpt1" "$gpt" 300 >/dev/null
mke2fs -q -F -t ext4 -b 1024 -O ^resize_inode,^has_journal -N 64 -E offset=$(( 680 * 512 )) -d "$work/gpt3" "$gpt" 340 \
    >/dev/null
# Inline data (files and folders inside 256-byte inodes) in primary 1, bigalloc (clusters of 4 blocks) in primary 2.
features=$out/features.img
rm -f "$features"
truncate -s 704K "$features"
printf 'label: dos\nlabel-id: 0x54574b01\nstart=8, size=600, type=83\nstart=608, size=800, type=83\n' |
    sfdisk -q --wipe never "$features"
make_tree "$work/features1" 1024
printf 'a line that needs more room than the sixty bytes of the block array\n' > "$work/features1/a/longer.txt"
make_tree "$work/features2" 1024
mke2fs -q -F -t ext4 -b 1024 -O inline_data,^resize_inode,^has_journal -I 256 -N 64 -E offset=$(( 8 * 512 )) \
    -d "$work/features1" "$features" 300 >/dev/null
mke2fs -q -F -t ext4 -b 1024 -O bigalloc,^resize_inode,^has_journal -C 4096 -N 64 -E offset=$(( 608 * 512 )) \
    -d "$work/features2" "$features" 400 >/dev/null
# Damage Linux refuses, made with debugfs on an ext4 with inline data: a root whose extents are out of order, an
# inline file whose system.data value lies inside the attribute entries, and a file in blocks whose user attribute
# does the same. (A volume read through its superblock copy needs more than 8 MiB, too large for a seed.)
refused=$out/refused.img
rm -f "$refused"
truncate -s 384K "$refused"
printf 'label: dos\nlabel-id: 0x54574b02\nstart=8, size=744, type=83\n' | sfdisk -q --wipe never "$refused"
make_tree "$work/refused" 1024
truncate -s $(( 21 * 1024 )) "$work/refused/swapped.bin"
for o in 0 10 20; do
    printf 'at %d' "$o" | dd of="$work/refused/swapped.bin" bs=1024 seek="$o" conv=notrunc status=none
done
head -c 100 /dev/urandom | od -An -tx1 | tr -d ' \n' | head -c 100 > "$work/refused/inline.txt"
mke2fs -q -F -t ext4 -b 1024 -O inline_data,^resize_inode,^has_journal,^metadata_csum -I 256 -N 64 \
    -E offset=$(( 8 * 512 )) -d "$work/refused" "$refused" 372 >/dev/null
refused_at="$refused?offset=$(( 8 * 512 ))"
# Words 3 to 5 of i_block are the root's first extent (0, at A), 6 to 8 its second (10, at B): swapped.
set -- $(debugfs -R "stat /swapped.bin" "$refused_at" 2> /dev/null |
    sed -n 's/^(0):\([0-9]*\), (10):\([0-9]*\).*/\1 \2/p')
{
    printf "sif /swapped.bin block[%s] %s\n" 3 10 5 "$2" 6 0 8 "$1"
    echo "ea_set /indirect.bin user.note a-note"
} | debugfs -w -f - "$refused_at" > /dev/null 2>&1
# The first attribute entry follows the 128 bytes, i_extra_isize (32) and the magic; its value offset is at byte 2.
for name in /inline.txt /indirect.bin; do
    set -- $(debugfs -R "imap $name" "$refused_at" 2> /dev/null |
        sed -n 's/.*located at block \([0-9]*\), offset 0x\([0-9a-f]*\).*/\1 \2/p')
    printf '\010\0' |
        dd of="$refused" bs=1 seek=$(( 8 * 512 + $1 * 1024 + 0x$2 + 128 + 32 + 4 + 2 )) conv=notrunc status=none
done
# A volume left with committed transactions in its journal: a new file whose directory, inode and bitmap blocks
# are only in the journal, and a revoked block. mke2fs makes no journal under 1024 blocks, so it is placed at block
# 300 of the volume and cut to its first 64 blocks (the log uses 13): the journal inode, the journal superblock
# (no journal checksums, so it needs no new one) and the volume's block count say 64 blocks and 364.
journal_work=$work/journal
mkdir -p "$journal_work/tree/a"
make_tree "$journal_work/tree" 1024
truncate -s $(( 2100 * 1024 )) "$journal_work/volume.img"
mke2fs -q -F -t ext4 -b 1024 -O ^resize_inode -N 64 -J size=1,location=300 -d "$journal_work/tree" \
    "$journal_work/volume.img" 2100 > /dev/null
cp "$journal_work/volume.img" "$journal_work/after.img"
printf 'only in the journal\n' > "$journal_work/new.txt"
debugfs -w -R "write $journal_work/new.txt a/new.txt" "$journal_work/after.img" > /dev/null 2>&1
logged=$({ cmp -l "$journal_work/volume.img" "$journal_work/after.img" || true; } | awk '{print int(($1 - 1) / 1024)}' |
    uniq | paste -sd,)
: > "$journal_work/t1.bin"
for b in ${logged//,/ }; do
    dd if="$journal_work/after.img" bs=1024 skip="$b" count=1 status=none >> "$journal_work/t1.bin"
done
revoked=$(debugfs -R "bmap hello.txt 0" "$journal_work/volume.img" 2> /dev/null)
head -c 1024 /dev/zero >> "$journal_work/t1.bin"
printf 'jo\njw -b %s,%s %s\njc\njo\njw -r %s /dev/null\njc\n' "$logged" "$revoked" "$journal_work/t1.bin" "$revoked" |
    debugfs -w -f - "$journal_work/volume.img" > /dev/null 2>&1
printf 'ssv blocks_count 364\nsif <8> size 65536\nsif <8> block[4] 64\n' |
    debugfs -w -f - "$journal_work/volume.img" > /dev/null 2>&1
printf '\0\0\0\x40' | dd of="$journal_work/volume.img" bs=1 seek=$(( 300 * 1024 + 16 )) conv=notrunc status=none
journal=$out/journal.img
rm -f "$journal"
truncate -s $(( 4 * 1024 + 364 * 1024 )) "$journal"
printf 'label: dos\nlabel-id: 0x54574b01\nstart=8, size=728, type=83\n' | sfdisk -q --wipe never "$journal"
dd if="$journal_work/volume.img" of="$journal" bs=512 seek=8 count=728 conv=notrunc status=none
# A volume whose journal ends in fast commits, laid out by hand as the kernel writes them: a head, then a name
# removed and one added, a range removed and one added, an inode's new size, a new file, each fast commit closed
# by a tail whose CRC-32C covers its tags; then one whose tail does not check out. The journal is cut to 64 blocks
# as above, the last 8 of them the fast-commit area, and its log is empty: the fast commits carry its sequence.
le16() { printf '%02x%02x' $(( $1 & 255 )) $(( $1 >> 8 & 255 )); }
le32() { printf '%s%s' "$(le16 $(( $1 & 65535 )))" "$(le16 $(( $1 >> 16 & 65535 )))"; }
# CRC-32C of the bytes given in hex, continued from $2 without inversion, as the fast-commit tail takes it.
crc32c() {
    local hex=$1 crc=$2 i j
    for (( i = 0; i < ${#hex}; i += 2 )); do
        crc=$(( crc ^ 16#${hex:i:2} ))
        for (( j = 0; j < 8; j++ )); do crc=$(( (crc >> 1) ^ (0x82F63B78 & -(crc & 1)) )); done
    done
    echo "$crc"
}
fc_area='' fc_crc=0
fc_tag() {
    local tag
    tag=$(le16 "$1")$(le16 $(( ${#2} / 2 )))$2
    fc_crc=$(crc32c "$tag" "$fc_crc")
    fc_area+=$tag
}
# A tail for transaction $1 that fills the rest of its block; any $2 spoils its CRC.
fc_tail() {
    local used=$(( ${#fc_area} / 2 % 1024 )) tag spoil=0
    if [ -n "${2:-}" ]; then spoil=1; fi
    tag=$(le16 8)$(le16 $(( 1024 - used - 4 )))$(le32 "$1")
    fc_crc=$(( $(crc32c "$tag" "$fc_crc") ^ spoil ))
    fc_area+=$tag$(le32 "$fc_crc")$(printf "%0$(( (1024 - used - 12) * 2 ))d" 0)
    fc_crc=0
}
fc_work=$work/fast_commit
vol=$fc_work/volume.img
mkdir -p "$fc_work/tree"
make_tree "$fc_work/tree" 1024
truncate -s $(( 2100 * 1024 )) "$vol"
mke2fs -q -F -t ext4 -b 1024 -I 256 -O ^resize_inode,fast_commit -N 64 -J size=1,location=300 -d "$fc_work/tree" \
    "$vol" 2100 > /dev/null
inode_of() { debugfs -R "stat $1" "$vol" 2> /dev/null | sed -n 's/^Inode: \([0-9]*\).*/\1/p'; }
raw_inode() {
    local at
    at=$(debugfs -R "imap $1" "$vol" 2> /dev/null | sed -n 's/.*located at block \([0-9]*\), offset \(0x[0-9a-f]*\)/\1 \2/p')
    od -An -tx1 -v -j $(( ${at% *} * 1024 + ${at#* } )) -N 160 "$vol" | tr -d ' \n'
}
hello=$(inode_of /hello.txt)
new=$(debugfs -R ffi "$vol" 2> /dev/null | awk '/found:/ { print $NF }')
free=$(debugfs -R ffb "$vol" 2> /dev/null | awk '/found:/ { print $NF }')
printf 'written before its fast commit\n' | dd of="$vol" bs=1024 seek="$free" conv=notrunc status=none
raw=$(raw_inode /hello.txt)
fc_tag 9 "$(le32 0)$(le32 1)"
fc_tag 5 "$(le32 2)$(le32 "$hello")$(printf hello.txt | od -An -tx1 | tr -d ' \n')"
fc_tag 4 "$(le32 "$(inode_of /a)")$(le32 "$hello")$(printf linked.txt | od -An -tx1 | tr -d ' \n')"
fc_tag 2 "$(le32 "$(inode_of /indirect.bin)")$(le32 2)$(le32 5)"
fc_tag 1 "$(le32 "$(inode_of /sparse.bin)")$(le32 3)$(le16 1)$(le16 0)$(le32 "$free")"
fc_tag 6 "$(le32 "$(inode_of /empty)")$(raw_inode /empty | cut -c1-8)$(le32 2000)$(raw_inode /empty | cut -c17-)"
fc_tail 1
fc_tag 6 "$(le32 "$new")${raw:0:8}$(le32 31)${raw:16}"
fc_tag 1 "$(le32 "$new")$(le32 0)$(le16 1)$(le16 0)$(le32 "$free")"
fc_tag 3 "$(le32 2)$(le32 "$new")$(printf made_by_hand.txt | od -An -tx1 | tr -d ' \n')"
fc_tail 1
fc_tag 5 "$(le32 "$(inode_of /a)")$(le32 "$hello")$(printf linked.txt | od -An -tx1 | tr -d ' \n')"
fc_tail 1 spoiled
printf '%b' "$(printf '%s' "$fc_area" | sed 's/../\\x&/g')" |
    dd of="$vol" bs=1024 seek=$(( 300 + 64 - 8 + 1 )) conv=notrunc status=none
printf 'ssv blocks_count 364\nsif <8> size 65536\nsif <8> block[4] 64\nfeature needs_recovery\n' |
    debugfs -w -f - "$vol" > /dev/null 2>&1
# The journal superblock: 64 blocks (s_maxlen), a log to replay from block 1 (s_start), fast commits
# (s_feature_incompat), 8 of them (s_num_fc_blks).
for field in 16:64 28:1 40:32 84:8; do
    printf '%b' "$(printf '\\x%02x' 0 0 0 "${field#*:}")" |
        dd of="$vol" bs=1 seek=$(( 300 * 1024 + ${field%:*} )) conv=notrunc status=none
done
fast_commit=$out/fast_commit.img
rm -f "$fast_commit"
truncate -s $(( 4 * 1024 + 364 * 1024 )) "$fast_commit"
printf 'label: dos\nlabel-id: 0x54574b02\nstart=8, size=728, type=83\n' | sfdisk -q --wipe never "$fast_commit"
dd if="$vol" of="$fast_commit" bs=512 seek=8 count=728 conv=notrunc status=none
# A whole drive that is an LVM2 physical volume (576 KiB, just above the smallest pvcreate takes) with a volume
# group whose one linear logical volume holds an ext2, made by the lvm2 tools on a loop device without activation.
# Needs root and lvm2; left out with a message without them.
lvm_seed=$out/lvm.img
rm -f "$lvm_seed"
if [ "$(id -u)" -eq 0 ] && command -v lvcreate > /dev/null; then
    truncate -s 576K "$lvm_seed"
    loop=$(losetup -f --show "$lvm_seed")
    cfg="devices { filter=[\"a|^$loop\$|\",\"r|.*|\"] obtain_device_list_from_udev=0 use_devicesfile=0 pv_min_size=512 }
 activation { udev_sync=0 udev_rules=0 } global { locking_type=0 } backup { backup=0 archive=0 }"
    lvm_ok=1
    {
        pvcreate --config "$cfg" -y --metadatasize 32k --dataalignment 4k "$loop" &&
        vgcreate --config "$cfg" --driverloaded n -s 4k seed "$loop" &&
        lvcreate --config "$cfg" --driverloaded n -an -Zn -l 100 -n root seed &&
        pe_start=$(pvs --config "$cfg" --noheadings --units s --nosuffix -o pe_start "$loop" | tr -d ' ') &&
        first=$(lvs --config "$cfg" --noheadings --segments -o seg_pe_ranges seed/root | sed 's/.*:\([0-9]*\)-.*/\1/')
    } > "$work/lvm.log" 2>&1 || lvm_ok=0
    losetup -d "$loop"
    if [ "$lvm_ok" = 1 ]; then
        make_tree "$work/lvm" 1024
        truncate -s 400K "$work/lvm.ext2"
        mke2fs -q -F -t ext2 -b 1024 -O ^resize_inode -N 64 -d "$work/lvm" "$work/lvm.ext2" 400 > /dev/null
        dd if="$work/lvm.ext2" of="$lvm_seed" bs=512 seek=$(( pe_start + first * 8 )) conv=notrunc status=none
    else
        echo "make_seeds.sh: the LVM seed was not made:" >&2; cat "$work/lvm.log" >&2; rm -f "$lvm_seed"
    fi
else
    echo "make_seeds.sh: the LVM seed needs root and lvm2; left out" >&2
fi
# Two partitions (type fd) that are the members of a 1.2 RAID1 mirroring an ext4, its data from sector 16 of each.
# shellcheck source=../fixtures/make_md.sh
source "$(dirname "${BASH_SOURCE[0]}")/../fixtures/make_md.sh"
mirror=$out/md_raid1.img
rm -f "$mirror"
truncate -s 704K "$mirror"
printf 'label: dos\nlabel-id: 0x54574b03\nstart=8, size=680, type=fd\nstart=688, size=680, type=fd\n' |
    sfdisk -q --wipe never "$mirror"
make_tree "$work/md" 1024
mke2fs -q -F -t ext4 -b 1024 -O ^resize_inode,^has_journal -N 64 -E offset=$(( 24 * 512 )) -d "$work/md" "$mirror" \
    332 > /dev/null
dd if="$mirror" of="$mirror" bs=512 skip=24 seek=704 count=664 conv=notrunc status=none
for n in 0 1; do
    md_member "$mirror" $(( (8 + 680 * n) * 512 )) $(( 680 * 512 )) 1.2 5457b0035457b0035457b0035457b003 1 2 5 "$n" 16 664
done
echo "seed disks written to $out"
