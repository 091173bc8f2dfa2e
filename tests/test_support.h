// Shared helpers of the tests: the fixture disks, disks built in memory, and a clean stand-in per test.
#pragma once

#include "platform/test_control.h"

#include <gtest/gtest.h>

#include <cstdint>
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
