// What each read or fragment came to, for featureCounts' -R output: the summary row it landed in
// and the targets it was counted for.
#pragma once

#include <cstddef>
#include <cstdint>

#include "count/read.hpp"

namespace dulse::count {

class AssignmentLog {
 public:
  virtual ~AssignmentLog() = default;
  // One read alone (`later` null) or a fragment, `earlier` first in the file; `row` the summary
  // row's name; `targets` those counted for, in the order featureCounts lists them (the record
  // that came later first, each record's hits in the order of their features' starts).
  virtual void note(const Read& earlier, const Read* later, const char* row,
                    const int32_t* targets, size_t n_targets) = 0;
};

}  // namespace dulse::count
