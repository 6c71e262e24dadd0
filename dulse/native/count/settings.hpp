// How one alignment file is counted: featureCounts' options, one field each, and the choices
// htseq-count's rules add.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

namespace dulse::count {

// Which strand of a feature a read must lie on to count for it.
enum class Strandedness : uint8_t {
  kUnstranded = 0,  // -s 0: either
  kForward = 1,     // -s 1: the read's (read 1's, for pairs) strand is the feature's
  kReverse = 2,     // -s 2: the opposite strand
};
constexpr int kStrandednessCount = 3;

// Reads kept by whether their alignment is split (an N in the CIGAR).
// Which way --readShiftSize moves a read: against or along its own direction, or toward the
// contig's start or end whatever its strand.
enum class Shift : int8_t { kUpstream = 0, kDownstream = 1, kLeft = 2, kRight = 3 };

enum class SplitRule : uint8_t {
  kAny = 0,
  kSplitOnly = 1,     // --splitOnly
  kNonSplitOnly = 2,  // --nonSplitOnly
};

// Whose rules count: featureCounts' or htseq-count's.
enum class Rules : uint8_t { kFeatureCounts = 0, kHtseq = 1 };

// htseq-count's -m: how the genes under each aligned base make up the fragment's genes.
enum class OverlapMode : uint8_t { kUnion = 0, kIntersectionStrict = 1, kIntersectionNonempty = 2 };
// htseq-count's --nonunique: what an ambiguous or multi-mapping fragment gives its genes.
enum class Nonunique : uint8_t { kNone = 0, kAll = 1, kFraction = 2, kRandom = 3 };
// htseq-count's -r: mates meet as adjacent records of one name, or anywhere (by position).
enum class Pairing : uint8_t { kName = 0, kPosition = 1 };

struct Settings {
  Rules rules = Rules::kFeatureCounts;
  bool paired = false;               // -p: records with the paired flag are read as pairs
  bool count_fragments = false;      // --countReadPairs: one count per pair, not per read
  bool both_ends_mapped = false;     // -B: a pair counts only with both ends mapped
  bool exclude_chimeric = false;     // -C: not pairs whose ends lie on different contigs
  bool check_fragment_length = false;  // -P, with the bounds of -d and -D
  int32_t min_fragment_length = 50;
  int32_t max_fragment_length = 600;
  Strandedness strandedness = Strandedness::kUnstranded;  // -s
  // Keep the counts of every gene under all three strandedness rules, not only the chosen one
  // (for choosing the rule once the file is counted).
  bool counts_for_every_rule = false;
  int32_t min_mapq = 0;              // -Q
  bool multi_mapping = false;        // -M: count multi-mapping reads (NH > 1) too
  bool fraction = false;             // --fraction: 1/NH with -M, 1/n with -O, both multiplied
  bool primary_only = false;         // --primary: leave secondary alignments out
  bool multi_overlap = false;        // -O: a read on several genes counts for each
  bool ignore_duplicates = false;    // --ignoreDup: leave records flagged duplicate out
  int32_t max_m_operations = 10;     // --maxMOp: sections of a record's CIGAR looked at
  // dulse's own: secondary or supplementary alignments set aside before anything else
  // (counted as Unassigned_Secondary), NH still weighing the primary ones.
  bool count_secondary = true;
  bool count_supplementary = true;

  // How much of a read must lie on a feature (see overlap_rules.hpp).
  int32_t min_overlap = 1;            // --minOverlap; below 1: an extension of 1 - N bases
  float min_fraction = 0;             // --fracOverlap, of the read's bases
  float min_feature_fraction = 0;     // --fracOverlapFeature, of the feature's bases
  int32_t max_non_overlap = -1;       // --nonOverlap; -1: no limit
  int32_t max_feature_non_overlap = -1;  // --nonOverlapFeature; -1: no limit
  bool largest_overlap = false;       // --largestOverlap
  // Which part of a read is looked up (see read_ends.hpp).
  int32_t shift = 0;                  // --readShiftSize
  Shift shift_direction = Shift::kUpstream;  // --readShiftType
  int32_t extend5 = 0;                // --readExtension5
  int32_t extend3 = 0;                // --readExtension3
  int8_t read_position = 0;           // --read2pos: 5, 3, or 0 for the whole read
  SplitRule split_rule = SplitRule::kAny;  // --splitOnly, --nonSplitOnly

  // -A: a contig name of the alignment files -> the annotation's name for it. A file's contig
  // is the annotation's of the same name, else its alias, else the name with a "chr" prefix
  // added or taken away.
  std::unordered_map<std::string, std::string> contig_aliases;
  bool match_chr_prefix = true;  // featureCounts' matching of chr1 to 1; htseq-count has none
  // --byReadGroup: a tally per read group of the header (its @RG IDs), each read counted in
  // its RG tag's (see RecordStep::rules_for).
  bool by_read_group = false;
  // Each record kept whole for writing it out again with its assignment (-R).
  bool keep_records = false;
  // The splice junctions of the reads and fragments that pass the checks before assignment
  // counted (-J), whatever their assignment.
  bool count_junctions = false;

  // Whether any rule needs the overlap of each feature and gene measured in bases.
  bool measures_overlap() const { return measures_to_drop() || largest_overlap; }
  // Whether a rule drops a feature or gene that a read covers too little of.
  bool measures_to_drop() const {
    return min_overlap > 1 || min_fraction > 0 || min_feature_fraction > 0 ||
           max_non_overlap >= 0 || max_feature_non_overlap >= 0;
  }
  // Whether the only rule measuring overlaps is --largestOverlap, which leaves a read on one
  // gene alone where it is without them.
  bool measures_only_to_choose() const { return largest_overlap && !measures_to_drop(); }
  // Whether a rule measures against the length of the read or fragment, and for fragments,
  // with it the bases its mates share.
  bool measures_length() const { return min_fraction > 0 || max_non_overlap >= 0; }
  bool measures_mates() const { return paired && count_fragments && measures_length(); }

  // htseq-count's rules (with rules == kHtseq; min_mapq is its -a, count_secondary and
  // count_supplementary its --secondary- and --supplementary-alignments, and paired says that
  // the file's first record decides, as htseq-count decides).
  OverlapMode overlap_mode = OverlapMode::kUnion;
  Nonunique nonunique = Nonunique::kNone;
  Pairing pairing = Pairing::kName;
  uint64_t random_seed = 0;  // --nonunique random: the choice is a hash of this and the record
  // htseq-count 1.99.2's pairs: one without an aligned read 1 is __not_aligned, whatever its
  // read 2 (2.x counts such a pair by its read 2, as its documentation says); and with one of
  // secondary and supplementary alignments scored, only read 1 is looked at for the other
  // kind.
  bool read1_decides = false;

  bool htseq() const { return rules == Rules::kHtseq; }
};

}  // namespace dulse::count
