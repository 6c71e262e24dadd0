// The BGZF blocks of a file, compressed, one after the other: for readers that inflate them
// elsewhere (on other threads). As for BgzfReader, a block whose header or length is bad, or a
// file that ends inside a block, is a read error, and a gzip header without the BGZF field
// turns the rest of the file into plain gzip members, which are inflated here, in chunks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bam/file_source.hpp"
#include "bam/gzip_members.hpp"

namespace dulse::bam {

class BgzfBlocks {
 public:
  // Reads on from `source`, whose earlier blocks were `blocks_before` in number.
  void attach(FileSource&& source, uint64_t blocks_before);

  static constexpr int kBlock = 1;  // a compressed block: block(), length()
  static constexpr int kPlain = 2;  // inflated bytes of plain gzip: plain(), length()
  static constexpr int kMore = 3;   // with `keep`: what comes next is not a whole block at hand

  // kBlock or kPlain (valid until the next call); 0: the end of the file; -1: a damaged or
  // cut-short block, number() being its number. With `keep`, the blocks before stay where they
  // lie in buffer(): the next is read only into the room after them, and anything but a
  // whole BGZF block is left for a call without.
  int next(bool keep = false);
  const uint8_t* plain() const { return plain_; }
  const uint8_t* block() const { return source_.data(); }
  // The buffer the blocks lie in, and its size; trade_buffer() gives it away (FileSource::trade).
  const uint8_t* buffer() const { return source_.buffer(); }
  size_t capacity() const { return source_.capacity(); }
  void trade_buffer(uint8_t*& buffer, size_t& capacity) {
    source_.consume(consumed_);
    consumed_ = 0;
    source_.trade(buffer, capacity);
  }
  size_t length() const { return length_; }
  // The 1-based number of the block in place (or of the one that failed), counting every
  // block of the file, empty ones included.
  uint64_t number() const { return number_; }
  // Whether the last block read was the end-of-file block.
  bool eof_marker_seen() const { return eof_marker_; }

 private:
  FileSource source_;
  GzipMembers gzip_;
  uint8_t plain_[GzipMembers::kChunk];
  size_t consumed_ = 0;
  size_t length_ = 0;
  uint64_t number_ = 0;
  bool eof_marker_ = false;
};

}  // namespace dulse::bam
