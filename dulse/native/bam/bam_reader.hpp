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
#include "bam/record_decoder.hpp"

namespace dulse::bam {

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
  static constexpr int kEnd = RecordDecoder::kEnd;
  static constexpr int kTruncated = RecordDecoder::kTruncated;
  static constexpr int kErrorCore = RecordDecoder::kErrorCore;
  static constexpr int kErrorRecord = RecordDecoder::kErrorRecord;

  Reader() = default;
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  ~Reader() { close(); }

  // With Access::kStreamToo the name is always a file's (no URL schemes) and may be a pipe.
  int open(const char* path, Access access = Access::kRegularFile);
  // Opens on a source opened by the caller, from its first byte, keeping the reference names
  // and the header's @HD line. A file of plain gzip members is read too.
  int open_keeping_header(FileSource&& source);

  // With open_keeping_header: the reference names in header order, and the @HD line (without
  // its line break; empty when the header has none).
  const std::vector<std::string>& reference_names() const { return names_; }
  const std::string& hd_line() const { return hd_line_; }
  // Before opening: keep the header's whole text as well, for writing the records out again
  // (with open_keeping_header).
  void set_keep_text(bool keep) { keep_text_ = keep; }
  const std::string& header_text() const { return text_; }
  const std::vector<uint32_t>& reference_lengths() const { return lengths_; }
  // Hands the rest of the file to the caller, for readers of its blocks: the source positioned
  // after the last block loaded, and in `rest` the bytes of that block not yet read (where the
  // records go on). False, keeping the file, when only this reader can read on (plain gzip).
  bool detach(FileSource* source, ByteBuffer* rest);
  const RecordDecoder& decoder() const { return decoder_; }
  // Where a read error happened: the BGZF block being loaded (1-based).
  uint64_t blocks_loaded() const { return bgzf_.blocks_loaded(); }
  // Whether the last error code came from a block that could not be read or inflated (rather
  // than from a record).
  bool block_failed() const { return bgzf_.failed(); }
  // Idempotent; closes the file descriptor and frees the buffers.
  void close();

  int32_t n_targets() const { return decoder_.n_targets(); }
  // The number of references a record's tid and mate tid must stay below. It starts as the
  // header's count; pysam's header grows when a lookup by name parses @SQ lines that the
  // binary reference list lacks, and its iterator then checks against the grown count.
  void set_n_targets(int32_t n) { decoder_.set_n_targets(n); }
  // featureCounts' reading: header text lines need not start with '@', and records whose
  // sequence length disagrees with the CIGAR are read (see RecordDecoder::set_lenient).
  void set_lenient(bool lenient) { decoder_.set_lenient(lenient); }
  bool lenient() const { return decoder_.lenient(); }
  // Whether the file ends with the BGZF end-of-file block (pysam refuses to open it otherwise,
  // unless told to ignore truncation).
  bool has_eof_marker() const { return bgzf_.has_eof_marker(); }
  bool plain_gzip() const { return bgzf_.plain_gzip(); }

  // > 0: a record was read (htslib's 4 + block length); -1: the clean end of the file; -2, -3,
  // -4: the error htslib reports here. After a code <= 0 the reader is finished and returns
  // the same code again.
  int next();
  const Record& record() const { return decoder_.record(); }
  // The first bytes (block length and core) of the record `k` records after the one in place
  // (1: the next), when the block at hand holds them; null otherwise. For looking ahead only:
  // nothing in them is checked.
  const uint8_t* ahead(int k) const {
    return finished_ != 0 ? nullptr : record_ahead(bgzf_.cursor(), bgzf_.buffered(), k);
  }

  // The library that inflates BGZF blocks in this build.
  static const char* inflater() { return BlockInflater::name(); }

 private:
  int start(bool keep_header);
  int read_header(bool keep_header);
  bool skip_bytes(uint64_t n, uint8_t* last, std::string* kept = nullptr);
  bool read_body(uint32_t n);
  int finish(int code) {
    finished_ = code;
    return code;
  }

  BgzfReader bgzf_;
  int finished_ = 0;
  RecordDecoder decoder_;
  ByteBuffer body_;  // a record that spans blocks, gathered
  std::vector<std::string> names_;
  std::string hd_line_;
  bool keep_text_ = false;
  std::string text_;
  std::vector<uint32_t> lengths_;
};

}  // namespace dulse::bam
