// Plain gzip members, inflated as one stream with zlib.
//
// A BGZF reader that meets a gzip header without the BGZF extra field inflates the rest of the
// file as a series of gzip members: every member's data, in order, handed out in chunks of
// kChunk bytes. A chunk is handed out only when it is complete (or ends with the last member);
// a chunk in which the data turns out bad or cut short is an error as a whole.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bam/file_source.hpp"

namespace dulse::bam {

class GzipMembers {
 public:
  static constexpr size_t kChunk = 65536;

  GzipMembers() = default;
  GzipMembers(const GzipMembers&) = delete;
  GzipMembers& operator=(const GzipMembers&) = delete;
  ~GzipMembers() { end(); }

  // Starts at the first byte of `source` (a gzip header). False when zlib cannot start.
  bool begin();
  void end();
  bool active() const { return stream_ != nullptr; }

  // Fills `out` (kChunk bytes) from `source`: the length filled, shorter only at the end of the
  // last member (0 once everything is out), or -1 on bad or truncated data.
  long next_chunk(FileSource& source, uint8_t* out);

 private:
  void* stream_ = nullptr;
};

// Inflates the gzip members found in the first `n` bytes of a file, as far as they go, into at
// most `cap` bytes of `out`; returns the number of bytes produced. This is how the file's format
// is recognised before it is opened, so a file is taken for BAM only when these bytes start
// with the BAM magic.
size_t peek_gzip_prefix(const uint8_t* in, size_t n, uint8_t* out, size_t cap);

}  // namespace dulse::bam
