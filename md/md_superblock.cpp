// md RAID superblocks: finding each layout on a member, checking it as the kernel does, reading it into a record.
#include "md/md_superblock.h"

#include "disk/byte_order.h"

#include <cstdio>
#include <vector>

namespace {

constexpr uint64_t sector_bytes = 512;

uint64_t read_le64(const uint8_t* p, size_t offset)
{
    return static_cast<uint64_t>(read_le32(p, offset)) | (static_cast<uint64_t>(read_le32(p, offset + 4)) << 32);
}

void put_be32(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

// Sums little-endian words (and a trailing half word) of length bytes, skipping the checksum field at csum_at.
uint32_t fold_sum(const uint8_t* bytes, size_t length, size_t csum_at)
{
    uint64_t sum = 0;
    size_t at = 0;
    for (; at + 4 <= length; at += 4)
        sum += at == csum_at ? 0 : read_le32(bytes, at);
    if (length - at >= 2)
        sum += read_le16(bytes, at);
    return static_cast<uint32_t>((sum & 0xffffffff) + (sum >> 32));
}

md_parse refuse(std::string& why, std::string text)
{
    why = std::move(text);
    return md_parse::refused;
}

md_parse parse_090(const uint8_t* sb, uint64_t super_offset, md_member_info& info, std::string& why)
{
    namespace f = md_090;
    if (read_le32(sb, f::magic) != md_magic)
        return md_parse::absent;
    const uint32_t major = read_le32(sb, f::major_version);
    const uint32_t minor = read_le32(sb, f::minor_version);
    if (major != 0)
        return refuse(why, "major version " + std::to_string(major) + " at the 0.90 place");
    if (minor != 90 && minor != 91)
        return refuse(why, "version 0." + std::to_string(minor) + " is not 0.90 or 0.91");
    if (md_090_checksum(sb) != read_le32(sb, f::sb_csum))
        return refuse(why, "0.90 checksum does not match");
    const uint32_t raid_disks = read_le32(sb, f::raid_disks);
    if (raid_disks == 0 || raid_disks > md_090_disks)
        return refuse(why, "0.90 raid_disks " + std::to_string(raid_disks) + " is not 1 to 27");
    const int32_t level = static_cast<int32_t>(read_le32(sb, f::level));
    const uint64_t array_bytes = static_cast<uint64_t>(read_le32(sb, f::size_kib)) * 1024;
    // As the kernel: a redundant level's data must end before the superblock's reserved area.
    if (level >= 1 && array_bytes > super_offset)
        return refuse(why, "0.90 size of " + std::to_string(array_bytes / 1024) + " KiB does not fit the member");

    info.layout = md_layout::v0_90;
    put_be32(info.set_uuid, read_le32(sb, f::set_uuid0));
    put_be32(info.set_uuid + 4, read_le32(sb, f::set_uuid1));
    put_be32(info.set_uuid + 8, read_le32(sb, f::set_uuid2));
    put_be32(info.set_uuid + 12, read_le32(sb, f::set_uuid3));
    info.level = level;
    info.raid_disks = raid_disks;
    info.events = (static_cast<uint64_t>(read_le32(sb, f::events_hi)) << 32) | read_le32(sb, f::events_lo);
    info.ctime = read_le32(sb, f::ctime);
    const uint32_t state = read_le32(sb, f::this_disk + f::disk_state);
    info.role = read_le32(sb, f::this_disk + f::disk_raid_disk);
    // As super_90_validate: faulty wins; in sync only with the sync bit; active without it is still recovering.
    if (state & f::state_faulty)
        info.state = md_state::faulty;
    else if ((state & f::state_sync) && info.role < raid_disks)
        info.state = md_state::in_sync;
    else
        info.state = md_state::spare;
    info.feature_map = 0;
    info.super_offset = super_offset;
    info.data_offset = 0;
    info.data_bytes = super_offset;
    info.array_bytes = array_bytes;
    return md_parse::valid;
}

md_parse parse_1(md_layout layout, const uint8_t* sb, size_t length, uint64_t super_offset, uint64_t member_bytes,
                 md_member_info& info, std::string& why)
{
    namespace f = md_1;
    const std::string name = md_layout_name(layout);
    if (read_le32(sb, f::magic) != md_magic)
        return md_parse::absent;
    const uint32_t major = read_le32(sb, f::major_version);
    if (major != 1)
        return refuse(why, "major version " + std::to_string(major) + " at the " + name + " place");
    const uint32_t max_dev = read_le32(sb, f::max_dev);
    if (max_dev > md_1_max_dev || md_1_header_bytes + 2 * static_cast<size_t>(max_dev) > length)
        return refuse(why, name + " max_dev " + std::to_string(max_dev) + " is above the kernel's limit of " +
                               std::to_string(md_1_max_dev));
    if (md_1_checksum(sb, max_dev) != read_le32(sb, f::sb_csum))
        return refuse(why, name + " checksum does not match");
    const uint32_t features = read_le32(sb, f::feature_map);
    if (features & ~f::feature_all)
        return refuse(why, name + " has unknown features " + std::to_string(features & ~f::feature_all));
    // The kernel takes padding that is not zero for a feature it does not know.
    bool padded = read_le32(sb, f::pad0) == 0;
    for (size_t at = f::pad3; at < f::dev_roles; ++at)
        padded = padded && sb[at] == 0;
    if (!padded)
        return refuse(why, name + " padding is not zero");
    const uint64_t super_sector = super_offset / sector_bytes;
    if (read_le64(sb, f::super_offset) != super_sector)
        return refuse(why, name + " says it lies at sector " + std::to_string(read_le64(sb, f::super_offset)) +
                               ", not " + std::to_string(super_sector));

    // Sizes in sectors; each checked against what holds it before any sum or product, so none overflows.
    const uint64_t member_sectors = member_bytes / sector_bytes;
    const uint64_t data_offset = read_le64(sb, f::data_offset);
    const uint64_t data_size = read_le64(sb, f::data_size);
    const uint64_t size = read_le64(sb, f::size);
    // The data must lie after the superblock and its roles (1.1, 1.2) or end before it (1.0), inside the member.
    const uint64_t sb_sectors = (md_1_header_bytes + 2 * uint64_t{max_dev} + sector_bytes - 1) / sector_bytes;
    const uint64_t data_start = layout == md_layout::v1_0 ? 0 : super_sector + sb_sectors;
    const uint64_t data_end = layout == md_layout::v1_0 ? super_sector : member_sectors;
    if (data_size < 10)
        return refuse(why, name + " data size of " + std::to_string(data_size) + " sectors is too small");
    if (data_offset < data_start || data_offset > data_end || data_size > data_end - data_offset)
        return refuse(why, name + " data area (" + std::to_string(data_offset) + " + " + std::to_string(data_size) +
                               " sectors) does not fit the member");
    if (size > data_size)
        return refuse(why, name + " used size exceeds its data size");

    info.layout = layout;
    for (size_t i = 0; i < 16; ++i)
        info.set_uuid[i] = sb[f::set_uuid + i];
    info.level = static_cast<int32_t>(read_le32(sb, f::level));
    info.raid_disks = read_le32(sb, f::raid_disks);
    info.events = read_le64(sb, f::events);
    info.ctime = read_le64(sb, f::ctime) & ((uint64_t{1} << 40) - 1);
    info.feature_map = features;
    const uint32_t dev_number = read_le32(sb, f::dev_number);
    const uint16_t role = dev_number < max_dev ? read_le16(sb, f::dev_roles + 2 * size_t{dev_number}) : f::role_spare;
    info.role = role;
    // As super_1_validate: a slot past the roles is a spare; a member still being recovered is not in sync.
    if (role == f::role_faulty)
        info.state = md_state::faulty;
    else if (role >= f::role_max || role >= info.raid_disks || (features & f::feature_recovery_offset))
        info.state = md_state::spare;
    else
        info.state = md_state::in_sync;
    info.super_offset = super_offset;
    info.data_offset = data_offset * sector_bytes;
    info.data_bytes = data_size * sector_bytes;
    info.array_bytes = size * sector_bytes;
    return md_parse::valid;
}

}  // namespace

const char* md_layout_name(md_layout layout)
{
    switch (layout) {
    case md_layout::v0_90:
        return "0.90";
    case md_layout::v1_0:
        return "1.0";
    case md_layout::v1_1:
        return "1.1";
    case md_layout::v1_2:
        return "1.2";
    }
    return "?";
}

uint32_t md_090_checksum(const uint8_t* bytes)
{
    return fold_sum(bytes, md_090_bytes, md_090::sb_csum);
}

uint32_t md_1_checksum(const uint8_t* bytes, uint32_t max_dev)
{
    return fold_sum(bytes, md_1_header_bytes + 2 * size_t{max_dev}, md_1::sb_csum);
}

bool md_superblock_offset(md_layout layout, uint64_t member_bytes, uint64_t& offset)
{
    const uint64_t sectors = member_bytes / sector_bytes;
    switch (layout) {
    case md_layout::v0_90: {
        const uint64_t aligned = member_bytes / md_090_reserved_bytes * md_090_reserved_bytes;
        if (aligned < md_090_reserved_bytes)
            return false;
        offset = aligned - md_090_reserved_bytes;
        return true;
    }
    case md_layout::v1_0:
        // The kernel's (sectors - 16) & ~7: 8 to 12 KiB before the end, so a 4 KiB read always fits.
        if (sectors < 16)
            return false;
        offset = ((sectors - 16) & ~uint64_t{7}) * sector_bytes;
        return true;
    case md_layout::v1_1:
        offset = 0;
        return member_bytes >= md_1_read_bytes;
    case md_layout::v1_2:
        offset = 8 * sector_bytes;
        return member_bytes >= offset + md_1_read_bytes;
    }
    return false;
}

md_parse parse_md_superblock(md_layout layout, const uint8_t* bytes, size_t length, uint64_t member_bytes,
                             md_member_info& info, std::string& why)
{
    uint64_t offset = 0;
    if (!md_superblock_offset(layout, member_bytes, offset))
        return md_parse::absent;
    if (layout == md_layout::v0_90)
        return length < md_090_bytes ? md_parse::absent : parse_090(bytes, offset, info, why);
    if (length < md_1_header_bytes)
        return md_parse::absent;
    return parse_1(layout, bytes, length, offset, member_bytes, info, why);
}

md_parse probe_md_member(const block_source& member, md_member_info& info, std::string& why)
{
    constexpr md_layout order[] = {md_layout::v0_90, md_layout::v1_0, md_layout::v1_1, md_layout::v1_2};
    static_assert(md_090_bytes == md_1_read_bytes);
    std::vector<uint8_t> bytes(md_1_read_bytes);
    md_parse result = md_parse::absent;
    for (md_layout layout : order) {
        uint64_t offset = 0;
        if (!md_superblock_offset(layout, member.size, offset) ||
            !read_source(member, offset, bytes.size(), bytes.data()))
            continue;
        md_member_info found;
        std::string reason;
        switch (parse_md_superblock(layout, bytes.data(), bytes.size(), member.size, found, reason)) {
        case md_parse::valid:
            if (result != md_parse::valid || found.ctime > info.ctime) {
                info = found;
                result = md_parse::valid;
            }
            break;
        case md_parse::refused:
            if (result == md_parse::absent) {
                why = std::move(reason);
                result = md_parse::refused;
            }
            break;
        case md_parse::absent:
            break;
        }
    }
    return result;
}

std::string format_md_uuid(const uint8_t (&uuid)[16])
{
    std::string text;
    char hex[3];
    for (size_t i = 0; i < 16; ++i) {
        if (i != 0 && i % 4 == 0)
            text += ':';
        std::snprintf(hex, sizeof hex, "%02x", uuid[i]);
        text += hex;
    }
    return text;
}
