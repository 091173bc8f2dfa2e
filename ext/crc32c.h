// CRC-32C (Castagnoli), the checksum of the journal's blocks.
#pragma once

#include <cstddef>
#include <cstdint>

// Continues a CRC-32C from crc over length bytes, reflected polynomial 0x82F63B78, with no inversion on entry or
// exit: the journal starts from ~0 and chains one result into the next as the seed.
uint32_t crc32c(uint32_t crc, const uint8_t* data, size_t length);
