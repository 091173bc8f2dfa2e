// md RAID superblocks, 0.90 and 1.x: where each lies on a member, its checksum, and the fields assembly needs.
#pragma once

#include "disk/block_source.h"

#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr uint32_t md_magic = 0xa92b4efc;

// The 0.90 superblock: 4 KiB in the last 64 KiB-aligned 64 KiB of the member; the data starts at byte 0.
inline constexpr uint64_t md_090_reserved_bytes = 64 * 1024;
inline constexpr size_t md_090_bytes = 4096;
inline constexpr size_t md_090_disks = 27;  // descriptors in the superblock, so at most this many raid_disks
namespace md_090 {
inline constexpr size_t magic = 0, major_version = 4, minor_version = 8, set_uuid0 = 20, ctime = 24, level = 28,
                        size_kib = 32, raid_disks = 40, set_uuid1 = 52, set_uuid2 = 56, set_uuid3 = 60,
                        sb_csum = 152, events_lo = 156, events_hi = 160, this_disk = 3968;
// Within a device descriptor (this_disk).
inline constexpr size_t disk_raid_disk = 12, disk_state = 16;
inline constexpr uint32_t state_faulty = 1u << 0, state_sync = 1u << 2;
}  // namespace md_090

// The 1.x superblock: 256 bytes, then two bytes of role per device slot (max_dev of them). 1.0 lies at the end,
// 1.1 at byte 0, 1.2 at 4 KiB; offsets and sizes in it count 512-byte sectors.
inline constexpr size_t md_1_header_bytes = 256;
inline constexpr size_t md_1_read_bytes = 4096;
// The kernel's limit: the roles must fit in the 4 KiB it reads, (4096 - 256) / 2 of them.
inline constexpr uint32_t md_1_max_dev = (md_1_read_bytes - md_1_header_bytes) / 2;
namespace md_1 {
inline constexpr size_t magic = 0, major_version = 4, feature_map = 8, pad0 = 12, set_uuid = 16, ctime = 64,
                        level = 72, size = 80, raid_disks = 92, data_offset = 128, data_size = 136,
                        super_offset = 144, dev_number = 160, events = 200, sb_csum = 216, max_dev = 220,
                        pad3 = 224, dev_roles = 256;
inline constexpr uint16_t role_spare = 0xffff, role_faulty = 0xfffe, role_journal = 0xfffd, role_max = 0xff00;
inline constexpr uint32_t feature_recovery_offset = 2, feature_bad_blocks = 8, feature_replacement = 16;
// Every feature bit the kernel knows; it refuses a superblock with any other, and so do we.
inline constexpr uint32_t feature_all = 0x1fff;
}  // namespace md_1

// A superblock's 0.90 or 1.x layout, and for 1.x where it lies.
enum class md_layout { v0_90, v1_0, v1_1, v1_2 };
const char* md_layout_name(md_layout layout);  // "0.90", "1.0", ...

// What a member's superblock says of it.
enum class md_state { in_sync, spare, faulty };

// The fields of one checked superblock, in bytes where the disk counts sectors.
struct md_member_info {
    md_layout layout = md_layout::v1_2;
    // The array's UUID; a 0.90 superblock's four words are stored most significant byte first, so that the bytes
    // in order print as mdadm prints either.
    uint8_t set_uuid[16] = {};
    int32_t level = 0;  // -4 multipath, -1 linear, 0, 1, 4, 5, 6, 10
    uint32_t raid_disks = 0;
    uint64_t events = 0;
    uint64_t ctime = 0;  // seconds
    md_state state = md_state::spare;
    uint32_t role = 0;  // the slot in the array when in_sync
    uint32_t feature_map = 0;  // 1.x only
    uint64_t super_offset = 0;  // bytes into the member
    uint64_t data_offset = 0;   // bytes into the member where the array's data starts
    uint64_t data_bytes = 0;    // bytes the member offers the array from data_offset on (1.x data_size)
    uint64_t array_bytes = 0;   // bytes of it the array uses (1.x size, 0.90 size), at most data_bytes for RAID1
};

// The checksums as the kernel's calc_sb_csum and calc_sb_1_csum compute them: 32-bit little-endian words summed
// in 64 bits with the checksum field taken as 0, the carry folded back once. bytes holds md_090_bytes for 0.90 and
// 256 + 2 * max_dev (at most md_1_read_bytes) for 1.x.
uint32_t md_090_checksum(const uint8_t* bytes);
uint32_t md_1_checksum(const uint8_t* bytes, uint32_t max_dev);

// Where a layout's superblock lies on a member of member_bytes; false when the member is too small to hold it.
bool md_superblock_offset(md_layout layout, uint64_t member_bytes, uint64_t& offset);

// The outcome of reading one layout's superblock.
enum class md_parse { absent, refused, valid };

// Checks the superblock of the layout read at its place on a member of member_bytes into info. absent when the
// magic or major version is not there; refused, with why, when the checksum fails, a count exceeds its bound or
// the data area does not fit the member, as the kernel refuses them. length is what was read (md_090_bytes or
// md_1_read_bytes).
md_parse parse_md_superblock(md_layout layout, const uint8_t* bytes, size_t length, uint64_t member_bytes,
                             md_member_info& info, std::string& why);

// The member's superblock, if any: every layout is read, and of the valid ones the newest by ctime is taken,
// the first of 0.90, 1.0, 1.1, 1.2 on a tie (as mdadm guesses a member's metadata). refused, with the first
// reason, when magic was found but no superblock checks out; absent when there is no magic at all (or no read).
md_parse probe_md_member(const block_source& member, md_member_info& info, std::string& why);

// The UUID as mdadm prints it: four groups of eight hex digits joined by colons.
std::string format_md_uuid(const uint8_t (&uuid)[16]);
