// CIGAR operations as BAM stores them: one little-endian uint32 each, length << 4 | operation.
#pragma once

#include <cstdint>

#include "bam/bytes.hpp"

namespace dulse::bam {

enum CigarOp : uint32_t {
  kMatch = 0,      // M
  kInsertion = 1,  // I
  kDeletion = 2,   // D
  kSkip = 3,       // N
  kSoftClip = 4,   // S
  kHardClip = 5,   // H
  kPad = 6,        // P
  kEqual = 7,      // =
  kDiff = 8,       // X
};

// Two bits per operation: bit 0 consumes the query, bit 1 the reference (M I D N S H P = X).
constexpr uint32_t kCigarType = 0x3C1A7;

inline bool consumes_query(uint32_t op) { return op < 9 && ((kCigarType >> (op << 1)) & 1); }
inline bool consumes_reference(uint32_t op) { return op < 9 && ((kCigarType >> (op << 1)) & 2); }
// M, = and X: bases aligned to the reference.
inline bool is_aligned(uint32_t op) { return op == kMatch || op == kEqual || op == kDiff; }

struct Cigar {
  const uint8_t* ops;
  uint32_t count;

  uint32_t op(uint32_t k) const { return le32(ops + 4 * k) & 0xf; }
  uint32_t length(uint32_t k) const { return le32(ops + 4 * k) >> 4; }
};

}  // namespace dulse::bam
