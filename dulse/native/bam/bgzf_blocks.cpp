#include "bam/bgzf_blocks.hpp"

#include <cstring>
#include <utility>

#include "bam/bgzf_block.hpp"

namespace dulse::bam {

void BgzfBlocks::attach(FileSource&& source, uint64_t blocks_before) {
  source_ = std::move(source);
  number_ = blocks_before;
  consumed_ = length_ = 0;
}

int BgzfBlocks::next(bool keep) {
  source_.consume(consumed_);
  consumed_ = length_ = 0;
  if (keep) {
    if (gzip_.active()) return kMore;
    const uint8_t* h = source_.data();
    if (source_.fill(kBgzfHeaderLength, true) < kBgzfHeaderLength || !is_gzip(h) ||
        !is_bgzf(h)) {
      return kMore;
    }
    size_t length = bgzf_block_length(h);
    if (length < kBgzfHeaderLength || source_.fill(length, true) < length) return kMore;
  }
  ++number_;
  if (!gzip_.active()) {
    size_t have = source_.fill(kBgzfHeaderLength);
    if (have == 0) return source_.failed() ? -1 : 0;
    const uint8_t* h = source_.data();
    if (have < kBgzfHeaderLength || !is_gzip(h)) return -1;
    if (is_bgzf(h)) {
      size_t length = bgzf_block_length(h);
      if (length < kBgzfHeaderLength || source_.fill(length) < length) return -1;
      consumed_ = length_ = length;
      eof_marker_ = length == sizeof kBgzfEofMarker &&
                    std::memcmp(source_.data(), kBgzfEofMarker, sizeof kBgzfEofMarker) == 0;
      return kBlock;
    }
    if (!gzip_.begin()) return -1;
    eof_marker_ = false;
  }
  long n = gzip_.next_chunk(source_, plain_);
  if (n <= 0) return static_cast<int>(n);
  length_ = static_cast<size_t>(n);
  return kPlain;
}

}  // namespace dulse::bam
