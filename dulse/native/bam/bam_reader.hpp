// BAM records read straight from the file's bytes.
//
// Reader::next() returns what htslib's sam_read1 returns for the same BAM file at the same
// point, as pysam's iterator sees it: a record, the end, or the error code for which pysam
// raises. Every check htslib makes on a record is made on every record; beyond that a record
// is decoded only as far as its fields below, never its sequence or qualities.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bam/bam_aux.hpp"
#include "bam/bgzf_reader.hpp"

namespace dulse::bam {

// One record, valid until the next call of next() or close().
struct Record {
  uint16_t flag;
  uint8_t mapq;
  int32_t tid;
  int32_t pos;
  int32_t mtid;
  int32_t mpos;
  int32_t isize;  // the template length
  int32_t l_qseq;
  // The read name with its NUL, l_qname bytes (at least 1).
  const char* qname;
  uint32_t l_qname;
  // n_cigar little-endian uint32 operations (oplen << 4 | op). A CIGAR carried in the CG tag
  // has been moved into place, as htslib moves it: it is the CIGAR here, and the CG field is
  // gone from the aux area.
  uint32_t n_cigar;
  const uint8_t* cigar;
  const uint8_t* aux;
  uint32_t aux_len;
};

class Reader {
 public:
  // open(): 0, or one of these. The file is then left to pysam, which raises its own error or
  // reads it its own way.
  static constexpr int kCannotOpen = BgzfReader::kCannotOpen;  // errno tells why
  static constexpr int kNotRegular = BgzfReader::kNotRegular;  // "-", a pipe, a directory ...
  static constexpr int kNotBgzf = BgzfReader::kNotBgzf;        // no BGZF block at its start
  static constexpr int kNotBam = -4;      // its data does not start with the BAM magic
  static constexpr int kBadHeader = -5;   // a BAM header htslib rejects
  static constexpr int kNoMemory = BgzfReader::kNoMemory;
  static constexpr int kNotPlainPath = -7;  // a name htslib reads as a URL, "-" or with "##idx##"

  // next(): a positive length when a record is in place; otherwise sam_read1's code.
  static constexpr int kEnd = -1;        // the clean end of the records
  static constexpr int kTruncated = -2;  // pysam: OSError("truncated file")
  static constexpr int kErrorCore = -3;  // pysam: OSError("error -3 while reading file")
  static constexpr int kErrorRecord = -4;  // pysam: OSError("error -4 while reading file")

  Reader() = default;
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  ~Reader() { close(); }

  // With Access::kStreamToo the name is always a file's (no URL schemes) and may be a pipe.
  int open(const char* path, Access access = Access::kRegularFile);
  // Opens on a source opened by the caller, from its first byte, keeping the reference names
  // and the header's @HD line.
  int open_keeping_header(FileSource&& source);

  // With open_keeping_header: the reference names in header order, and the @HD line (without
  // its line break; empty when the header has none).
  const std::vector<std::string>& reference_names() const { return names_; }
  const std::string& hd_line() const { return hd_line_; }
  // Where a read error happened: the BGZF block being loaded (1-based).
  uint64_t blocks_loaded() const { return bgzf_.blocks_loaded(); }
  // Whether the last error code came from a block that could not be read or inflated (rather
  // than from a record).
  bool block_failed() const { return bgzf_.failed(); }
  // Idempotent; closes the file descriptor and frees the buffers.
  void close();

  int32_t n_targets() const { return n_targets_; }
  // The number of references a record's tid and mate tid must stay below. It starts as the
  // header's count; pysam's header grows when a lookup by name parses @SQ lines that the
  // binary reference list lacks, and its iterator then checks against the grown count.
  void set_n_targets(int32_t n) { n_targets_ = n; }
  // Whether the file ends with the BGZF end-of-file block (pysam refuses to open it otherwise,
  // unless told to ignore truncation).
  bool has_eof_marker() const { return bgzf_.has_eof_marker(); }

  // > 0: a record was read (htslib's 4 + block length); -1: the clean end of the file; -2, -3,
  // -4: the error htslib reports here. After a code <= 0 the reader is finished and returns
  // the same code again.
  int next();
  const Record& record() const { return record_; }

  // The library that inflates BGZF blocks in this build.
  static const char* inflater() { return BlockInflater::name(); }

 private:
  // A growable byte buffer that keeps its capacity between records.
  struct Buffer {
    uint8_t* data = nullptr;
    size_t size = 0;
    size_t capacity = 0;
    bool reserve(size_t n);
    void release();
  };

  int start(bool keep_header);
  int read_header(bool keep_header);
  bool skip_bytes(uint64_t n, uint8_t* last, std::string* kept = nullptr);
  bool read_body(uint32_t n);
  int take_cigar_from_cg(uint32_t body_len, uint32_t l_qname, const uint8_t* body);
  int finish(int code) {
    finished_ = code;
    return code;
  }

  BgzfReader bgzf_;
  int32_t n_targets_ = 0;
  int finished_ = 0;
  Record record_{};
  Buffer body_;  // a record that spans blocks, gathered
  Buffer aux_;   // the aux area without a CG field that held the CIGAR
  std::vector<std::string> names_;
  std::string hd_line_;
};

// Mirrors htslib's bam_aux_get: the tag's type letter, or nullptr when the tag is absent or the
// aux area is corrupt before or at the tag (htslib then logs and reports absence).
inline const uint8_t* find_aux(const Record& record, const char tag[2]) {
  const uint8_t* type_ptr = nullptr;
  return lookup_aux(record.aux, record.aux_len, tag, &type_ptr) == AuxLookup::kFound ? type_ptr
                                                                                     : nullptr;
}

// The typed value at a tag that find_aux found on this record.
inline AuxValue decode_aux(const uint8_t* type_ptr, const Record&) { return decode_aux(type_ptr); }

}  // namespace dulse::bam
