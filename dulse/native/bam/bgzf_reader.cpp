#include "bam/bgzf_reader.hpp"
#include "bam/bgzf_block.hpp"
#include "bam/bytes.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace dulse::bam {

namespace {

constexpr size_t kPeekLength = 2048;

}  // namespace

int BgzfReader::open(const char* path, Access access) {
  close();
  FileSource source;
  int opened = source.open(path, access);
  if (opened != 0) return opened == -2 ? kNotRegular : kCannotOpen;
  return open(std::move(source));
}

int BgzfReader::open(FileSource&& source, bool plain_gzip) {
  close();
  source_ = std::move(source);
  block_ = static_cast<uint8_t*>(std::malloc(BlockInflater::kMaxBlock));
  if (block_ == nullptr || !inflater_.ready()) {
    close();
    return kNoMemory;
  }
  bool gzip = source_.fill(kBgzfHeaderLength) >= kBgzfHeaderLength && is_gzip(source_.data());
  if (gzip && !is_bgzf(source_.data()) && plain_gzip) {
    if (!gzip_.begin()) {
      close();
      return kNoMemory;
    }
    return 0;  // a plain gzip file has no end-of-file block to look for
  }
  if (!gzip || !is_bgzf(source_.data())) {
    close();
    return kNotBgzf;
  }
  if (source_.is_stream()) return 0;
  uint8_t tail[sizeof kBgzfEofMarker];
  eof_marker_ = source_.size() >= sizeof tail &&
                source_.pread_at(source_.size() - sizeof tail, tail, sizeof tail) == sizeof tail &&
                std::memcmp(tail, kBgzfEofMarker, sizeof tail) == 0;
  return 0;
}

void BgzfReader::close() {
  source_.close();
  gzip_.end();
  std::free(block_);
  block_ = nullptr;
  length_ = offset_ = 0;
  eof_marker_ = failed_ = false;
  blocks_loaded_ = 0;
}

size_t BgzfReader::peek_start(uint8_t* out, size_t cap) {
  // Nothing is consumed before the first block is loaded, so the buffer starts at byte 0.
  size_t n = source_.fill(kPeekLength);
  return peek_gzip_prefix(source_.data(), n < kPeekLength ? n : kPeekLength, out, cap);
}

bool BgzfReader::release_source(FileSource* out) {
  if (gzip_.active() || failed_) return false;
  *out = std::move(source_);
  return true;
}

int BgzfReader::refill() {
  if (buffered() > 0) return 1;
  int loaded = load_block();
  if (loaded < 0) {
    failed_ = true;
    length_ = offset_ = 0;
  }
  return loaded;
}

int BgzfReader::load_block() {
  if (failed_ || block_ == nullptr) return -1;
  for (;;) {
    ++blocks_loaded_;
    if (!gzip_.active()) {
      size_t have = source_.fill(kBgzfHeaderLength);
      if (have == 0) return source_.failed() ? -1 : 0;
      const uint8_t* h = source_.data();
      if (have < kBgzfHeaderLength || !is_gzip(h)) return -1;
      if (is_bgzf(h)) {
        size_t block_length = bgzf_block_length(h);
        if (block_length < kBgzfHeaderLength) return -1;
        if (source_.fill(block_length) < block_length) return -1;
        h = source_.data();
        long n = inflate_bgzf_block(inflater_, h, block_length, block_);
        if (source_.is_stream()) {
          eof_marker_ = block_length == sizeof kBgzfEofMarker &&
                        std::memcmp(h, kBgzfEofMarker, sizeof kBgzfEofMarker) == 0;
        }
        source_.consume(block_length);
        if (n < 0) return -1;
        if (n == 0) continue;  // an empty block
        length_ = static_cast<size_t>(n);
        offset_ = 0;
        return 1;
      }
      if (!gzip_.begin()) return -1;
    }
    long n = gzip_.next_chunk(source_, block_);
    if (n < 0) return -1;
    length_ = static_cast<size_t>(n);
    offset_ = 0;
    return n > 0 ? 1 : 0;
  }
}

long BgzfReader::read(uint8_t* out, size_t n) {
  size_t done = 0;
  while (done < n) {
    if (buffered() == 0) {
      int loaded = refill();
      if (loaded < 0) return -1;
      if (loaded == 0) break;
    }
    size_t take = n - done < buffered() ? n - done : buffered();
    std::memcpy(out + done, cursor(), take);
    offset_ += take;
    done += take;
  }
  return static_cast<long>(done);
}

}  // namespace dulse::bam
