// Corruption sweep: seeded damage to the sweep disks, structure by structure, each damaged copy served from memory
// and browsed and copied from as a host does. Every run must end in time, answer soundly, and write nowhere else;
// in a sample of runs every copy is also held against what e2fsck and debugfs make of the same damaged image.
#include "disk/byte_order.h"
#include "disk/gpt.h"
#include "ext/crc32c.h"
#include "ext/inode_cache.h"
#include "lvm/pv_label.h"
#include "md/md_superblock.h"
#include "disk/partition.h"
#include "host_walk.h"
#include "plugin/exports.h"
#include "test_support.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int runs_per_kind = 300;
constexpr auto run_time_bound = std::chrono::seconds(20);
// Every this many runs of a kind, the copies are also checked against e2fsck and debugfs (tool_oracle): their two
// processes per volume cost more than the plugin's whole session, so a sample of 60 runs per kind is checked.
constexpr int oracle_every = 5;

// Where the structures of one volume of the sweep disk lie, as byte offsets in the disk.
struct volume_map {
    uint64_t superblock = 0;
    uint64_t descriptors = 0;
    uint32_t desc_size = 32;
    uint32_t group_count = 0;
    std::vector<uint64_t> inodes;            // every inode in use
    std::vector<uint64_t> extent_nodes;      // extent tree nodes: i_block of extent-mapped inodes, node blocks
    std::vector<uint64_t> directory_blocks;  // first blocks of the directories
    std::vector<uint64_t> indirect_blocks;   // single- and double-indirect blocks
    std::vector<uint64_t> inline_inodes;     // inodes whose content lies in i_block and their attribute area
    uint32_t inode_size = 128;
};

struct disk_map {
    std::vector<uint64_t> table_sectors;  // the MBR and every EBR, as byte offsets
    std::vector<volume_map> volumes;
};

// Reads the structures of the volume at byte offset start: enough to aim damage, not a second reader.
volume_map map_volume(const std::vector<uint8_t>& disk, uint64_t start)
{
    volume_map v;
    const uint8_t* sb = disk.data() + start + 1024;
    uint32_t block_size = 1024u << read_le32(sb, 24);
    uint32_t inodes_per_group = read_le32(sb, 40);
    uint32_t inode_size = read_le16(sb, 88);
    bool is_64bit = (read_le32(sb, 96) & 0x80) != 0;
    v.superblock = start + 1024;
    v.inode_size = inode_size;
    v.desc_size = is_64bit ? read_le16(sb, 254) : 32;
    v.descriptors = start + (static_cast<uint64_t>(read_le32(sb, 20)) + 1) * block_size;
    v.group_count = (read_le32(sb, 4) - read_le32(sb, 20) + read_le32(sb, 32) - 1) / read_le32(sb, 32);
    auto block_at = [&](uint64_t block) { return start + block * block_size; };
    for (uint32_t g = 0; g < v.group_count; ++g) {
        uint64_t table = block_at(read_le32(disk.data() + v.descriptors + g * v.desc_size, 8));
        for (uint32_t i = 0; i < inodes_per_group; ++i) {
            uint64_t at = table + static_cast<uint64_t>(i) * inode_size;
            const uint8_t* inode = disk.data() + at;
            uint16_t mode = read_le16(inode, 0);
            if (mode == 0 || (g == 0 && i < 10 && i != 1))
                continue;  // unused, or reserved but for the root
            v.inodes.push_back(at);
            bool directory = (mode & 0xF000) == 0x4000;
            if ((mode & 0xF000) == 0xA000 && read_le32(inode, 4) < 60)
                continue;  // a link whose target is kept in i_block
            if (read_le32(inode, 32) & 0x10000000) {
                v.inline_inodes.push_back(at);
                continue;
            }
            if (read_le32(inode, 32) & 0x80000) {
                v.extent_nodes.push_back(at + 40);
                const uint8_t* root = inode + 40;
                for (uint32_t e = 0; e < read_le16(root, 2); ++e) {
                    const uint8_t* entry = root + 12 + 12 * e;
                    if (read_le16(root, 6) > 0)
                        v.extent_nodes.push_back(block_at(read_le32(entry, 4)));
                    else if (directory)
                        v.directory_blocks.push_back(block_at(read_le32(entry, 8)));
                }
            } else {
                if (directory && read_le32(inode, 40) != 0)
                    v.directory_blocks.push_back(block_at(read_le32(inode, 40)));
                for (int slot : {12, 13})
                    if (read_le32(inode, 40 + 4 * slot) != 0)
                        v.indirect_blocks.push_back(block_at(read_le32(inode, 40 + 4 * slot)));
            }
        }
    }
    return v;
}

disk_map map_sweep_disk(const std::vector<uint8_t>& disk)
{
    disk_map map;
    map.table_sectors.push_back(0);
    for (const layout_entry& entry : read_layout("sweep.img")) {
        if (entry.type == "5") {
            // The EBR chain: each link's start counts from the extended partition's start.
            uint64_t extended = static_cast<uint64_t>(entry.start) * 512;
            for (uint64_t ebr = extended; map.table_sectors.size() < 8;) {
                map.table_sectors.push_back(ebr);
                const uint8_t* link = disk.data() + ebr + 446 + 16;
                if (link[4] != 0x05)
                    break;
                ebr = extended + static_cast<uint64_t>(read_le32(link, 8)) * 512;
            }
        } else if (entry.type == "83") {
            map.volumes.push_back(map_volume(disk, static_cast<uint64_t>(entry.start) * 512));
        }
    }
    return map;
}

// Damage of one kind, applied to a copy of the disk.
class damage {
public:
    damage(std::vector<uint8_t>& disk, std::mt19937& random) : disk_(disk), random_(random) {}

    size_t pick(size_t count) { return std::uniform_int_distribution<size_t>(0, count - 1)(random_); }

    template <class T>
    const T& pick_from(const std::vector<T>& items)
    {
        return items[pick(items.size())];
    }

    // A value that on-disk fields get wrong in interesting ways, from the field's own value.
    uint32_t odd_value(uint32_t original)
    {
        const uint32_t values[] = {0,          1,          2,          7,           0x7F,       0x80,
                                   0xFF,       0x100,      0xFFFF,     0x10000,     0x7FFFFFFF, 0x80000000,
                                   0xFFFFFFFE, 0xFFFFFFFF, original + 1, original - 1, original * 2,
                                   original ^ (1u << pick(32)), static_cast<uint32_t>(random_())};
        return values[pick(std::size(values))];
    }

    void set32(uint64_t at) { put_le32(disk_.data() + at, odd_value(read_le32(disk_.data(), at))); }
    void set16(uint64_t at)
    {
        put_le16(disk_.data() + at, static_cast<uint16_t>(odd_value(read_le16(disk_.data(), at))));
    }
    void set8(uint64_t at) { disk_[at] = static_cast<uint8_t>(odd_value(disk_[at])); }
    void flip(uint64_t at) { disk_[at] ^= static_cast<uint8_t>(1 + pick(255)); }
    uint8_t* at(uint64_t offset) { return disk_.data() + offset; }

private:
    std::vector<uint8_t>& disk_;
    std::mt19937& random_;
};

using damage_kind = std::function<void(damage&, const disk_map&)>;

struct sweep_case {
    const char* name;
    damage_kind apply;
};

void PrintTo(const sweep_case& kind, std::ostream* out)
{
    *out << kind.name;
}

void superblock_geometry(damage& d, const disk_map& map)
{
    const volume_map& v = d.pick_from(map.volumes);
    // Counts, first data block, block size, blocks and inodes per group, inode size, features, descriptor size,
    // the high word of the block count.
    const int fields32[] = {0, 4, 20, 24, 32, 40, 96, 336};
    const int fields16[] = {88, 254};
    if (d.pick(4) == 0)
        d.set16(v.superblock + fields16[d.pick(std::size(fields16))]);
    else
        d.set32(v.superblock + fields32[d.pick(std::size(fields32))]);
}

void group_descriptors(damage& d, const disk_map& map)
{
    const volume_map& v = d.pick_from(map.volumes);
    uint64_t descriptor = v.descriptors + d.pick(v.group_count) * v.desc_size;
    if (d.pick(3) == 0)
        d.flip(descriptor + d.pick(v.desc_size));
    else
        d.set32(descriptor + (v.desc_size >= 64 && d.pick(2) ? 40 : 8));  // the inode table, low or high word
}

void inode_fields(damage& d, const disk_map& map)
{
    uint64_t inode = d.pick_from(d.pick_from(map.volumes).inodes);
    const uint32_t flags[] = {0x4, 0x200, 0x800, 0x10000000};  // compress, compressed clusters, encrypt, inline
    switch (d.pick(8)) {
    case 0: d.set16(inode); break;                           // mode
    case 1: d.set32(inode + 4); break;                       // size, low word
    case 2: d.set32(inode + 108); break;                     // size, high word
    case 3: d.at(inode)[34] ^= 0x08; break;                  // the extents flag
    case 4: std::memset(d.at(inode), 0, 128); break;         // zeroed
    case 5: put_le32(d.at(inode + 32), read_le32(d.at(inode), 32) ^ flags[d.pick(std::size(flags))]); break;
    case 6: d.at(inode)[57] ^= 0x80; break;                  // the first extent's unwritten mark
    default: d.set32(inode + 40 + 4 * d.pick(15)); break;    // a block number or extent field
    }
}

void extent_trees(damage& d, const disk_map& map)
{
    const volume_map& v = map.volumes[0];
    uint64_t node = d.pick_from(v.extent_nodes);
    uint16_t entries = std::min<uint16_t>(read_le16(d.at(node), 2), 4);
    uint64_t entry = node + 12 + 12 * d.pick(entries + 1u);
    switch (d.pick(5)) {
    case 0: d.set16(node + 2 * d.pick(4)); break;           // magic, entries, max, depth
    case 1: d.set32(entry); break;                           // first logical block
    case 2: d.set16(entry + 4 + 2 * d.pick(2)); break;      // length, or the high start word
    case 3:                                                  // two neighbours swapped: entries out of order
        if (entries >= 2) {
            uint64_t first = node + 12 + 12 * d.pick(entries - 1u);
            std::swap_ranges(d.at(first), d.at(first + 12), d.at(first + 12));
            break;
        }
        [[fallthrough]];
    default: d.set32(entry + 8); break;                      // low start word, or an index's child
    }
}

void directory_records(damage& d, const disk_map& map)
{
    uint64_t block = d.pick_from(d.pick_from(map.volumes).directory_blocks);
    // The n-th record of the block, following the lengths as they are.
    uint64_t record = block;
    for (size_t n = d.pick(6); n > 0; --n) {
        uint16_t length = read_le16(d.at(record), 4);
        if (length < 8 || record + length + 8 > block + 1024)  // within the first KiB, whatever the block size
            break;
        record += length;
    }
    switch (d.pick(4)) {
    case 0: d.set32(record); break;      // inode
    case 1: d.set16(record + 4); break;  // record length
    case 2: d.set8(record + 6); break;   // name length
    default: d.set8(record + 7); break;  // file type
    }
}

void indirect_blocks(damage& d, const disk_map& map)
{
    uint64_t block = d.pick_from(map.volumes[1].indirect_blocks);
    size_t index = d.pick(3) == 0 ? d.pick(256) : d.pick(12);
    d.set32(block + 4 * index);
}

void partition_tables(damage& d, const disk_map& map)
{
    uint64_t sector = d.pick_from(map.table_sectors);
    uint64_t entry = sector + 446 + 16 * d.pick(d.pick(2) ? 2 : 4);
    switch (d.pick(5)) {
    case 0: {
        const uint8_t types[] = {0x00, 0x05, 0x0F, 0x83, 0xEE};
        d.at(entry)[4] = types[d.pick(std::size(types))];
        break;
    }
    case 1: d.set32(entry + 8); break;   // start: for a link, where the next EBR is
    case 2: d.set32(entry + 12); break;  // sector count
    case 3: d.flip(sector + 510 + d.pick(2)); break;
    default: d.flip(entry + d.pick(16)); break;
    }
}

void byte_flips(damage& d, const disk_map& map)
{
    // Mostly in metadata, where a flip changes what the reader does; sometimes anywhere on the disk.
    const volume_map& v = d.pick_from(map.volumes);
    std::vector<uint64_t> targets = {v.superblock, v.descriptors};
    for (const auto* list : {&v.inodes, &v.extent_nodes, &v.directory_blocks, &v.indirect_blocks})
        targets.insert(targets.end(), list->begin(), list->end());
    uint64_t at = d.pick(4) == 0 ? d.pick(3u << 20) : d.pick_from(targets) + d.pick(256);
    d.flip(std::min<uint64_t>(at, (3u << 20) - 1));
}

const sweep_case sweep_cases[] = {
    {"superblock_geometry", superblock_geometry}, {"group_descriptors", group_descriptors},
    {"inode_fields", inode_fields},               {"extent_trees", extent_trees},
    {"directory_records", directory_records},     {"indirect_blocks", indirect_blocks},
    {"partition_tables", partition_tables},       {"byte_flips", byte_flips},
};

// A volume of a swept disk: where it starts, and the source tree it was made from.
struct oracle_volume {
    uint64_t offset = 0;
    std::string tree;
};
using oracle_volumes = std::map<std::string, oracle_volume>;  // by partition folder (sda1)

// The tools' view of a damaged disk, an oracle for its copies independent of the plugin. e2fsck -fn names the
// inodes it finds damaged; debugfs dumps each copied path as the damaged image holds it. A copy that succeeds must
// equal that dump (or, where debugfs cannot dump a file e2fsck names, the file as made); a copy may fail only where
// e2fsck names its inode, a folder above it, or the volume itself (anything it reports before its pass 1). A
// volume e2fsck opens through group 1's superblock copy is dumped through the copy at block 8193 (the only one
// e2fsck finds unasked on the swept volumes, all of 1 KiB blocks). Copies whose path debugfs does not find as a
// regular file (a link, a
// name the plugin shows with stand-ins, a record debugfs reads otherwise) are not checked, nor volumes that e2fsck
// or debugfs cannot open or do not finish within tool_seconds (e2fsck can spend minutes on a superblock that
// claims millions of inodes).
class tool_oracle {
public:
    static constexpr int tool_seconds = 10;

    tool_oracle()
    {
        available_ = run("command -v e2fsck && command -v debugfs", nullptr).find("debugfs") != std::string::npos;
        char name[] = "/tmp/tarnwick_oracle_XXXXXX";
        if (available_ && mkdtemp(name) != nullptr)
            folder_ = name;
        else
            available_ = false;
    }

    ~tool_oracle()
    {
        std::error_code error;
        if (!folder_.empty() && folder_.string().rfind("/tmp/tarnwick_oracle_", 0) == 0)
            fs::remove_all(folder_, error);
    }

    bool available() const { return available_; }
    int copies_checked() const { return copies_checked_; }

    // Checks the kept copies of one session on disk against the tools; volumes gives each partition folder's volume.
    // The first fault found, as text; empty when there is none.
    std::string check(const std::vector<uint8_t>& disk, const oracle_volumes& volumes,
                      const std::vector<walk_copy>& copies)
    {
        fs::path image = folder_ / "disk.img";
        std::ofstream(image, std::ios::binary)
            .write(reinterpret_cast<const char*>(disk.data()), static_cast<std::streamsize>(disk.size()));
        std::string fault;
        for (const auto& [folder, volume] : volumes) {
            std::vector<const walk_copy*> mine;
            for (const walk_copy& copy : copies)
                if (copy.remote.rfind("/" + folder + "/", 0) == 0)
                    mine.push_back(&copy);
            if (!mine.empty() && fault.empty())
                fault = check_volume(image.string() + "?offset=" + std::to_string(volume.offset), folder, volume.tree,
                                     mine);
        }
        fs::remove(image);
        return fault;
    }

private:
    static std::string run(const std::string& command, int* status)
    {
        std::string output;
        FILE* pipe = popen(("export PATH=$PATH:/usr/sbin:/sbin; { " + command + "; } 2>&1").c_str(), "r");
        if (!pipe)
            return output;
        char chunk[65536];
        size_t got;
        while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0)
            output.append(chunk, got);
        int result = pclose(pipe);
        if (status)
            *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
        return output;
    }

    // e2fsck's findings: the inode numbers it names (every "inode N", "inode #N" and "(N)" of its report), and
    // whether it reported anything about the volume before its pass 1. False when it could not check the volume.
    static bool e2fsck_findings(const std::string& volume, std::set<uint32_t>& named, bool& volume_damaged,
                                bool& through_copy)
    {
        int status = 0;
        std::string report = run("timeout " + std::to_string(tool_seconds) + " e2fsck -fn '" + volume + "'", &status);
        if (status < 0 || (status & 8) != 0 || report.find("Pass 1:") == std::string::npos)
            return false;
        std::string before_pass_1 = report.substr(0, report.find("Pass 1:"));
        through_copy = before_pass_1.find("trying backup blocks") != std::string::npos;
        volume_damaged = false;
        std::istringstream lines(before_pass_1);
        std::string line;
        while (std::getline(lines, line))
            if (!line.empty() && line.rfind("e2fsck ", 0) != 0)
                volume_damaged = true;
        static const std::regex numbers(R"([Ii]node #?(\d+)|\((\d+)\))");
        for (std::sregex_iterator it(report.begin(), report.end(), numbers), end; it != end; ++it)
            named.insert(static_cast<uint32_t>(std::stoul((*it)[1].matched ? (*it)[1].str() : (*it)[2].str())));
        return true;
    }

    std::string check_volume(const std::string& volume, const std::string& folder, const std::string& tree,
                             const std::vector<const walk_copy*>& copies)
    {
        std::set<uint32_t> named;
        bool volume_damaged = false;
        bool through_copy = false;
        if (!e2fsck_findings(volume, named, volume_damaged, through_copy))
            return "";
        // A first debugfs finds the inode of every folder on the way and of each file; a second dumps each file by
        // its inode (debugfs's dump looks some damaged paths up otherwise than its stat does).
        static const std::regex plain_path(R"([A-Za-z0-9._/-]+)");
        std::vector<std::string> stats;
        std::map<std::string, size_t> stat_of;  // path -> index of its stat
        std::vector<std::pair<const walk_copy*, std::string>> files;  // copy, its path in the volume
        for (const walk_copy* copy : copies) {
            std::string path = copy->remote.substr(folder.size() + 1);
            if (!std::regex_match(path, plain_path))
                continue;
            for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
                std::string step = slash == std::string::npos ? path : path.substr(0, slash);
                if (stat_of.emplace(step, stats.size()).second)
                    stats.push_back("stat \"" + step + "\"");
                if (slash == std::string::npos)
                    break;
            }
            files.emplace_back(copy, path);
        }
        std::string debugfs = "debugfs -c -n " + std::string(through_copy ? "-s 8193 -b 1024 " : "");
        std::vector<std::string> stat_outputs;
        if (files.empty() || !run_debugfs(debugfs, volume, stats, stat_outputs))
            return "";
        std::vector<std::string> dumps;
        std::vector<uint32_t> numbers;
        for (const auto& [copy, path] : files) {
            numbers.push_back(parse_debugfs_stat(stat_outputs[stat_of.at(path)]).number);
            dumps.push_back("dump <" + std::to_string(numbers.back()) + "> \"" + dump_path(dumps.size()).string() + "\"");
        }
        std::vector<std::string> dump_outputs;
        std::string fault;
        if (run_debugfs(debugfs, volume, dumps, dump_outputs)) {
            for (size_t k = 0; k < files.size() && fault.empty(); ++k)
                fault = check_copy(*files[k].first, files[k].second, stat_outputs, stat_of, dump_outputs[k], named,
                                   volume_damaged, dump_path(k), tree + files[k].second);
        }
        for (size_t k = 0; k < files.size(); ++k)
            fs::remove(dump_path(k));
        return fault;
    }

    fs::path dump_path(size_t k) const { return folder_ / ("d" + std::to_string(k)); }

    // Runs the commands in one debugfs process within tool_seconds; one output per command.
    bool run_debugfs(const std::string& debugfs, const std::string& volume, const std::vector<std::string>& commands,
                     std::vector<std::string>& outputs)
    {
        fs::path script = folder_ / "commands";
        {
            std::ofstream out(script);
            for (const std::string& command : commands)
                out << command << "\n";
        }
        int status = 0;
        std::string text = run("timeout " + std::to_string(tool_seconds) + " " + debugfs + "-f '" + script.string() +
                                   "' '" + volume + "'",
                               &status);
        outputs = split_debugfs_outputs(text);
        return status == 0 && outputs.size() == commands.size();
    }

    // A copy against debugfs's stat of its path (and of the folders above it) and its dump: a copy that succeeds
    // equals the dump, and only a copy that may fail fails. Where debugfs cannot dump a file e2fsck names (its
    // library refuses some attribute areas Linux reads), a copy that succeeds must hold the file as it was made
    // (source): bytes that neither debugfs reads nor the undamaged file holds are made up.
    std::string check_copy(const walk_copy& copy, const std::string& path, const std::vector<std::string>& outputs,
                           const std::map<std::string, size_t>& stat_of, const std::string& dump_output,
                           const std::set<uint32_t>& named, bool volume_damaged, const fs::path& dump,
                           const fs::path& source)
    {
        const debugfs_inode file = parse_debugfs_stat(outputs[stat_of.at(path)]);
        if (file.number == 0 || file.type != "regular")
            return "";
        bool may_fail = volume_damaged || named.count(file.number) != 0 || named.count(root_directory_inode) != 0;
        for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
            may_fail = may_fail || named.count(parse_debugfs_stat(outputs[stat_of.at(path.substr(0, slash))]).number);
        bool dumped = dump_output.empty() && fs::exists(dump);
        std::string what = "copy of " + copy.remote + " (inode " + std::to_string(file.number) + ")";
        if (!dumped) {
            // debugfs could not read a file e2fsck finds sound: nothing to compare with.
            if (!may_fail || copy.result != file_result_ok)
                return "";
            ++copies_checked_;
            std::error_code error;
            if (!fs::is_regular_file(source, error) || copy.bytes != read_file_bytes(source.string()))
                return what + " succeeds though e2fsck names it, debugfs cannot dump it (" + dump_output +
                       ") and it differs from the file as made";
            return "";
        }
        ++copies_checked_;
        if (copy.result == file_result_ok) {
            // debugfs 1.47 dumps an inline file as the whole 60 bytes of i_block, past its size.
            std::vector<uint8_t> bytes = read_file_bytes(dump.string());
            if (bytes.size() > file.size)
                bytes.resize(static_cast<size_t>(file.size));
            if (copy.bytes != bytes)
                return what + " differs from debugfs's dump";
        } else if (!may_fail) {
            return what + " fails with " + std::to_string(copy.result) +
                   " though e2fsck names neither it nor a folder above it";
        }
        return "";
    }

    bool available_ = false;
    fs::path folder_;
    int copies_checked_ = 0;
};

// The partition folders of the sweep disk and where their volumes start, while its tables are as made; empty when
// damage changed a table sector, so that a folder may name another area.
oracle_volumes intact_volumes(const std::vector<uint8_t>& disk, const std::vector<uint8_t>& pristine,
                              const disk_map& map, const std::string& image)
{
    for (uint64_t sector : map.table_sectors)
        if (!std::equal(disk.begin() + static_cast<std::ptrdiff_t>(sector),
                        disk.begin() + static_cast<std::ptrdiff_t>(sector + 512),
                        pristine.begin() + static_cast<std::ptrdiff_t>(sector)))
            return {};
    oracle_volumes volumes;
    for (const layout_entry& entry : read_layout(image))
        if (entry.type == "83")
            volumes["sda" + std::to_string(entry.number)] = {uint64_t{entry.start} * 512, fixture_path("trees/" + entry.tree)};
    return volumes;
}

// A clean scratch folder per test and one checked host session per disk.
class hostile_disk_test : public scratch_test {
protected:
    // One host session over the disk, checked: in time, sound answers, no drive opened for writing, nothing written
    // but the copies, which are gone afterwards.
    walk_result walk(std::vector<uint8_t> disk, const std::string& label, bool keep_copies = false)
    {
        return walk(std::move(disk), label, keep_copies, walk_limits{}.max_copies);
    }

    walk_result walk(std::vector<uint8_t> disk, const std::string& label, bool keep_copies, int max_copies)
    {
        test_control::reset();
        test_control::set_administrator(true);
        test_control::add_drive_memory(std::move(disk));
        walk_limits limits;
        limits.max_copy_size = 300 * 1024;
        limits.keep_copies = keep_copies;
        limits.max_copies = max_copies;
        auto started = std::chrono::steady_clock::now();
        walk_result result = walk_as_host(scratch.string(), limits);
        auto took = std::chrono::steady_clock::now() - started;
        EXPECT_LT(took, run_time_bound) << label;
        EXPECT_EQ(result.fault, "") << label;
        EXPECT_EQ(test_control::read_counters().drive_write_opens, 0) << label;
        for (const std::string& name : test_control::files_written())
            EXPECT_EQ(fs::path(name).parent_path(), scratch) << label << ": wrote " << name;
        EXPECT_TRUE(fs::is_empty(scratch)) << label;
        return result;
    }

    // A session over the disk, its copies checked against the tools as well every oracle_every-th run, when the
    // volumes are known (the tables are intact).
    walk_result walk_checked(const std::vector<uint8_t>& disk, const oracle_volumes& volumes,
                             const std::string& label, int run, int max_copies = walk_limits{}.max_copies)
    {
        bool checked = oracle.available() && run % oracle_every == 0 && !volumes.empty();
        walk_result result = walk(disk, label, checked, max_copies);
        if (checked) {
            EXPECT_EQ(oracle.check(disk, volumes, result.kept), "") << label;
        }
        return result;
    }

    // At the end of a sweep: the oracle checked copies (at least minimum), or the sweep says it ran without it.
    void expect_oracle_checked(int minimum)
    {
        if (!oracle.available())
            GTEST_SKIP() << "e2fsck or debugfs is missing: the sweep ran, but its copies were not checked against "
                            "them";
        std::printf("copies checked against e2fsck and debugfs: %d\n", oracle.copies_checked());
        EXPECT_GE(oracle.copies_checked(), minimum);
    }

    tool_oracle oracle;
};

class corruption_sweep_test : public hostile_disk_test, public testing::WithParamInterface<sweep_case> {};

}  // namespace

TEST_P(corruption_sweep_test, every_damaged_disk_is_browsed_and_copied_from_cleanly)
{
    const std::vector<uint8_t> pristine = read_file_bytes(fixture_path("sweep.img"));
    const disk_map map = map_sweep_disk(pristine);
    ASSERT_EQ(map.volumes.size(), 3u);
    ASSERT_EQ(map.table_sectors.size(), 3u);  // the MBR and two EBRs
    for (const volume_map& v : map.volumes)
        ASSERT_FALSE(v.inodes.empty() || v.directory_blocks.empty());
    ASSERT_GE(map.volumes[0].extent_nodes.size(), 2u);
    ASSERT_GE(map.volumes[1].indirect_blocks.size(), 2u);

    // The undamaged disk shows all its partitions and copies its files, so that damage has something to break.
    walk_result intact = walk(pristine, "intact");
    EXPECT_EQ(intact.partitions, 3);
    EXPECT_GE(intact.copies_ok, 10);

    std::mt19937 random(0x5EED + static_cast<unsigned>(std::string(GetParam().name).size()));
    int changed_outcomes = 0;
    for (int run = 0; run < runs_per_kind && !HasFailure(); ++run) {
        std::vector<uint8_t> disk = pristine;
        damage d(disk, random);
        for (size_t n = 1 + d.pick(3); n > 0; --n)
            GetParam().apply(d, map);
        walk_result result = walk_checked(disk, intact_volumes(disk, pristine, map, "sweep.img"),
                                          std::string(GetParam().name) + " run " + std::to_string(run), run);
        if (result.digest != intact.digest)
            ++changed_outcomes;
    }
    // Damage that never shows would test nothing.
    EXPECT_GT(changed_outcomes, runs_per_kind / 10);
    // Damage to the tables leaves the oracle no volume it can place.
    expect_oracle_checked(std::string(GetParam().name) == "partition_tables" ? 0 : 50);
}

INSTANTIATE_TEST_SUITE_P(kinds, corruption_sweep_test, testing::ValuesIn(sweep_cases),
                         [](const testing::TestParamInfo<sweep_case>& info) { return std::string(info.param.name); });

namespace {

// Damage to the GUID tables of the gpt_parts disk: header fields, entry fields, the CRCs themselves and the
// protective MBR. Damaged fields mostly get their CRCs made right again, so that the checks behind the CRCs are
// reached too.
struct gpt_damage {
    damage& d;
    std::vector<uint8_t>& disk;

    uint64_t header() { return d.pick(2) ? 512 : disk.size() - 512; }

    void rehash_header(uint64_t at)
    {
        uint32_t size = std::min<uint32_t>(read_le32(disk.data(), at + 12), 512);
        put_le32(d.at(at + 16), 0);
        put_le32(d.at(at + 16), gpt_crc32(d.at(at), size));
    }

    void rehash_entries(uint64_t at)
    {
        uint64_t entries = (read_le32(disk.data(), at + 72) | uint64_t{read_le32(disk.data(), at + 76)} << 32) * 512;
        uint64_t bytes = uint64_t{read_le32(disk.data(), at + 80)} * read_le32(disk.data(), at + 84);
        if (entries < disk.size() && bytes <= disk.size() - entries)
            put_le32(d.at(at + 88), gpt_crc32(d.at(entries), static_cast<size_t>(bytes)));
        rehash_header(at);
    }

    void apply()
    {
        uint64_t at = header();
        switch (d.pick(4)) {
        case 0: {
            // Revision, header size, my-LBA, alternate, usable range, array LBA, count, size (low or high words).
            const int fields[] = {8, 12, 24, 28, 32, 40, 44, 48, 52, 72, 76, 80, 84};
            d.set32(at + fields[d.pick(std::size(fields))]);
            if (d.pick(3))
                rehash_header(at);
            break;
        }
        case 1: {
            uint64_t entries = 512 * (at == 512 ? 2 : (disk.size() / 512 - 33));
            uint64_t entry = entries + 128 * d.pick(8);
            switch (d.pick(4)) {
            case 0: d.flip(entry + d.pick(16)); break;  // the type GUID
            case 1: d.set32(entry + 32 + 4 * d.pick(2)); break;  // first LBA
            case 2: d.set32(entry + 40 + 4 * d.pick(2)); break;  // last LBA
            default: std::memmove(d.at(entry), d.at(entries + 128 * d.pick(8)), 16); break;  // another entry's type
            }
            if (d.pick(3))
                rehash_entries(at);
            break;
        }
        case 2: d.set32(at + (d.pick(2) ? 16 : 88)); break;  // a CRC
        default: {
            const uint8_t types[] = {0x00, 0x05, 0x83, 0xEE};
            d.at(446 + 16 * d.pick(4))[4] = types[d.pick(std::size(types))];
            break;
        }
        }
    }
};

}  // namespace

TEST_F(hostile_disk_test, every_damaged_guid_table_is_browsed_and_copied_from_cleanly)
{
    const std::vector<uint8_t> pristine = read_file_bytes(fixture_path("gpt_parts.img"));
    walk_result intact = walk(pristine, "intact");
    EXPECT_EQ(intact.partitions, 2);
    EXPECT_GE(intact.copies_ok, 4);

    std::mt19937 random(0x6E7);
    int changed_outcomes = 0;
    for (int run = 0; run < runs_per_kind && !HasFailure(); ++run) {
        std::vector<uint8_t> disk = pristine;
        damage d(disk, random);
        gpt_damage tables{d, disk};
        for (size_t n = 1 + d.pick(3); n > 0; --n)
            tables.apply();
        walk_result result = walk(std::move(disk), "guid tables run " + std::to_string(run));
        if (result.digest != intact.digest)
            ++changed_outcomes;
    }
    EXPECT_GT(changed_outcomes, runs_per_kind / 10);
}

namespace {

// The journals of the journal disk: where each volume's journal superblock and first log blocks lie, and whether
// its blocks carry checksums.
struct journal_volume_map {
    uint64_t start = 0;  // byte offset of the volume
    uint32_t block_size = 0;
    uint64_t inode = 0;               // byte offset of the journal's inode
    std::vector<uint64_t> log;        // byte offsets of logical blocks 0 (the superblock) up to the log's end
    bool checksums = false;
};

std::vector<journal_volume_map> map_journals(const std::vector<uint8_t>& disk)
{
    std::vector<journal_volume_map> journals;
    for (const layout_entry& entry : read_layout("journal.img")) {
        journal_volume_map j;
        j.start = static_cast<uint64_t>(entry.start) * 512;
        j.block_size = 1024u << read_le32(disk.data() + j.start + 1024, 24);
        std::vector<std::string> commands{"imap <8>"};
        for (int n = 0; n < 24; ++n)
            commands.push_back("bmap <8> " + std::to_string(n));
        std::vector<std::string> out = debugfs_batch(fixture_path("journal.img"), j.start, commands);
        uint64_t block = 0;
        unsigned offset = 0;
        std::sscanf(out[0].c_str() + out[0].find("located at block"), "located at block %" SCNu64 ", offset 0x%x", &block,
                    &offset);
        j.inode = j.start + block * j.block_size + offset;
        for (size_t n = 1; n < out.size(); ++n)
            j.log.push_back(j.start + std::stoull(out[n]) * j.block_size);
        j.checksums = (read_be32(disk.data() + j.log[0], 40) & 0x18) != 0;
        journals.push_back(j);
    }
    return journals;
}

// Damage to the journals: superblock fields, block headers, descriptor tags, revoke counts and records, the journal
// inode, and flips anywhere in the log. Checksummed blocks mostly get their checksums made right again, so that the
// checks behind them are reached too.
struct journal_damage {
    damage& d;
    const journal_volume_map& j;

    static void put_be32(uint8_t* p, uint32_t value)
    {
        p[0] = static_cast<uint8_t>(value >> 24);
        p[1] = static_cast<uint8_t>(value >> 16);
        p[2] = static_cast<uint8_t>(value >> 8);
        p[3] = static_cast<uint8_t>(value);
    }

    void set_be32(uint64_t at) { put_be32(d.at(at), d.odd_value(read_be32(d.at(at), 0))); }

    // Signs a log block again as its type says: the commit checksum at byte 16, the tail of the others.
    void resign(uint64_t block)
    {
        if (!j.checksums || d.pick(4) == 0)
            return;
        uint32_t seed = crc32c(~0u, d.at(j.log[0] + 48), 16);
        size_t at = read_be32(d.at(block), 4) == 2 ? 16 : j.block_size - 4;
        put_be32(d.at(block + at), 0);
        put_be32(d.at(block + at), crc32c(seed, d.at(block), j.block_size));
    }

    void apply()
    {
        uint64_t block = j.log[1 + d.pick(j.log.size() - 1)];
        switch (d.pick(6)) {
        case 0: {
            // Block size, length, first, sequence, start, features; then signed again.
            const int fields[] = {12, 16, 20, 24, 28, 36, 40, 44};
            set_be32(j.log[0] + fields[d.pick(std::size(fields))]);
            if (j.checksums && d.pick(4)) {
                put_be32(d.at(j.log[0] + 252), 0);
                put_be32(d.at(j.log[0] + 252), crc32c(~0u, d.at(j.log[0]), 1024));
            }
            break;
        }
        case 1: set_be32(block + 4 * (1 + d.pick(2))); break;  // block type or sequence
        case 2: set_be32(block + 12 + 4 * d.pick(12)); resign(block); break;  // tags, or a revoke count and records
        case 3: d.flip(block + d.pick(j.block_size)); resign(block); break;
        case 4: d.set32(j.inode + (d.pick(2) ? 4 : 40 + 4 * d.pick(15))); break;  // the journal inode's size or map
        default: d.flip(j.start + 1024 + (d.pick(2) ? 92 : 96) + d.pick(4)); break;  // journal feature flags
        }
    }
};

}  // namespace

TEST_F(hostile_disk_test, every_damaged_journal_is_browsed_and_copied_from_cleanly)
{
    const std::vector<uint8_t> pristine = read_file_bytes(fixture_path("journal.img"));
    const std::vector<journal_volume_map> journals = map_journals(pristine);
    ASSERT_EQ(journals.size(), 3u);
    walk_result intact = walk(pristine, "intact");
    EXPECT_EQ(intact.partitions, 3);
    EXPECT_GE(intact.copies_ok, 10);

    std::mt19937 random(0x10A5);
    int changed_outcomes = 0;
    for (int run = 0; run < runs_per_kind && !HasFailure(); ++run) {
        std::vector<uint8_t> disk = pristine;
        damage d(disk, random);
        for (size_t n = 1 + d.pick(3); n > 0; --n)
            journal_damage{d, d.pick_from(journals)}.apply();
        walk_result result = walk(std::move(disk), "journal run " + std::to_string(run));
        if (result.digest != intact.digest)
            ++changed_outcomes;
    }
    EXPECT_GT(changed_outcomes, runs_per_kind / 10);
}

// Damage to inline inodes: the extra-size field that places the attribute area, the area's magic, entry fields and
// values (a value offset into the entry table among them), i_block (file content, or a folder's parent and records)
// and the size.
void inline_inodes(damage& d, const volume_map& v)
{
    uint64_t inode = d.pick_from(v.inline_inodes);
    uint32_t room = v.inode_size - 128 - 8;
    uint64_t area = inode + 128 + std::min<uint32_t>(read_le16(d.at(inode), 128), room);
    uint64_t entry = area + 4 + 16 * d.pick(2);  // the first entry, or where a second one would start
    if (d.pick(7) == 0) {
        put_le16(d.at(area + 4 + 2), static_cast<uint16_t>(d.pick(28)));  // the first value inside the entries
        return;
    }
    switch (d.pick(6)) {
    case 0: d.set16(inode + 128); break;
    case 1: d.set32(area); break;
    case 2: {
        const int fields[] = {0, 1, 2, 4, 8};  // name length, name index, value offset, value inode, value size
        int field = fields[d.pick(std::size(fields))];
        if (field < 2)
            d.set8(entry + field);
        else if (field == 2)
            d.set16(entry + field);
        else
            d.set32(entry + field);
        break;
    }
    case 3: d.set32(inode + 40 + 4 * d.pick(15)); break;
    case 4: d.set32(inode + 4); break;
    default: d.flip(area + d.pick(v.inode_size - (area - inode))); break;
    }
}

TEST_F(hostile_disk_test, every_damaged_inline_inode_is_browsed_and_copied_from_cleanly)
{
    const std::vector<uint8_t> pristine = read_file_bytes(fixture_path("sweep_inline.img"));
    const volume_map volume = map_volume(pristine, uint64_t{read_layout("sweep_inline.img").at(0).start} * 512);
    const oracle_volumes volumes{
        {"sda1", {uint64_t{read_layout("sweep_inline.img").at(0).start} * 512, fixture_path("trees/sweep_inline1")}}};
    ASSERT_GE(volume.inline_inodes.size(), 8u);
    // Every file is copied: the damage falls on any of the inline inodes.
    constexpr int copies = 32;
    walk_result intact = walk(pristine, "intact", false, copies);
    EXPECT_EQ(intact.partitions, 1);
    EXPECT_GE(intact.copies_ok, 16);

    std::mt19937 random(0x171E);
    int changed_outcomes = 0;
    for (int run = 0; run < runs_per_kind && !HasFailure(); ++run) {
        std::vector<uint8_t> disk = pristine;
        damage d(disk, random);
        for (size_t n = 1 + d.pick(3); n > 0; --n)
            inline_inodes(d, volume);
        walk_result result = walk_checked(disk, volumes, "inline inodes run " + std::to_string(run), run, copies);
        if (result.digest != intact.digest)
            ++changed_outcomes;
    }
    EXPECT_GT(changed_outcomes, runs_per_kind / 10);
    expect_oracle_checked(50);
}

// Damage to a whole-drive volume whose primary superblock is zapped (mostly) or left: group 1's superblock copy
// (its magic, s_block_group_nr, geometry and features), the descriptor table after it, another file system's
// signature at the drive's start, and flips in the copy.
void superblock_copies(damage& d, std::vector<uint8_t>& disk)
{
    constexpr uint64_t copy = uint64_t{8193} * 1024;
    constexpr uint64_t copy_table = uint64_t{8194} * 1024;
    if (d.pick(4) != 0)
        std::fill(disk.begin() + 1024, disk.begin() + 2048, uint8_t{0});
    switch (d.pick(6)) {
    case 0: {
        // Counts, first data block, block size, blocks and inodes per group, features, group number, magic.
        const int fields32[] = {0, 4, 20, 24, 32, 40, 96};
        d.set32(copy + fields32[d.pick(std::size(fields32))]);
        break;
    }
    case 1: d.set16(copy + (d.pick(2) ? 0x5A : 56)); break;
    case 2: d.set32(copy_table + 64 * d.pick(2) + (d.pick(2) ? 8 : 40)); break;  // an inode table, low or high word
    case 3: {
        const char* signatures[] = {"NTFS    ", "FAT32   ", "XFSB", "SWAPSPACE2"};
        const size_t offsets[] = {3, 0x52, 0, 0xFF6};
        size_t k = d.pick(std::size(signatures));
        std::memcpy(d.at(offsets[k]), signatures[k], std::strlen(signatures[k]));
        break;
    }
    case 4: d.flip(copy + d.pick(1024)); break;
    default: break;  // the copy as it is
    }
}

TEST_F(hostile_disk_test, every_damaged_superblock_copy_is_browsed_and_copied_from_cleanly)
{
    const std::vector<uint8_t> pristine = read_file_bytes(fixture_path("volume_backup.img"));
    const oracle_volumes volumes{{"sda", {0, fixture_path("trees/damaged2")}}};
    walk_result intact = walk(pristine, "intact");
    EXPECT_EQ(intact.partitions, 1);
    EXPECT_GE(intact.copies_ok, 2);

    std::mt19937 random(0xC0B1);
    int changed_outcomes = 0;
    int through_copy = 0;
    for (int run = 0; run < runs_per_kind && !HasFailure(); ++run) {
        std::vector<uint8_t> disk = pristine;
        damage d(disk, random);
        superblock_copies(d, disk);
        walk_result result = walk_checked(disk, volumes, "superblock copies run " + std::to_string(run), run);
        if (result.digest != intact.digest)
            ++changed_outcomes;
        if (result.digest == intact.digest && read_le16(disk.data(), 1024 + 56) != 0xEF53)
            ++through_copy;
    }
    EXPECT_GT(changed_outcomes, runs_per_kind / 10);
    // Many damaged disks still read whole through the copy.
    EXPECT_GT(through_copy, runs_per_kind / 10);
    expect_oracle_checked(50);
}

namespace {

// Where the md superblocks and the LVM structures of the disk of LVM inside a RAID1 lie (stacked/stacked.layout):
// each member's superblock, and in the first member's data area (the half the array reads) the physical volume's
// label sector, PV header and first metadata area header.
struct stacked_map {
    std::vector<uint64_t> superblocks;
    uint64_t label = 0;
    uint64_t pv_header = 0;
    uint64_t mda = 0;
};

uint64_t read_le64(const uint8_t* p, size_t offset)
{
    return read_le32(p, offset) | uint64_t{read_le32(p, offset + 4)} << 32;
}

void put_le64(uint8_t* p, uint64_t value)
{
    put_le32(p, static_cast<uint32_t>(value));
    put_le32(p + 4, static_cast<uint32_t>(value >> 32));
}

stacked_map map_stacked_disk(const std::vector<uint8_t>& disk)
{
    stacked_map map;
    std::ifstream layout(fixture_path("stacked/stacked.layout"));
    uint64_t pv = 0;
    for (std::string line; std::getline(layout, line);) {
        std::istringstream fields(line);
        std::string kind;
        uint64_t offset = 0;
        fields >> kind >> offset;
        if (kind == "member")
            map.superblocks.push_back(offset + 4096);  // 1.2: at 4 KiB into the member
        else if (kind == "pv")
            pv = offset;
    }
    for (uint64_t sector = 0; sector < 4 && map.label == 0; ++sector)
        if (std::memcmp(disk.data() + pv + 512 * sector, "LABELONE", 8) == 0)
            map.label = pv + 512 * sector;
    if (map.label == 0)
        return map;
    map.pv_header = map.label + read_le32(disk.data(), map.label + 20);
    // The data area list (UUID and size first), its zero terminator, then the first metadata area.
    uint64_t area = map.pv_header + 40;
    while (read_le64(disk.data(), area) != 0)
        area += 16;
    map.mda = pv + read_le64(disk.data(), area + 16);
    return map;
}

// A 64-bit field's wrong values: small, past 32 bits, past 63, all ones, near the original, random.
void set64(damage& d, uint64_t at)
{
    uint64_t original = read_le64(d.at(at), 0);
    const uint64_t values[] = {0, 1, original + 1, original - 1, original << 9, uint64_t{1} << 32,
                               uint64_t{1} << 63, ~uint64_t{0}, (uint64_t{d.odd_value(0)} << 32) | d.odd_value(0)};
    put_le64(d.at(at), values[d.pick(std::size(values))]);
}

// Checksums made right again in most runs, so that the checks behind them are reached too: the label's CRC covers
// bytes 20-511 of its sector (the PV header lies in it), a metadata area header's its bytes 4-511, a 1.x
// superblock's the header and its max_dev roles.
void resign_label(damage& d, const stacked_map& map)
{
    if (d.pick(4))
        put_le32(d.at(map.label + 16), lvm_crc(lvm_crc_initial, d.at(map.label + 20), 492));
}

void resign_mda(damage& d, const stacked_map& map)
{
    if (d.pick(4))
        put_le32(d.at(map.mda), lvm_crc(lvm_crc_initial, d.at(map.mda + 4), 508));
}

void resign_superblock(damage& d, uint64_t super)
{
    uint32_t max_dev = read_le32(d.at(super), md_1::max_dev);
    if (max_dev <= md_1_max_dev && d.pick(4))
        put_le32(d.at(super + md_1::sb_csum), md_1_checksum(d.at(super), max_dev));
}

void lvm_label(damage& d, const stacked_map& map)
{
    switch (d.pick(4)) {
    case 0: set64(d, map.label + 8); break;                     // the sector it says it is in
    case 1: d.set32(map.label + 20); break;                     // where the PV header lies
    case 2: d.flip(map.label + d.pick(32)); break;              // id, CRC, type
    default: d.flip(map.label + 32 + d.pick(480)); break;       // anywhere after the header
    }
    resign_label(d, map);
}

void lvm_pv_header(damage& d, const stacked_map& map)
{
    // UUID, device size, the data area and the metadata area (offset, size) and the terminators between them.
    uint64_t field = map.pv_header + 32 + 8 * d.pick(9);
    if (d.pick(5) == 0)
        d.flip(map.pv_header + d.pick(32));
    else
        set64(d, field);
    resign_label(d, map);
}

void lvm_mda_header(damage& d, const stacked_map& map)
{
    switch (d.pick(5)) {
    case 0: d.flip(map.mda + 4 + d.pick(20)); break;              // magic, version
    case 1: set64(d, map.mda + 24 + 8 * d.pick(2)); break;        // start, size
    case 2: set64(d, map.mda + 40 + 8 * d.pick(2)); break;        // the text's offset, size
    case 3: d.set32(map.mda + 56 + 4 * d.pick(2)); break;         // the text's checksum, flags
    default: d.flip(map.mda + 40 + d.pick(48)); break;            // the raw locations
    }
    resign_mda(d, map);
}

// The newest text mangled (random bytes, cut short, a number made huge or negative, its punctuation changed) and
// written back in place with its size; its checksum and the header's made right in most runs.
void lvm_metadata_text(damage& d, const stacked_map& map)
{
    const uint64_t locn = map.mda + 40;
    const uint64_t at = map.mda + read_le64(d.at(locn), 0);
    const uint64_t room = read_le64(d.at(map.mda), 32) - read_le64(d.at(locn), 0);
    std::string text(reinterpret_cast<const char*>(d.at(at)), read_le64(d.at(locn), 8));
    if (text.empty())
        return;
    switch (d.pick(4)) {
    case 0:
        for (size_t n = 1 + d.pick(4); n > 0; --n)
            text[d.pick(text.size())] = static_cast<char>(d.pick(256));
        break;
    case 1: text.resize(d.pick(text.size())); break;
    case 2: {
        std::vector<size_t> numbers;
        auto digit = [&](size_t i) { return text[i] >= '0' && text[i] <= '9'; };
        for (size_t i = 0; i < text.size(); ++i)
            if (digit(i) && (i == 0 || !digit(i - 1)))
                numbers.push_back(i);
        if (numbers.empty())
            break;
        size_t start = d.pick_from(numbers);
        size_t end = text.find_first_not_of("0123456789", start);
        const char* huge[] = {"18446744073709551615", "18446744073709551616", "99999999999999999999999999",
                              "9223372036854775808", "-1", "4294967296", "0"};
        text.replace(start, end - start, huge[d.pick(std::size(huge))]);
        break;
    }
    default: {
        const std::string marks = "{}[]\"=,";
        size_t i = text.find_first_of(marks, d.pick(text.size()));
        if (i != std::string::npos)
            text[i] = marks[d.pick(marks.size())];
        break;
    }
    }
    if (text.size() > room)
        text.resize(room);
    std::memcpy(d.at(at), text.data(), text.size());
    put_le64(d.at(locn + 8), text.size());
    if (d.pick(4))
        put_le32(d.at(locn + 16), lvm_crc(lvm_crc_initial, d.at(at), text.size()));
    resign_mda(d, map);
}

uint64_t member_superblock(damage& d, const stacked_map& map)
{
    return d.pick(4) ? map.superblocks[0] : d.pick_from(map.superblocks);  // mostly the half that is read
}

void md_superblock_bytes(damage& d, const stacked_map& map)
{
    uint64_t super = member_superblock(d, map);
    for (size_t n = 1 + d.pick(4); n > 0; --n)
        d.flip(super + d.pick(md_1_header_bytes + 8));
    resign_superblock(d, super);
}

void md_events(damage& d, const stacked_map& map)
{
    uint64_t super = member_superblock(d, map);
    set64(d, super + (d.pick(4) ? md_1::events : md_1::ctime));
    resign_superblock(d, super);
}

void md_data_area(damage& d, const stacked_map& map)
{
    uint64_t super = member_superblock(d, map);
    const size_t fields[] = {md_1::data_offset, md_1::data_size, md_1::size, md_1::super_offset};
    set64(d, super + fields[d.pick(std::size(fields))]);
    resign_superblock(d, super);
}

void md_roles(damage& d, const stacked_map& map)
{
    uint64_t super = member_superblock(d, map);
    switch (d.pick(5)) {
    case 0: d.set32(super + md_1::dev_number); break;
    case 1: d.set32(super + md_1::max_dev); break;
    case 2: d.set32(super + md_1::raid_disks); break;
    case 3: d.set32(super + md_1::level); break;
    default: d.set16(super + md_1::dev_roles + 2 * d.pick(4)); break;
    }
    resign_superblock(d, super);
}

struct stacked_case {
    const char* name;
    void (*apply)(damage&, const stacked_map&);
};

void PrintTo(const stacked_case& kind, std::ostream* out)
{
    *out << kind.name;
}

const stacked_case stacked_cases[] = {
    {"lvm_label", lvm_label},
    {"lvm_pv_header", lvm_pv_header},
    {"lvm_mda_header", lvm_mda_header},
    {"lvm_metadata_text", lvm_metadata_text},
    {"md_superblock_bytes", md_superblock_bytes},
    {"md_events", md_events},
    {"md_data_area", md_data_area},
    {"md_roles", md_roles},
};


class stacked_sweep_test : public hostile_disk_test, public testing::WithParamInterface<stacked_case> {};

}  // namespace

// Damage to the md superblocks and the LVM structures under an ext4: every copy that succeeds holds the file as
// made, whichever half or whatever mapping the damage leads to.
TEST_P(stacked_sweep_test, every_damaged_array_and_physical_volume_is_browsed_and_copied_from_cleanly)
{
    std::string log;
    int status = make_fixture_once("make_stacked.sh", "stacked", "stacked.layout", log);
    if (status == 77)
        GTEST_SKIP() << "no fixture of LVM inside a RAID1: " << log;
    ASSERT_EQ(status, 0) << log;
    const std::vector<uint8_t> pristine = read_file_bytes(fixture_path("stacked/md_lvm.img"));
    const stacked_map map = map_stacked_disk(pristine);
    ASSERT_EQ(map.superblocks.size(), 2u);
    ASSERT_NE(map.mda, 0u);
    const fs::path tree = fixture_path("stacked/tree");
    walk_result intact = walk(pristine, "intact", false, 8);
    EXPECT_EQ(intact.partitions, 1);
    EXPECT_EQ(intact.copies_ok, 2);

    std::mt19937 random(0x57AC + static_cast<unsigned>(std::string(GetParam().name).size()));
    int changed_outcomes = 0;
    for (int run = 0; run < runs_per_kind && !HasFailure(); ++run) {
        std::vector<uint8_t> disk = pristine;
        damage d(disk, random);
        for (size_t n = 1 + d.pick(2); n > 0; --n)
            GetParam().apply(d, map);
        const std::string label = std::string(GetParam().name) + " run " + std::to_string(run);
        walk_result result = walk(std::move(disk), label, true, 8);
        for (const walk_copy& copy : result.kept) {
            if (copy.result != file_result_ok)
                continue;
            // Whatever the volume is called now, the path inside it names a file as made.
            fs::path made = tree / copy.remote.substr(copy.remote.find('/', 1) + 1);
            std::error_code error;
            ASSERT_TRUE(fs::is_regular_file(made, error)) << label << ": " << copy.remote << " copied";
            EXPECT_EQ(copy.bytes, read_file_bytes(made.string())) << label << ": " << copy.remote;
        }
        if (result.digest != intact.digest)
            ++changed_outcomes;
    }
    // Damage to the half that is not read, or to fields read as before, changes nothing; the rest must show.
    EXPECT_GT(changed_outcomes, runs_per_kind / 20);
}

INSTANTIATE_TEST_SUITE_P(kinds, stacked_sweep_test, testing::ValuesIn(stacked_cases),
                         [](const testing::TestParamInfo<stacked_case>& info) { return std::string(info.param.name); });

// Inputs the fuzzer found faults with, kept after the fix: each must now pass the same host session cleanly.
TEST_F(hostile_disk_test, fuzzer_findings_replay_cleanly)
{
    size_t replayed = 0;
    for (const auto& file : fs::directory_iterator(TARNWICK_FUZZ_REGRESSIONS)) {
        walk(read_file_bytes(file.path().string()), file.path().filename().string());
        ++replayed;
    }
    EXPECT_GT(replayed, 0u);
}

TEST_F(hostile_disk_test, a_partition_claiming_more_than_the_drive_holds_gets_no_buffer_of_that_size)
{
    memory_disk image(512, 64);
    image.set_entry(0, 1, 0x83, 8, 0xFFFFFF00);  // almost 8 TiB, on a drive of 32 KiB
    image.sign(0);
    test_control::add_drive_memory(image.bytes);
    std::unique_ptr<physical_disk> disk = open_physical_disk("\\\\.\\PhysicalDrive0");
    ASSERT_EQ(scan_partition_tables(*disk), 0);
    const partition_record& claimed = disk->partition_list.at(0);
    long reads = test_control::read_counters().drive_reads;
    EXPECT_EQ(read_sectors(claimed, 0, 1u << 20), nullptr);  // 512 MiB: refused before anything is allocated or read
    EXPECT_EQ(read_sectors(claimed, 50, 8), nullptr);        // ends one sector past the drive
    EXPECT_EQ(test_control::read_counters().drive_reads, reads);
    EXPECT_NE(read_sectors(claimed, 48, 8), nullptr);        // ends at the drive's last sector
}

TEST_F(hostile_disk_test, a_block_mapped_file_whose_size_reaches_past_the_double_indirect_range_copies_as_holes)
{
    test_control::add_drive_file(fixture_path("sweep.img"));
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    char remote[] = "/sda5/past_double_hole.bin";
    std::string local = (scratch / "copy").string();
    ASSERT_EQ(FsGetFile(remote, local.data(), 0, nullptr), file_result_ok);
    fs::path source = fixture_path("trees/sweep5/past_double_hole.bin");
    ASSERT_EQ(fs::file_size(local), fs::file_size(source));
    EXPECT_EQ(read_file_bytes(local, 0, 4096), read_file_bytes(source.string(), 0, 4096));
    EXPECT_EQ(read_file_bytes(local, fs::file_size(source) - 4096), std::vector<uint8_t>(4096, 0));
    fs::remove(local);
}
