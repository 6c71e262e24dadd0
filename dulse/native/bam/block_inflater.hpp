// Inflates the raw deflate data of one BGZF block, with libdeflate when the build has it
// (DULSE_HAVE_LIBDEFLATE) and with zlib otherwise, and checks its CRC32 (bam/crc32.hpp).
//
// zlib is what pysam's htslib inflates with, and on damaged data the two agree but for one
// known case: libdeflate tolerates a code-length repeat that runs past the end of a dynamic
// Huffman header, which zlib rejects. When such damage still inflates to the original bytes
// (so the CRC32 matches), the libdeflate build reads the block and pysam reports a truncated
// file. Measured: about 1 in 300,000 single-bit flips of pysam-written blocks, more in tiny
// blocks; zlib never accepted what libdeflate rejected. The zlib build has no such case.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dulse::bam {

class BlockInflater {
 public:
  static constexpr size_t kMaxBlock = 65536;

  BlockInflater();
  BlockInflater(const BlockInflater&) = delete;
  BlockInflater& operator=(const BlockInflater&) = delete;
  ~BlockInflater();

  // False when the decompressor could not be allocated.
  bool ready() const { return state_ != nullptr; }

  // Inflates `in` into `out` (kMaxBlock bytes): the length inflated; -1 when the data does not
  // inflate into at most kMaxBlock bytes; -2 when it does but its CRC32 is not `expected_crc`.
  // Bytes after the end of the deflate stream are ignored.
  long inflate(const uint8_t* in, size_t n, uint8_t* out, uint32_t expected_crc);

  // "libdeflate" or "zlib".
  static const char* name();

 private:
  void* state_ = nullptr;
};

}  // namespace dulse::bam
