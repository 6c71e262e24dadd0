#include "bam/bgzf_reader.hpp"
#include "bam/bytes.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace dulse::bam {

namespace {

constexpr size_t kHeaderLength = 18;
constexpr size_t kPeekLength = 2048;

// The last 28 bytes of every complete BGZF file: an empty block.
constexpr uint8_t kEofMarker[28] = {0x1f, 0x8b, 8, 4, 0, 0, 0, 0, 0, 0xff, 6, 0, 'B', 'C',
                                    2,    0,    0x1b, 0, 3, 0, 0, 0, 0, 0,   0, 0, 0, 0};

// Gzip magic and deflate method; then whether the extra field is exactly one "BC" subfield of
// two bytes. Other header fields (flags besides FEXTRA, MTIME, XFL, OS) are not looked at.
inline bool is_gzip(const uint8_t* h) { return h[0] == 31 && h[1] == 139 && h[2] == 8; }
inline bool is_bgzf(const uint8_t* h) {
  return (h[3] & 4) != 0 && h[10] == 6 && h[11] == 0 && h[12] == 'B' && h[13] == 'C' &&
         h[14] == 2 && h[15] == 0;
}

}  // namespace

int BgzfReader::open(const char* path, Access access) {
  close();
  FileSource source;
  int opened = source.open(path, access);
  if (opened != 0) return opened == -2 ? kNotRegular : kCannotOpen;
  return open(std::move(source));
}

int BgzfReader::open(FileSource&& source) {
  close();
  source_ = std::move(source);
  block_ = static_cast<uint8_t*>(std::malloc(BlockInflater::kMaxBlock));
  if (block_ == nullptr || !inflater_.ready()) {
    close();
    return kNoMemory;
  }
  if (source_.fill(kHeaderLength) < kHeaderLength || !is_gzip(source_.data()) ||
      !is_bgzf(source_.data())) {
    close();
    return kNotBgzf;
  }
  if (source_.is_stream()) return 0;
  uint8_t tail[sizeof kEofMarker];
  eof_marker_ = source_.size() >= sizeof tail &&
                source_.pread_at(source_.size() - sizeof tail, tail, sizeof tail) == sizeof tail &&
                std::memcmp(tail, kEofMarker, sizeof tail) == 0;
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
      size_t have = source_.fill(kHeaderLength);
      if (have == 0) return source_.failed() ? -1 : 0;
      const uint8_t* h = source_.data();
      if (have < kHeaderLength || !is_gzip(h)) return -1;
      if (is_bgzf(h)) {
        size_t block_length = (size_t{h[16]} | size_t{h[17]} << 8) + 1;
        if (block_length < kHeaderLength) return -1;
        if (source_.fill(block_length) < block_length) return -1;
        h = source_.data();
        // The CRC32 sits 8 bytes before the end (inside the header for a short block); the
        // inflater is handed the footer too and stops at the end of the deflate stream.
        long n = inflater_.inflate(h + kHeaderLength, block_length - kHeaderLength, block_,
                                   le32(h + block_length - 8));
        if (source_.is_stream()) {
          eof_marker_ = block_length == sizeof kEofMarker &&
                        std::memcmp(h, kEofMarker, sizeof kEofMarker) == 0;
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
