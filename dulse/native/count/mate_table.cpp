#include "count/mate_table.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace dulse::count {

PairKey pair_key(const Read& read) {
  int32_t own_tid = PairKey::kNowhere, own_pos = PairKey::kNowhere;
  int32_t mate_tid = PairKey::kNowhere, mate_pos = PairKey::kNowhere;
  if (!read.has(kUnmapped)) {
    own_tid = read.tid;
    own_pos = read.pos;
  }
  if (!read.has(kMateUnmapped)) {
    mate_tid = read.mtid;
    mate_pos = read.mpos;
  }
  return read.has(kRead1) ? PairKey{own_tid, own_pos, mate_tid, mate_pos, read.has_hi, read.hi}
                          : PairKey{mate_tid, mate_pos, own_tid, own_pos, read.has_hi, read.hi};
}

namespace {

inline uint64_t mix(uint64_t h, uint64_t v) {
  h ^= v * 0x9e3779b97f4a7c15ull;
  h = (h << 31 | h >> 33) * 0xbf58476d1ce4e5b9ull;
  return h;
}

}  // namespace

uint64_t MateTable::hash_of(std::string_view name, const PairKey& key) {
  // The last sixteen bytes of the name, where reads of one run differ (an Illumina name ends
  // in its tile and coordinates), then the places; the table compares whole names.
  uint64_t h = name.size();
  size_t from = name.size() > 16 ? name.size() - 16 : 0;
  uint64_t words[2] = {0, 0};
  std::memcpy(words, name.data() + from, name.size() - from);
  h = mix(h, words[0]);
  h = mix(h, words[1]);
  h = mix(h, uint64_t{static_cast<uint32_t>(key.tid1)} << 32 | static_cast<uint32_t>(key.pos1));
  h = mix(h, uint64_t{static_cast<uint32_t>(key.tid2)} << 32 | static_cast<uint32_t>(key.pos2));
  h = mix(h, key.has_hi ? static_cast<uint64_t>(key.hi) : 0x8000000000000000ull);
  return h ^ (h >> 29);
}

void MateTable::take(int32_t* link, Read& mate) {
  int32_t s = *link;
  *link = at(s).next;
  std::swap(mate, at(s).read);
  release(s);
}

void MateTable::hold(std::string_view name, uint64_t hash, Read& read, uint64_t due) {
  if (free_ < 0) grow();
  int32_t s = free_;
  Slot& slot = at(s);
  free_ = slot.next;
  // A read that carries its name already keeps it: `name` may point into it.
  bool named = name.data() == read.name.data();
  slot.hash = hash;
  slot.due = due;
  std::swap(slot.read, read);
  if (!named) slot.read.name.assign(name.data(), name.size());
  slot.held_at = static_cast<int32_t>(held_.size());
  held_.push_back(s);
  int32_t& head = buckets_[slot.hash & (buckets_.size() - 1)];
  slot.next = head;
  head = s;
  ++size_;
}

void MateTable::unlink(int32_t s) {
  int32_t* link = &buckets_[at(s).hash & (buckets_.size() - 1)];
  while (*link != s) link = &at(*link).next;
  *link = at(s).next;
}

// The slot must be out of its bucket already.
void MateTable::release(int32_t s) {
  Slot& slot = at(s);
  int32_t last = held_.back();
  held_[static_cast<size_t>(slot.held_at)] = last;
  at(last).held_at = slot.held_at;
  held_.pop_back();
  slot.next = free_;
  free_ = s;
  --size_;
}

void MateTable::grow() {
  size_t old = pages_.size() << kPageShift;
  pages_.push_back(std::make_unique<Slot[]>(size_t{1} << kPageShift));
  size_t grown = pages_.size() << kPageShift;
  for (size_t s = grown; s-- > old;) {
    at(static_cast<int32_t>(s)).next = free_;
    free_ = static_cast<int32_t>(s);
  }
  if (buckets_.size() >= grown * 2) return;
  // Rehash into twice as many buckets as slots.
  buckets_.assign(std::max(grown * 2, buckets_.size() * 2), -1);
  for (int32_t s : held_) {
    Slot& slot = at(s);
    int32_t& head = buckets_[slot.hash & (buckets_.size() - 1)];
    slot.next = head;
    head = s;
  }
}

void MateTable::drain(std::vector<Read>& out) {
  size_t from = out.size();
  for (int32_t s : held_) out.push_back(std::move(at(s).read));
  std::sort(out.begin() + static_cast<ptrdiff_t>(from), out.end(),
            [](const Read& a, const Read& b) { return a.number < b.number; });
  clear();
}

void MateTable::clear() {
  for (int32_t s : held_) {
    Slot& slot = at(s);
    buckets_[slot.hash & (buckets_.size() - 1)] = -1;  // every chain of a held slot
  }
  for (int32_t s : held_) {
    Slot& slot = at(s);
    slot.next = free_;
    free_ = s;
  }
  held_.clear();
  size_ = 0;
}

}  // namespace dulse::count
