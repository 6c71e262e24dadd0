// Reads waiting for their mate, joined on the fly in any file order.
//
// Two records are mates when they carry the same name and each one's mate reference and
// position are the other's reference and position, as featureCounts pairs them; a secondary
// alignment thus finds the secondary alignment of its mate, not the primary one. A read waits
// here until its mate arrives. In a coordinate-sorted file a read also leaves when the file has
// passed its mate's position without the mate arriving: it is then a singleton, so the table
// holds only the pairs open across the current position.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "count/read.hpp"

namespace dulse::count {

class MateTable {
 public:
  // Takes out the waiting mate of `read` (named `name`) into `mate` (swapping buffers); false
  // when none waits.
  bool take_mate(std::string_view name, const Read& read, Read& mate);
  // Lets `read` wait for its mate; its buffers move into the table (the caller's `read` is
  // left with the table's spare ones).
  void hold(std::string_view name, Read& read, bool by_position);

  // Hands every waiting read whose mate should have come before (tid, pos) in coordinate order
  // to settle(Read&), and forgets it. Only reads held with by_position take part.
  template <class Settle>
  void settle_before(int32_t tid, int32_t pos, Settle&& settle) {
    uint64_t now = place(tid, pos);
    while (!due_.empty() && due_.front().place < now) {
      Due due = pop_due();
      Slot& slot = slots_[static_cast<size_t>(due.slot)];
      if (slot.generation != due.generation) continue;  // it found its mate meanwhile
      settle(slot.read);
      unlink(due.slot);
      release(due.slot);
    }
  }
  // Hands every waiting read to settle(Read&), and forgets them.
  template <class Settle>
  void settle_all(Settle&& settle) {
    for (int32_t s = 0; s < static_cast<int32_t>(slots_.size()); ++s) {
      if (slots_[static_cast<size_t>(s)].used) settle(slots_[static_cast<size_t>(s)].read);
    }
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
  struct Slot {
    Read read;
    uint64_t hash = 0;
    int32_t next = -1;  // the next slot of its bucket, or of the free list
    uint32_t generation = 0;
    bool used = false;
  };
  struct Due {
    uint64_t place;  // where the mate should have been
    int32_t slot;
    uint32_t generation;
  };

  static uint64_t hash_of(std::string_view name, int32_t tid, int32_t pos, int32_t mtid,
                          int32_t mpos);
  static bool later(const Due& a, const Due& b) { return a.place > b.place; }
  void grow();
  void unlink(int32_t slot);
  void release(int32_t slot);
  Due pop_due();

  std::vector<Slot> slots_;
  std::vector<int32_t> buckets_;  // head slot of each bucket, -1 when empty
  int32_t free_ = -1;
  size_t size_ = 0;
  std::vector<Due> due_;  // a min-heap on place
};

}  // namespace dulse::count
