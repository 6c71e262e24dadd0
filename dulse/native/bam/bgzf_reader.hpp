// The uncompressed byte stream of a BGZF file, delivered block by block.
//
// The stream is the one htslib's BGZF reader delivers for the same file, and it fails at the
// same byte: a block is loaded only when a byte of it is needed and the current block is used
// up; empty blocks are skipped; a block whose header, length, deflate data or CRC32 is bad, or
// a file that ends inside a block header or block, is a read error from which the reader does
// not recover. The ISIZE field is not compared with the inflated length, as htslib does not
// compare it either. A gzip header without the BGZF extra field turns the rest of the file
// into plain gzip members (see GzipMembers).
#pragma once

#include <cstddef>
#include <cstdint>

#include "bam/block_inflater.hpp"
#include "bam/file_source.hpp"
#include "bam/gzip_members.hpp"

namespace dulse::bam {

class BgzfReader {
 public:
  static constexpr int kCannotOpen = -1;    // errno tells why
  static constexpr int kNotRegular = -2;    // not a regular file
  static constexpr int kNotBgzf = -3;       // does not start with a BGZF block header
  static constexpr int kNoMemory = -6;

  BgzfReader() = default;
  BgzfReader(const BgzfReader&) = delete;
  BgzfReader& operator=(const BgzfReader&) = delete;
  ~BgzfReader() { close(); }

  // 0, or one of the negative codes above. A stream has no end-of-file marker to look at
  // beforehand: has_eof_marker() then tells whether the file's last block was one, once the
  // end has been reached.
  int open(const char* path, Access access = Access::kRegularFile);
  // The same on a source opened by the caller, from its first byte.
  int open(FileSource&& source);
  // Blocks (or plain gzip chunks) loaded so far: where a read error happened.
  uint64_t blocks_loaded() const { return blocks_loaded_; }
  void close();

  // Whether the file ends with the 28-byte empty block that marks a complete BGZF file (for a
  // stream: whether the last block read was that block).
  bool has_eof_marker() const { return eof_marker_; }
  // Inflates the gzip members in the first 2 KiB of the file into at most `cap` bytes.
  size_t peek_start(uint8_t* out, size_t cap);

  // The bytes of the current block not yet consumed.
  size_t buffered() const { return length_ - offset_; }
  const uint8_t* cursor() const { return block_ + offset_; }
  void skip(size_t n) { offset_ += n; }  // n <= buffered()

  // When the current block is used up, loads the next non-empty one: 1 loaded (buffered() > 0),
  // 0 at the end of the file, -1 on a read error. Invalidates pointers into the previous block.
  int refill();

  // Copies `n` bytes: returns n, fewer when the file ends first, or -1 on a read error (even
  // after some bytes were copied).
  long read(uint8_t* out, size_t n);

  // A read error has happened; every later refill() fails too.
  bool failed() const { return failed_; }

 private:
  int load_block();

  FileSource source_;
  BlockInflater inflater_;
  GzipMembers gzip_;
  uint8_t* block_ = nullptr;  // BlockInflater::kMaxBlock bytes
  size_t length_ = 0;
  size_t offset_ = 0;
  bool eof_marker_ = false;
  bool failed_ = false;
  uint64_t blocks_loaded_ = 0;
};

}  // namespace dulse::bam
