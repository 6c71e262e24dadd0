// What each read or fragment came to under htseq-count's rules, for its -o output.
#pragma once

#include <cstddef>
#include <cstdint>

#include "count/counters.hpp"
#include "count/read.hpp"

namespace dulse::count {

class HtseqLog {
 public:
  using Outcome = int64_t Counters::Htseq::*;

  virtual ~HtseqLog() = default;
  // A read alone (`second` null) or a fragment's read 1 and read 2 (either null when absent),
  // counted at `order` (htseq_rules.hpp). `outcome`: the special counter it landed in, or
  // null for the one gene in `genes`; with __ambiguous, `genes` are the candidates. With
  // `not_unique`, it is a multi-mapping fragment that --nonunique counted on.
  virtual void note(const Read* first, const Read* second, Outcome outcome,
                    const int32_t* genes, size_t n_genes, bool not_unique, uint64_t order) = 0;
};

}  // namespace dulse::count
