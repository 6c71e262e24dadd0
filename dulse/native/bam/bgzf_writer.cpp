#include "bam/bgzf_writer.hpp"

#include <algorithm>
#include <cstring>

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

}  // namespace

BgzfWriter::BgzfWriter(int level) : level_(level), compressor_(new_compressor(level)) {
  pending_.reserve(kBlockData);
  block_.resize(kMaxBlock);
}

BgzfWriter::~BgzfWriter() {
  if (compressor_ != nullptr) free_compressor(compressor_);
}

bool BgzfWriter::write(const void* data, size_t n) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (n > 0) {
    size_t take = std::min(n, kBlockData - pending_.size());
    pending_.insert(pending_.end(), bytes, bytes + take);
    bytes += take;
    n -= take;
    if (pending_.size() == kBlockData && !flush_block()) return false;
  }
  return true;
}

bool BgzfWriter::flush_block() {
  if (pending_.empty()) return true;
  uint8_t* out = block_.data();
  size_t room = kMaxBlock - kHeader - kTrailer;
  size_t deflated = deflate_into(compressor_, level_, pending_.data(), pending_.size(),
                                 out + kHeader, room);
  if (deflated == 0) {
    // Data that does not shrink: a stored deflate block holds it as it is.
    out[kHeader] = 1;
    put_le16(out + kHeader + 1, static_cast<uint16_t>(pending_.size()));
    put_le16(out + kHeader + 3, static_cast<uint16_t>(~pending_.size()));
    std::memcpy(out + kHeader + 5, pending_.data(), pending_.size());
    deflated = pending_.size() + 5;
  }
  size_t total = kHeader + deflated + kTrailer;
  const uint8_t header[kHeader - 2] = {0x1f, 0x8b, 0x08, 0x04, 0, 0, 0, 0, 0, 0xff,
                                        0x06, 0x00, 0x42, 0x43, 0x02, 0x00};
  std::memcpy(out, header, sizeof header);
  put_le16(out + 16, static_cast<uint16_t>(total - 1));
  put_le32(out + kHeader + deflated, crc_of(pending_.data(), pending_.size()));
  put_le32(out + kHeader + deflated + 4, static_cast<uint32_t>(pending_.size()));
  pending_.clear();
  return file_.write(out, total);
}

bool BgzfWriter::close() {
  bool written = flush_block() && file_.write(kEofBlock, sizeof kEofBlock);
  bool closed = file_.close();
  return written && closed;
}

}  // namespace dulse::bam
