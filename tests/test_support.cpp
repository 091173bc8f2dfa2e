// Shared helpers of the tests.
#include "test_support.h"

#include "disk/partition.h"
#include "ext/volume.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

std::string fixture_path(const std::string& name)
{
    const char* dir = std::getenv("TARNWICK_FIXTURES");
    return std::string(dir ? dir : "fixtures") + "/" + name;
}

int make_fixture_once(const std::string& script, const std::string& name, const std::string& product,
                      std::string& log)
{
    const std::string directory = fixture_path(name);
    const std::string path = std::string(TARNWICK_SOURCE_DIR) + "/tests/fixtures/" + script;
    std::string status = run_command("mkdir -p '" + directory + "' && flock '" + directory +
                                     ".lock' sh -c '[ \"$1/$2\" -nt \"$0\" ] || \"$0\" \"$1\"' '" + path + "' '" +
                                     directory + "' '" + product + "' >'" + directory + ".log' 2>&1; echo $?");
    std::ifstream output(directory + ".log");
    log.assign(std::istreambuf_iterator<char>(output), {});
    return std::atoi(status.c_str());
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

namespace {

// The volumes handed out during a test; dropped when the stand-in is reset.
std::vector<std::unique_ptr<ext_volume>>& test_volumes()
{
    static std::vector<std::unique_ptr<ext_volume>> volumes;
    return volumes;
}

}  // namespace

void stand_in_test::SetUp()
{
    test_volumes().clear();
    test_control::reset();
    test_control::set_administrator(true);
}

void stand_in_test::TearDown()
{
    test_volumes().clear();
    test_control::reset();
}

long drive_reads()
{
    return test_control::read_counters().drive_reads;
}

namespace {

std::unique_ptr<physical_disk> open_scanned()
{
    std::unique_ptr<physical_disk> disk = open_physical_disk("\\\\.\\PhysicalDrive0");
    EXPECT_EQ(scan_partition_tables(*disk), 0);
    return disk;
}

}  // namespace

std::unique_ptr<physical_disk> open_fixture_disk(const std::string& image_name)
{
    test_control::add_drive_file(fixture_path(image_name));
    return open_scanned();
}

std::unique_ptr<physical_disk> open_memory_disk(const memory_disk& image)
{
    test_control::add_drive_memory(image.bytes, image.sector_size);
    return open_scanned();
}

std::unique_ptr<physical_disk> open_memory_volume(const std::vector<uint8_t>& volume)
{
    constexpr uint32_t volume_sector = 8;
    memory_disk image(512, volume_sector);
    image.set_entry(0, 1, 0x83, volume_sector, static_cast<uint32_t>(volume.size() / 512));
    image.sign(0);
    image.place(volume_sector, volume);
    return open_memory_disk(image);
}

ext_volume* partition_volume(const physical_disk& disk, int number)
{
    for (const partition_record& p : candidate_partitions(disk)) {
        if (p.number != number)
            continue;
        test_volumes().push_back(make_ext_volume(p.source));
        return test_volumes().back().get();
    }
    return nullptr;
}

ext_volume* mounted_partition(physical_disk& disk, int number)
{
    ext_volume* volume = partition_volume(disk, number);
    return volume && mount_volume(*volume) ? volume : nullptr;
}

std::vector<std::pair<int, ext_volume*>> mounted_partitions(const physical_disk& disk)
{
    std::vector<std::pair<int, ext_volume*>> mounted;
    for (const partition_record& p : candidate_partitions(disk)) {
        test_volumes().push_back(make_ext_volume(p.source));
        if (mount_volume(*test_volumes().back()))
            mounted.emplace_back(p.number, test_volumes().back().get());
    }
    return mounted;
}

std::vector<std::string> tree_paths(const std::string& tree)
{
    namespace fs = std::filesystem;
    std::vector<std::string> paths{"/"};
    for (const auto& entry : fs::recursive_directory_iterator(tree))
        paths.push_back("/" + fs::relative(entry.path(), tree).string());
    std::sort(paths.begin() + 1, paths.end());
    return paths;
}

std::string run_command(const std::string& command)
{
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return output;
    char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        output.append(chunk, got);
    pclose(pipe);
    return output;
}

std::vector<std::string> split_debugfs_outputs(const std::string& text)
{
    std::vector<std::string> outputs;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("debugfs: ", 0) == 0)
            outputs.emplace_back();
        else if (!outputs.empty())
            outputs.back() += line + "\n";
    }
    return outputs;
}

std::vector<std::string> debugfs_batch(const std::string& image, uint64_t offset,
                                       const std::vector<std::string>& commands)
{
    char script[] = "/tmp/tarnwick_debugfs_XXXXXX";
    int fd = mkstemp(script);
    if (fd < 0)
        throw std::runtime_error("cannot create a debugfs script");
    close(fd);
    {
        std::ofstream out(script);
        for (const std::string& command : commands)
            out << command << "\n";
    }
    std::string text = run_command("PATH=$PATH:/usr/sbin:/sbin debugfs -f " + std::string(script) + " '" + image +
                                   "?offset=" + std::to_string(offset) + "' 2>/dev/null");
    std::remove(script);
    std::vector<std::string> outputs = split_debugfs_outputs(text);
    if (outputs.size() != commands.size())
        throw std::runtime_error("debugfs answered " + std::to_string(outputs.size()) + " of " +
                                 std::to_string(commands.size()) + " commands");
    return outputs;
}

debugfs_inode parse_debugfs_stat(const std::string& output)
{
    debugfs_inode inode;
    std::istringstream lines(output);
    std::string line;
    bool in_map = false;
    while (std::getline(lines, line)) {
        if (line.rfind("Inode: ", 0) == 0) {
            std::sscanf(line.c_str(), "Inode: %u", &inode.number);
            size_t type = line.find("Type: ");
            inode.type = line.substr(type + 6, line.find(' ', type + 6) - type - 6);
            inode.flags = static_cast<uint32_t>(std::stoul(line.substr(line.find("Flags: ") + 7), nullptr, 16));
        } else if (line.rfind("User: ", 0) == 0) {
            inode.size = std::stoull(line.substr(line.find("Size: ") + 6));
        } else if (line == "BLOCKS:" || line == "EXTENTS:") {
            in_map = true;
        } else if (in_map && !line.empty() && line.rfind("TOTAL", 0) != 0) {
            // Items "(IND):607", "(ETB0):2308", "(0-11):595-606", "(10[u]):3724", separated by ", ".
            std::istringstream items(line);
            std::string item;
            while (std::getline(items, item, ',')) {
                item.erase(0, item.find('('));
                std::string what = item.substr(1, item.find(')') - 1);
                std::string where = item.substr(item.find("):") + 2);
                uint64_t first = std::stoull(where);
                if (!std::isdigit(static_cast<unsigned char>(what[0]))) {
                    inode.map_blocks.push_back(first);
                    continue;
                }
                debugfs_run run;
                run.uninitialised = what.find("[u]") != std::string::npos;
                run.logical = static_cast<uint32_t>(std::stoul(what));
                size_t dash = what.find('-');
                uint32_t last = dash == std::string::npos ? run.logical : static_cast<uint32_t>(std::stoul(what.substr(dash + 1)));
                run.count = last - run.logical + 1;
                run.physical = first;
                inode.runs.push_back(run);
            }
        } else {
            in_map = false;
        }
    }
    return inode;
}

std::vector<debugfs_entry> parse_debugfs_ls(const std::string& output)
{
    // "/inode/mode/uid/gid/name/size/"; a name cannot hold '/'.
    std::vector<debugfs_entry> entries;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.size() < 2 || line[0] != '/')
            continue;
        std::vector<std::string> fields;
        std::istringstream parts(line.substr(1));
        std::string field;
        while (std::getline(parts, field, '/'))
            fields.push_back(field);
        // Records of inode 0 show only in some directories (lost+found's empty blocks); they are left out.
        if (fields.size() < 5 || fields[0] == "0")
            continue;
        entries.push_back({static_cast<uint32_t>(std::stoul(fields[0])), static_cast<uint32_t>(std::stoul(fields[1], nullptr, 8)), fields[4]});
    }
    return entries;
}

std::vector<fixture_volume> fixture_volumes(const std::string& image_name)
{
    namespace fs = std::filesystem;
    std::vector<fixture_volume> volumes;
    for (const layout_entry& entry : read_layout(image_name)) {
        if (entry.type != "83" || entry.tree == "-")
            continue;
        fixture_volume volume;
        volume.number = entry.number;
        volume.offset = static_cast<uint64_t>(entry.start) * 512;
        volume.tree = fixture_path("trees/" + entry.tree);
        volume.directories.push_back("/");
        for (const std::string& path : tree_paths(volume.tree))
            if (path != "/" && fs::is_directory(fs::symlink_status(volume.tree + path)))
                volume.directories.push_back(path);
        volume.directories.push_back("/lost+found");
        std::vector<std::string> commands;
        for (const std::string& dir : volume.directories)
            commands.push_back("ls -p " + dir);
        std::vector<std::string> outputs = debugfs_batch(fixture_path(image_name), volume.offset, commands);
        std::map<std::string, uint32_t> numbers{{"/", 2}};
        for (size_t i = 0; i < outputs.size(); ++i) {
            const std::string& dir = volume.directories[i];
            volume.listings[dir] = parse_debugfs_ls(outputs[i]);
            for (const debugfs_entry& e : volume.listings[dir])
                if (e.name != "." && e.name != "..")
                    numbers[(dir == "/" ? "" : dir) + "/" + e.name] = e.inode;
        }
        commands.clear();
        for (const auto& [path, number] : numbers)
            commands.push_back("stat <" + std::to_string(number) + ">");
        outputs = debugfs_batch(fixture_path(image_name), volume.offset, commands);
        size_t i = 0;
        for (const auto& [path, number] : numbers)
            volume.inodes[path] = parse_debugfs_stat(outputs[i++]);
        volumes.push_back(std::move(volume));
    }
    return volumes;
}

crafted_volume::crafted_volume() : bytes(read_file_bytes(fixture_path("volume_ext2_1k.img"))) {}

crafted_volume::~crafted_volume() = default;

ext_volume* crafted_volume::mount()
{
    disk.reset();
    test_control::reset();
    test_control::set_administrator(true);
    disk = open_memory_volume(bytes);
    return mounted_partition(*disk, 1);
}

debugfs_inode debugfs_stat_path(const std::string& image_name, int number, const std::string& path)
{
    for (const layout_entry& entry : read_layout(image_name))
        if (entry.number == number)
            return parse_debugfs_stat(
                debugfs_batch(fixture_path(image_name), uint64_t{entry.start} * 512, {"stat " + path}).at(0));
    throw std::runtime_error("no partition " + std::to_string(number) + " on " + image_name);
}

void expect_lookups(file_map& map, std::initializer_list<lookup> lookups)
{
    for (const lookup& l : lookups) {
        block_run run;
        long before = drive_reads();
        bool mapped = map_run(map, l.logical, run);
        EXPECT_EQ(drive_reads() - before, l.reads) << "block " << l.logical;
        EXPECT_EQ(mapped, l.kind.has_value()) << "block " << l.logical;
        if (!mapped || !l.kind)
            continue;
        EXPECT_EQ(run.kind, *l.kind) << "block " << l.logical;
        EXPECT_EQ(run.length, l.length) << "block " << l.logical;
        if (run.kind != run_kind::hole) {
            EXPECT_EQ(run.physical, l.physical) << "block " << l.logical;
        }
    }
}

ext_volume* fixture_partition_test::open(const std::string& image, int number)
{
    disk.reset();
    test_control::reset();
    test_control::set_administrator(true);
    disk = open_fixture_disk(image);
    return mounted_partition(*disk, number);
}

void scratch_test::SetUp()
{
    stand_in_test::SetUp();
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    // Parameterised tests have "/" in their names.
    std::string name = std::string(test->test_suite_name()) + "_" + test->name();
    std::replace(name.begin(), name.end(), '/', '_');
    scratch = std::filesystem::path(testing::TempDir()) / ("tarnwick_" + std::to_string(getpid()) + "_" + name);
    std::filesystem::remove_all(scratch);
    std::filesystem::create_directories(scratch);
}

void scratch_test::TearDown()
{
    std::filesystem::remove_all(scratch);
    stand_in_test::TearDown();
}
