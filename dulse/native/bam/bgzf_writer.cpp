#include "bam/bgzf_writer.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

#include "bam/block_deflater.hpp"
#include "bam/bytes.hpp"
#include "bam/crc32.hpp"

namespace dulse::bam {

namespace {

constexpr size_t kHeader = 18;   // gzip header with the BC extra field
constexpr size_t kTrailer = 8;   // CRC32 and input size
constexpr size_t kMaxBlock = 65536;

const uint8_t kEofBlock[] = {0x1f, 0x8b, 0x08, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff,
                             0x06, 0x00, 0x42, 0x43, 0x02, 0x00, 0x1b, 0x00, 0x03, 0x00,
                             0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

// One BGZF member: the gzip header with its BC field, the raw deflate data of `data`, its CRC
// and size. Its length; `out` holds kMaxBlock bytes.
size_t make_member(BlockDeflater& deflater, const std::vector<uint8_t>& data, uint8_t* out) {
  size_t room = kMaxBlock - kHeader - kTrailer;
  size_t deflated = deflater.deflate(data.data(), data.size(), out + kHeader, room);
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
  put_le32(out + kHeader + deflated, crc32(data.data(), data.size()));
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
    : level_(level), deflater_(std::make_unique<BlockDeflater>(level)),
      filling_(std::make_unique<Block>()) {}

BgzfWriter::~BgzfWriter() {
  stop_threads();
}

bool BgzfWriter::open(const char* path, int threads) {
  if (!ready() || !file_.open(path)) return false;
  // The caller compresses too, when the threads are behind: threads - 1 of them. Threads that
  // cannot be had (no memory for a compressor, none left to start) leave more to the caller.
  for (int t = 1; t < threads; ++t) {
    std::unique_ptr<BlockDeflater> deflater(new (std::nothrow) BlockDeflater(level_));
    if (deflater == nullptr || !deflater->ready()) break;
    BlockDeflater* own = deflater.get();
    thread_deflaters_.push_back(std::move(deflater));
    try {
      threads_.emplace_back([this, own] { compress_queued(*own); });
    } catch (const std::system_error&) {
      thread_deflaters_.pop_back();
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
    block->member_size = make_member(*deflater_, block->data, block->member.data());
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
    block->member_size = make_member(*deflater_, block->data, block->member.data());
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

void BgzfWriter::compress_queued(BlockDeflater& deflater) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    queued_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
    if (waiting_.empty()) break;
    Block* block = waiting_.front();
    waiting_.pop_front();
    lock.unlock();
    block->member_size = make_member(deflater, block->data, block->member.data());
    lock.lock();
    block->compressed = true;
    compressed_.notify_one();
  }
}

void BgzfWriter::stop_threads() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  queued_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
  thread_deflaters_.clear();
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
