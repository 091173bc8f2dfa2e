// LVM2 volume groups: volumes made by the lvm2 tools read back byte for byte, the metadata parser's bounds, and
// hostile labels, headers and metadata text that must never crash or break a bound.
#include "disk/block_source.h"
#include "disk/byte_order.h"
#include "lvm/config_text.h"
#include "lvm/pv_label.h"
#include "lvm/vg_metadata.h"
#include "lvm/volume_groups.h"
#include "test_support.h"

#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

namespace {

// The volume groups make_lvm.sh builds, made once per run when it can (as root, with lvm2).
class lvm_test : public stand_in_test {
protected:
    static void SetUpTestSuite()
    {
        directory = fixture_path("lvm");
        int status = make_fixture_once("make_lvm.sh", "lvm", "lvm.layout", reason);
        made = status == 0;
        skipped = status == 77;
        std::ifstream layout(directory + "/lvm.layout");
        for (std::string line; std::getline(layout, line);)
            lines.push_back(line);
    }

    void SetUp() override
    {
        stand_in_test::SetUp();
        if (skipped)
            GTEST_SKIP() << "no LVM fixtures: " << reason;
        ASSERT_TRUE(made) << reason;
    }

    // The layout's lines of one kind, split into words.
    static std::vector<std::vector<std::string>> layout(const std::string& kind)
    {
        std::vector<std::vector<std::string>> found;
        for (const std::string& line : lines) {
            std::istringstream words(line);
            std::vector<std::string> fields{std::istream_iterator<std::string>(words), {}};
            if (!fields.empty() && fields[0] == kind)
                found.emplace_back(fields.begin() + 1, fields.end());
        }
        return found;
    }

    // The candidates of the layout as the lower layers hand them up, each image replaced by its bytes in images
    // when given there (so a test can damage them), then a drive of zeros that is no physical volume.
    std::vector<named_source> candidates(std::map<std::string, std::vector<uint8_t>> images = {})
    {
        std::vector<named_source> found;
        std::vector<std::vector<std::string>> entries = layout("candidate");
        entries.push_back({"sdz", "", "0", "1048576"});
        for (const auto& entry : entries) {
            auto image = images.find(entry[1]);
            if (entry[1].empty())
                test_control::add_drive_memory(std::vector<uint8_t>(1 << 20));
            else if (image != images.end())
                test_control::add_drive_memory(std::move(image->second));
            else
                test_control::add_drive_file(directory + "/" + entry[1]);
            char name[30];
            format_device_name(name, static_cast<int>(disks.size()));
            disks.push_back(open_physical_disk(name));
            source_ref drive = make_drive_source(disks.back()->device, 512, disks.back()->drive_bytes, entry[0]);
            uint64_t offset = std::stoull(entry[2]);
            found.push_back({entry[0], offset == 0 ? drive : make_slice_source(drive, offset, std::stoull(entry[3]))});
        }
        return found;
    }

    static std::vector<uint8_t> image(const std::string& name) { return read_file_bytes(directory + "/" + name); }

    static inline std::string directory, reason;
    static inline bool made = false, skipped = false;
    static inline std::vector<std::string> lines;
    std::vector<std::unique_ptr<physical_disk>> disks;
};

// The tools' checksum placed again after a test changed what it covers.
void reseal(uint8_t* p, size_t from, size_t crc_at, size_t length)
{
    put_le32(p + crc_at, lvm_crc(lvm_crc_initial, p + from, length));
}

TEST_F(lvm_test, plain_volumes_read_the_bytes_the_tools_placed_and_the_rest_are_named_in_notices)
{
    std::vector<named_source> offered = candidates();
    lvm_assembly found = assemble_volume_groups(offered);

    std::vector<std::string> names;
    for (const named_source& volume : found.volumes)
        names.push_back(volume.name);
    std::vector<std::string> shown;
    for (const auto& entry : layout("shown"))
        shown.push_back(entry[0]);
    EXPECT_EQ(names, shown);
    for (const named_source& volume : found.volumes) {
        std::vector<uint8_t> expected = image(volume.name + ".expected");
        ASSERT_EQ(volume.source->size, expected.size()) << volume.name;
        auto bytes = read_source_bytes(*volume.source, 0, expected.size());
        ASSERT_TRUE(bytes) << volume.name;
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), bytes.get())) << volume.name;
        EXPECT_EQ(volume.source->drive_name, volume.name);
    }
    // Every physical volume is claimed, the drive of zeros is not.
    std::vector<uint64_t> pv_ids;
    for (size_t i = 0; i + 1 < offered.size(); ++i)
        pv_ids.push_back(offered[i].source->id);
    EXPECT_EQ(found.claimed, pv_ids);
    std::vector<std::vector<std::string>> hidden = layout("hidden");
    EXPECT_EQ(found.notices.size(), hidden.size()) << ::testing::PrintToString(found.notices);
    for (const auto& entry : hidden) {
        bool said = false;
        for (const std::string& notice : found.notices)
            said |= notice.rfind(entry[0] + ": ", 0) == 0 && notice.find(entry[1]) != std::string::npos;
        EXPECT_TRUE(said) << entry[0] << " not in " << ::testing::PrintToString(found.notices);
    }
}

TEST_F(lvm_test, wrapped_text_is_read_and_a_damaged_copy_or_label_is_passed_over)
{
    // The newest text on a wraps from the end of its metadata area to just after the area's header.
    std::vector<named_source> offered = candidates();
    label_result label = read_pv_label(*offered[0].source);
    ASSERT_EQ(label.status, label_status::valid);
    ASSERT_EQ(label.label.metadata_areas.size(), 1u);
    std::string why;
    std::optional<std::string> text = read_metadata_text(*offered[0].source, label.label.metadata_areas[0], why);
    ASSERT_TRUE(text) << why;
    std::optional<vg_record> vg = read_vg_metadata(*text, why);
    ASSERT_TRUE(vg) << why;
    EXPECT_EQ(vg->name, "vg0");
    EXPECT_EQ(vg->pvs.size(), 2u);
    EXPECT_EQ(undashed(vg->pvs[0].uuid), label.label.uuid);

    // A spoilt text on a leaves b's copy to describe vg0; a spoilt label on c leaves c unclaimed and data-x unseen.
    std::vector<uint8_t> a = image("a.img"), c = image("c.img");
    a[label.label.metadata_areas[0].offset + 1024] ^= 1;
    c[512 + 100] ^= 1;
    disks.clear();
    stand_in_test::SetUp();
    lvm_assembly found = assemble_volume_groups(candidates({{"a.img", a}, {"c.img", c}}));
    ASSERT_EQ(found.claimed.size(), 2u);
    std::vector<std::string> names;
    for (const named_source& volume : found.volumes)
        names.push_back(volume.name);
    EXPECT_EQ(names, (std::vector<std::string>{"vg0-root", "vg0-striped", "vg0-my--lv", "vg0-span"}));
}

TEST(lvm_config_test, syntax_and_bounds)
{
    std::string why;
    auto root = parse_config_text("# c\nvg-1 {\n id = \"a\\\"b\\\\\" # x\n n = -5\n l = [\"pv0\", 7, 'q',]\n"
                                  " s { }\n}\nversion = 1\n\0ignored",
                                  &why);
    ASSERT_TRUE(root) << why;
    const config_node* vg = config_child(*root, "vg-1", true);
    ASSERT_TRUE(vg);
    EXPECT_EQ(config_string(*vg, "id"), "a\"b\\");
    EXPECT_EQ(config_number(*vg, "n"), -5);
    EXPECT_TRUE(config_list_has(*vg, "l", "q"));
    EXPECT_EQ(config_child(*vg, "l", false)->values.size(), 3u);
    EXPECT_EQ(config_number(*root, "version"), 1);

    for (const char* broken : {"a {", "a = ", "a = [1", "a = \"x", "}", "a b", "a = 99999999999999999999",
                               "a = 9223372036854775808", "a = [1 2]"})
        EXPECT_FALSE(parse_config_text(broken)) << broken;
    EXPECT_EQ(config_number(*parse_config_text("a = -9223372036854775808"), "a"), INT64_MIN);

    auto nested = [](int depth) {
        std::string text;
        for (int i = 0; i < depth; ++i)
            text += "s {";
        return text + std::string(depth, '}');
    };
    EXPECT_TRUE(parse_config_text(nested(max_config_depth - 1)));
    EXPECT_FALSE(parse_config_text(nested(max_config_depth)));
    EXPECT_FALSE(parse_config_text(nested(100000)));

    std::string many = "a = [";
    for (size_t i = 0; i < max_config_values; ++i)
        many += "1,";
    EXPECT_FALSE(parse_config_text(many + "]"));
    EXPECT_TRUE(parse_config_text("a = [" + std::string(max_config_values / 2 * 2, ' ') + "1]"));
    EXPECT_FALSE(parse_config_text(std::string(max_config_text + 1, ' ')));
}

TEST(lvm_metadata_test, counts_are_bounded_and_names_are_mapper_names)
{
    std::string lvs;
    for (size_t i = 0; i <= max_vg_lvs; ++i)
        lvs += "l" + std::to_string(i) + " { }\n";
    std::string why;
    std::string head = "v { id = \"x\" seqno = 1 extent_size = 8 physical_volumes { } logical_volumes { ";
    EXPECT_FALSE(read_vg_metadata(head + lvs + "} }", why));
    EXPECT_NE(why.find("logical volumes"), std::string::npos);
    std::string segments;
    for (size_t i = 0; i <= max_lv_segments; ++i)
        segments += "s" + std::to_string(i) + " { start_extent = " + std::to_string(i) +
                    " extent_count = 1 type = \"striped\" stripe_count = 1 stripes = [\"pv0\", 0] }\n";
    auto vg = read_vg_metadata(head + "l { status = [\"VISIBLE\"] " + segments + "} } }", why);
    ASSERT_TRUE(vg) << why;
    EXPECT_NE(vg->lvs.at(0).damage.find("segments"), std::string::npos);
    EXPECT_EQ(mapper_name("data-x", "my-lv"), "data--x-my--lv");
    EXPECT_EQ(mapper_name("vg0", "root"), "vg0-root");
}

// Mutates real metadata text (written back with its checksum, so the parser sees it) and real label and header
// bytes (resealed, so the checks after the CRC see them); only crashes and broken bounds fail.
TEST_F(lvm_test, hostile_labels_headers_and_metadata_never_crash_or_break_bounds)
{
    const std::vector<uint8_t> a = image("a.img"), b_image = image("b.img");
    constexpr size_t mda = 4096;
    const uint64_t area = read_le32(a.data(), mda + 32);
    const uint64_t text_at = read_le32(a.data(), mda + 40), text_size = read_le32(a.data(), mda + 48);
    std::string text(text_size, '\0');
    for (uint64_t i = 0; i < text_size; ++i)
        text[i] = static_cast<char>(a[mda + (text_at + i < area ? text_at + i : 512 + text_at + i - area)]);
    const std::vector<std::string> pieces = {"18446744073709551615", "-1", "99999999999999999999999", "{", "}",
                                             "[", "]", "\"", "=", "stripe_count = 128", "type = \"thin\"",
                                             std::string(5000, '{'), "extent_count = 0", "#", "\\"};
    std::mt19937 random(20240607);
    auto pick = [&](uint64_t n) { return n == 0 ? 0 : std::uniform_int_distribution<uint64_t>(0, n - 1)(random); };
    for (int round = 0; round < 160; ++round) {
        std::vector<uint8_t> bytes = a;
        std::string changed = text;
        switch (round % 4) {
        case 0:
            changed.resize(pick(changed.size()));
            break;
        case 1:
            for (int k = 0; k < 8; ++k)
                changed[pick(changed.size())] = static_cast<char>(pick(256));
            break;
        case 2:
            changed.insert(pick(changed.size()), pieces[pick(pieces.size())]);
            break;
        default:
            for (uint64_t k = 0; k < 4; ++k)
                bytes[pick(2) ? 512 + 20 + pick(492) : mda + 4 + pick(508)] = static_cast<uint8_t>(pick(256));
            if (round % 8 == 3) {  // a raw location anywhere, wrapping or not
                put_le32(bytes.data() + mda + 40, static_cast<uint32_t>(pick(area + 1024)));
                put_le32(bytes.data() + mda + 48, static_cast<uint32_t>(pick(area)));
            }
        }
        if (round % 4 != 3 && changed.size() + 1 <= area - 512) {
            uint64_t at = text_at;
            for (size_t i = 0; i <= changed.size(); ++i, ++at)
                bytes[mda + (at < area ? at : 512 + at - area)] = i < changed.size() ? changed[i] : 0;
            std::vector<uint8_t> flat(changed.begin(), changed.end());
            flat.push_back(0);
            put_le32(bytes.data() + mda + 48, static_cast<uint32_t>(flat.size()));
            put_le32(bytes.data() + mda + 56, lvm_crc(lvm_crc_initial, flat.data(), flat.size()));
        }
        reseal(bytes.data(), 512 + 20, 512 + 16, 492);
        reseal(bytes.data(), mda + 4, mda, 508);
        disks.clear();
        stand_in_test::SetUp();
        std::map<std::string, std::vector<uint8_t>> images;
        images["a.img"] = std::move(bytes);
        images["b.img"] = b_image;
        std::vector<named_source> offered = candidates(std::move(images));
        lvm_assembly found = assemble_volume_groups(offered);
        EXPECT_LE(found.claimed.size(), offered.size());
        for (const named_source& volume : found.volumes) {
            ASSERT_TRUE(volume.source && volume.source->size > 0 && !volume.name.empty());
            EXPECT_LE(volume.source->segments.size(), max_lv_segments);
            uint8_t first[512];
            read_source(*volume.source, 0, sizeof first, first);
        }
        std::string why;
        read_vg_metadata(changed, why);
    }
}

}  // namespace
