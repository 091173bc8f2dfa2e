// Symbolic links: the target path kept in i_block, in inline data, or in the link's first block.
#include "ext/symlink.h"

#include "ext/volume.h"
#include "ext/file_map.h"
#include "ext/inline_data.h"

#include <cstring>
#include <vector>

namespace {

// The target as Linux reads it: a C string within the given bytes.
void take_target(const uint8_t* bytes, size_t size, std::string& target)
{
    const void* end = std::memchr(bytes, 0, size);
    size_t length = end ? static_cast<size_t>(static_cast<const uint8_t*>(end) - bytes) : size;
    target.assign(reinterpret_cast<const char*>(bytes), length);
}

}  // namespace

bool read_link_target(ext_volume& source, const ext_inode& inode, std::string& target)
{
    target.clear();
    const uint64_t size = inode.size();
    if (!is_symlink(inode) || size == 0 || size > link_target_limit || !inode.content_readable() ||
        inode.attributes_damaged || !source.volume_info)
        return false;
    if (inode.has_inline_data()) {
        std::vector<uint8_t> content;
        if (!inline_content(inode, content) || size > content.size())
            return false;
        take_target(content.data(), static_cast<size_t>(size), target);
        return !target.empty();
    }
    if (size < inode.i_block.size() && !inode.uses_extents()) {
        take_target(inode.i_block.data(), static_cast<size_t>(size), target);
        return !target.empty();
    }
    // A slow link: the target fills the start of logical block 0.
    if (size > source.volume_info->block_size)
        return false;
    file_map map = open_file_map(source, inode);
    block_run run;
    if (!map_run(map, 0, run) || run.kind != run_kind::data)
        return false;
    block_buffer block = read_block(source, run.physical);
    if (!block)
        return false;
    take_target(block.get(), static_cast<size_t>(size), target);
    return !target.empty();
}
