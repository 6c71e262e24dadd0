#include "bam/record_decoder.hpp"

#include <cstdlib>
#include <cstring>

#include "bam/bytes.hpp"
#include "bam/cigar.hpp"

namespace dulse::bam {

namespace {

constexpr uint16_t kUnmapped = 4;

}  // namespace

bool ByteBuffer::reserve(size_t n) {
  if (n <= capacity) return true;
  size_t grown = capacity < 4096 ? 4096 : capacity;
  while (grown < n) grown *= 2;
  auto* moved = static_cast<uint8_t*>(std::realloc(data, grown));
  if (moved == nullptr) return false;
  data = moved;
  capacity = grown;
  return true;
}

bool ByteBuffer::append(const uint8_t* bytes, size_t n) {
  if (!reserve(size + n)) return false;
  if (n > 0) std::memcpy(data + size, bytes, n);
  size += n;
  return true;
}

void ByteBuffer::release() {
  std::free(data);
  data = nullptr;
  size = capacity = 0;
}

int RecordDecoder::begin(const uint8_t* head) {
  problem_ = Problem::kNone;
  block_len_ = static_cast<int32_t>(le32(head));
  if (block_len_ < static_cast<int32_t>(kCoreLength)) return fail(Problem::kLengths, kErrorRecord);
  const uint8_t* core = head + kBlockLengthSize;
  Record& r = record_;
  std::memcpy(core_, core, kCoreLength);
  r.core = core_;
  r.tid = static_cast<int32_t>(le32(core));
  r.pos = static_cast<int32_t>(le32(core + 4));
  uint32_t bin_mq_nl = le32(core + 8);
  uint32_t flag_nc = le32(core + 12);
  r.l_qseq = static_cast<int32_t>(le32(core + 16));
  r.mtid = static_cast<int32_t>(le32(core + 20));
  r.mpos = static_cast<int32_t>(le32(core + 24));
  r.isize = static_cast<int32_t>(le32(core + 28));
  r.mapq = static_cast<uint8_t>(bin_mq_nl >> 8);
  r.flag = static_cast<uint16_t>(flag_nc >> 16);
  r.n_cigar = flag_nc & 0xffff;
  r.l_qname = bin_mq_nl & 0xff;

  body_len_ = static_cast<uint32_t>(block_len_) - kCoreLength;
  if (r.l_qseq < 0 || r.l_qname < 1) return fail(Problem::kLengths, kErrorRecord);
  uint64_t seq_bytes = (static_cast<uint64_t>(r.l_qseq) + 1) >> 1;
  fixed_ = uint64_t{r.n_cigar} * 4 + r.l_qname + seq_bytes + static_cast<uint64_t>(r.l_qseq);
  if (fixed_ > body_len_) return fail(Problem::kLengths, kErrorRecord);
  return 0;
}

int RecordDecoder::finish(const uint8_t* body) {
  Record& r = record_;
  r.body = body;
  r.body_length = body_len_;
  r.qname = reinterpret_cast<const char*>(body);
  r.cigar = body + r.l_qname;
  r.aux = body + fixed_;
  r.aux_len = body_len_ - static_cast<uint32_t>(fixed_);

  if (r.n_cigar > 0) {
    // A placeholder CIGAR (one soft clip of the whole query) on a placed record means that the
    // real one may be waiting in the CG tag.
    if (le32(r.cigar) == (kSoftClip | static_cast<uint32_t>(r.l_qseq) << 4) && r.tid >= 0 &&
        r.pos >= 0) {
      if (take_cigar_from_cg(body) < 0) return fail(Problem::kTags, kErrorRecord);
    }
    if (r.l_qseq > 0 && (r.flag & kUnmapped) == 0 && !lenient_) {
      int64_t qlen = 0;
      const uint8_t* op = r.cigar;
      for (uint32_t k = 0; k < r.n_cigar; ++k, op += 4) {
        uint32_t v = le32(op);
        if (consumes_query(v & 0xf)) qlen += v >> 4;
      }
      if (qlen != r.l_qseq) return fail(Problem::kQueryLength, kErrorRecord);
    }
  }
  if (r.tid >= n_targets_ || r.tid < -1 || r.mtid >= n_targets_ || r.mtid < -1) {
    return fail(Problem::kReference, kErrorCore);
  }
  // htslib's return value, in its int: it wraps negative for a block length within 4 of 2^31,
  // and pysam then raises with that number.
  return static_cast<int32_t>(kBlockLengthSize + static_cast<uint32_t>(block_len_));
}

// htslib's move of a CIGAR from the CG tag: when the aux area holds CG as a B array of I or i
// with at least as many elements as the placeholder has operations (and fewer than 2^29),
// those elements become the CIGAR and the CG field leaves the aux area. 0 when nothing moved
// or after the move, -1 when the aux area is corrupt at or before CG or the record would grow
// beyond what htslib can hold.
int RecordDecoder::take_cigar_from_cg(const uint8_t* body) {
  Record& r = record_;
  const uint8_t* cg = nullptr;
  AuxLookup found = lookup_aux(r.aux, r.aux_len, "CG", &cg);
  if (found == AuxLookup::kCorrupt) return -1;
  if (found == AuxLookup::kAbsent) return 0;
  if (cg[0] != 'B' || (cg[1] != 'I' && cg[1] != 'i')) return 0;
  uint32_t cg_len = le32(cg + 2);
  if (cg_len < r.n_cigar || cg_len >= (1u << 29)) return 0;

  // htslib holds the query name padded with NULs to a multiple of 4 bytes (4 more when the name
  // fills a multiple of 4 without its NUL), and the whole record in an int32-sized buffer.
  uint32_t l_qname = r.l_qname;
  uint64_t qname_held = l_qname % 4 != 0 ? l_qname + (4 - l_qname % 4)
                        : body[l_qname - 1] == 0 ? l_qname
                                                 : l_qname + 4;
  uint64_t held = uint64_t{body_len_} + (qname_held - l_qname);
  if (held + uint64_t{cg_len} * 4 - uint64_t{r.n_cigar} * 4 > INT32_MAX) return -1;

  size_t field_start = static_cast<size_t>(cg - 2 - r.aux);
  size_t field_end = field_start + 8 + size_t{cg_len} * 4;
  size_t rest = r.aux_len - field_end;
  if (!aux_.reserve(field_start + rest + 1)) return -1;
  std::memcpy(aux_.data, r.aux, field_start);
  std::memcpy(aux_.data + field_start, r.aux + field_end, rest);
  r.cigar = cg + 6;
  r.n_cigar = cg_len;
  r.aux = aux_.data;
  r.aux_len = static_cast<uint32_t>(field_start + rest);
  return 0;
}

}  // namespace dulse::bam
