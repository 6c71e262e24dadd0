// One BAM record decoded from its bytes, with every check htslib makes on a record, shared by
// the reader of a BGZF stream and the readers of inflated chunks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "bam/bam_aux.hpp"
#include "bam/bytes.hpp"

namespace dulse::bam {

// One record, valid while the bytes it was decoded from are (and until the next decode).
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
  // The record as stored, for writing it out again: its 32-byte core and the body_length bytes
  // after it (the original CIGAR even when one came from CG).
  const uint8_t* core;
  const uint8_t* body;
  uint32_t body_length;
};

// A growable byte buffer that keeps its capacity between records.
struct ByteBuffer {
  uint8_t* data = nullptr;
  size_t size = 0;
  size_t capacity = 0;

  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() { release(); }
  bool reserve(size_t n);
  void release();
  // Appends n bytes (false when memory runs out).
  bool append(const uint8_t* bytes, size_t n);
  void swap(ByteBuffer& other) noexcept {
    std::swap(data, other.data);
    std::swap(size, other.size);
    std::swap(capacity, other.capacity);
  }
};

// The length of a record's block length field and of its fixed-length core.
constexpr uint32_t kBlockLengthSize = 4;
constexpr uint32_t kCoreLength = 32;

// In `n` bytes of records back to back from `p`: the start of the `k`-th (1: the first), when
// its block length and core lie within them; null otherwise.
inline const uint8_t* record_ahead(const uint8_t* p, size_t n, int k) {
  for (;;) {
    if (n < kBlockLengthSize + kCoreLength) return nullptr;
    if (--k == 0) return p;
    size_t size = kBlockLengthSize + size_t{le32(p)};
    if (size >= n) return nullptr;
    p += size;
    n -= size;
  }
}

class RecordDecoder {
 public:
  // sam_read1's codes, as pysam's iterator sees them.
  static constexpr int kEnd = -1;          // the clean end of the records
  static constexpr int kTruncated = -2;    // pysam: OSError("truncated file")
  static constexpr int kErrorCore = -3;    // pysam: OSError("error -3 while reading file")
  static constexpr int kErrorRecord = -4;  // pysam: OSError("error -4 while reading file")

  int32_t n_targets() const { return n_targets_; }
  void set_n_targets(int32_t n) { n_targets_ = n; }
  // featureCounts' reading: a sequence whose length disagrees with the CIGAR is no error (the
  // sequence is never used for counting). htslib's, and so the default, refuses the record.
  void set_lenient(bool lenient) { lenient_ = lenient; }
  bool lenient() const { return lenient_; }

  // Reads the block length and the core (kBlockLengthSize + kCoreLength bytes at `head`): 0,
  // or kErrorRecord when the lengths cannot fit in the record (checked before any of the body
  // is read).
  int begin(const uint8_t* head);
  // The bytes after the core, once begin() succeeded.
  uint32_t body_length() const { return body_len_; }
  // Completes the record from its body: htslib's return value (> 0; it wraps negative for a
  // block length within 4 of 2^31), or kErrorRecord / kErrorCore.
  int finish(const uint8_t* body);
  // begin() and finish() on a record whose bytes all lie at `head`; finish()'s value, or
  // begin()'s failure.
  int decode(const uint8_t* head) {
    int status = begin(head);
    return status == 0 ? finish(head + kBlockLengthSize + kCoreLength) : status;
  }

  // What was wrong with the last record that failed, in words for a message.
  enum class Problem { kNone, kLengths, kQueryLength, kTags, kReference };
  Problem problem() const { return problem_; }

  const Record& record() const { return record_; }
  void clear() { record_ = Record{}; }
  void release() { aux_.release(); }

 private:
  int take_cigar_from_cg(const uint8_t* body);

  int fail(Problem problem, int code) {
    problem_ = problem;
    return code;
  }

  int32_t n_targets_ = 0;
  bool lenient_ = false;
  Problem problem_ = Problem::kNone;
  uint8_t core_[kCoreLength];
  int32_t block_len_ = 0;
  uint32_t body_len_ = 0;
  uint64_t fixed_ = 0;
  Record record_{};
  ByteBuffer aux_;  // the aux area without a CG field that held the CIGAR
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
