// Compresses one BGZF block's data into raw deflate data: with ISA-L's igzip where the build
// has it (DULSE_HAVE_ISAL), else with libdeflate (DULSE_HAVE_LIBDEFLATE), else with zlib.
//
// igzip's level 1 compresses the per-read BAM about twice as fast as libdeflate's, for some 6%
// more bytes; any deflate decoder reads what each of them writes. Every block is compressed on
// its own, so a build writes the same records in the same blocks on any number of threads.
// The compressed bytes are the same too with libdeflate, whose encoding depends on the block
// alone. igzip (2.30) has been seen to encode a block a byte or so differently from one run to
// the next, whatever state it is handed, so with it two runs may write different files of the
// same records (builds with different libraries always do).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dulse::bam {

class BlockDeflater {
 public:
  // `level` as zlib counts it; igzip has levels 0 to 3 and takes the nearest.
  explicit BlockDeflater(int level);
  BlockDeflater(const BlockDeflater&) = delete;
  BlockDeflater& operator=(const BlockDeflater&) = delete;
  ~BlockDeflater();

  // False when the compressor could not be set up.
  bool ready() const { return ready_; }

  // The raw deflate data of `in` (n bytes) into `out`, at most `room` bytes: its length, or 0
  // when it does not fit.
  size_t deflate(const uint8_t* in, size_t n, uint8_t* out, size_t room);

 private:
  int level_;
  bool ready_ = false;
  void* state_ = nullptr;
  std::vector<uint8_t> work_;  // igzip's buffer for its level
};

}  // namespace dulse::bam
