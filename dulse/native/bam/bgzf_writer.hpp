// BGZF: bytes written as a series of gzip members of at most 64 KiB each, every one naming its
// own compressed size (the BC extra field), then the empty end-of-file block. Compressed by
// BlockDeflater.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bam/block_deflater.hpp"
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

  // Creates `path`. With `threads` above 1, blocks are compressed on threads - 1 threads of
  // the writer's own while its caller goes on (and by the caller when they are behind), and
  // written in order: every block is compressed on its own, so the file is the same byte for
  // byte whatever the number.
  bool open(const char* path, int threads = 1);
  bool write(const void* data, size_t n);
  // Compresses what is pending, writes the end-of-file block and closes the file.
  bool close();
  int error() const { return file_.error(); }
  bool ready() const { return deflater_->ready(); }

 private:
  struct Block;

  // The filled block goes to be compressed: here, or queued for the compressing threads.
  bool hand_on();
  // Writes the blocks compressed at the front of the queue; with `all`, waits for every one.
  bool write_compressed(bool all);
  void compress_queued(BlockDeflater& deflater);
  void stop_threads();

  int level_;
  std::unique_ptr<BlockDeflater> deflater_;
  OutputFile file_;
  std::unique_ptr<Block> filling_;

  // With threads: the blocks handed on, in file order, and those waiting for a thread.
  std::vector<std::thread> threads_;
  std::vector<std::unique_ptr<BlockDeflater>> thread_deflaters_;  // one per thread
  std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable compressed_;
  std::deque<std::unique_ptr<Block>> in_order_;
  std::deque<Block*> waiting_;
  std::vector<std::unique_ptr<Block>> spare_;
  bool stopping_ = false;
};

}  // namespace dulse::bam
