#include "annotation/interner.hpp"

#include <cstring>
#include <functional>

namespace dulse::annotation {

namespace {
constexpr size_t kChunk = size_t{1} << 16;
}

uint32_t Interner::hash(std::string_view text) {
  uint64_t h = std::hash<std::string_view>{}(text);
  return static_cast<uint32_t>(h ^ (h >> 32));
}

size_t Interner::slot_of(std::string_view text, uint32_t h) const {
  const size_t mask = slots_.size() - 1;
  for (size_t at = h & mask;; at = (at + 1) & mask) {
    uint32_t entry = slots_[at];
    if (entry == 0) return at;
    if (hashes_[entry - 1] == h && views_[entry - 1] == text) return at;
  }
}

int32_t Interner::find(std::string_view text) const {
  if (slots_.empty()) return -1;
  uint32_t entry = slots_[slot_of(text, hash(text))];
  return static_cast<int32_t>(entry) - 1;
}

int32_t Interner::intern(std::string_view text, bool* added) {
  if ((views_.size() + 1) * 2 > slots_.size()) grow();
  const uint32_t h = hash(text);
  const size_t at = slot_of(text, h);
  if (slots_[at] != 0) {
    if (added != nullptr) *added = false;
    return static_cast<int32_t>(slots_[at]) - 1;
  }
  views_.push_back(store(text));
  hashes_.push_back(h);
  slots_[at] = static_cast<uint32_t>(views_.size());
  if (added != nullptr) *added = true;
  return static_cast<int32_t>(views_.size()) - 1;
}

void Interner::grow() {
  std::vector<uint32_t> slots(slots_.empty() ? 64 : slots_.size() * 2, 0);
  const size_t mask = slots.size() - 1;
  for (size_t id = 0; id < views_.size(); ++id) {
    size_t at = hashes_[id] & mask;
    while (slots[at] != 0) at = (at + 1) & mask;
    slots[at] = static_cast<uint32_t>(id + 1);
  }
  slots_.swap(slots);
}

std::string_view Interner::store(std::string_view text) {
  if (text.empty()) return std::string_view();
  if (text.size() > kChunk / 4) {
    // A long text gets a chunk of its own, leaving the current one to fill.
    chunks_.emplace_back(new char[text.size()]);
    std::memcpy(chunks_.back().get(), text.data(), text.size());
    return std::string_view(chunks_.back().get(), text.size());
  }
  if (chunk_left_ < text.size()) {
    chunks_.emplace_back(new char[kChunk]);
    chunk_at_ = chunks_.back().get();
    chunk_left_ = kChunk;
  }
  std::memcpy(chunk_at_, text.data(), text.size());
  std::string_view stored(chunk_at_, text.size());
  chunk_at_ += text.size();
  chunk_left_ -= text.size();
  return stored;
}

}  // namespace dulse::annotation
