#include "core/weight.hpp"

#include "support/convert.hpp"
#include "py/py_ref.hpp"

namespace dulse {

int nh_from_object(PyObject* value, int32_t* out) {
  PyRef number(PyNumber_Long(value));
  if (number && as_int32(number.get(), out) == 0) return 0;
  if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
    PyErr_Clear();
    return 1;
  }
  return -1;
}

}  // namespace dulse
