#include "support/names.hpp"

namespace dulse {

Names names;

int init_names() {
  struct Entry {
    PyObject** slot;
    const char* text;
  };
  const Entry entries[] = {
      {&names.pysam, "pysam"},
      {&names.AlignmentFile, "AlignmentFile"},
      {&names.rb, "rb"},
      {&names.get_tid, "get_tid"},
      {&names.fetch, "fetch"},
      {&names.until_eof, "until_eof"},
      {&names.close, "close"},
      {&names.items, "items"},
      {&names.fromkeys, "fromkeys"},
      {&names.filename, "filename"},
      {&names.is_unmapped, "is_unmapped"},
      {&names.is_secondary, "is_secondary"},
      {&names.is_supplementary, "is_supplementary"},
      {&names.mapping_quality, "mapping_quality"},
      {&names.reference_id, "reference_id"},
      {&names.is_reverse, "is_reverse"},
      {&names.get_blocks, "get_blocks"},
      {&names.has_tag, "has_tag"},
      {&names.get_tag, "get_tag"},
      {&names.NH, "NH"},
      {&names.intervals, "intervals"},
      {&names.starts, "starts"},
      {&names.prefix_max_ends, "prefix_max_ends"},
      {&names.plus, "+"},
      {&names.minus, "-"},
  };
  for (const Entry& entry : entries) {
    if (*entry.slot != nullptr) continue;
    *entry.slot = PyUnicode_InternFromString(entry.text);
    if (*entry.slot == nullptr) return -1;
  }
  return 0;
}

}  // namespace dulse
