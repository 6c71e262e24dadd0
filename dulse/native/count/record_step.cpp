#include "count/record_step.hpp"

#include <algorithm>

#include "bam/bam_aux.hpp"

namespace dulse::count {

FileContext::FileContext(const index::FeatureIndex& index, const Settings& settings,
                         const std::vector<std::string>& reference_names,
                         const std::vector<uint32_t>& reference_lengths, bool coordinate_sorted)
    : index(index), settings(settings), tid_contig(reference_names.size(), -1),
      reference_names(reference_names), reference_lengths(reference_lengths),
      by_position(settings.paired && settings.count_fragments && coordinate_sorted &&
                  !(settings.htseq() && settings.pairing == Pairing::kName)),
      bundles(settings.paired && settings.count_fragments && settings.htseq() &&
              settings.pairing == Pairing::kName),
      look_ahead(!coordinate_sorted) {
  for (size_t t = 0; t < reference_names.size(); ++t) {
    tid_contig[t] = contig_for(index, settings, reference_names[t]);
  }
}

int32_t contig_for(const index::FeatureIndex& index, const Settings& settings,
                   const std::string& name) {
  int32_t contig = index.contig_of(name);
  if (contig >= 0) return contig;
  auto alias = settings.contig_aliases.find(name);
  if (alias != settings.contig_aliases.end()) return index.contig_of(alias->second);
  if (!settings.match_chr_prefix) return -1;
  if (name.compare(0, 3, "chr") == 0) return index.contig_of(std::string_view(name).substr(3));
  return index.contig_of("chr" + name);
}

void FileContext::set_read_groups(const std::string& header_text) {
  read_groups.clear();
  group_numbers.clear();
  size_t at = 0;
  while (at < header_text.size()) {
    size_t end = header_text.find('\n', at);
    if (end == std::string::npos) end = header_text.size();
    std::string_view line(header_text.data() + at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.substr(0, 4) != "@RG\t") continue;
    for (size_t field = 4; field < line.size();) {
      size_t stop = line.find('\t', field);
      if (stop == std::string_view::npos) stop = line.size();
      std::string_view text = line.substr(field, stop - field);
      field = stop + 1;
      if (text.substr(0, 3) != "ID:") continue;
      std::string id(text.substr(3));
      if (group_numbers.emplace(id, static_cast<int32_t>(read_groups.size())).second) {
        read_groups.push_back(std::move(id));
      }
      break;
    }
  }
}

int32_t FileContext::group_of(const bam::Record& record) const {
  const uint8_t* type;
  if (bam::lookup_aux(record.aux, record.aux_len, "RG", &type) != bam::AuxLookup::kFound ||
      *type != 'Z') {
    return kNoGroup;
  }
  const uint8_t* end = record.aux + record.aux_len;
  const auto* text = reinterpret_cast<const char*>(type + 1);
  size_t length = 0;
  while (type + 1 + length < end && text[length] != '\0') ++length;
  auto found = group_numbers.find(std::string_view(text, length));
  return found == group_numbers.end() ? kOtherGroup : found->second;
}

int32_t FileContext::contigs_matched() const {
  int32_t matched = 0;
  for (int32_t contig : tid_contig) matched += contig >= 0;
  return matched;
}

std::string where(const std::vector<std::string>& names, int32_t tid, int32_t pos) {
  std::string contig = tid >= 0 && static_cast<size_t>(tid) < names.size() ? names[tid] : "*";
  return contig + ":" + std::to_string(static_cast<int64_t>(pos) + 1);
}

RecordStep::RecordStep(const FileContext& file, Tally& tally)
    : file_(file), tally_(tally),
      rules_(make_policy(file.index, file.settings, file.tid_contig, file.reference_lengths,
                         tally)),
      cigar_needs_{file.settings.max_m_operations, file.settings.count_junctions,
                   file.settings.measures_length(), file.settings.measures_mates()} {
  for (Tally& group : tally.groups) {
    group_rules_.push_back(
        make_policy(file.index, file.settings, file.tid_contig, file.reference_lengths, group));
  }
}

CountStatus RecordStep::take(const bam::Record& record, uint64_t number, const uint8_t* block) {
  const Settings& settings = file_.settings;
  Read& read = file_.fragments() ? loading() : read_;
  std::string_view name = name_of(record);
  load_fields(record, settings.keep_records, read);
  // Where its mate would wait is fetched from memory while the record is read: the bucket while
  // its tags are, the first read of the bucket while its CIGAR is walked.
  bool pairs = file_.fragments() && can_pair(read);
  MateLookup lookup;
  if (pairs) {
    lookup.hash = MateTable::hash_of(name, rules_->pair_key(read));
    table_.prefetch_bucket(lookup.hash);
  }
  load_tags(record, file_.fragments(), read);
  if (settings.by_read_group) read.group = file_.group_of(record);
  if (pairs) {
    lookup.key = rules_->pair_key(read);
    table_.prefetch_first(lookup.hash);
  }
  load_blocks(record, cigar_needs_, read);
  read.number = number;
  read.block = block;
  if (read.tags_corrupt) ++tally_.counters.corrupt_tags;
  if (settings.htseq()) {
    // htseq-count tells a paired file by its first record; records that disagree are
    // noted for the caller.
    Counters& counters = tally_.counters;
    if (number == 1) counters.first_record_paired = read.has(kPaired) ? 1 : 0;
    if (!read.has(kPaired) && counters.first_single_record == 0) {
      counters.first_single_record = static_cast<int64_t>(number);
    }
    if (read.has(kPaired)) ++paired_records_;
    if (rules_->ignores(read)) return CountStatus::kDone;
    if (!file_.fragments() || !read.has(kPaired)) {
      count_read(read);
      return CountStatus::kDone;
    }
  } else {
    if (read.has(kPaired)) {
      if (!settings.paired) {
        return stop(CountStatus::kPairedNotAsked,
                    "record " + std::to_string(number) + " is one of a pair");
      }
      ++paired_records_;
    }
    if (!file_.fragments()) {
      count_read(read);
      return CountStatus::kDone;
    }
  }
  if (file_.by_position) {
    uint64_t here = MateTable::place(read.tid, read.pos);
    if (placed_ && here < last_place_) {
      return stop(CountStatus::kOutOfOrder,
                  "record " + std::to_string(number) + " (" +
                      where(file_.reference_names, read.tid, read.pos) +
                      ") comes after a later position, although the header says the file is "
                      "sorted by coordinate");
    }
    if (!placed_) first_place_ = here;
    placed_ = true;
    last_place_ = here;
    // Reads whose mate can no longer come are let go in sweeps, when the table has grown to
    // twice what the last one left (and kSweepSlack more): so it holds at most about twice the
    // pairs open across a position.
    if (table_.size() >= sweep_at_) {
      settle_before(here);
      sweep_at_ = 2 * table_.size() + kSweepSlack;
    }
  }
  if (file_.bundles) {
    next_name(name);
    if (deferring_) {
      deferred_.add(block, number);
      return CountStatus::kDone;
    }
  }
  pair_or_wait(read, name, lookup);
  return CountStatus::kDone;
}

void RecordStep::next_name(std::string_view name) {
  if (named_ && name == last_name_) return;
  if (named_) {
    deferring_ = false;
    settle_all();
  }
  last_name_.assign(name.data(), name.size());
  named_ = true;
}

void RecordStep::take_leftover(const bam::Record& record, uint64_t number) {
  const Settings& settings = file_.settings;
  Read& read = loading();
  load_fields(record, settings.keep_records, read);
  load_tags(record, file_.fragments(), read);
  if (settings.by_read_group) read.group = file_.group_of(record);
  load_blocks(record, cigar_needs_, read);
  read.number = number;
  read.block = nullptr;
  std::string_view name = name_of(record);
  if (file_.bundles) next_name(name);
  pair_or_wait(read, name, can_pair(read) ? lookup_of(read, name) : MateLookup{});
}

RecordStep::MateLookup RecordStep::lookup_of(const Read& read, std::string_view name) const {
  PairKey key = rules_->pair_key(read);
  return MateLookup{key, MateTable::hash_of(name, key)};
}

void RecordStep::pair_or_wait(Read& read, std::string_view name, const MateLookup& lookup) {
  if (!can_pair(read)) {
    count_fragment(read, nullptr);
    return;
  }
  uint64_t due = MateTable::kNever;
  if (file_.by_position) {
    // A mate flagged unmapped may lie anywhere (beside this read, or unplaced at the end of
    // the file): it is waited for to the end. Any other mate lies where the mate fields say.
    due = read.has(kMateUnmapped) ? MateTable::kNever : MateTable::place(read.mtid, read.mpos);
    if (due != MateTable::kNever && due > horizon_) {
      // Its mate comes after this part, so none waits for it here.
      passed_.add(read.block, read.number);
      return;
    }
  }
  const Policy& rules = *rules_;
  int32_t mate = table_.take_mate(name, lookup.key, lookup.hash, read, rules.pairs_earliest(),
                                  [&rules](const Read& waiting) { return rules.pair_key(waiting); });
  if (mate >= 0) {
    count_fragment(table_.read(mate), &read);
    table_.release(mate);
    return;
  }
  if (file_.by_position) {
    if (due >= floor_ && due < MateTable::place(read.tid, read.pos)) {
      count_fragment(read, nullptr);  // its mate would have come already
      return;
    }
  }
  table_.hold(loading_, name, lookup.hash, due);
  loading_ = -1;
  auto waiting = static_cast<int64_t>(table_.size());
  if (waiting > tally_.counters.pending_peak) tally_.counters.pending_peak = waiting;
}

void RecordStep::settle_before(uint64_t place) {
  table_.settle_before(place, floor_, [this](Read& read) { count_fragment(read, nullptr); });
}

void RecordStep::settle_all() {
  table_.settle_all([this](Read& read) { count_fragment(read, nullptr); });
}

size_t RecordStep::drain(RecordBatch& out, bool* names_changed) {
  size_t deferred = deferred_.size();
  if (deferred == 0 && out.empty()) {
    out.swap(passed_);  // the usual case: no copy
  } else {
    out.append(deferred_);
    out.append(passed_);
  }
  deferred_.clear();
  passed_.clear();
  size_t middle = out.size();
  table_.drain(out);
  out.merge_from(deferred, middle);
  *names_changed = file_.bundles && named_ && !deferring_;
  return deferred;
}

}  // namespace dulse::count
