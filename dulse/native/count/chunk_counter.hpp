// Counting one BGZF-compressed BAM file on several threads, with the same result as on one.
//
// The calling thread reads the file's compressed blocks and hands them out in chunks: the
// whole blocks of one read buffer, at most kBlocksPerChunk of them, the chunk taking the buffer.
// A worker inflates a chunk into a buffer of its own, noting the records that begin at its
// first byte as it goes; then, in chunk order (one chunk at a time, a short step),
// walks its record boundaries, completing the record that began in the chunks before (or, when
// none did, taking what it noted); then decodes and counts its records into its own tally.
// Mates within a chunk pair there; the reads still waiting when a chunk ends, and in a
// coordinate-sorted file those whose mate lies after the chunk's last record, leave it as their
// records' bytes and are joined across chunks, one chunk after the other in file order, as the
// single-threaded loop would have met them (see join_ready). Counts are whole fixed-point
// units and counters are sums, so merging the tallies gives exactly the single-threaded
// result, and the first failure in file order is the one reported.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bam/alignment_input.hpp"
#include "bam/bgzf_blocks.hpp"
#include "count/record_step.hpp"
#include "count/tally.hpp"

namespace dulse::count {

class ChunkCounter {
 public:
  // About 4 MiB inflated, more than a core's second-level cache here (its bytes are fetched
  // ahead of the records that read them instead), but large enough that handing chunks out
  // costs little and that few mates of a coordinate-sorted file fall in different chunks: on
  // the benchmark's sorted pairs, 8% of the records are joined across chunks of 32 blocks,
  // which made two threads 2-8% slower than chunks of 64; 128 was no faster than 64, and
  // single-end reads were slower.
  static constexpr size_t kBlocksPerChunk = 64;

  ChunkCounter(const FileContext& file, Tally& tally, int threads);
  ~ChunkCounter();

  // Takes the rest of the file from `input`. False when it cannot be read in chunks (plain
  // gzip members); the input is then left as it was.
  bool attach(bam::AlignmentInput& input);
  CountStatus count(bam::Interruption* interrupt);

  const std::string& message() const { return message_; }
  uint64_t records() const { return records_; }
  int64_t paired_records() const { return paired_records_; }

 private:
  struct Chunk;
  struct Worker;

  std::unique_ptr<Chunk> read_chunk();
  void work(Worker& worker);
  void inflate(Worker& worker, Chunk& chunk);
  void walk(Chunk& chunk);
  void count_records(Worker& worker, Chunk& chunk);
  // Joins a counted chunk's waiting reads with the rest; the status that stops the count, or
  // kDone.
  CountStatus merge(Chunk& chunk);
  void join_ready(Chunk* chunk);
  void stop_workers();

  const FileContext& file_;
  Tally& tally_;
  int threads_;
  bam::AlignmentInput* input_ = nullptr;
  bam::BgzfBlocks blocks_;
  bam::ByteBuffer first_bytes_;  // the records that began in the header's last block
  int32_t n_targets_ = 0;
  bool lenient_ = false;
  bool reading_done_ = false;
  uint64_t chunks_read_ = 0;

  std::mutex mutex_;
  std::condition_variable work_ready_;   // a chunk to inflate, or the end
  std::condition_variable walk_turn_;    // the walk moved on
  std::condition_variable chunk_joined_;  // a chunk is counted and joined
  std::deque<Chunk*> queue_;             // read, waiting for a worker
  bool stopping_ = false;
  // The walk's state, passed from chunk to chunk.
  uint64_t walk_next_ = 0;               // the chunk whose turn it is
  std::vector<uint8_t> carry_;           // a record begun and not yet complete
  uint64_t next_record_ = 1;             // the number of the next record to be walked
  bool walk_ended_ = false;              // a record could not be walked: no more records

  // The joining's turn: counted chunks waiting for it, the chunk whose turn it is, whether a
  // worker is joining, and whether a failure stopped it.
  std::vector<Chunk*> counted_;
  uint64_t join_next_ = 0;
  bool joining_ = false;
  bool join_stopped_ = false;
  std::vector<std::unique_ptr<Chunk>> spare_;  // counted chunks, their buffers kept for reuse
  std::vector<std::unique_ptr<Worker>> workers_;
  std::vector<std::thread> threads_running_;

  Tally joined_;  // what the joining of pairs across chunks counts
  RecordStep joiner_;
  bam::RecordDecoder rejoin_decoder_;  // decodes the chunks' leftover records again
  uint64_t previous_last_place_ = 0;
  bool previous_placed_ = false;
  std::string message_;
  uint64_t records_ = 0;
  int64_t paired_records_ = 0;
};

}  // namespace dulse::count
