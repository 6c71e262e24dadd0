// BGZF: bytes written as a series of gzip members of at most 64 KiB each, every one naming its
// own compressed size (the BC extra field), then the empty end-of-file block. Compressed with
// libdeflate where the build has it, else with zlib.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bam/output_file.hpp"

namespace dulse::bam {

class BgzfWriter {
 public:
  // The most uncompressed bytes in one block, as htslib fills them.
  static constexpr size_t kBlockData = 0xff00;

  // Level 1 by default: the per-read BAM is a file for the next tool in a pipeline, and level 1
  // writes it in two thirds of level 5's time for 4% more bytes.
  explicit BgzfWriter(int level = 1);
  BgzfWriter(const BgzfWriter&) = delete;
  BgzfWriter& operator=(const BgzfWriter&) = delete;
  ~BgzfWriter();

  bool open(const char* path) { return ready() && file_.open(path); }
  bool write(const void* data, size_t n);
  // Compresses what is pending, writes the end-of-file block and closes the file.
  bool close();
  int error() const { return file_.error(); }
  bool ready() const { return compressor_ != nullptr; }

 private:
  bool flush_block();

  int level_;
  void* compressor_ = nullptr;
  OutputFile file_;
  std::vector<uint8_t> pending_;
  std::vector<uint8_t> block_;
};

}  // namespace dulse::bam
