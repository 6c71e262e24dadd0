// Inflates the raw deflate data of one BGZF block and checks its CRC32, with libdeflate when
// the build has it (DULSE_HAVE_LIBDEFLATE) and with zlib otherwise.
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
