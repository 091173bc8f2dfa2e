// md arrays and LVM logical volumes through the plugin: the root shows the assembled volume and not its members,
// its files copy byte for byte, and what is found and not shown is told to the host's log once.
#include "disk/byte_order.h"
#include "md/md_superblock.h"
#include "plugin/exports.h"
#include "plugin/plugin_context.h"
#include "plugin_support.h"

#include <fstream>
#include <mutex>

namespace {

class stacked_volumes_test : public scratch_test {
protected:
    static void TARNWICK_CALL on_log(int, int, char* text)
    {
        std::lock_guard<std::mutex> guard(log_lock);
        log_lines.emplace_back(text);
    }

    void SetUp() override
    {
        scratch_test::SetUp();
        std::lock_guard<std::mutex> guard(log_lock);
        log_lines.clear();
    }

    // Starts the plugin over these images, as drives 0, 1, ... in order, with a log callback.
    void start(const std::vector<std::string>& images)
    {
        for (const std::string& image : images)
            test_control::add_drive_file(image);
        ASSERT_EQ(FsInit(0, [](int, char*, char*, int) { return 0; }, on_log, nullptr), 0);
        set_rescan_interval(std::chrono::milliseconds(0));
    }

    // The log lines that contain text.
    static size_t told(const std::string& text)
    {
        std::lock_guard<std::mutex> guard(log_lock);
        return static_cast<size_t>(std::count_if(log_lines.begin(), log_lines.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        }));
    }

    // The remote file copied out, compared with the file it was made from.
    void expect_copy(const std::string& remote, const std::string& original)
    {
        std::string local = (scratch / "copy").string();
        ASSERT_EQ(copy_out(remote, local, 1), 0) << remote;
        EXPECT_EQ(read_file_bytes(local), read_file_bytes(original)) << remote;
    }

    // The volume shown under name now; null when none is.
    static const ext_volume* shown(const std::string& name)
    {
        shared_context context = current_context();
        int index = volume_index(*context, name);
        return index < 0 ? nullptr : context->volumes[static_cast<size_t>(index)].volume.get();
    }

    // Builds a fixture with its script, or says why the test cannot run.
    static bool fixture_made(const std::string& script, const std::string& name, const std::string& product)
    {
        std::string log;
        int status = make_fixture_once(script, name, product, log);
        if (status == 77)
            return false;
        EXPECT_EQ(status, 0) << log;
        return status == 0;
    }

    static inline std::mutex log_lock;
    static inline std::vector<std::string> log_lines;
};

TEST_F(stacked_volumes_test, raid1_arrays_show_in_place_of_their_members_and_read_their_freshest_half)
{
    if (run_command("PATH=$PATH:/usr/sbin:/sbin command -v mdadm").empty())
        GTEST_SKIP() << "mdadm is not installed";
    // sda: an MBR disk whose two partitions mirror a volume (1.0); sdb and sdc: two halves of a 1.2 mirror, sdc's
    // stale (lower events, other files).
    start({fixture_path("md/parts.img"), fixture_path("md/v12_a.img"), fixture_path("md/v12_c.img")});
    EXPECT_EQ(list_names("/"), (std::vector<std::string>{"md127", "md126"}));
    expect_copy("/md127/docs/numbers.txt", fixture_path("md/trees/volume/docs/numbers.txt"));
    expect_copy("/md126/hello.txt", fixture_path("md/trees/volume/hello.txt"));
    EXPECT_EQ(list_names("/sda1"), (std::vector<std::string>{"<invalid>"}));
    // Listed again: the stale half is told of once.
    EXPECT_EQ(list_names("/").size(), 2u);
    EXPECT_EQ(told("v12_c"), 0u);  // members are named as Linux names them
    EXPECT_EQ(told("sdc: stale"), 1u);
}

TEST_F(stacked_volumes_test, a_logical_volume_striped_over_two_drives_shows_by_its_mapper_name)
{
    std::string log;
    int status = make_fixture_once("make_lvm.sh", "lvm", "lvm.layout", log);
    if (status == 77)
        GTEST_SKIP() << "no LVM fixtures: " << log;
    ASSERT_EQ(status, 0) << log;
    // sda: a whole-drive PV; sdb: a PV in an MBR partition; sdc: the PV of data-x that is present.
    start({fixture_path("lvm/a.img"), fixture_path("lvm/b.img"), fixture_path("lvm/c.img")});
    // The other volumes hold no file system; the physical volumes are never shown.
    EXPECT_EQ(list_names("/"), (std::vector<std::string>{"vg0-striped"}));
    expect_copy("/vg0-striped/docs/numbers.txt", fixture_path("lvm/tree/docs/numbers.txt"));
    expect_copy("/vg0-striped/hello.txt", fixture_path("lvm/tree/hello.txt"));
    EXPECT_EQ(told("vg0-snap"), 1u);
    EXPECT_EQ(told("data--x-gone"), 1u);
}

TEST_F(stacked_volumes_test, a_striped_volume_shows_while_both_of_its_drives_are_attached)
{
    if (!fixture_made("make_lvm.sh", "lvm", "lvm.layout"))
        GTEST_SKIP() << "no LVM fixtures";
    start({fixture_path("lvm/a.img")});
    EXPECT_EQ(list_names("/"), (std::vector<std::string>{"<invalid>"}));
    EXPECT_EQ(told("vg0-striped"), 1u);

    test_control::attach_drive_file(1, fixture_path("lvm/b.img"));
    EXPECT_EQ(list_names("/"), (std::vector<std::string>{"vg0-striped"}));
    expect_copy("/vg0-striped/docs/numbers.txt", fixture_path("lvm/tree/docs/numbers.txt"));

    test_control::detach_drive(1);
    EXPECT_EQ(list_names("/"), (std::vector<std::string>{"<invalid>"}));
    EXPECT_EQ(copy_out("/vg0-striped/hello.txt", (scratch / "gone").string()), file_result_not_found);
}

TEST_F(stacked_volumes_test, a_mirror_keeps_its_volume_as_members_join_until_a_fresher_one_comes)
{
    if (run_command("PATH=$PATH:/usr/sbin:/sbin command -v mdadm").empty())
        GTEST_SKIP() << "mdadm is not installed";
    start({fixture_path("md/v12_a.img")});
    EXPECT_EQ(list_names("/"), (std::vector<std::string>{"md127"}));
    const ext_volume* degraded = shown("md127");
    expect_copy("/md127/hello.txt", fixture_path("md/trees/volume/hello.txt"));

    // The second half in sync: the same array, the same mounted volume.
    test_control::attach_drive_file(1, fixture_path("md/v12_b.img"));
    EXPECT_EQ(list_names("/"), (std::vector<std::string>{"md127"}));
    EXPECT_EQ(shown("md127"), degraded);
    expect_copy("/md127/docs/numbers.txt", fixture_path("md/trees/volume/docs/numbers.txt"));

    // The third slot's member (the stale files) written to since: its events pass the others', so it is read.
    std::string fresher = (scratch / "fresher.img").string();
    std::vector<uint8_t> member = read_file_bytes(fixture_path("md/v12_c.img"));
    uint8_t* super = member.data() + 4096;
    put_le32(super + md_1::events, 30);
    put_le32(super + md_1::sb_csum, 0);
    put_le32(super + md_1::sb_csum, md_1_checksum(super, read_le32(super, md_1::max_dev)));
    std::ofstream(fresher, std::ios::binary).write(reinterpret_cast<const char*>(member.data()),
                                                    static_cast<std::streamsize>(member.size()));
    test_control::attach_drive_file(2, fresher);
    EXPECT_EQ(list_names("/"), (std::vector<std::string>{"md127"}));
    EXPECT_NE(shown("md127"), degraded);
    expect_copy("/md127/hello.txt", fixture_path("md/trees/stale/hello.txt"));
    EXPECT_EQ(told("sda: stale member"), 1u);
}

TEST_F(stacked_volumes_test, a_volume_group_inside_a_raid1_shows_only_its_logical_volume)
{
    if (!fixture_made("make_stacked.sh", "stacked", "stacked.layout"))
        GTEST_SKIP() << "no fixture of LVM inside a RAID1 (needs root, lvm2 and mdadm)";
    start({fixture_path("stacked/md_lvm.img")});
    EXPECT_EQ(list_names("/"), (std::vector<std::string>{"stack-data"}));
    expect_copy("/stack-data/docs/numbers.txt", fixture_path("stacked/tree/docs/numbers.txt"));
    expect_copy("/stack-data/hello.txt", fixture_path("stacked/tree/hello.txt"));
    for (const char* hidden : {"/md127", "/sda1", "/sda2"})
        EXPECT_EQ(list_names(hidden), (std::vector<std::string>{"<invalid>"})) << hidden;
}

}  // namespace
