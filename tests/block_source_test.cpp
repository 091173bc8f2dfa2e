// Block sources: slices, linear and striped segments over drives, and the range checks of every read.
#include "disk/block_source.h"
#include "disk/physical_disk.h"
#include "test_support.h"

#include "platform/test_control.h"

#include <thread>

namespace {

class block_source_test : public stand_in_test {
protected:
    // Two memory drives of 1 MiB whose bytes tell their drive and position.
    void SetUp() override
    {
        stand_in_test::SetUp();
        for (int d = 0; d < 2; ++d) {
            std::vector<uint8_t> bytes(1 << 20);
            for (size_t i = 0; i < bytes.size(); ++i)
                bytes[i] = static_cast<uint8_t>(i / 512 * 3 + d * 101 + i);
            test_control::add_drive_memory(bytes, 512);
            images.push_back(bytes);
            disks.push_back(open_physical_disk(d == 0 ? "\\\\.\\PhysicalDrive0" : "\\\\.\\PhysicalDrive1"));
            drives.push_back(make_drive_source(disks.back()->device, 512, disks.back()->drive_bytes,
                                               d == 0 ? "sda" : "sdb"));
        }
    }

    std::vector<uint8_t> read(const block_source& source, uint64_t offset, uint64_t length)
    {
        std::vector<uint8_t> out(length);
        EXPECT_TRUE(read_source(source, offset, length, out.data()));
        return out;
    }

    std::vector<uint8_t> drive_bytes(int d, uint64_t offset, uint64_t length)
    {
        return {images[d].begin() + offset, images[d].begin() + offset + length};
    }

    std::vector<std::vector<uint8_t>> images;
    std::vector<std::unique_ptr<physical_disk>> disks;
    std::vector<source_ref> drives;
};

TEST_F(block_source_test, slices_read_their_own_range_and_nothing_past_it)
{
    source_ref part = make_slice_source(drives[0], 4096, 65536);
    ASSERT_TRUE(part);
    EXPECT_EQ(part->drive_name, "sda");
    EXPECT_EQ(read(*part, 0, 1000), drive_bytes(0, 4096, 1000));
    EXPECT_EQ(read(*part, 65536 - 7, 7), drive_bytes(0, 4096 + 65536 - 7, 7));
    uint8_t byte = 0;
    EXPECT_FALSE(read_source(*part, 65536, 1, &byte));
    EXPECT_FALSE(read_source(*part, 65530, 7, &byte));
    EXPECT_FALSE(read_source(*part, UINT64_MAX, 2, &byte));
    EXPECT_FALSE(read_source(*part, 0, 0, &byte));
    EXPECT_EQ(read_source_bytes(*part, 0, UINT64_MAX), nullptr);
    // A slice must lie inside what it slices, and nesting is bounded.
    EXPECT_FALSE(make_slice_source(drives[0], (1 << 20) - 512, 1024));
    EXPECT_FALSE(make_slice_source(part, 1, UINT64_MAX));
    source_ref nested = part;
    for (int i = 1; i < max_source_depth; ++i)
        nested = make_slice_source(nested, 0, 512);
    ASSERT_TRUE(nested);
    EXPECT_FALSE(make_slice_source(nested, 0, 512));
}

TEST_F(block_source_test, linear_segments_span_drives_in_order)
{
    std::vector<source_segment> segments(2);
    segments[0] = {0, 8192, 0, {{drives[1], 20480}}};
    segments[1] = {8192, 4096, 0, {{drives[0], 512}}};
    source_ref volume = make_segmented_source(segments, 512);
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->size, 12288u);
    std::vector<uint8_t> expected = drive_bytes(1, 20480 + 8000, 192);
    std::vector<uint8_t> second = drive_bytes(0, 512, 100);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(read(*volume, 8000, 292), expected);

    // Gaps, overlaps and targets that reach past their source are refused.
    auto gap = segments;
    gap[1].start = 8704;
    EXPECT_FALSE(make_segmented_source(gap, 512));
    auto past = segments;
    past[1].targets[0].offset = (1 << 20) - 1024;
    EXPECT_FALSE(make_segmented_source(past, 512));
    auto none = segments;
    none[0].targets.clear();
    EXPECT_FALSE(make_segmented_source(none, 512));
}

TEST_F(block_source_test, striped_segments_take_chunks_round_robin)
{
    // Two stripes of 4 KiB: chunk k lies on drive k mod 2 at its offset + (k / 2) * 4096.
    std::vector<source_segment> segments(1);
    segments[0] = {0, 32768, 4096, {{drives[0], 65536}, {drives[1], 131072}}};
    source_ref volume = make_segmented_source(segments, 512);
    ASSERT_TRUE(volume);
    std::vector<uint8_t> whole = read(*volume, 0, 32768);
    for (uint64_t chunk = 0; chunk < 8; ++chunk) {
        int d = static_cast<int>(chunk % 2);
        uint64_t at = (d == 0 ? 65536 : 131072) + chunk / 2 * 4096;
        EXPECT_EQ(std::vector<uint8_t>(whole.begin() + chunk * 4096, whole.begin() + (chunk + 1) * 4096),
                  drive_bytes(d, at, 4096))
            << "chunk " << chunk;
    }
    // A read that starts and ends inside chunks agrees with the whole.
    EXPECT_EQ(read(*volume, 4000, 9000), std::vector<uint8_t>(whole.begin() + 4000, whole.begin() + 13000));

    auto ragged = segments;
    ragged[0].length = 32768 + 4096;  // not whole rows
    EXPECT_FALSE(make_segmented_source(ragged, 512));
    auto odd = segments;
    odd[0].stripe_bytes = 1000;
    EXPECT_FALSE(make_segmented_source(odd, 512));
}

TEST_F(block_source_test, many_threads_read_one_source_at_once)
{
    std::vector<source_segment> segments(1);
    segments[0] = {0, 262144, 8192, {{drives[0], 0}, {drives[1], 0}}};
    source_ref volume = make_segmented_source(segments, 512);
    ASSERT_TRUE(volume);
    std::vector<uint8_t> expected = read(*volume, 0, 262144);
    std::vector<std::thread> readers;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t)
        readers.emplace_back([&, t] {
            for (uint64_t at = t * 512; at + 3000 < 262144; at += 7777) {
                std::vector<uint8_t> got(3000);
                if (!read_source(*volume, at, 3000, got.data()) ||
                    !std::equal(got.begin(), got.end(), expected.begin() + at))
                    ++wrong;
            }
        });
    for (auto& r : readers)
        r.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
