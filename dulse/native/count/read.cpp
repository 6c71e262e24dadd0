#include "count/read.hpp"

#include "bam/bam_aux.hpp"
#include "bam/cigar.hpp"

namespace dulse::count {

namespace {

int32_t nh_of(const bam::Record& record) {
  const uint8_t* type = bam::find_aux(record, "NH");
  if (type == nullptr) return 1;
  bam::AuxValue value = bam::decode_aux(type);
  if (value.kind != bam::AuxValue::kInteger) return 1;
  if (value.integer > INT32_MAX) return INT32_MAX;
  return static_cast<int32_t>(value.integer);
}

}  // namespace

void load_read(const bam::Record& record, Read& read) {
  read.flag = record.flag;
  read.mapq = record.mapq;
  read.tid = record.tid;
  read.pos = record.pos;
  read.mtid = record.mtid;
  read.mpos = record.mpos;
  read.isize = record.isize;
  read.nh = nh_of(record);
  read.blocks.clear();
  if ((record.flag & kUnmapped) != 0 || record.tid < 0 || record.pos < 0) return;

  bam::Cigar cigar{record.cigar, record.n_cigar};
  int64_t at = record.pos;
  bool open = false;
  for (uint32_t k = 0; k < cigar.count; ++k) {
    uint32_t op = cigar.op(k);
    int64_t length = cigar.length(k);
    if (bam::is_aligned(op)) {
      int64_t end = at + length;
      if (end > INT32_MAX) end = INT32_MAX;
      if (length > 0 && at < end) {
        if (open) {
          read.blocks.back().end = static_cast<int32_t>(end);
        } else {
          read.blocks.push_back(Block{static_cast<int32_t>(at), static_cast<int32_t>(end)});
          open = true;
        }
      }
      at = end;
    } else if (op == bam::kDeletion || op == bam::kSkip) {
      at += length;
      open = false;
    }
  }
}

}  // namespace dulse::count
