// Signatures that other file systems and containers write near their start, so that an ext superblock copy left
// behind by an earlier file system in the same area is not taken for a volume.
#pragma once

#include <cstddef>
#include <cstdint>

// Every signature probed lies in the first 68 KiB of an area.
inline constexpr uint32_t foreign_signature_span = 0x11000;

// True when the first length bytes of an area (length may be below foreign_signature_span for a small area; the
// signatures past it are then not looked at) carry the signature of a file system or container other than ext:
// FAT, exFAT, NTFS, ReFS, BitLocker, HFS+, XFS, Btrfs, F2FS, NILFS2, JFS, ReiserFS, UFS, ISO 9660, SquashFS, LUKS,
// LVM2, Linux swap, MD RAID (1.1 and 1.2) and bcache.
bool holds_foreign_signature(const uint8_t* start, size_t length);
