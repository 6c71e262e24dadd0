#include "count/mate_table.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace dulse::count {

namespace {

inline uint64_t rotl(uint64_t v, int bits) { return v << bits | v >> (64 - bits); }

}  // namespace

uint64_t MateTable::hash_of(std::string_view name, const PairKey& key) {
  // The last sixteen bytes of the name, where reads of one run differ (an Illumina name ends
  // in its tile and coordinates), and the places; the table compares whole names. Each word
  // is multiplied on its own and the products folded together, so that the multiplications
  // run side by side: the mate's bucket is fetched only once the hash is known.
  uint64_t words[2] = {0, 0};
  if (name.size() >= 16) {
    std::memcpy(&words[0], name.data() + name.size() - 16, 8);
    std::memcpy(&words[1], name.data() + name.size() - 8, 8);
  } else {
    std::memcpy(words, name.data(), name.size());
  }
  uint64_t place1 =
      uint64_t{static_cast<uint32_t>(key.tid1)} << 32 | static_cast<uint32_t>(key.pos1);
  uint64_t place2 =
      uint64_t{static_cast<uint32_t>(key.tid2)} << 32 | static_cast<uint32_t>(key.pos2);
  uint64_t h = (words[0] * 0x9e3779b97f4a7c15ull) ^ rotl(words[1] * 0xc2b2ae3d27d4eb4full, 29) ^
               (place1 * 0x165667b19e3779f9ull) ^ rotl(place2 * 0xd6e8feb86659fd93ull, 43) ^
               name.size();
  h ^= h >> 32;
  h *= 0xbf58476d1ce4e5b9ull;
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
