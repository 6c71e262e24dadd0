#include "count/htseq_samout.hpp"

#include <algorithm>
#include <cstring>

#include "bam/bytes.hpp"
#include "bam/cigar.hpp"
#include "count/htseq_rules.hpp"

namespace dulse::count {

namespace {

constexpr uint16_t kFlagPaired = 0x1, kFlagUnmapped = 0x4, kFlagMateUnmapped = 0x8;

// The BAM index bin of [begin, end), as htslib computes it (14-bit and 3-bit levels).
uint16_t bin_of(int64_t begin, int64_t end) {
  --end;
  for (int shift = 14, first = 4681; shift <= 26; shift += 3, first >>= 3) {
    if (begin >> shift == end >> shift) return static_cast<uint16_t>(first + (begin >> shift));
  }
  return 0;
}

void put_integer(std::vector<uint8_t>& out, int32_t value) {
  uint8_t bytes[4];
  char type;
  size_t n;
  if (value < 0) {
    type = value >= -128 ? 'c' : value >= -32768 ? 's' : 'i';
  } else {
    type = value <= 255 ? 'C' : value <= 65535 ? 'S' : 'I';
  }
  n = type == 'c' || type == 'C' ? 1 : type == 's' || type == 'S' ? 2 : 4;
  bam::put_le32(bytes, static_cast<uint32_t>(value));
  out.push_back(static_cast<uint8_t>(type));
  out.insert(out.end(), bytes, bytes + n);
}

// The aux fields from `p` to `end` as htseq-count writes them back; a field that is damaged
// ends them.
void append_tags(const uint8_t* p, const uint8_t* end, std::vector<uint8_t>& out) {
  while (end - p >= 4) {
    char type = static_cast<char>(p[2]);
    const uint8_t* value = p + 3;
    size_t room = static_cast<size_t>(end - value);
    size_t size;
    switch (type) {
      case 'A': case 'c': case 'C': size = 1; break;
      case 's': case 'S': size = 2; break;
      case 'i': case 'I': case 'f': size = 4; break;
      case 'd': size = 8; break;
      case 'Z': case 'H': {
        const void* nul = std::memchr(value, 0, room);
        if (nul == nullptr) return;
        size = static_cast<size_t>(static_cast<const uint8_t*>(nul) - value) + 1;
        break;
      }
      case 'B': {
        if (room < 5) return;
        char sub = static_cast<char>(value[0]);
        size_t each = sub == 'c' || sub == 'C' ? 1 : sub == 's' || sub == 'S' ? 2
                      : sub == 'i' || sub == 'I' || sub == 'f' ? 4 : 0;
        if (each == 0) return;
        size = 5 + each * bam::le32(value + 1);
        break;
      }
      default:
        return;
    }
    if (size > room) return;
    out.push_back(p[0]);
    out.push_back(p[1]);
    switch (type) {
      case 'A':
        out.push_back('Z');
        out.push_back(value[0]);
        out.push_back(0);
        break;
      case 'H':
        out.push_back('Z');
        out.insert(out.end(), value, value + size);
        break;
      case 'c': put_integer(out, static_cast<int8_t>(value[0])); break;
      case 'C': put_integer(out, value[0]); break;
      case 's': put_integer(out, static_cast<int16_t>(bam::le16(value))); break;
      case 'S': put_integer(out, bam::le16(value)); break;
      case 'i': case 'I': put_integer(out, static_cast<int32_t>(bam::le32(value))); break;
      case 'd': {
        uint64_t bits = uint64_t{bam::le32(value)} | uint64_t{bam::le32(value + 4)} << 32;
        double wide;
        std::memcpy(&wide, &bits, 8);
        auto narrow = static_cast<float>(wide);
        uint32_t word;
        std::memcpy(&word, &narrow, 4);
        uint8_t bytes[4];
        bam::put_le32(bytes, word);
        out.push_back('f');
        out.insert(out.end(), bytes, bytes + 4);
        break;
      }
      default:
        out.push_back(static_cast<uint8_t>(type));
        out.insert(out.end(), value, value + size);
    }
    p = value + size;
  }
}

const char* row_name(HtseqLog::Outcome outcome) {
  for (const HtseqCounterName& row : kHtseqRows) {
    if (row.field == outcome) return row.name;
  }
  return "";
}

// Appends `stored` (a whole record) to `out` as htseq-count writes it back (see the header);
// false, appending nothing, for a record whose fields run past its end.
bool append_htseq_form(const std::vector<uint8_t>& stored, std::vector<uint8_t>& out) {
  if (stored.size() < 4 + bam::kCoreLength) return false;
  const uint8_t* core = stored.data() + 4;
  const uint8_t* end = stored.data() + stored.size();
  auto tid = static_cast<int32_t>(bam::le32(core));
  auto pos = static_cast<int32_t>(bam::le32(core + 4));
  uint32_t l_qname = bam::le32(core + 8) & 0xff;
  uint32_t mapq = (bam::le32(core + 8) >> 8) & 0xff;
  uint32_t flag = bam::le32(core + 12) >> 16;
  uint32_t n_cigar = bam::le32(core + 12) & 0xffff;
  auto l_seq = static_cast<int32_t>(bam::le32(core + 16));
  auto mtid = static_cast<int32_t>(bam::le32(core + 20));
  auto mpos = static_cast<int32_t>(bam::le32(core + 24));
  auto isize = static_cast<int32_t>(bam::le32(core + 28));
  const uint8_t* name = core + bam::kCoreLength;
  const uint8_t* cigar = name + l_qname;
  const uint8_t* seq = cigar + 4 * size_t{n_cigar};
  size_t bases = l_seq > 0 ? static_cast<size_t>(l_seq) : 0;
  size_t seq_bytes = (bases + 1) / 2 + bases;
  const uint8_t* aux = seq + seq_bytes;
  if (aux > end) return false;
  bool unaligned = (flag & kFlagUnmapped) != 0;
  if (unaligned) {
    tid = pos = -1;
    mapq = n_cigar = 0;
    isize = 0;
  }
  if ((flag & kFlagPaired) == 0 || (flag & kFlagMateUnmapped) != 0 || mtid < 0) mtid = mpos = -1;
  int64_t span = 0;
  bam::Cigar ops{cigar, n_cigar};
  for (uint32_t k = 0; k < n_cigar; ++k) {
    if (bam::consumes_reference(ops.op(k))) span += ops.length(k);
  }
  uint16_t bin = bin_of(pos, pos + (span > 0 ? span : 1));

  size_t start = out.size();
  out.resize(start + 4 + bam::kCoreLength);
  uint8_t* head = out.data() + start;
  bam::put_le32(head + 4, static_cast<uint32_t>(tid));
  bam::put_le32(head + 8, static_cast<uint32_t>(pos));
  bam::put_le32(head + 12, uint32_t{bin} << 16 | mapq << 8 | l_qname);
  bam::put_le32(head + 16, flag << 16 | n_cigar);
  bam::put_le32(head + 20, static_cast<uint32_t>(l_seq));
  bam::put_le32(head + 24, static_cast<uint32_t>(mtid));
  bam::put_le32(head + 28, static_cast<uint32_t>(mpos));
  bam::put_le32(head + 32, static_cast<uint32_t>(isize));
  out.insert(out.end(), name, name + l_qname);
  out.insert(out.end(), cigar, cigar + 4 * size_t{n_cigar});
  out.insert(out.end(), seq, aux);
  append_tags(aux, end, out);
  bam::put_le32(out.data() + start, static_cast<uint32_t>(out.size() - start - 4));
  return true;
}

}  // namespace

HtseqSamout::HtseqSamout(bool bam, std::vector<std::string> genes)
    : genes_(std::move(genes)),
      output_(bam ? bam::RecordOutput::Format::kBam : bam::RecordOutput::Format::kSam) {}

bool HtseqSamout::open(const char* path, const bam::AlignmentInput& input, int threads) {
  return output_.open(path, input, threads);
}

const std::string& HtseqSamout::tag_value(Outcome outcome, const int32_t* genes, size_t n) {
  if (outcome == nullptr) {
    value_ = n > 0 ? genes_[static_cast<size_t>(genes[0])] : std::string();
    return value_;
  }
  value_ = row_name(outcome);
  if (outcome == &Counters::Htseq::ambiguous) {
    candidates_.clear();
    for (size_t g = 0; g < n; ++g) candidates_.push_back(genes_[static_cast<size_t>(genes[g])]);
    std::sort(candidates_.begin(), candidates_.end());
    value_.push_back('[');
    for (size_t g = 0; g < candidates_.size(); ++g) {
      if (g > 0) value_.push_back('+');
      value_ += candidates_[g];
    }
    value_.push_back(']');
  }
  return value_;
}

HtseqSamout::Pending& HtseqSamout::take_slot(std::vector<Pending>& pending, size_t& n) {
  if (n == pending.size()) pending.emplace_back();
  Pending& slot = pending[n++];
  slot.records.clear();
  return slot;
}

void HtseqSamout::note(const Read* first, const Read* second, Outcome outcome,
                       const int32_t* genes, size_t n_genes, bool not_unique, uint64_t order) {
  if (output_.failed()) return;
  const Read* reads[2];
  int n = 0;
  for (const Read* read : {first, second}) {
    if (read != nullptr && read->stored.size() >= 4 + bam::kCoreLength) reads[n++] = read;
  }
  if (n == 0) return;
  Pending* slot;
  if (order >= HtseqRules::kAtTheEnd) {
    slot = &take_slot(at_end_, n_at_end_);
  } else {
    std::string_view name = bam::stored_name(reads[0]->stored);
    if (n_run_ > 0 && name != run_name_) flush(run_, n_run_);
    if (n_run_ == 0) run_name_.assign(name.data(), name.size());
    slot = &take_slot(run_, n_run_);
  }
  slot->order = order;
  const std::string& value = tag_value(outcome, genes, n_genes);
  const char* not_unique_row = row_name(&Counters::Htseq::alignment_not_unique);
  for (int pass = not_unique ? 0 : 1; pass < 2; ++pass) {
    for (int r = 0; r < n; ++r) {
      size_t start = slot->records.size();
      if (!append_htseq_form(reads[r]->stored, slot->records)) continue;
      if (not_unique) {
        bam::append_tag(slot->records, "XF", 'Z', not_unique_row,
                        std::strlen(not_unique_row) + 1);
      }
      if (pass == 1) bam::append_tag(slot->records, "XF", 'Z', value.c_str(), value.size() + 1);
      bam::put_le32(slot->records.data() + start,
                    static_cast<uint32_t>(slot->records.size() - start - 4));
    }
  }
}

void HtseqSamout::flush(std::vector<Pending>& pending, size_t& n) {
  std::stable_sort(pending.begin(), pending.begin() + static_cast<ptrdiff_t>(n),
                   [](const Pending& a, const Pending& b) { return a.order < b.order; });
  for (size_t p = 0; p < n; ++p) {
    const std::vector<uint8_t>& records = pending[p].records;
    for (size_t at = 0; at + 4 <= records.size();) {
      size_t size = 4 + bam::le32(records.data() + at);
      output_.write_record(records.data() + at, size);
      at += size;
    }
  }
  n = 0;
}

bool HtseqSamout::close() {
  flush(run_, n_run_);
  flush(at_end_, n_at_end_);
  return output_.close();
}

}  // namespace dulse::count
