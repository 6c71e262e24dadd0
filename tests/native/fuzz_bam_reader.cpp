// libFuzzer target over the BAM decoder (see README.md here for how to build and run it).
// Inputs become files as fuzz_input.hpp describes. Every record read is walked over in full,
// CIGAR and aux area, so that a pointer or length out of bounds shows.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_input.hpp"
#include "bam/bam_reader.hpp"

namespace {

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
  std::string file = fuzz_input::make_file(data, size);
  char path[64];
  int fd = fuzz_input::memfd_with(file, path);
  if (fd < 0) return 0;
  dulse::bam::Reader reader;
  if (reader.open(path) == 0) {
    while (reader.next() > 0) walk(reader.record());
  }
  reader.close();
  close(fd);
  return 0;
}
