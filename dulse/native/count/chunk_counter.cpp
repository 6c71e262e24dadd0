#include "count/chunk_counter.hpp"

#include <algorithm>
#include <chrono>
#include <new>
#include <cstring>
#include <utility>

#include "bam/bgzf_block.hpp"
#include "bam/block_inflater.hpp"
#include "bam/bytes.hpp"
#include "count/file_counter.hpp"

namespace dulse::count {

using bam::RecordDecoder;

namespace {

// How far ahead of the record being counted a chunk's bytes are fetched.
constexpr size_t kFetchAhead = 2048;

}  // namespace

struct ChunkCounter::Chunk {
  static constexpr size_t kNone = SIZE_MAX;
  uint64_t index = 0;
  // The compressed blocks, back to back from compressed_begin, and where each ends: the buffer
  // they were read into, taken whole from the reader; chunk 0 holds none, its data being the
  // rest of the header's last block.
  bam::ByteBuffer compressed;
  size_t compressed_begin = 0;
  std::vector<size_t> block_ends;
  uint64_t first_block = 0;  // the number of its first block in the file
  bool last = false;         // the file ends after it
  uint64_t failed_block = 0;  // a block that could not be read or inflated ends the file here

  bam::ByteBuffer data;  // inflated (not cleared to zero first: it is a lot of bytes)
  // The records found from the chunk's first byte while it was inflated, for the walk to take
  // when no record of the chunks before runs into this one (as BGZF writers mostly arrange).
  bool hopped = false;
  size_t hop_end = 0;
  size_t hop_last = kNone;
  uint64_t hop_records = 0;

  // From the walk: a record begun in earlier chunks and completed here, then the whole records
  // in data[begin, end).
  std::vector<uint8_t> straddler;
  size_t begin = 0;
  size_t end = 0;
  size_t last_begun = kNone;  // where the last of those records begins
  uint64_t first_record = 0;  // the number of its first record
  uint64_t records = 0;
  int end_code = 0;  // after its records: a RecordDecoder code that ends the file, or 0
  bool end_in_block = false;  // end_code comes from failed_block

  // From the counting.
  CountStatus status = CountStatus::kDone;
  std::string message;
  RecordBatch leftovers;
  size_t first_name_reads = 0;  // with bundles: the leftovers of the chunk's first name
  bool names_changed = false;   // and other names came after it
  bool placed = false;
  uint64_t first_place = 0;
  uint64_t last_place = 0;
  int32_t first_tid = -1;
  int32_t first_pos = -1;
  // From the joining: done once its leftovers are joined (or the count stopped before them),
  // with the status that stops the count, or kDone.
  bool joined = false;
  CountStatus join_status = CountStatus::kDone;

  // Empties the chunk for reuse, keeping its buffers' capacity.
  void reset() {
    compressed.size = compressed_begin = 0;
    block_ends.clear();
    data.size = 0;
    hopped = false;
    hop_end = 0;
    hop_last = last_begun = kNone;
    hop_records = 0;
    straddler.clear();
    leftovers.clear();
    first_name_reads = 0;
    names_changed = false;
    message.clear();
    first_block = failed_block = first_record = records = 0;
    last = end_in_block = placed = joined = false;
    join_status = CountStatus::kDone;
    begin = end = 0;
    end_code = 0;
    status = CountStatus::kDone;
    first_place = last_place = 0;
    first_tid = first_pos = -1;
  }
};

struct ChunkCounter::Worker {
  Worker(const FileContext& file, int32_t n_targets, bool lenient)
      : tally(file.settings, file.index.n_genes(), file.read_groups.size()), step(file, tally) {
    decoder.set_n_targets(n_targets);
    decoder.set_lenient(lenient);
  }
  Tally tally;
  RecordStep step;
  bam::RecordDecoder decoder;
  bam::BlockInflater inflater;
  // Lent to each chunk it inflates and taken back once the chunk is counted, so that its bytes
  // stay in this core's cache instead of following chunk buffers from core to core.
  bam::ByteBuffer buffer;
};

ChunkCounter::ChunkCounter(const FileContext& file, Tally& tally, int threads)
    : file_(file), tally_(tally), threads_(threads),
      joined_(file.settings, file.index.n_genes(), file.read_groups.size()),
      joiner_(file, joined_) {}

ChunkCounter::~ChunkCounter() { stop_workers(); }

bool ChunkCounter::attach(bam::AlignmentInput& input) {
  bam::FileSource source;
  if (!input.detach(&source, &first_bytes_)) return false;
  input_ = &input;
  n_targets_ = input.n_targets();
  lenient_ = input.lenient();
  rejoin_decoder_.set_n_targets(n_targets_);
  rejoin_decoder_.set_lenient(lenient_);
  blocks_.attach(std::move(source), input.blocks_loaded());
  return true;
}

std::unique_ptr<ChunkCounter::Chunk> ChunkCounter::read_chunk() {
  std::unique_ptr<Chunk> chunk;
  if (spare_.empty()) {
    chunk = std::make_unique<Chunk>();
  } else {
    chunk = std::move(spare_.back());
    spare_.pop_back();
    chunk->reset();
  }
  chunk->index = chunks_read_++;
  if (chunk->index == 0) {
    chunk->data.swap(first_bytes_);
    return chunk;
  }
  chunk->first_block = blocks_.number() + 1;
  for (size_t taken = 0; taken < kBlocksPerChunk; ++taken) {
    // The chunk's blocks stay where they were read, so that the chunk can take the buffer.
    int got = blocks_.next(!chunk->block_ends.empty());
    if (got == bam::BgzfBlocks::kMore) break;
    if (got <= 0) {
      chunk->last = true;
      if (got < 0) chunk->failed_block = blocks_.number();
      input_->note_eof_marker(blocks_.eof_marker_seen());
      break;
    }
    if (got == bam::BgzfBlocks::kPlain) {
      // Plain gzip, inflated as it is read. A chunk holds compressed blocks or inflated
      // bytes, not both: after blocks, next(keep) leaves plain gzip to the next chunk.
      if (!chunk->data.append(blocks_.plain(), blocks_.length())) throw std::bad_alloc();
      continue;
    }
    if (chunk->data.size > 0) {
      // Back to blocks after plain bytes cannot happen: plain gzip runs to the end.
      chunk->failed_block = blocks_.number();
      chunk->last = true;
      break;
    }
    size_t at = static_cast<size_t>(blocks_.block() - blocks_.buffer());
    if (chunk->block_ends.empty()) chunk->compressed_begin = at;
    chunk->block_ends.push_back(at + blocks_.length());
  }
  if (!chunk->block_ends.empty()) {
    if (!chunk->compressed.reserve(blocks_.capacity())) throw std::bad_alloc();
    chunk->compressed.size = chunk->block_ends.back();
    blocks_.trade_buffer(chunk->compressed.data, chunk->compressed.capacity);
  }
  reading_done_ = chunk->last;
  return chunk;
}

void ChunkCounter::inflate(Worker& worker, Chunk& chunk) {
  chunk.data.swap(worker.buffer);
  if (!chunk.data.reserve(chunk.block_ends.size() * bam::BlockInflater::kMaxBlock)) {
    throw std::bad_alloc();
  }
  size_t filled = 0;
  size_t start = chunk.compressed_begin;
  size_t hop = 0;
  size_t hop_last = Chunk::kNone;
  uint64_t hopped = 0;
  bool hopping = true;
  for (size_t b = 0; b < chunk.block_ends.size(); ++b) {
    long n = bam::inflate_bgzf_block(worker.inflater, chunk.compressed.data + start,
                                     chunk.block_ends[b] - start, chunk.data.data + filled);
    if (n < 0) {
      chunk.failed_block = chunk.first_block + b;
      chunk.last = true;
      break;
    }
    filled += static_cast<size_t>(n);
    start = chunk.block_ends[b];
    // Hop over the records the block completes while its bytes are at hand; a length too short
    // for a record leaves the chunk to the walk, which reports it.
    while (hopping && filled - hop >= bam::kBlockLengthSize) {
      auto length = static_cast<int32_t>(bam::le32(chunk.data.data + hop));
      if (length < static_cast<int32_t>(bam::kCoreLength)) {
        hopping = false;
        break;
      }
      size_t size = bam::kBlockLengthSize + static_cast<size_t>(length);
      if (size > filled - hop) break;
      hop_last = hop;
      hop += size;
      ++hopped;
    }
  }
  chunk.data.size = filled;
  chunk.hopped = hopping;
  chunk.hop_end = hop;
  chunk.hop_last = hop_last;
  chunk.hop_records = hopped;
}

// The record boundaries of one chunk, in chunk order: what the single-threaded reader would
// meet, record by record, ending where it would end.
void ChunkCounter::walk(Chunk& chunk) {
  const uint8_t* data = chunk.data.data;
  size_t n = chunk.data.size;
  size_t p = 0;
  chunk.first_record = next_record_;
  if (!walk_ended_ && !carry_.empty()) {
    // Complete the record begun before: its length first, then its bytes.
    while (p < n) {
      size_t want = bam::kBlockLengthSize;
      if (carry_.size() >= bam::kBlockLengthSize) {
        auto length = static_cast<int32_t>(bam::le32(carry_.data()));
        if (length < static_cast<int32_t>(bam::kCoreLength)) break;
        want += static_cast<size_t>(length);
      }
      if (carry_.size() >= want) break;
      size_t take = std::min(want - carry_.size(), n - p);
      carry_.insert(carry_.end(), data + p, data + p + take);
      p += take;
    }
    if (carry_.size() >= bam::kBlockLengthSize) {
      auto length = static_cast<int32_t>(bam::le32(carry_.data()));
      if (length < static_cast<int32_t>(bam::kCoreLength)) {
        walk_ended_ = true;
        chunk.end_code = RecordDecoder::kErrorRecord;
      } else if (carry_.size() == bam::kBlockLengthSize + static_cast<size_t>(length)) {
        chunk.straddler = std::move(carry_);
        carry_.clear();
        ++chunk.records;
      }
    }
  }
  chunk.begin = p;
  if (!walk_ended_ && carry_.empty() && p == 0 && chunk.hopped) {
    p = chunk.hop_end;
    chunk.last_begun = chunk.hop_last;
    chunk.records += chunk.hop_records;
    carry_.assign(data + p, data + n);
  } else if (!walk_ended_ && carry_.empty()) {
    while (n - p >= bam::kBlockLengthSize) {
      auto length = static_cast<int32_t>(bam::le32(data + p));
      if (length < static_cast<int32_t>(bam::kCoreLength)) {
        walk_ended_ = true;
        chunk.end_code = RecordDecoder::kErrorRecord;
        break;
      }
      size_t size = bam::kBlockLengthSize + static_cast<size_t>(length);
      if (size > n - p) break;
      chunk.last_begun = p;
      p += size;
      ++chunk.records;
    }
    if (!walk_ended_) carry_.assign(data + p, data + n);
  }
  chunk.end = p;
  if (!walk_ended_ && chunk.last) {
    walk_ended_ = true;
    if (chunk.failed_block != 0) {
      chunk.end_code = RecordDecoder::kTruncated;
      chunk.end_in_block = true;
    } else if (!carry_.empty()) {
      // The file ends inside a record: the code the single-threaded reader gives there.
      if (carry_.size() < bam::kBlockLengthSize) {
        chunk.end_code = RecordDecoder::kTruncated;
      } else if (carry_.size() < bam::kBlockLengthSize + bam::kCoreLength) {
        chunk.end_code = RecordDecoder::kErrorCore;
      } else {
        chunk.end_code = RecordDecoder::kErrorRecord;
      }
    }
  }
  next_record_ += chunk.records;
}

void ChunkCounter::count_records(Worker& worker, Chunk& chunk) {
  RecordStep& step = worker.step;
  uint64_t number = chunk.first_record;
  bool first = true;
  // A chunk in which no record begins must not report what the worker's last chunk placed.
  step.restart(0);
  uint64_t horizon = MateTable::kNever;
  if (file_.by_position && chunk.last_begun != Chunk::kNone) {
    const uint8_t* last = chunk.data.data + chunk.last_begun;
    horizon = MateTable::place(static_cast<int32_t>(bam::le32(last + 4)),
                               static_cast<int32_t>(bam::le32(last + 8)));
  }
  step.pass_beyond(horizon);
  auto take = [&](const uint8_t* bytes) {
    if (first && file_.by_position) {
      chunk.first_tid = static_cast<int32_t>(bam::le32(bytes + 4));
      chunk.first_pos = static_cast<int32_t>(bam::le32(bytes + 8));
      // A mate at the chunk's first place may lie in the chunk before.
      step.restart(MateTable::place(chunk.first_tid, chunk.first_pos) + 1);
    }
    first = false;
    int status = worker.decoder.decode(bytes);
    if (status <= 0) {
      chunk.status = CountStatus::kUnreadable;
      chunk.message =
          bam::AlignmentInput::describe_read_error(status, false, 0, number, &worker.decoder);
      return false;
    }
    CountStatus counted = step.take(worker.decoder.record(), number, bytes);
    if (counted != CountStatus::kDone) {
      chunk.status = counted;
      chunk.message = step.message();
      return false;
    }
    ++number;
    return true;
  };
  bool going = chunk.straddler.empty() || take(chunk.straddler.data());
  // The chunk was inflated whole and has left this core's cache: its bytes are asked for a
  // little ahead of the records that read them.
  size_t fetched = chunk.begin;
  for (size_t p = chunk.begin; going && p < chunk.end;) {
    const uint8_t* bytes = chunk.data.data + p;
    size_t size = bam::kBlockLengthSize + bam::le32(bytes);
    for (size_t ahead = std::min(p + size + kFetchAhead, chunk.end); fetched < ahead; fetched += 64) {
      __builtin_prefetch(chunk.data.data + fetched);
    }
    if (file_.look_ahead) {
      step.look_ahead(static_cast<int32_t>(bam::le32(bytes + 4)),
                      static_cast<int32_t>(bam::le32(bytes + 8)), [&](int k) {
                        return bam::record_ahead(bytes + size, chunk.end - p - size, k);
                      });
    }
    going = take(bytes);
    p += size;
  }
  if (going && chunk.end_code != 0) {
    chunk.status = CountStatus::kUnreadable;
    chunk.message = bam::AlignmentInput::describe_read_error(
        chunk.end_code, chunk.end_in_block, chunk.failed_block, number);
  }
  chunk.placed = step.placed();
  chunk.first_place = step.first_place();
  chunk.last_place = step.last_place();
  if (file_.fragments()) {
    chunk.first_name_reads = step.drain(chunk.leftovers, &chunk.names_changed);
  }
}

void ChunkCounter::work(Worker& worker) {
  for (;;) {
    Chunk* chunk;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      work_ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      chunk = queue_.front();
      queue_.pop_front();
    }
    // Memory running out ends the count at this chunk (an exception must not leave a thread).
    bool no_memory = false;
    try {
      if (!chunk->block_ends.empty()) inflate(worker, *chunk);
    } catch (const std::bad_alloc&) {
      no_memory = true;
    }
    {
      std::unique_lock<std::mutex> lock(mutex_);
      walk_turn_.wait(lock, [this, chunk] { return stopping_ || walk_next_ == chunk->index; });
      if (stopping_) return;
    }
    // Only the chunk whose turn it is touches the walk's state.
    try {
      if (!no_memory) walk(*chunk);
    } catch (const std::bad_alloc&) {
      no_memory = true;
    }
    if (no_memory) walk_ended_ = true;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++walk_next_;
    }
    walk_turn_.notify_all();
    try {
      if (!no_memory) count_records(worker, *chunk);
    } catch (const std::bad_alloc&) {
      no_memory = true;
    }
    if (no_memory) {
      chunk->status = CountStatus::kNoMemory;
      chunk->message = "out of memory";
    }
    if (!chunk->block_ends.empty()) worker.buffer.swap(chunk->data);
    join_ready(chunk);
  }
}

// Chunks are joined in order by whichever worker finds the next one counted, while the other
// goes on counting: no worker waits for another's chunk, and the joining runs where the index
// is at hand in the cache.
void ChunkCounter::join_ready(Chunk* chunk) {
  std::unique_lock<std::mutex> lock(mutex_);
  counted_.push_back(chunk);
  if (joining_) return;
  joining_ = true;
  for (;;) {
    auto next = std::find_if(counted_.begin(), counted_.end(),
                             [this](const Chunk* c) { return c->index == join_next_; });
    if (next == counted_.end()) break;
    Chunk* ready = *next;
    counted_.erase(next);
    bool going = !join_stopped_ && !stopping_;
    lock.unlock();
    CountStatus status = CountStatus::kDone;
    if (going) {
      try {
        status = merge(*ready);
      } catch (const std::bad_alloc&) {
        message_ = "out of memory";
        status = CountStatus::kNoMemory;
      }
    }
    lock.lock();
    ready->join_status = status;
    ready->joined = true;
    if (status != CountStatus::kDone) join_stopped_ = true;
    ++join_next_;
  }
  joining_ = false;
  lock.unlock();
  chunk_joined_.notify_all();
}

CountStatus ChunkCounter::merge(Chunk& chunk) {
  records_ += chunk.records;
  if (file_.by_position && chunk.placed) {
    if (previous_placed_ && chunk.first_place < previous_last_place_) {
      message_ = "record " + std::to_string(chunk.first_record) + " (" +
                 where(file_.reference_names, chunk.first_tid, chunk.first_pos) +
                 ") comes after a later position, although the header says the file is sorted "
                 "by coordinate";
      return CountStatus::kOutOfOrder;
    }
  }
  if (chunk.status != CountStatus::kDone) {
    message_ = chunk.message;
    return chunk.status;
  }
  for (size_t r = 0; r <= chunk.leftovers.size(); ++r) {
    // Other names came after the chunk's first: its last name is a bundle of its own, even
    // when it is the same name.
    if (r == chunk.first_name_reads && chunk.names_changed) joiner_.end_bundle();
    if (r == chunk.leftovers.size()) break;
    // Decoded once already, by a decoder like this one.
    int decoded = rejoin_decoder_.decode(chunk.leftovers.block(r));
    if (decoded <= 0) {
      message_ = bam::AlignmentInput::describe_read_error(decoded, false, 0,
                                                          chunk.leftovers.number(r),
                                                          &rejoin_decoder_);
      return CountStatus::kUnreadable;
    }
    joiner_.take_leftover(rejoin_decoder_.record(), chunk.leftovers.number(r));
  }
  chunk.leftovers.clear();
  if (file_.by_position && chunk.placed) {
    joiner_.settle_before(chunk.last_place);
    previous_placed_ = true;
    previous_last_place_ = chunk.last_place;
  }
  return CountStatus::kDone;
}

void ChunkCounter::stop_workers() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  walk_turn_.notify_all();
  for (std::thread& thread : threads_running_) thread.join();
  threads_running_.clear();
}

CountStatus ChunkCounter::count(bam::Interruption* interrupt) {
  for (int t = 0; t < threads_; ++t) {
    workers_.push_back(std::make_unique<Worker>(file_, n_targets_, lenient_));
  }
  for (auto& worker : workers_) {
    threads_running_.emplace_back([this, w = worker.get()] { work(*w); });
  }
  const size_t max_in_flight = static_cast<size_t>(threads_) * 2 + 2;
  std::deque<std::unique_ptr<Chunk>> in_flight;
  auto last_check = std::chrono::steady_clock::now();
  CountStatus status = CountStatus::kDone;
  for (;;) {
    while (!reading_done_ && in_flight.size() < max_in_flight) {
      std::unique_ptr<Chunk> chunk = read_chunk();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(chunk.get());
      }
      work_ready_.notify_one();
      in_flight.push_back(std::move(chunk));
    }
    if (in_flight.empty()) break;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      chunk_joined_.wait_for(lock, std::chrono::milliseconds(50),
                             [&in_flight] { return in_flight.front()->joined; });
    }
    bool front_joined;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      front_joined = in_flight.front()->joined;
    }
    if (front_joined) {
      status = in_flight.front()->join_status;
      spare_.push_back(std::move(in_flight.front()));
      in_flight.pop_front();
      if (status != CountStatus::kDone) break;
    }
    auto now = std::chrono::steady_clock::now();
    if (interrupt != nullptr && now - last_check > std::chrono::milliseconds(100)) {
      last_check = now;
      if (interrupt->requested()) {
        status = CountStatus::kCancelled;
        break;
      }
    }
  }
  // The joining writes message_ until the workers stop.
  stop_workers();
  if (status == CountStatus::kCancelled) message_ = "interrupted";
  if (status != CountStatus::kDone) return status;
  joiner_.settle_all();
  for (auto& worker : workers_) {
    tally_.merge(worker->tally);
    paired_records_ += worker->step.paired_records();
  }
  tally_.merge(joined_);
  return CountStatus::kDone;
}

}  // namespace dulse::count
