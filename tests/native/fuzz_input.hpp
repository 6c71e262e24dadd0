// Turns a fuzzer's input into a BAM file on a memfd, for the fuzz targets here.
//
// The first byte says what the rest is. Bit 0 set: the file itself (exercises the BGZF layer,
// though CRC32 checks stop most mutations there). Bit 0 clear: uncompressed BAM data, which is
// compressed into blocks of 1 + (byte >> 2) * 97 bytes (exercises the record layer); with bit 1
// set, every block after the first is a plain gzip member rather than a BGZF block.
#pragma once

#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace fuzz_input {

inline void append_le(std::string& out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(v >> (8 * i));
}

inline void append_member(std::string& out, const uint8_t* data, size_t n, bool bgzf) {
  static uint8_t deflated[70000];
  static z_stream zs = [] {
    z_stream init{};
    deflateInit2(&init, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    return init;
  }();
  deflateReset(&zs);
  zs.next_in = const_cast<uint8_t*>(data);
  zs.avail_in = static_cast<uInt>(n);
  zs.next_out = deflated;
  zs.avail_out = sizeof deflated;
  deflate(&zs, Z_FINISH);
  size_t len = sizeof deflated - zs.avail_out;
  if (bgzf) {
    out.append("\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00\x42\x43\x02\x00", 16);
    append_le(out, static_cast<uint32_t>(18 + len + 8 - 1), 2);
  } else {
    out.append("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
  }
  out.append(reinterpret_cast<const char*>(deflated), len);
  append_le(out, static_cast<uint32_t>(crc32(0, data, static_cast<uInt>(n))), 4);
  append_le(out, static_cast<uint32_t>(n), 4);
}

inline std::string make_file(const uint8_t* data, size_t size) {
  std::string file;
  if (size == 0) return file;
  uint8_t mode = data[0];
  ++data;
  --size;
  if (mode & 1) return file.assign(reinterpret_cast<const char*>(data), size);
  size_t block = 1 + static_cast<size_t>(mode >> 2) * 97;
  for (size_t at = 0; at < size; at += block) {
    append_member(file, data + at, size - at < block ? size - at : block, at == 0 || !(mode & 2));
  }
  append_member(file, data, 0, true);  // the end-of-file block
  return file;
}

// A memfd holding `file`, or -1; *path names it for open().
inline int memfd_with(const std::string& file, char (&path)[64]) {
  int fd = memfd_create("bam", 0);
  if (fd < 0) return -1;
  if (write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size())) {
    close(fd);
    return -1;
  }
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  return fd;
}

}  // namespace fuzz_input
