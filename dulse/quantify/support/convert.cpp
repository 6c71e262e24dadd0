#include "support/convert.hpp"

#include "py/py_ref.hpp"

namespace dulse {

namespace {

int long_to_int32(PyObject* value, int32_t* out) {
  long wide = PyLong_AsLong(value);  // 64 bits here; raises the interpreter's own OverflowError
  if (wide == -1 && PyErr_Occurred()) return -1;
  return int64_to_int32(wide, out);
}

// The result of __int__, checked as the conversion requires.
PyRef int_of(PyObject* obj) {
  PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
  if (number == nullptr || number->nb_int == nullptr) {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return PyRef();
  }
  PyRef result(number->nb_int(obj));
  if (!result) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
    return PyRef();
  }
  if (PyLong_CheckExact(result.get())) return result;
  const char* name = Py_TYPE(result.get())->tp_name;
  if (PyLong_Check(result.get())) {
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an "
                         "instance of a strict subclass of int is deprecated, and may be removed "
                         "in a future version of Python.",
                         name) < 0) {
      return PyRef();
    }
    return result;
  }
  PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", name);
  return PyRef();
}

}  // namespace

int int64_to_int32(int64_t value, int32_t* out) {
  if (value < INT32_MIN || value > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return -1;
  }
  *out = static_cast<int32_t>(value);
  return 0;
}

int as_int32(PyObject* obj, int32_t* out) {
  if (PyLong_Check(obj)) return long_to_int32(obj, out);
  PyRef converted = int_of(obj);
  if (!converted) return -1;
  return long_to_int32(converted.get(), out);
}

}  // namespace dulse
