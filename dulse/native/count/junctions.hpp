// featureCounts' -J: the splice junctions (N operations) of the reads and fragments counted,
// each with the number of reads or fragments that span it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace dulse::count {

// One N operation: the 1-based places of the bases either side of the skipped ones.
struct Junction {
  int32_t left;   // the last base before the N
  int32_t right;  // the first base after it
  bool operator==(const Junction& other) const {
    return left == other.left && right == other.right;
  }
};

// The junctions of a mapped record as featureCounts finds them, fed each CIGAR operation in
// turn by the walk that reads the record (count/read.cpp): the CIGAR is cut into sections at
// every N, D and I (a leading one too); only the first `max_sections` are looked at, and an N
// counts when a section follows it (an empty one that ends the CIGAR does not).
class JunctionWalk {
 public:
  JunctionWalk(int max_sections, std::vector<Junction>& out)
      : max_sections_(max_sections), out_(out) {
    out_.clear();
  }
  // The next operation, beginning at the 0-based reference place `at`.
  void step(uint32_t op, int64_t length, int64_t at);

 private:
  int max_sections_;
  std::vector<Junction>& out_;
  int sections_ = 1;      // the section being walked is the sections_-th
  bool pending_ = false;  // an N ended the last section
  bool done_ = false;     // max_sections_ reached
  Junction junction_{0, 0};
};

class JunctionCounts {
 public:
  struct Row {
    int32_t tid;
    Junction junction;
    int64_t count;
  };

  void add(int32_t tid, const Junction& junction) { ++counts_[key(tid, junction)]; }
  void merge(const JunctionCounts& other) {
    for (const auto& [k, n] : other.counts_) counts_[k] += n;
  }
  size_t size() const { return counts_.size(); }
  // Every junction seen, ordered by reference id, then left, then right place.
  std::vector<Row> rows() const;

 private:
  struct Key {
    int32_t tid;
    int32_t left;
    int32_t right;
    bool operator==(const Key& other) const {
      return tid == other.tid && left == other.left && right == other.right;
    }
  };
  struct Hash {
    size_t operator()(const Key& k) const {
      uint64_t h = (static_cast<uint64_t>(static_cast<uint32_t>(k.tid)) << 32) ^
                   static_cast<uint32_t>(k.left);
      h = h * 0x9E3779B97F4A7C15ull ^ static_cast<uint32_t>(k.right);
      return static_cast<size_t>(h * 0xBF58476D1CE4E5B9ull >> 7);
    }
  };
  static Key key(int32_t tid, const Junction& j) { return Key{tid, j.left, j.right}; }

  std::unordered_map<Key, int64_t, Hash> counts_;
};

}  // namespace dulse::count
