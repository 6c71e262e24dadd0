// featureCounts' order of a contig's features: by start, and features of one start in the order
// its sort leaves them, which is the order in which it lists a read's targets (-R's XT).
//
// That sort is a merge sort over the features in annotation order. A run of at most
// kSelectionRun features is sorted by selection: the first of the smallest remaining is swapped
// into place, which moves the feature it displaces behind its equals. A longer run is split
// in halves, the first of floor(n / 2), and on a tie the merge takes the second half's feature.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace dulse::index {

inline constexpr size_t kSelectionRun = 11;

// Orders `items` (n of them) by key(item) as featureCounts' sort does; `buffer` is scratch.
template <class Key>
void sort_as_featurecounts(int32_t* items, size_t n, std::vector<int32_t>& buffer,
                           const Key& key) {
  if (n <= kSelectionRun) {
    for (size_t i = 0; i < n; ++i) {
      size_t smallest = i;
      for (size_t j = i + 1; j < n; ++j) {
        if (key(items[j]) < key(items[smallest])) smallest = j;
      }
      std::swap(items[i], items[smallest]);
    }
    return;
  }
  size_t half = n / 2;
  sort_as_featurecounts(items, half, buffer, key);
  sort_as_featurecounts(items + half, n - half, buffer, key);
  buffer.assign(items, items + n);
  const int32_t* a = buffer.data();
  const int32_t* a_end = a + half;
  const int32_t* b = a_end;
  const int32_t* b_end = buffer.data() + n;
  int32_t* out = items;
  while (a < a_end && b < b_end) *out++ = key(*a) < key(*b) ? *a++ : *b++;
  while (a < a_end) *out++ = *a++;
  while (b < b_end) *out++ = *b++;
}

}  // namespace dulse::index
