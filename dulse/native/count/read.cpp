#include "count/read.hpp"

#include <algorithm>

#include "bam/bam_aux.hpp"
#include "bam/bytes.hpp"
#include "bam/cigar.hpp"

namespace dulse::count {

namespace {

// The integer value of a tag found by lookup_aux_tags, or false when it is absent or not an
// integer. A tag area that cannot be walked up to the tag reads as the tag's absence (as htslib
// reads it), and is noted.
bool integer_value(bam::AuxLookup found, const uint8_t* type, int64_t* value, bool* corrupt) {
  if (found == bam::AuxLookup::kCorrupt) *corrupt = true;
  return found == bam::AuxLookup::kFound && bam::aux_integer(type, value);
}

constexpr char kTags[2][2] = {{'N', 'H'}, {'H', 'I'}};

}  // namespace

void RecordBatch::append(const RecordBatch& other) {
  size_t shift = bytes_.size();
  bytes_.insert(bytes_.end(), other.bytes_.begin(), other.bytes_.end());
  for (const Entry& entry : other.entries_) entries_.push_back(Entry{entry.number, entry.offset + shift});
}

void RecordBatch::merge_from(size_t from, size_t middle) {
  std::inplace_merge(entries_.begin() + static_cast<ptrdiff_t>(from),
                     entries_.begin() + static_cast<ptrdiff_t>(middle), entries_.end(),
                     [](const Entry& a, const Entry& b) { return a.number < b.number; });
}

void load_fields(const bam::Record& record, bool keep, Read& read) {
  read.stored.clear();
  if (keep && record.core != nullptr) {
    uint8_t length[4];
    bam::put_le32(length, bam::kCoreLength + record.body_length);
    read.stored.insert(read.stored.end(), length, length + 4);
    read.stored.insert(read.stored.end(), record.core, record.core + bam::kCoreLength);
    read.stored.insert(read.stored.end(), record.body, record.body + record.body_length);
  }
  read.flag = record.flag;
  read.mapq = record.mapq;
  read.tid = record.tid;
  read.pos = record.pos;
  read.mtid = record.mtid;
  read.mpos = record.mpos;
  read.isize = record.isize;
}

void load_tags(const bam::Record& record, bool with_hi, Read& read) {
  bam::AuxLookup found[2] = {bam::AuxLookup::kAbsent, bam::AuxLookup::kAbsent};
  const uint8_t* types[2] = {nullptr, nullptr};
  if (with_hi) {
    bam::lookup_aux_tags<2>(record.aux, record.aux_len, kTags, found, types);
  } else {
    bam::lookup_aux_tags<1>(record.aux, record.aux_len, kTags, found, types);
  }
  int64_t nh = 1;
  read.tags_corrupt = false;
  read.has_nh = integer_value(found[0], types[0], &nh, &read.tags_corrupt);
  read.nh = read.has_nh && nh > 1 ? static_cast<int32_t>(nh > INT32_MAX ? INT32_MAX : nh) : 1;
  read.has_hi = with_hi && integer_value(found[1], types[1], &read.hi, &read.tags_corrupt);
}

namespace {

// load_blocks() asked for the blocks alone, which most counts need: the walk below, without
// what it keeps for the lengths and junctions.
void load_blocks_only(const bam::Cigar& cigar, int64_t at, int max_blocks, Read& read) {
  bool open = false;
  int section = 0;
  for (uint32_t k = 0; k < cigar.count; ++k) {
    uint32_t op = cigar.op(k);
    if (bam::is_aligned(op)) {
      if (section >= max_blocks) {
        // No block is kept from here on; an N may still follow.
        for (++k; k < cigar.count && !read.spliced; ++k) read.spliced = cigar.op(k) == bam::kSkip;
        return;
      }
      int64_t end = std::min<int64_t>(at + cigar.length(k), INT32_MAX);
      if (at < end) {
        if (open) {
          read.blocks.back().end = static_cast<int32_t>(end);
        } else {
          read.blocks.push_back(static_cast<int32_t>(at), static_cast<int32_t>(end));
          open = true;
        }
      }
      at = end;
      continue;
    }
    open = false;
    if (op == bam::kSkip) read.spliced = true;
    if (op == bam::kDeletion || op == bam::kSkip) at += cigar.length(k);
    if (op == bam::kDeletion || op == bam::kSkip || op == bam::kInsertion) ++section;
  }
}

}  // namespace

void load_blocks(const bam::Record& record, const CigarNeeds& needs, Read& read) {
  read.blocks.clear();
  read.query_length = 0;
  read.reach_before = 0;
  read.reach_after = 0;
  if (needs.insertions) read.insertions.clear();
  read.spliced = false;
  read.junctions.clear();
  if ((record.flag & kUnmapped) != 0 || record.tid < 0 || record.pos < 0) return;

  bam::Cigar cigar{record.cigar, record.n_cigar};
  if (!needs.junctions && !needs.lengths && !needs.insertions) {
    load_blocks_only(cigar, record.pos, needs.max_blocks, read);
    return;
  }
  const int max_blocks = needs.max_blocks;
  const bool junctions = needs.junctions;
  const bool insertions = needs.insertions;
  JunctionWalk junction_walk(junctions ? max_blocks : 0, read.junctions);
  int64_t at = record.pos;
  bool open = false;
  // The query bases so far, and the length as it stands at the end of the last block kept.
  int64_t query = 0;
  int64_t length = 0;
  bool after_last_block = false;  // the operation right after the last block kept is next
  // featureCounts' --maxMOp counts sections of the CIGAR, which every N, D and I begins (a
  // leading one too, and two in a row leave an empty section): the blocks of the first
  // max_blocks sections are kept.
  int section = 0;
  bool past_blocks = false;        // a section beyond max_blocks began
  bool first = true;               // no operation but hard clips yet
  int64_t reach_after = 0;
  // With `insertions`: whether the operation before is aligned (or the first soft clip), where
  // the insertion before (if it was one) was placed, and how many of those found are within
  // query_length.
  bool base_before = false;
  bool inserting = false;
  int64_t inserted_at = 0;
  size_t found_insertions = 0;
  size_t kept_insertions = 0;
  for (uint32_t k = 0; k < cigar.count; ++k) {
    uint32_t op = cigar.op(k);
    int64_t n = cigar.length(k);
    if (junctions) junction_walk.step(op, n, at);
    bool leading_clip = false;
    if (first && op != bam::kHardClip) {
      first = false;
      if (op == bam::kSoftClip) {
        n = std::min<int64_t>(n, int64_t{record.pos} + 1);
        leading_clip = true;
        read.reach_before = static_cast<int32_t>(n);
      }
    }
    if (op == bam::kSkip) read.spliced = true;
    if (bam::is_aligned(op)) {
      if (!past_blocks && section >= max_blocks) past_blocks = true;
      if (!past_blocks) {
        query += n;
        length = query;
        after_last_block = true;
        reach_after = 0;
        kept_insertions = found_insertions;
      }
      int64_t end = at + n < INT32_MAX ? at + n : INT32_MAX;
      if (at < end) {
        if (open) {
          read.blocks.back().end = static_cast<int32_t>(end);
        } else if (!past_blocks) {
          read.blocks.push_back(static_cast<int32_t>(at), static_cast<int32_t>(end));
          open = true;
        }
      }
      at = end;
      if (insertions) {
        base_before = true;
        inserting = false;
      }
      continue;
    }
    open = false;
    if (!past_blocks) {
      if (after_last_block && (op == bam::kInsertion || op == bam::kSoftClip)) {
        length = query + n;
        if (op == bam::kInsertion) kept_insertions = found_insertions + 1;
      }
      if (after_last_block && op == bam::kSoftClip) reach_after = n;
      after_last_block = false;
      if (insertions && op == bam::kInsertion) {
        if (!inserting) inserted_at = base_before ? at - 1 : at;
        read.insertions.push_back(Insertion{static_cast<int32_t>(inserted_at),
                                            static_cast<int32_t>(std::min<int64_t>(n, INT32_MAX))});
        ++found_insertions;
      }
      if (bam::consumes_query(op)) query += n;
    }
    if (insertions) {
      inserting = op == bam::kInsertion;
      base_before = leading_clip || (inserting && base_before);
    }
    if (op == bam::kDeletion || op == bam::kSkip) at += n;
    if (op == bam::kDeletion || op == bam::kSkip || op == bam::kInsertion) ++section;
  }
  read.query_length = static_cast<int32_t>(length < INT32_MAX ? length : INT32_MAX);
  read.reach_after = static_cast<int32_t>(std::min<int64_t>(reach_after, INT32_MAX));
  // Insertions after the bases query_length counts are not the read's.
  if (found_insertions > kept_insertions) read.insertions.resize(kept_insertions);
}

}  // namespace dulse::count
