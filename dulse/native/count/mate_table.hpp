// Reads waiting for their mate, joined on the fly in any file order.
//
// Two records are mates, as featureCounts pairs them, when they carry the same name and HI tag
// (or neither has HI), one is read 1 and the other read 2, and they agree on where the pair lies:
// read 1's place and read 2's place, each a reference and position, or nowhere for an unmapped
// read (a record's own place unless it is unmapped, its mate's from the mate fields unless the
// mate is flagged unmapped). A secondary alignment thus finds the alignment of its mate that
// points back at it, primary or not. A read waits here until its mate arrives. In a
// coordinate-sorted file a read also leaves when the file has passed its mate's position without
// the mate arriving: it is then a singleton, so the table holds only the pairs open across the
// current position, and the reads whose mate is flagged unmapped and not placed beside them
// (such a mate may come unplaced at the end of the file).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "count/read.hpp"

namespace dulse::count {

// Where a pair lies, as both its records must say.
struct PairKey {
  static constexpr int32_t kNowhere = -2;
  int32_t tid1, pos1, tid2, pos2;  // read 1's place, then read 2's
  bool has_hi;
  int64_t hi;

  bool operator==(const PairKey& o) const {
    return tid1 == o.tid1 && pos1 == o.pos1 && tid2 == o.tid2 && pos2 == o.pos2 &&
           has_hi == o.has_hi && (!has_hi || hi == o.hi);
  }
};

// A paired record with exactly one of the read 1 and read 2 flags can find a mate.
inline bool can_pair(const Read& read) {
  return read.has(kPaired) && read.has(kRead1) != read.has(kRead2);
}
inline PairKey pair_key(const Read& read) {
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

class MateTable {
 public:
  // The hash of a read's name and key (its places, not its HI tag), computed once per read for
  // take_mate and hold.
  static uint64_t hash_of(std::string_view name, const PairKey& key);

  // Reads are loaded where they would wait, so that neither waiting nor pairing moves them:
  // reserve() sets a slot aside, its read() is filled, and hold() lets it wait, or the slot
  // stays reserved for the next read.
  int32_t reserve();
  Read& read(int32_t slot) { return at(slot).read; }

  // Takes the waiting mate of `read` (named `name`, `hash` its hash_of with `key`) out of its
  // bucket and returns its slot, whose read stays as it is until release(); -1 when none
  // waits. A waiting read is its mate when key_of(it) equals `key` (the table keeps no keys:
  // the rules derive them from the read). Of several, the first found, or with `earliest` the
  // one that came first in the file.
  template <class KeyOf>
  int32_t take_mate(std::string_view name, const PairKey& key, uint64_t hash, const Read& read,
                    bool earliest, KeyOf&& key_of) {
    if (size_ == 0) return -1;
    bool first = read.has(kRead1);
    int32_t* found = nullptr;
    int32_t* link = &buckets_[hash & (buckets_.size() - 1)];
    for (int32_t s = *link; s >= 0; link = &next_[static_cast<size_t>(s)], s = *link) {
      Slot& slot = at(s);
      slot.fetch();  // on its way while the hash is compared
      if (hash_[static_cast<size_t>(s)] != hash) continue;
      if (slot.read.has(kRead1) != first && slot.name() == name && key_of(slot.read) == key) {
        if (!earliest) {
          found = link;
          break;
        }
        if (found == nullptr || slot.read.number < at(*found).read.number) found = link;
      }
    }
    if (found == nullptr) return -1;
    int32_t s = *found;
    *found = next_[static_cast<size_t>(s)];
    return s;
  }
  // Ask the processor, ahead of take_mate() and hold(), for the bucket of `hash`, then (once it
  // has come) for the first read in it: a read's hash is known from its record's fixed fields,
  // and both arrive while the rest of the record is read.
  void prefetch_bucket(uint64_t hash) const {
    if (!buckets_.empty()) __builtin_prefetch(&buckets_[hash & (buckets_.size() - 1)]);
  }
  void prefetch_first(uint64_t hash) {
    if (size_ == 0) return;
    int32_t s = buckets_[hash & (buckets_.size() - 1)];
    if (s < 0) return;
    __builtin_prefetch(&hash_[static_cast<size_t>(s)]);
    at(s).fetch();
  }
  // Frees the slot of a mate taken.
  void release(int32_t slot);
  // Lets the read of a reserved slot wait for its mate, named `name`. settle_before() lets it
  // go once the file has passed `due`, the place where its mate would be (kNever: it waits to
  // the end).
  static constexpr uint64_t kNever = UINT64_MAX;
  void hold(int32_t slot, std::string_view name, uint64_t hash, uint64_t due);

  // Hands every waiting read whose mate should have come before `now` (a place), and not
  // before `floor`, to settle(Read&), and forgets it. A sweep over what the table holds: its
  // caller sweeps now and then, since a read let go later than it could be counts the same.
  template <class Settle>
  void settle_before(uint64_t now, uint64_t floor, Settle&& settle) {
    for (size_t h = 0; h < held_.size();) {
      const Held held = held_[h];
      if (held.due < now && held.due >= floor) {
        settle(at(held.slot).read);
        unlink(held.slot);
        release(held.slot);  // moves the last held slot to h
      } else {
        ++h;
      }
    }
  }
  // Adds every waiting read's record to `out` in file order, and forgets them.
  void drain(RecordBatch& out);
  // Hands every waiting read to settle(Read&), and forgets them.
  template <class Settle>
  void settle_all(Settle&& settle) {
    for (const Held& held : held_) settle(at(held.slot).read);
    clear();
  }

  size_t size() const { return size_; }
  void clear();

  // Coordinate order as one number: contig, then position; unplaced (tid < 0) last.
  static uint64_t place(int32_t tid, int32_t pos) {
    uint64_t contig = tid < 0 ? UINT32_MAX : static_cast<uint32_t>(tid);
    return contig << 32 | static_cast<uint32_t>(pos < 0 ? 0 : pos);
  }

 private:
  static constexpr uint32_t kInlineName = 48;
  // A waiting read and its name, kept beside it so that checking a candidate costs one visit
  // to memory; names longer than kInlineName go to the heap.
  struct Slot {
    Read read;
    uint32_t name_length = 0;
    char inline_name[kInlineName];
    std::string long_name;

    std::string_view name() const {
      return {name_length <= kInlineName ? inline_name : long_name.data(), name_length};
    }
    void set_name(std::string_view name);
    // The slot's cache lines, asked for together rather than one after the other.
    void fetch() const {
      const char* bytes = reinterpret_cast<const char*>(this);
      for (size_t line = 0; line < sizeof(Slot); line += 64) __builtin_prefetch(bytes + line);
    }
  };

  // Slots live in pages that never move, so that growing costs one page, not a copy of all the
  // waiting reads beside a table twice their size.
  static constexpr int kPageShift = 10;
  Slot& at(int32_t s) {
    auto i = static_cast<size_t>(s);
    return pages_[i >> kPageShift][i & ((size_t{1} << kPageShift) - 1)];
  }
  void grow();
  void unlink(int32_t slot);

  std::vector<std::unique_ptr<Slot[]>> pages_;
  std::vector<int32_t> buckets_;  // head slot of each bucket, -1 when empty
  // By slot, apart from the reads so that walking a bucket or the held reads touches only the
  // reads it needs: each read's hash, the next slot of its bucket, its place in held_.
  std::vector<uint64_t> hash_;
  std::vector<int32_t> next_;
  std::vector<int32_t> held_at_;
  // The free slots, the last freed on top: reserving one reads no slot, and the slot it gives
  // was most likely in use a moment ago.
  std::vector<int32_t> free_;
  size_t size_ = 0;
  // The slots in use, so that emptying the table costs what it holds, not its capacity (pairs
  // by name empty it at every new name); beside each, its read's due place and number, so that
  // a sweep or a sort reads one array instead of every waiting read.
  struct Held {
    uint64_t due;
    uint64_t number;  // its read's
    int32_t slot;
  };
  std::vector<Held> held_;
};

}  // namespace dulse::count
