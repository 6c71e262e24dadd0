// What happens to each record, in file order: its read is loaded, judged alone or paired with
// its mate, and handed to the rules. The one home of the loop's body, for the single-threaded
// loop, for each chunk of the threaded one, and for the stage that joins pairs across chunks.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bam/record_decoder.hpp"
#include "count/mate_table.hpp"
#include "count/read.hpp"
#include "count/policy.hpp"
#include "count/tally.hpp"

namespace dulse::count {

enum class CountStatus {
  kDone,                // go on (or, at the end, all is counted)
  kUnreadable,          // the input failed
  kPairedNotAsked,      // paired records in a run without -p
  kNoPairs,             // -p, but not one record is paired
  kOutOfOrder,          // the header says coordinate-sorted, the records are not
  kCancelled,
  kNoMemory,            // memory ran out
};

// What a file's records are counted against, the same for every step of one file.
struct FileContext {
  const index::FeatureIndex& index;
  const Settings& settings;
  std::vector<int32_t> tid_contig;  // the file's reference ids -> the index's contigs (-1)
  const std::vector<std::string>& reference_names;
  const std::vector<uint32_t>& reference_lengths;  // 0 where the header gives none
  bool by_position;  // fragments of a coordinate-sorted file: mates settle by position
  // htseq-count's pairing by name: only the adjacent records of one name are mates, and a
  // read still waiting when the name changes is counted alone.
  bool bundles;
  // Records not sorted by coordinate: the loops look a few records ahead and the index readies
  // its cache for them (records sorted by coordinate find it ready).
  bool look_ahead;

  // With --byReadGroup: the IDs of the header's @RG lines, in its order, and their numbers.
  std::vector<std::string> read_groups;
  std::map<std::string, int32_t, std::less<>> group_numbers;

  FileContext(const index::FeatureIndex& index, const Settings& settings,
              const std::vector<std::string>& reference_names,
              const std::vector<uint32_t>& reference_lengths, bool coordinate_sorted);
  bool fragments() const { return settings.paired && settings.count_fragments; }
  int32_t contigs_matched() const;
  // Takes the read groups from the header's text (an ID named twice is one group).
  void set_read_groups(const std::string& header_text);
  // The group of a record's RG:Z tag; kNoGroup without one, kOtherGroup for a group the
  // header lacks.
  static constexpr int32_t kNoGroup = -1;
  static constexpr int32_t kOtherGroup = -2;
  int32_t group_of(const bam::Record& record) const;
};

class RecordStep {
 public:
  RecordStep(const FileContext& file, Tally& tally);

  // The `number`-th record of the file (1-based). kDone, or the status that stops the count
  // (message() says why). `block`: its bytes (block length first) while they last, when its
  // read may leave the step (drain()).
  CountStatus take(const bam::Record& record, uint64_t number, const uint8_t* block = nullptr);
  // With file.look_ahead, before take(): the record in place lies at `tid` and `pos`, and
  // ahead(k) gives the block length and core of the k-th record after it (or null). The index
  // readies its cache for those that lie in another bin than the record before them.
  template <class Ahead>
  void look_ahead(int32_t tid, int32_t pos, Ahead&& ahead) const {
    for (int k = 1; k <= index::FeatureIndex::kLookAhead; ++k) {
      const uint8_t* next = ahead(k);
      if (next == nullptr) return;
      auto next_tid = static_cast<int32_t>(bam::le32(next + 4));
      auto next_pos = static_cast<int32_t>(bam::le32(next + 8));
      if ((next_tid != tid || !index::FeatureIndex::same_bin(next_pos, pos)) && next_tid >= 0 &&
          static_cast<size_t>(next_tid) < file_.tid_contig.size()) {
        file_.index.prepare(k, file_.tid_contig[static_cast<size_t>(next_tid)], next_pos);
      }
      tid = next_tid;
      pos = next_pos;
    }
  }
  // A read that left another step (drain()), from its record: it pairs with a waiting mate or
  // waits; nothing settles by position meanwhile (settle_before does, when asked).
  void take_leftover(const bam::Record& record, uint64_t number);

  // Starts on a part of the file (a chunk) whose earlier records another step sees. Reads that
  // wait for a mate whose place is before `floor` are left waiting by the settlement by
  // position: their mate may be in an earlier part. 0 (the default) leaves none.
  // With bundles, the reads of the part's first name are all left for the other step: the
  // name may have begun in an earlier part.
  void restart(uint64_t floor) {
    floor_ = floor;
    placed_ = false;
    deferring_ = file_.bundles;
    named_ = false;
  }
  // In a coordinate-sorted part whose last record lies at `place`: a read whose mate lies
  // after it cannot pair here, and goes straight out for the other step (see drain()).
  // MateTable::kNever (the default): no such place is known.
  void pass_beyond(uint64_t place) { horizon_ = place; }
  // Settles every waiting read whose mate would have come before `place`.
  void settle_before(uint64_t place);
  // The reads still waiting: counted alone, or moved out (named) for another step.
  void settle_all();
  // Moves the waiting reads out as records (`out` empty before), in file order: first the
  // reads of the part's first name (with bundles), then those of the table and those passed
  // beyond the part. Returns how many of the first kind there are, and sets `names_changed`
  // when other names came between them (so the two must not meet).
  size_t drain(RecordBatch& out, bool* names_changed);
  // Ends the current name's bundle: its reads still waiting are counted alone.
  void end_bundle() {
    if (named_) settle_all();
    named_ = false;
  }

  int64_t paired_records() const { return paired_records_; }
  uint64_t first_place() const { return first_place_; }
  uint64_t last_place() const { return last_place_; }
  bool placed() const { return placed_; }
  const std::string& message() const { return message_; }

 private:
  CountStatus stop(CountStatus status, std::string message) {
    message_ = std::move(message);
    return status;
  }
  // What finds a read's mate: its key under the rules, and the hash of that and its name.
  struct MateLookup {
    PairKey key{};
    uint64_t hash = 0;
  };
  MateLookup lookup_of(const Read& read, std::string_view name) const;
  // `lookup`: the read's lookup_of, when it can pair.
  void pair_or_wait(Read& read, std::string_view name, const MateLookup& lookup);
  // With bundles: a new name settles the reads waiting under the last one.
  void next_name(std::string_view name);
  // The rules a read is counted by: the file's, or with --byReadGroup its group's. As
  // featureCounts 2.0.3 has it, a read whose RG tag names no group of the header is counted
  // where no column shows it (the file's own tally) but in -R's output, and a read without
  // an RG tag is left out (null). A fragment goes by its first record in the file, and is left
  // out when either record has no RG tag; when neither is mapped, it goes by its second
  // record alone.
  Policy* rules_for(const Read& read) const {
    if (!file_.settings.by_read_group || read.group == FileContext::kOtherGroup) {
      return rules_.get();
    }
    return read.group >= 0 ? group_rules_[static_cast<size_t>(read.group)].get() : nullptr;
  }
  void count_read(const Read& read) {
    if (Policy* rules = rules_for(read)) rules->count_read(read);
  }
  void count_fragment(const Read& earlier, const Read* later) {
    bool unmapped = later != nullptr && !earlier.mapped() && !later->mapped();
    if (file_.settings.by_read_group && later != nullptr && !unmapped &&
        later->group == FileContext::kNoGroup) {
      return;
    }
    if (Policy* rules = rules_for(unmapped ? *later : earlier)) {
      rules->count_fragment(earlier, later);
    }
  }

  const FileContext& file_;
  Tally& tally_;
  std::unique_ptr<Policy> rules_;
  std::vector<std::unique_ptr<Policy>> group_rules_;
  MateTable table_;
  CigarNeeds cigar_needs_;
  // A record's read: read_ when it cannot wait for a mate, or else the table's slot set aside
  // for it (loading_; -1 until one is).
  Read& loading() {
    if (loading_ < 0) loading_ = table_.reserve();
    return table_.read(loading_);
  }
  Read read_;
  int32_t loading_ = -1;
  static constexpr size_t kSweepSlack = 256;
  size_t sweep_at_ = kSweepSlack;  // the table's size at which the next sweep comes
  uint64_t floor_ = 0;
  uint64_t horizon_ = MateTable::kNever;
  RecordBatch passed_;
  uint64_t first_place_ = 0;
  uint64_t last_place_ = 0;
  bool placed_ = false;
  int64_t paired_records_ = 0;
  std::string last_name_;
  bool named_ = false;
  bool deferring_ = false;
  RecordBatch deferred_;
  std::string message_;
};

// The index's contig for a contig of an alignment file (-1: none): featureCounts' matching of
// names, exact, then by the -A aliases, then with a "chr" prefix added or taken away.
int32_t contig_for(const index::FeatureIndex& index, const Settings& settings,
                   const std::string& name);

// Where a record lies, for messages: "chr1:1234" (1-based), "*" for no reference.
std::string where(const std::vector<std::string>& names, int32_t tid, int32_t pos);

}  // namespace dulse::count
