// Signatures of other file systems and containers, each at its fixed offset from the start of its area.
#include "disk/fs_signatures.h"

#include <cstring>

namespace {

struct signature {
    uint32_t offset;
    const char* bytes;
    size_t length;
};

// Magics stored as little-endian numbers are written out byte by byte.
constexpr signature signatures[] = {
    {0x36, "FAT12   ", 8},
    {0x36, "FAT16   ", 8},
    {0x36, "FAT     ", 8},
    {0x52, "FAT32   ", 8},
    {3, "EXFAT   ", 8},
    {3, "NTFS    ", 8},
    {3, "ReFS", 4},
    {3, "-FVE-FS-", 8},
    {0x400, "H+\0\x04", 4},
    {0x400, "HX\0\x05", 4},
    {0, "XFSB", 4},
    {0x10040, "_BHRfS_M", 8},
    {0x400, "\x10\x20\xF5\xF2", 4},  // F2FS, 0xF2F52010
    {0x406, "\x34\x34", 2},          // NILFS2, 0x3434
    {0x8000, "JFS1", 4},
    {0x10034, "ReIsErFs", 8},
    {0x10034, "ReIsEr2Fs", 9},
    {0x10034, "ReIsEr3Fs", 9},
    {0x255C, "\x54\x19\x01\x00", 4},  // UFS1 at 8 KiB, 0x00011954
    {0x1055C, "\x19\x01\x54\x19", 4},  // UFS2 at 64 KiB, 0x19540119
    {0x8001, "CD001", 5},
    {0, "hsqs", 4},
    {0, "LUKS\xBA\xBE", 6},
    {0x200, "LABELONE", 8},
    {0x218, "LVM2 001", 8},
    {0xFF6, "SWAPSPACE2", 10},
    {0xFF6, "SWAP-SPACE", 10},
    {0x1FF6, "SWAPSPACE2", 10},
    {0x3FF6, "SWAPSPACE2", 10},
    {0xFFF6, "SWAPSPACE2", 10},
    {0, "\xFC\x4E\x2B\xA9", 4},       // MD RAID 1.1, 0xA92B4EFC
    {0x1000, "\xFC\x4E\x2B\xA9", 4},  // MD RAID 1.2
    {0x1018, "\xC6\x85\x73\xF6\x4E\x1A\x45\xCA\x82\x65\xF5\x7F\x48\xBA\x6D\x81", 16},  // bcache
};

constexpr bool all_within_span()
{
    for (const signature& s : signatures)
        if (s.offset + s.length > foreign_signature_span)
            return false;
    return true;
}
static_assert(all_within_span());

}  // namespace

bool holds_foreign_signature(const uint8_t* start, size_t length)
{
    for (const signature& s : signatures) {
        if (s.offset <= length && s.length <= length - s.offset &&
            std::memcmp(start + s.offset, s.bytes, s.length) == 0)
            return true;
    }
    return false;
}
