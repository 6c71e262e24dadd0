// libFuzzer target that reads each input with the decoder and with the htslib inside pysam
// (its libchtslib extension, linked as a plain shared library) and aborts on the first
// difference: open accepted or refused, every record's fields, CIGAR and aux bytes, where
// bam_aux_get finds NH, CG and XS, and the final code. Inputs become files as fuzz_input.hpp
// describes. Build it with the zlib inflater, which is what pysam's htslib uses (README.md).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "htslib/hts.h"
#include "htslib/sam.h"
#include "fuzz_input.hpp"
#include "bam/bam_reader.hpp"

namespace {

[[noreturn]] void differ(const char* what, long number) {
  std::fprintf(stderr, "decoder and htslib differ at record %ld: %s\n", number, what);
  std::abort();
}

void compare_tag(const dulse::bam::Record& r, bam1_t* b, const char* tag, long number) {
  const uint8_t* ours = dulse::bam::find_aux(r, tag);
  const uint8_t* theirs = bam_aux_get(b, tag);
  if ((ours == nullptr) != (theirs == nullptr)) differ(tag, number);
  if (ours != nullptr && ours - r.aux != theirs - bam_get_aux(b)) differ(tag, number);
}

void compare(const char* path) {
  dulse::bam::Reader reader;
  int opened = reader.open(path);
  htsFile* fp = hts_open(path, "rb");
  sam_hdr_t* header = nullptr;
  if (fp != nullptr) {
    const htsFormat* format = hts_get_format(fp);
    if (format->format == bam) header = sam_hdr_read(fp);
  }
  if (header == nullptr) {
    if (opened == 0) differ("the decoder opens a file htslib does not read as BAM", -1);
  } else if (opened != 0) {
    if (opened != dulse::bam::Reader::kNotBgzf) differ("the decoder refuses the file", -1);
  } else {
    if (reader.n_targets() != sam_hdr_nref(header)) differ("reference count", -1);
    bam1_t* b = bam_init1();
    for (long number = 0;; ++number) {
      int theirs = sam_read1(fp, header, b);
      int ours = reader.next();
      if (ours != theirs) differ("return code", number);
      if (ours < 0) break;
      const dulse::bam::Record& r = reader.record();
      const bam1_core_t& c = b->core;
      if (r.flag != c.flag || r.mapq != c.qual || r.tid != c.tid || r.pos != c.pos ||
          r.mtid != c.mtid || r.l_qseq != c.l_qseq || r.n_cigar != c.n_cigar) {
        differ("core fields", number);
      }
      if (std::memcmp(r.cigar, bam_get_cigar(b), 4 * size_t{r.n_cigar}) != 0) {
        differ("CIGAR", number);
      }
      if (r.aux_len != static_cast<uint32_t>(bam_get_l_aux(b)) ||
          std::memcmp(r.aux, bam_get_aux(b), r.aux_len) != 0) {
        differ("aux area", number);
      }
      for (const char* tag : {"NH", "CG", "XS"}) compare_tag(r, b, tag, number);
    }
    bam_destroy1(b);
  }
  if (header != nullptr) sam_hdr_destroy(header);
  if (fp != nullptr) hts_close(fp);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = (hts_set_log_level(HTS_LOG_OFF), true);
  (void)quiet;
  std::string file = fuzz_input::make_file(data, size);
  char path[64];
  int fd = fuzz_input::memfd_with(file, path);
  if (fd < 0) return 0;
  compare(path);
  close(fd);
  return 0;
}
