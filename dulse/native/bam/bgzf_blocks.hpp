// The BGZF blocks of a file, compressed, one after the other: for readers that inflate them
// elsewhere (on other threads). A block whose header or length is bad, or a file that ends
// inside a block, is a read error, as it is for BgzfReader.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bam/file_source.hpp"

namespace dulse::bam {

class BgzfBlocks {
 public:
  // Reads on from `source`, whose earlier blocks were `blocks_before` in number.
  void attach(FileSource&& source, uint64_t blocks_before);

  // 1: the next block is in place (valid until the next call); 0: the end of the file; -1: a
  // damaged or cut-short block, number() being its number.
  int next();
  const uint8_t* block() const { return source_.data(); }
  size_t length() const { return length_; }
  // The 1-based number of the block in place (or of the one that failed), counting every
  // block of the file, empty ones included.
  uint64_t number() const { return number_; }
  // Whether the last block read was the end-of-file block.
  bool eof_marker_seen() const { return eof_marker_; }

 private:
  FileSource source_;
  size_t length_ = 0;
  uint64_t number_ = 0;
  bool eof_marker_ = false;
};

}  // namespace dulse::bam
