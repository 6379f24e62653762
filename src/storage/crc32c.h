// CRC-32C (the Castagnoli polynomial, as iSCSI and ext4 use it): the checksum of wal.crc.
// Uses the processor's instruction where it has one (x86-64 with SSE 4.2), chosen at run time,
// and eight tables otherwise; both give the same value.
#pragma once

#include <cstdint>
#include <span>

namespace vesko::storage {

// The CRC-32C of `bytes` continued from `crc` (0 to start), with the usual pre- and
// post-inversion: crc32c("123456789") is 0xE3069283.
std::uint32_t crc32c(std::span<const unsigned char> bytes, std::uint32_t crc = 0);

}  // namespace vesko::storage
