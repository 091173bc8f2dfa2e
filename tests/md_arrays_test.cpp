// md arrays: members written by fixtures/make_md.sh, read back by mdadm --examine, assembled and read.
#include "md/md_arrays.h"
#include "md/md_superblock.h"

#include "disk/partition.h"
#include "test_support.h"

#include <filesystem>
#include <fstream>
#include <random>

namespace {

std::string md_image(const std::string& name)
{
    return fixture_path("md/" + name + ".img");
}

class md_arrays_test : public scratch_test {
protected:
    void SetUp() override
    {
        scratch_test::SetUp();
        if (run_command("PATH=$PATH:/usr/sbin:/sbin command -v mdadm").empty())
            GTEST_SKIP() << "mdadm is not installed";
    }

    // The image as the next drive, a whole-drive source named after it.
    named_source drive(const std::string& path, const std::string& name)
    {
        char device[30];
        format_device_name(device, test_control::add_drive_file(path));
        disks.push_back(open_physical_disk(device));
        return {name, make_drive_source(disks.back()->device, 512, disks.back()->drive_bytes, name)};
    }

    named_source member(const std::string& name) { return drive(md_image(name), name); }

    std::vector<uint8_t> read_all(const block_source& source)
    {
        std::vector<uint8_t> bytes(source.size);
        EXPECT_TRUE(read_source(source, 0, bytes.size(), bytes.data()));
        return bytes;
    }

    std::vector<std::unique_ptr<physical_disk>> disks;
};

bool has_notice(const md_assembly& assembly, const std::string& start, const std::string& part)
{
    for (const std::string& notice : assembly.notices)
        if (notice.rfind(start, 0) == 0 && notice.find(part) != std::string::npos)
            return true;
    return false;
}

TEST_F(md_arrays_test, mdadm_reads_each_member_as_written)
{
    struct expected {
        const char* name;
        const char* version;
        const char* level;
        const char* uuid;
        const char* events;
        const char* role;  // what mdadm says of this member's role
    };
    const expected members[] = {
        {"v12_a", "1.2", "raid1", "a1b2c3d4:e5f60718:293a4b5c:6d7e8f90", "20", "Active device 0"},
        {"v12_c", "1.2", "raid1", "a1b2c3d4:e5f60718:293a4b5c:6d7e8f90", "12", "Active device 2"},
        {"v12_d", "1.2", "raid1", "a1b2c3d4:e5f60718:293a4b5c:6d7e8f90", "20", "Device Role : spare"},
        {"v10_b", "1.0", "raid1", "10101010:20202020:30303030:40404040", "7", "Active device 1"},
        {"v11_a", "1.1", "raid1", "11111111:22222222:33333333:44444444", "9", "Active device 1"},
        {"v090_a", "0.90.00", "raid1", "09090909:aaaaaaaa:bbbbbbbb:cccccccc", "4294967299", "active sync"},
        {"r5_a", "1.2", "raid5", "55555555:66666666:77777777:88888888", "4", "Active device 0"},
        {"part2", "1.0", "raid1", "0a0b0c0d:0e0f0001:02030405:06070809", "3", "Active device 1"},
    };
    for (const expected& e : members) {
        std::string text = run_command("PATH=$PATH:/usr/sbin:/sbin mdadm --examine " + md_image(e.name) + " 2>&1");
        for (std::string want : {std::string("Version : ") + e.version, std::string("Raid Level : ") + e.level,
                                 std::string(e.uuid), std::string("Events : ") + e.events + "\n",
                                 std::string(e.role), std::string(" - correct")})
            EXPECT_NE(text.find(want), std::string::npos) << e.name << " lacks \"" << want << "\":\n" << text;
        // Where the data starts: after 1.1's superblock and 1.2's, before 1.0's.
        const std::string data = e.version[0] != '1'    ? "Used Dev Size : 2048"
                                  : e.version[2] == '0' ? "Used Dev Size : 4096 sectors"
                                  : e.version[2] == '1' ? "Data Offset : 16 sectors"
                                                        : "Data Offset : 64 sectors";
        EXPECT_NE(text.find(data), std::string::npos) << e.name << " lacks \"" << data << "\"";
    }
}

TEST_F(md_arrays_test, raid1_arrays_read_their_freshest_member_and_claim_every_member)
{
    // A stale member and a spare come first; the 0.90 mirror's stale half carries the higher low event word.
    const char* names[] = {"v12_c", "v12_a", "v12_d", "v12_b", "v10_a", "plain", "v10_b",
                           "v11_a", "v090_b", "v090_a", "r5_a"};
    std::vector<named_source> candidates;
    for (const char* name : names)
        candidates.push_back(std::string(name) == "plain" ? drive(md_image(name), name) : member(name));
    md_assembly assembly = assemble_md_arrays(candidates);

    const std::vector<uint8_t> volume = read_file_bytes(md_image("volume"));
    const std::pair<const char*, const char*> shown[] = {
        {"md127", "v12_a"}, {"md126", "v10_a"}, {"md125", "v11_a"}, {"md124", "v090_a"}};
    ASSERT_EQ(assembly.arrays.size(), std::size(shown));
    for (size_t i = 0; i < std::size(shown); ++i) {
        const named_source& array = assembly.arrays[i];
        EXPECT_EQ(array.name, shown[i].first);
        EXPECT_EQ(array.source->drive_name, shown[i].first);
        ASSERT_EQ(array.source->segments.size(), 1u);
        const block_source& below = *array.source->segments[0].targets[0].below;
        auto read_from = std::find_if(candidates.begin(), candidates.end(),
                                      [&](const named_source& c) { return c.source->id == below.id; });
        EXPECT_EQ(read_from->name, shown[i].second) << array.name;
        EXPECT_TRUE(read_all(*array.source) == volume) << array.name << " does not read the mirrored volume";
    }
    // Every member is claimed, the volume that is no member is not.
    ASSERT_EQ(assembly.claimed.size(), candidates.size() - 1);
    for (const named_source& candidate : candidates)
        EXPECT_EQ(std::count(assembly.claimed.begin(), assembly.claimed.end(), candidate.source->id),
                  candidate.name == "plain" ? 0 : 1) << candidate.name;
    EXPECT_TRUE(has_notice(assembly, "v12_c: stale", "events 12, the array is at 20"));
    EXPECT_TRUE(has_notice(assembly, "v12_d: spare", "a1b2c3d4:e5f60718:293a4b5c:6d7e8f90"));
    EXPECT_TRUE(has_notice(assembly, "v090_b: stale", "events 4294967295"));
    EXPECT_TRUE(has_notice(assembly, "md array 55555555:66666666:77777777:88888888 (r5_a)", "RAID5 is not read"));
    EXPECT_EQ(assembly.notices.size(), 4u);
}

TEST_F(md_arrays_test, members_on_partitions_form_an_array)
{
    named_source disk = drive(md_image("parts"), "sda");
    ASSERT_EQ(scan_partition_tables(*disks.back()), 0);
    std::vector<named_source> candidates{disk};
    for (const auto& entry : disks.back()->partition_list)
        candidates.push_back({"sda" + std::to_string(entry.number),
                              make_slice_source(disk.source, entry.byte_offset, entry.sector_count * 512)});
    ASSERT_EQ(candidates.size(), 3u);
    md_assembly assembly = assemble_md_arrays(candidates);
    ASSERT_EQ(assembly.arrays.size(), 1u);
    EXPECT_EQ(assembly.arrays[0].name, "md127");
    EXPECT_TRUE(read_all(*assembly.arrays[0].source) == read_file_bytes(md_image("volume")));
    EXPECT_EQ(assembly.claimed, (std::vector<uint64_t>{candidates[1].source->id, candidates[2].source->id}));
    EXPECT_TRUE(assembly.notices.empty());
}

// Signs the bytes afresh, so that a mutation reaches the checks behind the checksum.
void sign(md_layout layout, std::vector<uint8_t>& sb)
{
    uint32_t max_dev = sb[220] | sb[221] << 8 | sb[222] << 16 | static_cast<uint32_t>(sb[223]) << 24;
    if (layout == md_layout::v0_90)
        put_le32(&sb[md_090::sb_csum], md_090_checksum(sb.data()));
    else if (max_dev <= md_1_max_dev)
        put_le32(&sb[md_1::sb_csum], md_1_checksum(sb.data(), max_dev));
}

// Every field of each layout's superblock mutated, signed again or not, then random bytes and huge sizes: nothing
// crashes, every array made lies within its member and reads to its last byte, and a refusal says why.
TEST_F(md_arrays_test, hostile_superblocks_never_reach_past_their_member)
{
    std::mt19937 random(20240611);
    const std::pair<const char*, md_layout> members[] = {{"v12_a", md_layout::v1_2}, {"v11_a", md_layout::v1_1},
                                                         {"v10_a", md_layout::v1_0}, {"v090_a", md_layout::v0_90}};
    size_t arrays_made = 0;
    for (const auto& [name, layout] : members) {
        const std::string copy = (scratch / (std::string(name) + ".img")).string();
        std::filesystem::copy_file(md_image(name), copy);
        const uint64_t member_bytes = std::filesystem::file_size(copy);
        uint64_t at = 0;
        ASSERT_TRUE(md_superblock_offset(layout, member_bytes, at));
        const std::vector<uint8_t> original = read_file_bytes(copy, at, md_1_read_bytes);
        named_source candidate = drive(copy, name);
        // The superblock rewritten in place while the drive stays open, and the member assembled alone.
        auto assemble = [&](std::vector<uint8_t> bytes, bool signed_again) {
            if (signed_again)
                sign(layout, bytes);
            std::fstream out(copy, std::ios::in | std::ios::out | std::ios::binary);
            out.seekp(static_cast<std::streamoff>(at));
            out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
            out.close();
            md_assembly assembly = assemble_md_arrays({candidate});
            EXPECT_LE(assembly.arrays.size(), 1u);
            for (const named_source& array : assembly.arrays) {
                const source_target& target = array.source->segments.at(0).targets.at(0);
                EXPECT_EQ(target.below->id, candidate.source->id);
                EXPECT_LE(target.offset + array.source->size, member_bytes);
                uint8_t last = 0;
                EXPECT_TRUE(read_source(*array.source, array.source->size - 1, 1, &last));
                ++arrays_made;
            }
            return assembly;
        };
        // 1.x: every byte of the header and roles; 0.90: every word of the 4 KiB.
        const size_t span = layout == md_layout::v0_90 ? md_090_bytes : md_1_header_bytes + 2 * 128;
        const size_t step = layout == md_layout::v0_90 ? 4 : 1;
        for (size_t i = 0; i < span; i += step)
            for (uint8_t value : {uint8_t{0}, uint8_t{0xff}, uint8_t(original[i] ^ 1), uint8_t(original[i] ^ 0x80)})
                for (bool signed_again : {false, true}) {
                    std::vector<uint8_t> bytes = original;
                    bytes[i] = value;
                    assemble(bytes, signed_again);
                }
        for (int round = 0; round < 300; ++round) {
            std::vector<uint8_t> bytes = original;
            for (int n = 0; n < 1 + round % 8; ++n)
                bytes[random() % span] = static_cast<uint8_t>(random());
            assemble(bytes, true);
        }
        if (layout == md_layout::v0_90)
            continue;
        for (size_t field : {md_1::data_offset, md_1::data_size, md_1::size, md_1::super_offset, md_1::max_dev})
            for (uint64_t huge : {UINT64_MAX, UINT64_MAX / 512, member_bytes / 512, member_bytes / 512 - 9}) {
                std::vector<uint8_t> bytes = original;
                put_le32(&bytes[field], static_cast<uint32_t>(huge));
                if (field != md_1::max_dev)
                    put_le32(&bytes[field + 4], static_cast<uint32_t>(huge >> 32));
                assemble(bytes, true);
            }
        // A refused superblock leaves its source to the layers above, and says why.
        std::vector<uint8_t> bytes = original;
        bytes[100] ^= 1;
        md_assembly assembly = assemble(bytes, false);
        EXPECT_TRUE(assembly.claimed.empty());
        EXPECT_TRUE(has_notice(assembly, std::string(name) + ": md superblock refused", "checksum does not match"));
        put_le32(&bytes[md_1::max_dev], 5000);
        assembly = assemble(bytes, true);
        EXPECT_TRUE(assembly.claimed.empty());
        EXPECT_TRUE(has_notice(assembly, name, "max_dev 5000 is above the kernel's limit of 1920"));
        EXPECT_EQ(assemble(original, false).arrays.size(), 1u);
    }
    EXPECT_GT(arrays_made, 1000u);  // most single-bit mutations leave a valid mirror
}

}  // namespace
