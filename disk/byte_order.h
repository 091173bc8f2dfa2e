// Little-endian readers for on-disk integers at a byte offset.
#pragma once

#include <cstddef>
#include <cstdint>

inline uint16_t read_le16(const uint8_t* p, size_t offset)
{
    return static_cast<uint16_t>(p[offset] | (p[offset + 1] << 8));
}

inline uint32_t read_le32(const uint8_t* p, size_t offset)
{
    return static_cast<uint32_t>(p[offset]) | (static_cast<uint32_t>(p[offset + 1]) << 8) |
           (static_cast<uint32_t>(p[offset + 2]) << 16) | (static_cast<uint32_t>(p[offset + 3]) << 24);
}

// Big-endian readers, for the structures (the journal's) that the format stores most significant byte first.
inline uint16_t read_be16(const uint8_t* p, size_t offset)
{
    return static_cast<uint16_t>((p[offset] << 8) | p[offset + 1]);
}

inline uint32_t read_be32(const uint8_t* p, size_t offset)
{
    return (static_cast<uint32_t>(p[offset]) << 24) | (static_cast<uint32_t>(p[offset + 1]) << 16) |
           (static_cast<uint32_t>(p[offset + 2]) << 8) | static_cast<uint32_t>(p[offset + 3]);
}
