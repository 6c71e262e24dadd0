// The strand rule: whether a gene interval's strand is compatible with a record.
#pragma once

#include <Python.h>

#include <cstdint>

#include "support/convert.hpp"
#include "support/errors.hpp"
#include "support/names.hpp"

namespace dulse {

// Mode 0 passes everything and mode 1 asks for the record's own strand, mode 2 for any strand
// but the record's own ("-" for a reverse record, "+" for a forward one): for a strand that is
// neither, mode 1 never passes and mode 2 always does. Any other mode passes nothing. The
// orientation is read at every call, and only under modes 1 and 2.
template <class Record>
int _strand_matches(Record& record, PyObject* strand, int32_t strand_mode) {
  if (strand_mode == 0) return 1;
  if (strand_mode != 1 && strand_mode != 2) return 0;
  int reverse = record.is_reverse();
  if (reverse < 0) {
    DULSE_TRACEBACK("_strand_matches");
    return -1;
  }
  PyObject* own = reverse ? names.minus : names.plus;
  int equal;
  if (PyUnicode_CheckExact(strand)) {
    equal = PyUnicode_Compare(strand, own) == 0;
  } else {
    PyObject* result = PyObject_RichCompare(strand, own, strand_mode == 1 ? Py_EQ : Py_NE);
    int answer = result != nullptr ? truth(result) : -1;
    Py_XDECREF(result);
    if (answer < 0) DULSE_TRACEBACK("_strand_matches");
    return answer;
  }
  return strand_mode == 1 ? equal : !equal;
}

}  // namespace dulse
