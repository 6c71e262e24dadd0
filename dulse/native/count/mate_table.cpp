#include "count/mate_table.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace dulse::count {

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
  uint64_t words[2] = {0, 0};
  if (name.size() >= 16) {
    std::memcpy(words, name.data() + name.size() - 16, 16);
  } else {
    std::memcpy(words, name.data(), name.size());
  }
  h = mix(h, words[0]);
  h = mix(h, words[1]);
  h = mix(h, uint64_t{static_cast<uint32_t>(key.tid1)} << 32 | static_cast<uint32_t>(key.pos1));
  h = mix(h, uint64_t{static_cast<uint32_t>(key.tid2)} << 32 | static_cast<uint32_t>(key.pos2));
  return h ^ (h >> 29);
}

int32_t MateTable::reserve() {
  if (free_.empty()) grow();
  int32_t s = free_.back();
  free_.pop_back();
  return s;
}

void MateTable::Slot::set_name(std::string_view name) {
  name_length = static_cast<uint32_t>(name.size());
  if (name.size() <= kInlineName) {
    std::memcpy(inline_name, name.data(), name.size());
  } else {
    long_name.assign(name.data(), name.size());
  }
}

void MateTable::hold(int32_t s, std::string_view name, uint64_t hash, uint64_t due) {
  auto k = static_cast<size_t>(s);
  Slot& slot = at(s);
  slot.set_name(name);
  held_at_[k] = static_cast<int32_t>(held_.size());
  held_.push_back(Held{due, slot.read.number, s});
  hash_[k] = hash;
  int32_t& head = buckets_[hash & (buckets_.size() - 1)];
  next_[k] = head;
  head = s;
  ++size_;
}

void MateTable::unlink(int32_t s) {
  int32_t* link = &buckets_[hash_[static_cast<size_t>(s)] & (buckets_.size() - 1)];
  while (*link != s) link = &next_[static_cast<size_t>(*link)];
  *link = next_[static_cast<size_t>(s)];
}

// The slot must be out of its bucket already.
void MateTable::release(int32_t s) {
  int32_t at_held = held_at_[static_cast<size_t>(s)];
  Held last = held_.back();
  held_[static_cast<size_t>(at_held)] = last;
  held_at_[static_cast<size_t>(last.slot)] = at_held;
  held_.pop_back();
  free_.push_back(s);
  --size_;
}

void MateTable::grow() {
  size_t old = pages_.size() << kPageShift;
  pages_.push_back(std::make_unique<Slot[]>(size_t{1} << kPageShift));
  size_t grown = pages_.size() << kPageShift;
  hash_.resize(grown);
  next_.resize(grown);
  held_at_.resize(grown);
  for (size_t s = grown; s-- > old;) free_.push_back(static_cast<int32_t>(s));
  if (buckets_.size() >= grown * 2) return;
  // Rehash into twice as many buckets as slots.
  buckets_.assign(std::max(grown * 2, buckets_.size() * 2), -1);
  for (const Held& held : held_) {
    auto k = static_cast<size_t>(held.slot);
    int32_t& head = buckets_[hash_[k] & (buckets_.size() - 1)];
    next_[k] = head;
    head = held.slot;
  }
}

void MateTable::drain(RecordBatch& out) {
  std::sort(held_.begin(), held_.end(),
            [](const Held& a, const Held& b) { return a.number < b.number; });
  for (const Held& held : held_) {
    const Read& read = at(held.slot).read;
    out.add(read.block, read.number);
  }
  clear();
}

void MateTable::clear() {
  for (const Held& held : held_) {
    buckets_[hash_[static_cast<size_t>(held.slot)] & (buckets_.size() - 1)] = -1;  // its chain
    free_.push_back(held.slot);
  }
  held_.clear();
  size_ = 0;
}

}  // namespace dulse::count
