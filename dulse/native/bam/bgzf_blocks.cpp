#include "bam/bgzf_blocks.hpp"

#include <cstring>
#include <utility>

#include "bam/bgzf_block.hpp"

namespace dulse::bam {

void BgzfBlocks::attach(FileSource&& source, uint64_t blocks_before) {
  source_ = std::move(source);
  number_ = blocks_before;
  length_ = 0;
}

int BgzfBlocks::next() {
  source_.consume(length_);
  length_ = 0;
  ++number_;
  size_t have = source_.fill(kBgzfHeaderLength);
  if (have == 0) return source_.failed() ? -1 : 0;
  const uint8_t* h = source_.data();
  if (have < kBgzfHeaderLength || !is_gzip(h) || !is_bgzf(h)) return -1;
  size_t length = bgzf_block_length(h);
  if (length < kBgzfHeaderLength || source_.fill(length) < length) return -1;
  length_ = length;
  eof_marker_ = length == sizeof kBgzfEofMarker &&
                std::memcmp(source_.data(), kBgzfEofMarker, sizeof kBgzfEofMarker) == 0;
  return 1;
}

}  // namespace dulse::bam
