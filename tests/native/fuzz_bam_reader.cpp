// libFuzzer target over the BAM decoder (see README.md here for how to build and run it).
//
// The first input byte chooses what the rest is: an odd byte takes the rest as the file itself
// (which exercises the BGZF layer, though CRC32 checks stop most mutations there); an even
// byte takes the rest as uncompressed BAM data and compresses it into BGZF blocks of a size
// the byte also chooses (which exercises the record layer). Every record read is walked over
// in full, CIGAR and aux area, so that a pointer or length out of bounds shows.
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "input/bam_reader.hpp"

namespace {

void append_le(std::string& out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(v >> (8 * i));
}

void append_block(std::string& out, const uint8_t* data, size_t n) {
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
  out.append("\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00\x42\x43\x02\x00", 16);
  append_le(out, static_cast<uint32_t>(18 + len + 8 - 1), 2);
  out.append(reinterpret_cast<const char*>(deflated), len);
  append_le(out, static_cast<uint32_t>(crc32(0, data, static_cast<uInt>(n))), 4);
  append_le(out, static_cast<uint32_t>(n), 4);
}

volatile uint32_t sink;

void walk(const dulse::bam::Record& r) {
  uint32_t sum = 0;
  for (uint32_t k = 0; k < 4 * r.n_cigar; ++k) sum += r.cigar[k];
  for (uint32_t k = 0; k < r.aux_len; ++k) sum += r.aux[k];
  for (const char* tag : {"NH", "CG", "XS"}) {
    const uint8_t* p = dulse::bam::find_aux(r, tag);
    if (p == nullptr) continue;
    dulse::bam::AuxValue v = dulse::bam::decode_aux(p, r);
    for (size_t k = 0; k < v.text_len; ++k) sum += v.text[k];
    sum += static_cast<uint32_t>(v.integer) + static_cast<uint32_t>(v.real == 0.0);
  }
  sink = sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint8_t mode = data[0];
  ++data;
  --size;
  std::string file;
  if (mode & 1) {
    file.assign(reinterpret_cast<const char*>(data), size);
  } else {
    size_t block = 1 + size_t{mode} * 97;
    for (size_t at = 0; at < size; at += block) {
      append_block(file, data + at, size - at < block ? size - at : block);
    }
    append_block(file, data, 0);  // the end-of-file block
  }
  int fd = memfd_create("bam", 0);
  if (fd < 0) return 0;
  if (write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size())) {
    close(fd);
    return 0;
  }
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  dulse::bam::Reader reader;
  if (reader.open(path) == 0) {
    while (reader.next() > 0) walk(reader.record());
  }
  reader.close();
  close(fd);
  return 0;
}
