#include "bam/bgzf_writer.hpp"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "bam/bytes.hpp"

#ifdef DULSE_HAVE_LIBDEFLATE
#include <libdeflate.h>
#else
#include <zlib.h>
#endif

namespace dulse::bam {

namespace {

constexpr size_t kHeader = 18;   // gzip header with the BC extra field
constexpr size_t kTrailer = 8;   // CRC32 and input size
constexpr size_t kMaxBlock = 65536;

const uint8_t kEofBlock[] = {0x1f, 0x8b, 0x08, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff,
                             0x06, 0x00, 0x42, 0x43, 0x02, 0x00, 0x1b, 0x00, 0x03, 0x00,
                             0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

#ifdef DULSE_HAVE_LIBDEFLATE

void* new_compressor(int level) { return libdeflate_alloc_compressor(level); }
void free_compressor(void* state) {
  libdeflate_free_compressor(static_cast<libdeflate_compressor*>(state));
}
// The raw deflate data of `in`, into at most `room` bytes: its length, or 0 when it does not fit.
size_t deflate_into(void* state, int, const uint8_t* in, size_t n, uint8_t* out, size_t room) {
  return libdeflate_deflate_compress(static_cast<libdeflate_compressor*>(state), in, n, out,
                                     room);
}
uint32_t crc_of(const uint8_t* data, size_t n) {
  return static_cast<uint32_t>(libdeflate_crc32(0, data, n));
}

#else

void* new_compressor(int) { return new z_stream{}; }
void free_compressor(void* state) { delete static_cast<z_stream*>(state); }
size_t deflate_into(void* state, int level, const uint8_t* in, size_t n, uint8_t* out,
                    size_t room) {
  auto* zs = static_cast<z_stream*>(state);
  *zs = z_stream{};
  if (deflateInit2(zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return 0;
  zs->next_in = const_cast<uint8_t*>(in);
  zs->avail_in = static_cast<uInt>(n);
  zs->next_out = out;
  zs->avail_out = static_cast<uInt>(room);
  int status = deflate(zs, Z_FINISH);
  size_t produced = room - zs->avail_out;
  deflateEnd(zs);
  return status == Z_STREAM_END ? produced : 0;
}
uint32_t crc_of(const uint8_t* data, size_t n) {
  return static_cast<uint32_t>(crc32(0, data, static_cast<uInt>(n)));
}

#endif

// One BGZF member: the gzip header with its BC field, the raw deflate data of `data`, its CRC
// and size. Its length; `out` holds kMaxBlock bytes.
size_t make_member(void* compressor, int level, const std::vector<uint8_t>& data, uint8_t* out) {
  size_t room = kMaxBlock - kHeader - kTrailer;
  size_t deflated = deflate_into(compressor, level, data.data(), data.size(), out + kHeader, room);
  if (deflated == 0) {
    // Data that does not shrink: a stored deflate block holds it as it is.
    out[kHeader] = 1;
    put_le16(out + kHeader + 1, static_cast<uint16_t>(data.size()));
    put_le16(out + kHeader + 3, static_cast<uint16_t>(~data.size()));
    std::memcpy(out + kHeader + 5, data.data(), data.size());
    deflated = data.size() + 5;
  }
  size_t total = kHeader + deflated + kTrailer;
  const uint8_t header[kHeader - 2] = {0x1f, 0x8b, 0x08, 0x04, 0, 0, 0, 0, 0, 0xff,
                                        0x06, 0x00, 0x42, 0x43, 0x02, 0x00};
  std::memcpy(out, header, sizeof header);
  put_le16(out + 16, static_cast<uint16_t>(total - 1));
  put_le32(out + kHeader + deflated, crc_of(data.data(), data.size()));
  put_le32(out + kHeader + deflated + 4, static_cast<uint32_t>(data.size()));
  return total;
}

// Blocks ahead of the file per compressing thread: enough that none waits for the writing.
constexpr size_t kQueuedPerThread = 4;

}  // namespace

struct BgzfWriter::Block {
  Block() {
    data.reserve(kBlockData);
    member.resize(kMaxBlock);
  }
  std::vector<uint8_t> data;
  std::vector<uint8_t> member;
  size_t member_size = 0;
  bool compressed = false;
};

BgzfWriter::BgzfWriter(int level)
    : level_(level), compressor_(new_compressor(level)), filling_(std::make_unique<Block>()) {}

BgzfWriter::~BgzfWriter() {
  stop_threads();
  if (compressor_ != nullptr) free_compressor(compressor_);
}

bool BgzfWriter::open(const char* path, int threads) {
  if (!ready() || !file_.open(path)) return false;
  // The caller compresses too, when the threads are behind: threads - 1 of them. Threads that
  // cannot be had (no memory for a compressor, none left to start) leave more to the caller.
  for (int t = 1; t < threads; ++t) {
    void* compressor = new_compressor(level_);
    if (compressor == nullptr) break;
    try {
      threads_.emplace_back([this, compressor] { compress_queued(compressor); });
    } catch (const std::system_error&) {
      free_compressor(compressor);
      break;
    }
  }
  return true;
}

bool BgzfWriter::write(const void* data, size_t n) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (n > 0) {
    std::vector<uint8_t>& pending = filling_->data;
    size_t take = std::min(n, kBlockData - pending.size());
    pending.insert(pending.end(), bytes, bytes + take);
    bytes += take;
    n -= take;
    if (pending.size() == kBlockData && !hand_on()) return false;
  }
  return true;
}

bool BgzfWriter::hand_on() {
  Block* block = filling_.get();
  if (block->data.empty()) return true;
  if (threads_.empty()) {
    block->member_size = make_member(compressor_, level_, block->data, block->member.data());
    block->data.clear();
    return file_.write(block->member.data(), block->member_size);
  }
  bool queued;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queued = waiting_.size() < kQueuedPerThread * threads_.size();
    if (queued) waiting_.push_back(block);
  }
  if (queued) {
    queued_.notify_one();
  } else {
    // The threads are behind: this one compresses the block itself, out of turn.
    block->member_size = make_member(compressor_, level_, block->data, block->member.data());
    block->compressed = true;
  }
  std::unique_ptr<Block> next;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    in_order_.push_back(std::move(filling_));
    if (!spare_.empty()) {
      next = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  filling_ = next ? std::move(next) : std::make_unique<Block>();
  return write_compressed(false);
}

bool BgzfWriter::write_compressed(bool all) {
  bool written = true;
  std::unique_lock<std::mutex> lock(mutex_);
  // Blocks compressed out of turn wait for the one before them, up to a bound.
  const size_t most = 2 * kQueuedPerThread * threads_.size();
  while (!in_order_.empty()) {
    if (!in_order_.front()->compressed) {
      if (!all && in_order_.size() <= most) break;
      compressed_.wait(lock, [this] { return in_order_.front()->compressed; });
    }
    std::unique_ptr<Block> block = std::move(in_order_.front());
    in_order_.pop_front();
    lock.unlock();
    written = file_.write(block->member.data(), block->member_size) && written;
    block->data.clear();
    block->compressed = false;
    lock.lock();
    spare_.push_back(std::move(block));
  }
  return written;
}

void BgzfWriter::compress_queued(void* compressor) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    queued_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
    if (waiting_.empty()) break;
    Block* block = waiting_.front();
    waiting_.pop_front();
    lock.unlock();
    block->member_size = make_member(compressor, level_, block->data, block->member.data());
    lock.lock();
    block->compressed = true;
    compressed_.notify_one();
  }
  lock.unlock();
  free_compressor(compressor);
}

void BgzfWriter::stop_threads() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  queued_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
}

bool BgzfWriter::close() {
  bool written = hand_on();
  if (!threads_.empty()) {
    written = write_compressed(true) && written;
    stop_threads();
  }
  written = written && file_.write(kEofBlock, sizeof kEofBlock);
  bool closed = file_.close();
  return written && closed;
}

}  // namespace dulse::bam
