// Shared helpers of the tests: the fixture disks, disks built in memory, and a clean stand-in per test.
#pragma once

#include "disk/physical_disk.h"
#include "ext/file_map.h"
#include "platform/test_control.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

std::string fixture_path(const std::string& name);
std::vector<uint8_t> read_file_bytes(const std::string& path, uint64_t offset = 0, uint64_t length = UINT64_MAX);

// One line of a fixture disk's layout file.
struct layout_entry {
    int number;
    uint32_t start;
    uint32_t size;
    std::string type;
    std::string fs;
    std::string tree;
};
std::vector<layout_entry> read_layout(const std::string& image_name);

// A disk assembled byte by byte in memory.
struct memory_disk {
    uint32_t sector_size;
    std::vector<uint8_t> bytes;

    memory_disk(uint32_t sector_size, uint64_t sectors);
    // Writes a 16-byte entry into slot 1-4 of the table in the given sector.
    void set_entry(uint64_t table_sector, int slot, uint8_t type, uint32_t lba_start, uint32_t sector_count,
                   uint8_t status = 0);
    // Writes the 0xAA55 signature at byte 510 of the sector.
    void sign(uint64_t table_sector);
    void place(uint64_t sector, const std::vector<uint8_t>& data);
    void grow_to(uint64_t sectors);
};

void put_le16(uint8_t* p, uint16_t value);
void put_le32(uint8_t* p, uint32_t value);

// Every test starts and ends with a stand-in that serves no test drives and counts from zero, run by an
// administrator.
class stand_in_test : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// A stand-in test with an empty scratch folder of its own (named after the test), removed at the end.
class scratch_test : public stand_in_test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::filesystem::path scratch;
};

struct ext_volume;

// Drive reads the stand-in has served so far.
long drive_reads();

// Adds the fixture image (or a memory disk) as the next drive, opens it as drive 0 and scans its tables.
std::unique_ptr<physical_disk> open_fixture_disk(const std::string& image_name);
std::unique_ptr<physical_disk> open_memory_disk(const memory_disk& image);
// A volume image placed at sector 8 of a memory disk as partition 1 (type 0x83), scanned.
std::unique_ptr<physical_disk> open_memory_volume(const std::vector<uint8_t>& volume);
// Partition number n of a scanned disk as an ext volume, not mounted; null when it is not there. The volume lives
// until the stand-in is reset at the end of the test.
ext_volume* partition_volume(const physical_disk& disk, int number);
// Partition number n of a scanned disk, mounted; null when it is not there or does not mount.
ext_volume* mounted_partition(physical_disk& disk, int number);
// The numbers of the scanned disk's candidate partitions that mount, in table order, with their volumes.
std::vector<std::pair<int, ext_volume*>> mounted_partitions(const physical_disk& disk);

// A stand-in test that opens one fixture disk at a time and hands out its mounted partitions.
class fixture_partition_test : public stand_in_test {
protected:
    // Partition number of the fixture image, mounted; a fresh stand-in serves the image alone.
    ext_volume* open(const std::string& image, int number);

    std::unique_ptr<physical_disk> disk;
};

// Every path under a source tree, relative with a leading '/', sorted; "/" first for the tree itself.
std::vector<std::string> tree_paths(const std::string& tree);
// Runs a shell command and returns what it writes to standard output.
std::string run_command(const std::string& command);

// Runs the fixture script tests/fixtures/SCRIPT into the fixture folder NAME unless NAME/PRODUCT is newer than the
// script, one process at a time (tests of several processes share the folder). Gives the script's exit status (77:
// it cannot run here, as without root), with its output in log.
int make_fixture_once(const std::string& script, const std::string& name, const std::string& product,
                      std::string& log);

// debugfs's view of an inode (stat <N>): data runs, and the indirect blocks or extent-tree nodes in its order.
struct debugfs_run {
    uint32_t logical = 0;
    uint32_t count = 0;
    uint64_t physical = 0;
    bool uninitialised = false;
};
struct debugfs_inode {
    uint32_t number = 0;
    std::string type;  // "regular", "directory", "symlink", ...
    uint64_t size = 0;
    uint32_t flags = 0;
    std::vector<debugfs_run> runs;
    std::vector<uint64_t> map_blocks;
};
// One line of "ls -p": a directory record of an inode other than 0.
struct debugfs_entry {
    uint32_t inode = 0;
    uint32_t mode = 0;
    std::string name;
};
// The output of each command of a debugfs -f run, split at the lines that echo the commands.
std::vector<std::string> split_debugfs_outputs(const std::string& text);
// Runs the commands in one debugfs process on the volume at a byte offset of the image; one output per command.
std::vector<std::string> debugfs_batch(const std::string& image, uint64_t offset,
                                       const std::vector<std::string>& commands);
debugfs_inode parse_debugfs_stat(const std::string& output);
std::vector<debugfs_entry> parse_debugfs_ls(const std::string& output);

// An ext partition of a fixture disk with debugfs's view of it: the records of every directory of its source
// tree (lost+found too) and the inode of every path.
struct fixture_volume {
    int number = 0;
    uint64_t offset = 0;  // byte offset on the image
    std::string tree;     // the source tree's directory
    std::vector<std::string> directories;  // "/" first
    std::map<std::string, std::vector<debugfs_entry>> listings;
    std::map<std::string, debugfs_inode> inodes;  // by path, "/" for the root
};
std::vector<fixture_volume> fixture_volumes(const std::string& image_name);

// A copy of volume_ext2_1k.img (2048 blocks of 1 KiB, blocks from 1000 up unused) to write blocks into before it
// is placed on a memory disk and mounted. Mounting starts the stand-in afresh, so that the copy is drive 0.
struct crafted_volume {
    std::vector<uint8_t> bytes;
    std::unique_ptr<physical_disk> disk;

    crafted_volume();
    ~crafted_volume();
    uint8_t* block(uint64_t number) { return bytes.data() + number * 1024; }
    ext_volume* mount();
};
// debugfs's stat of one path on partition number of a fixture disk.
debugfs_inode debugfs_stat_path(const std::string& image_name, int number, const std::string& path);

// One expected answer of map_run at a logical block, and the drive reads it may make. kind is empty when the run
// cannot be mapped; physical is checked for data and unwritten runs.
struct lookup {
    uint32_t logical;
    std::optional<run_kind> kind;
    uint64_t physical;
    uint32_t length;
    long reads;
};

// Maps each logical block in turn with map_run and checks answer, run and reads.
void expect_lookups(file_map& map, std::initializer_list<lookup> lookups);
