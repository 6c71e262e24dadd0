#include "bam/block_deflater.hpp"

#include <new>

#if defined(DULSE_HAVE_ISAL)
#include <isa-l/igzip_lib.h>
#elif defined(DULSE_HAVE_LIBDEFLATE)
#include <libdeflate.h>
#else
#include <zlib.h>
#endif

namespace dulse::bam {

#if defined(DULSE_HAVE_ISAL)

namespace {

int igzip_level(int level) { return level <= 0 ? 0 : level <= 2 ? 1 : level <= 6 ? 2 : 3; }

size_t level_buffer(int level) {
  switch (level) {
    case 0: return ISAL_DEF_LVL0_DEFAULT;
    case 1: return ISAL_DEF_LVL1_DEFAULT;
    case 2: return ISAL_DEF_LVL2_DEFAULT;
    default: return ISAL_DEF_LVL3_DEFAULT;
  }
}

}  // namespace

BlockDeflater::BlockDeflater(int level) : level_(igzip_level(level)) {
  auto* stream = new (std::nothrow) isal_zstream{};
  if (stream == nullptr) return;
  try {
    work_.resize(level_buffer(level_));
  } catch (const std::bad_alloc&) {
    delete stream;
    return;
  }
  state_ = stream;
  ready_ = true;
}

BlockDeflater::~BlockDeflater() { delete static_cast<isal_zstream*>(state_); }

size_t BlockDeflater::deflate(const uint8_t* in, size_t n, uint8_t* out, size_t room) {
  auto* stream = static_cast<isal_zstream*>(state_);
  isal_deflate_stateless_init(stream);
  stream->level = static_cast<uint32_t>(level_);
  stream->level_buf = work_.empty() ? nullptr : work_.data();
  stream->level_buf_size = static_cast<uint32_t>(work_.size());
  stream->end_of_stream = 1;
  stream->flush = NO_FLUSH;
  stream->next_in = const_cast<uint8_t*>(in);
  stream->avail_in = static_cast<uint32_t>(n);
  stream->next_out = out;
  stream->avail_out = static_cast<uint32_t>(room);
  if (isal_deflate_stateless(stream) != COMP_OK || stream->avail_in != 0) return 0;
  return stream->total_out;
}

#elif defined(DULSE_HAVE_LIBDEFLATE)

BlockDeflater::BlockDeflater(int level)
    : level_(level), state_(libdeflate_alloc_compressor(level)) {
  ready_ = state_ != nullptr;
}

BlockDeflater::~BlockDeflater() {
  if (state_ != nullptr) libdeflate_free_compressor(static_cast<libdeflate_compressor*>(state_));
}

size_t BlockDeflater::deflate(const uint8_t* in, size_t n, uint8_t* out, size_t room) {
  return libdeflate_deflate_compress(static_cast<libdeflate_compressor*>(state_), in, n, out,
                                     room);
}

#else

BlockDeflater::BlockDeflater(int level) : level_(level), state_(new (std::nothrow) z_stream{}) {
  ready_ = state_ != nullptr;
}

BlockDeflater::~BlockDeflater() { delete static_cast<z_stream*>(state_); }

size_t BlockDeflater::deflate(const uint8_t* in, size_t n, uint8_t* out, size_t room) {
  auto* zs = static_cast<z_stream*>(state_);
  *zs = z_stream{};
  if (deflateInit2(zs, level_, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return 0;
  zs->next_in = const_cast<uint8_t*>(in);
  zs->avail_in = static_cast<uInt>(n);
  zs->next_out = out;
  zs->avail_out = static_cast<uInt>(room);
  int status = ::deflate(zs, Z_FINISH);
  size_t produced = room - zs->avail_out;
  deflateEnd(zs);
  return status == Z_STREAM_END ? produced : 0;
}

#endif

}  // namespace dulse::bam
