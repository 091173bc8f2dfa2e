// Shared helpers of the tests.
#include "test_support.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

std::string fixture_path(const std::string& name)
{
    const char* dir = std::getenv("TARNWICK_FIXTURES");
    return std::string(dir ? dir : "fixtures") + "/" + name;
}

std::vector<uint8_t> read_file_bytes(const std::string& path, uint64_t offset, uint64_t length)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open " + path);
    in.seekg(0, std::ios::end);
    uint64_t size = static_cast<uint64_t>(in.tellg());
    if (offset > size)
        offset = size;
    if (length > size - offset)
        length = size - offset;
    std::vector<uint8_t> bytes(length);
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
    return bytes;
}

std::vector<layout_entry> read_layout(const std::string& image_name)
{
    std::ifstream in(fixture_path(image_name + ".layout"));
    std::vector<layout_entry> entries;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        layout_entry e{};
        fields >> e.number >> e.start >> e.size >> e.type >> e.fs >> e.tree;
        entries.push_back(e);
    }
    return entries;
}

void put_le16(uint8_t* p, uint16_t value)
{
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

void put_le32(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

memory_disk::memory_disk(uint32_t sector_size_, uint64_t sectors)
    : sector_size(sector_size_), bytes(static_cast<size_t>(sector_size_ * sectors), 0)
{
}

void memory_disk::set_entry(uint64_t table_sector, int slot, uint8_t type, uint32_t lba_start, uint32_t sector_count,
                            uint8_t status)
{
    grow_to(table_sector + 1);
    uint8_t* entry = bytes.data() + table_sector * sector_size + 446 + 16 * (slot - 1);
    entry[0] = status;
    entry[4] = type;
    put_le32(entry + 8, lba_start);
    put_le32(entry + 12, sector_count);
}

void memory_disk::sign(uint64_t table_sector)
{
    grow_to(table_sector + 1);
    put_le16(bytes.data() + table_sector * sector_size + 510, 0xAA55);
}

void memory_disk::grow_to(uint64_t sectors)
{
    if (bytes.size() < sectors * sector_size)
        bytes.resize(static_cast<size_t>(sectors * sector_size));
}

void memory_disk::place(uint64_t sector, const std::vector<uint8_t>& data)
{
    uint64_t at = sector * sector_size;
    if (at + data.size() > bytes.size())
        bytes.resize(static_cast<size_t>(at + data.size()));
    std::copy(data.begin(), data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

void stand_in_test::SetUp()
{
    test_control::reset();
    test_control::set_administrator(true);
}

void stand_in_test::TearDown()
{
    test_control::reset();
}
