#include "bam/gzip_members.hpp"

#include <zlib.h>

#include <new>

namespace dulse::bam {

namespace {
constexpr int kGzipWindow = 15 + 16;  // 32 KiB window, gzip wrapper with CRC32 and ISIZE
}

bool GzipMembers::begin() {
  end();
  auto* zs = new (std::nothrow) z_stream{};
  if (zs == nullptr) return false;
  if (inflateInit2(zs, kGzipWindow) != Z_OK) {
    delete zs;
    return false;
  }
  stream_ = zs;
  return true;
}

void GzipMembers::end() {
  auto* zs = static_cast<z_stream*>(stream_);
  if (zs == nullptr) return;
  inflateEnd(zs);
  delete zs;
  stream_ = nullptr;
}

long GzipMembers::next_chunk(FileSource& source, uint8_t* out) {
  auto* zs = static_cast<z_stream*>(stream_);
  zs->next_out = out;
  zs->avail_out = static_cast<uInt>(kChunk);
  while (zs->avail_out != 0) {
    bool input_end = source.available() == 0 && source.fill(1) == 0;
    size_t given = source.available();
    if (given > (1u << 30)) given = 1u << 30;
    zs->next_in = const_cast<Bytef*>(source.data());
    zs->avail_in = static_cast<uInt>(given);
    int ret = ::inflate(zs, Z_SYNC_FLUSH);
    source.consume(given - zs->avail_in);
    if ((ret < 0 && ret != Z_BUF_ERROR) || ret == Z_NEED_DICT) return -1;
    if (ret == Z_STREAM_END) {
      // One member is done; whatever follows must be another member.
      if (source.available() == 0 && source.fill(1) == 0) break;
      if (inflateReset(zs) != Z_OK) return -1;
    } else if (ret == Z_BUF_ERROR && input_end) {
      return -1;  // the data stops inside a member
    }
  }
  return static_cast<long>(kChunk - zs->avail_out);
}

size_t peek_gzip_prefix(const uint8_t* in, size_t n, uint8_t* out, size_t cap) {
  z_stream zs{};
  zs.next_in = const_cast<Bytef*>(in);
  zs.avail_in = static_cast<uInt>(n);
  zs.next_out = out;
  zs.avail_out = static_cast<uInt>(cap);
  if (inflateInit2(&zs, kGzipWindow) != Z_OK) return 0;
  const Bytef* last_in = in;
  while (zs.avail_out > 0) {
    int ret = ::inflate(&zs, Z_SYNC_FLUSH);
    if (ret == Z_STREAM_END) {
      if (last_in == zs.next_in) break;
      last_in = zs.next_in;
      inflateReset(&zs);
    } else if (ret != Z_OK) {
      break;
    }
  }
  size_t produced = static_cast<size_t>(zs.next_out - out);
  inflateEnd(&zs);
  return produced;
}

}  // namespace dulse::bam
