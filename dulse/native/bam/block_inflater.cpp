#include "bam/block_inflater.hpp"

#include "bam/crc32.hpp"

#ifdef DULSE_HAVE_LIBDEFLATE
#include <libdeflate.h>
#else
#include <zlib.h>

#include <new>
#endif

namespace dulse::bam {

#ifdef DULSE_HAVE_LIBDEFLATE

BlockInflater::BlockInflater() : state_(libdeflate_alloc_decompressor()) {}

BlockInflater::~BlockInflater() {
  if (state_ != nullptr) libdeflate_free_decompressor(static_cast<libdeflate_decompressor*>(state_));
}

long BlockInflater::inflate(const uint8_t* in, size_t n, uint8_t* out, uint32_t expected_crc) {
  size_t produced = 0;
  auto* d = static_cast<libdeflate_decompressor*>(state_);
  if (libdeflate_deflate_decompress(d, in, n, out, kMaxBlock, &produced) != LIBDEFLATE_SUCCESS) {
    return -1;
  }
  if (crc32(out, produced) != expected_crc) return -2;
  return static_cast<long>(produced);
}

const char* BlockInflater::name() { return "libdeflate"; }

#else

BlockInflater::BlockInflater() {
  auto* zs = new (std::nothrow) z_stream{};
  if (zs == nullptr) return;
  if (inflateInit2(zs, -15) != Z_OK) {
    delete zs;
    return;
  }
  state_ = zs;
}

BlockInflater::~BlockInflater() {
  auto* zs = static_cast<z_stream*>(state_);
  if (zs == nullptr) return;
  inflateEnd(zs);
  delete zs;
}

long BlockInflater::inflate(const uint8_t* in, size_t n, uint8_t* out, uint32_t expected_crc) {
  auto* zs = static_cast<z_stream*>(state_);
  if (inflateReset(zs) != Z_OK) return -1;
  zs->next_in = const_cast<Bytef*>(in);
  zs->avail_in = static_cast<uInt>(n);
  zs->next_out = out;
  zs->avail_out = static_cast<uInt>(kMaxBlock);
  // One call with Z_FINISH: anything short of the end of the stream, including output that
  // does not fit, is bad data.
  if (::inflate(zs, Z_FINISH) != Z_STREAM_END) return -1;
  size_t produced = kMaxBlock - zs->avail_out;
  if (crc32(out, produced) != expected_crc) return -2;
  return static_cast<long>(produced);
}

const char* BlockInflater::name() { return "zlib"; }

#endif

}  // namespace dulse::bam
