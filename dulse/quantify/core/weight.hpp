// The weight of one record from its NH tag: 1.0, 0.0 (discarded as multi-mapping) or 1/NH.
#pragma once

#include <Python.h>

#include <cstdint>

#include "support/errors.hpp"

namespace dulse {

// The rule for a converted NH value. multi_mode 0 discards NH >= 2; 1 keeps NH == 1 only;
// 2 weighs NH >= 2 as 1/NH; any other mode counts every record fully.
inline double weight_for_nh(int32_t nh, int32_t multi_mode) {
  if (multi_mode == 0) return nh <= 1 ? 1.0 : 0.0;
  if (multi_mode == 1) return nh == 1 ? 1.0 : 0.0;
  if (nh <= 1) return 1.0;
  return multi_mode == 2 ? 1.0 / static_cast<double>(nh) : 1.0;
}

// An NH value as Python's int() converts it, narrowed to 32 bits. 0 with *out set; 1 when int()
// raised TypeError or ValueError (cleared: the record then weighs 1.0); -1 on any other failure,
// such as OverflowError for a value beyond 32 bits or a float infinity.
int nh_from_object(PyObject* value, int32_t* out);

// -1.0 with the exception set on failure; the tag is read under every multi_mode as soon as
// use_nh_tag is true, so a broken tag fails even where the mode would ignore it.
template <class Record>
double _read_weight_fast(Record& record, int32_t multi_mode, bool use_nh_tag) {
  if (!use_nh_tag) return 1.0;
  int has = record.has_nh();
  if (has == 0) return 1.0;
  int32_t nh = 0;
  int status = has < 0 ? -1 : record.nh(&nh);
  if (status < 0) {
    DULSE_TRACEBACK("_read_weight_fast");
    return -1.0;
  }
  return status > 0 ? 1.0 : weight_for_nh(nh, multi_mode);
}

}  // namespace dulse
