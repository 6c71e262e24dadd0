// The framing of one BGZF block: a gzip member with a "BC" extra field that gives the member's
// length, then raw deflate data, the CRC32 and the inflated size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bam/block_inflater.hpp"
#include "bam/bytes.hpp"

namespace dulse::bam {

constexpr size_t kBgzfHeaderLength = 18;

// The last 28 bytes of every complete BGZF file: an empty block.
constexpr uint8_t kBgzfEofMarker[28] = {0x1f, 0x8b, 8, 4, 0, 0, 0, 0, 0, 0xff, 6, 0, 'B', 'C',
                                        2,    0,    0x1b, 0, 3, 0, 0, 0, 0, 0,   0, 0, 0, 0};

// Gzip magic and deflate method; then whether the extra field is exactly one "BC" subfield of
// two bytes. Other header fields (flags besides FEXTRA, MTIME, XFL, OS) are not looked at.
inline bool is_gzip(const uint8_t* h) { return h[0] == 31 && h[1] == 139 && h[2] == 8; }
inline bool is_bgzf(const uint8_t* h) {
  return (h[3] & 4) != 0 && h[10] == 6 && h[11] == 0 && h[12] == 'B' && h[13] == 'C' &&
         h[14] == 2 && h[15] == 0;
}

// The whole block's length from its header (kBgzfHeaderLength bytes of a BGZF header); a
// length below the header's own is impossible and means a damaged block.
inline size_t bgzf_block_length(const uint8_t* h) { return le16(h + 16) + size_t{1}; }

// Inflates a whole block (`length` bytes from its header on) into `out`
// (BlockInflater::kMaxBlock bytes). The CRC32 sits 8 bytes before the end (inside the header for
// a short block); the inflater is handed the footer too and stops at the end of the deflate
// stream. The inflated length, or < 0 for bad data.
inline long inflate_bgzf_block(BlockInflater& inflater, const uint8_t* block, size_t length,
                               uint8_t* out) {
  return inflater.inflate(block + kBgzfHeaderLength, length - kBgzfHeaderLength, out,
                          le32(block + length - 8));
}

}  // namespace dulse::bam
