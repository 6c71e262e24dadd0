// Strings numbered in order of first sight: gene IDs, contig names, GFF3 IDs, attribute values.
//
// The texts live in an arena of large chunks, so the views handed out stay valid for the life
// of the interner; the table is open addressing over 32-bit slots, a few bytes per string
// beyond its text, which matters for the millions of IDs of a large GFF3 file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace dulse::annotation {

class Interner {
 public:
  Interner() = default;
  Interner(const Interner&) = delete;
  Interner& operator=(const Interner&) = delete;

  // The number of `text`, numbering it when it is new (then `added` is set, when given).
  int32_t intern(std::string_view text, bool* added = nullptr);
  // The number of `text`, or -1 when it was never interned.
  int32_t find(std::string_view text) const;

  std::string_view operator[](int32_t id) const { return views_[static_cast<size_t>(id)]; }
  int32_t size() const { return static_cast<int32_t>(views_.size()); }

 private:
  static uint32_t hash(std::string_view text);
  size_t slot_of(std::string_view text, uint32_t h) const;
  void grow();
  std::string_view store(std::string_view text);

  std::vector<std::string_view> views_;
  std::vector<uint32_t> hashes_;
  std::vector<uint32_t> slots_;  // id + 1; 0 is empty
  std::vector<std::unique_ptr<char[]>> chunks_;
  size_t chunk_left_ = 0;
  char* chunk_at_ = nullptr;
};

}  // namespace dulse::annotation
