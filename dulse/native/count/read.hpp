// One alignment record as counting sees it: its flags, places and aligned blocks, copied out
// of the decoder's buffer so that it can wait for its mate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bam/bam_reader.hpp"
#include "bam/bytes.hpp"
#include "bam/record_decoder.hpp"
#include "count/junctions.hpp"

namespace dulse::count {

enum Flag : uint16_t {
  kPaired = 0x1,
  kProperPair = 0x2,
  kUnmapped = 0x4,
  kMateUnmapped = 0x8,
  kReverse = 0x10,
  kMateReverse = 0x20,
  kRead1 = 0x40,
  kRead2 = 0x80,
  kSecondary = 0x100,
  kQcFail = 0x200,
  kDuplicate = 0x400,
  kSupplementary = 0x800,
};

// A reference range [start, end) covered by a run of aligned bases: M, = and X. Any other
// operation ends a block (D and N also move along the reference).
struct Block {
  int32_t start;
  int32_t end;
};

// A read's blocks: up to kInline of them in place (most reads have one to three), so that a
// waiting read's blocks come with it; more go to the heap, which keeps its capacity.
class BlockList {
 public:
  static constexpr uint32_t kInline = 4;

  void clear() {
    size_ = 0;
    on_heap_ = false;
  }
  // Written field by field, as the index writes its hits (see add_hit in feature_index.cpp).
  void push_back(int32_t start, int32_t end) {
    Block* block;
    if (!on_heap_ && size_ < kInline) {
      block = &inline_[size_];
    } else {
      if (!on_heap_) {
        heap_.assign(inline_, inline_ + size_);
        on_heap_ = true;
      }
      block = &heap_.emplace_back();
    }
    block->start = start;
    block->end = end;
    ++size_;
  }
  const Block* data() const { return on_heap_ ? heap_.data() : inline_; }
  Block* data() { return on_heap_ ? heap_.data() : inline_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const Block* begin() const { return data(); }
  const Block* end() const { return data() + size_; }
  Block& back() { return data()[size_ - 1]; }

 private:
  uint32_t size_ = 0;
  bool on_heap_ = false;
  Block inline_[kInline];
  std::vector<Block> heap_;
};

// An insertion's length and the reference base it is placed on (Read::insertions).
struct Insertion {
  int32_t at;
  int32_t length;
};

// Blocks to look up: a read's own, or changed ones (ReadEnds).
struct BlockSpan {
  const Block* first;
  const Block* last;
  const Block* begin() const { return first; }
  const Block* end() const { return last; }
};

struct Read {
  uint16_t flag = 0;
  uint8_t mapq = 0;
  int32_t tid = -1;
  int32_t pos = -1;
  int32_t mtid = -1;
  int32_t mpos = -1;
  int32_t isize = 0;
  int32_t nh = 1;  // the NH tag; 1 when absent, below 1 or unreadable
  bool has_nh = false;  // an integer NH tag is there
  bool has_hi = false;
  bool tags_corrupt = false;  // its optional fields could not be read up to a tag looked for
  int64_t hi = 0;  // the HI tag, when has_hi
  int32_t group = -1;  // with --byReadGroup, its RG tag's group (FileContext::group_of)
  BlockList blocks;  // the first max_blocks; empty for an unmapped record
  // featureCounts' length of the read, for the overlap fractions: the query bases up to the end
  // of the last block kept, and those of the one operation right after it when it is I or S; a
  // soft clip that comes first counts for at most pos + 1 bases.
  int32_t query_length = 0;
  // Where featureCounts places the read's bases when it measures how much of a fragment's
  // length its mates share (on the reference, as blocks are): a soft clip that begins the
  // CIGAR (hard clips aside) on the bases right before the first block, as many as it counts
  // in query_length; one right after the last block kept on the bases after it; and each
  // insertion within query_length on one base, the aligned (or clipped) base right before it,
  // or after a deletion, a skip or nothing, the base right after it.
  int32_t reach_before = 0;
  int32_t reach_after = 0;
  std::vector<Insertion> insertions;  // filled only when asked for (load_blocks)
  bool spliced = false;  // an N anywhere in the CIGAR of a mapped record
  std::vector<Junction> junctions;  // its splice junctions, when they are counted (-J)
  // The record as BAM stores it (block length, core, body), when records are written out again.
  std::vector<uint8_t> stored;
  uint64_t number = 0;  // the record's place in the file, 1-based
  // Where its record's bytes lie (block length first) while a chunk of the file is counted,
  // for a read that leaves the chunk (RecordBatch); null elsewhere.
  const uint8_t* block = nullptr;

  bool has(uint16_t bits) const { return (flag & bits) != 0; }
  bool mapped() const { return !has(kUnmapped); }
  bool reverse() const { return has(kReverse); }
};

// Reads that leave one step of the count for another (on another thread), as their records'
// bytes in file order: copying a record is cheaper than handing a read's buffers from thread
// to thread, and the step that takes them decodes them again.
class RecordBatch {
 public:
  // A record's bytes, its block length first.
  void add(const uint8_t* block, uint64_t number) {
    size_t offset = bytes_.size();
    bytes_.insert(bytes_.end(), block, block + bam::kBlockLengthSize + bam::le32(block));
    entries_.push_back(Entry{number, offset});
  }
  void append(const RecordBatch& other);
  // Orders the entries from `from` on by number, two runs in order meeting at `middle`.
  void merge_from(size_t from, size_t middle);
  void clear() {
    bytes_.clear();
    entries_.clear();
  }
  void swap(RecordBatch& other) noexcept {
    bytes_.swap(other.bytes_);
    entries_.swap(other.entries_);
  }
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const uint8_t* block(size_t i) const { return bytes_.data() + entries_[i].offset; }
  uint64_t number(size_t i) const { return entries_[i].number; }

 private:
  struct Entry {
    uint64_t number;
    size_t offset;
  };
  std::vector<uint8_t> bytes_;
  std::vector<Entry> entries_;
};

// What load_blocks() takes from a CIGAR besides the blocks of its first max_blocks sections
// (see there) and whether it has an N.
struct CigarNeeds {
  int max_blocks;
  bool junctions;   // the splice junctions those sections show, into read.junctions
  bool lengths;     // query_length, reach_before and reach_after
  bool insertions;  // the insertions, into read.insertions (with lengths)
};

// Fill `read` from a decoded record (but for its name), reusing its buffers, in three steps:
// load_fields() its flags, places and template length (with `keep`, the record's own bytes into
// read.stored); load_tags() its NH tag and, `with_hi` (for pairing), its HI tag; load_blocks()
// what `needs` asks of its CIGAR. What is not asked for is left at 0 or empty.
void load_fields(const bam::Record& record, bool keep, Read& read);
void load_tags(const bam::Record& record, bool with_hi, Read& read);
void load_blocks(const bam::Record& record, const CigarNeeds& needs, Read& read);

// The record's name without its NUL.
inline std::string_view name_of(const bam::Record& record) {
  return std::string_view(record.qname, record.l_qname > 0 ? record.l_qname - 1 : 0);
}

}  // namespace dulse::count
