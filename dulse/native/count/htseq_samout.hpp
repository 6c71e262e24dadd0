// htseq-count's -o output: every record it counted, as SAM or BAM, with an XF:Z tag saying what
// its read or fragment came to (a gene, __ambiguous[g1+g2] with the genes sorted, or a special
// counter). The records are written as htseq-count writes them back, not as they were read:
// - unaligned: no reference, position, MAPQ or CIGAR, and template length 0;
// - the mate's reference and position only for a paired record whose mate is aligned;
// - the bin recomputed; A and H tags become Z, integer tags are read as 32-bit signed and
//   stored in the smallest type that holds them, the others as they were; XF is appended
//   after any tag already there, an XF among them;
// - a fragment's read 1 before its read 2; a multi-mapping fragment counted on under
//   --nonunique written twice, first with XF:Z:__alignment_not_unique alone, then with both;
// - fragments in the order htseq-count reaches them: within one name's run of records by their
//   earliest record, and those settled at the end of the file (by position, mates missing) last,
//   in file order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bam/alignment_input.hpp"
#include "bam/record_output.hpp"
#include "count/htseq_log.hpp"

namespace dulse::count {

class HtseqSamout : public HtseqLog {
 public:
  // `genes`: the name of each gene of the index.
  HtseqSamout(bool bam, std::vector<std::string> genes);

  // Creates `path` and writes the input's header. False with error() set.
  bool open(const char* path, const bam::AlignmentInput& input, int threads = 1);
  void note(const Read* first, const Read* second, Outcome outcome, const int32_t* genes,
            size_t n_genes, bool not_unique, uint64_t order) override;
  // Writes what waits and closes the file; false with error() set when anything failed.
  bool close();
  int error() const { return output_.error(); }
  size_t n_genes() const { return genes_.size(); }

 private:
  // One fragment's records, encoded, waiting for those that htseq-count writes before it.
  struct Pending {
    uint64_t order;
    std::vector<uint8_t> records;  // whole records, one after another
  };
  const std::string& tag_value(Outcome outcome, const int32_t* genes, size_t n);
  // Writes the first `n` of `pending` in their order, and empties it.
  void flush(std::vector<Pending>& pending, size_t& n);
  Pending& take_slot(std::vector<Pending>& pending, size_t& n);

  std::vector<std::string> genes_;
  bam::RecordOutput output_;
  std::string value_;
  std::vector<std::string> candidates_;
  std::vector<uint8_t> record_;
  // The current name's fragments, until a note of another name comes; and those for the end.
  std::vector<Pending> run_, at_end_;
  size_t n_run_ = 0, n_at_end_ = 0;
  std::string run_name_;
};

}  // namespace dulse::count
