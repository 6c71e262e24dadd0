#include "core/interval_index.hpp"

namespace dulse {

namespace {

const char kNotSubscriptable[] = "'NoneType' object is not subscriptable";

// `value < x` (op Py_LT) or `value <= x` (Py_LE) for a value from the index and an int32, by
// Python's comparison; plain ints are compared directly.
int compare_with(PyObject* value, int32_t x, int op) {
  if (PyLong_CheckExact(value)) {
    int overflow;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0) return overflow < 0;  // beyond 64 bits: below or above every int32
    return op == Py_LT ? v < x : v <= x;
  }
  PyRef bound(PyLong_FromLong(x));
  if (!bound) return -1;
  PyRef result(PyObject_RichCompare(value, bound.get(), op));
  if (!result) return -1;
  return truth(result.get());
}

}  // namespace

int _bisect_left(PyObject* starts, int32_t x, Py_ssize_t* out) {
  if (starts == Py_None) {
    PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
    DULSE_TRACEBACK("_bisect_left");
    return -1;
  }
  Py_ssize_t lo = 0, hi = PyTuple_GET_SIZE(starts);
  while (lo < hi) {
    Py_ssize_t mid = (lo + hi) / 2;
    int less = compare_with(PyTuple_GET_ITEM(starts, mid), x, Py_LT);
    if (less < 0) {
      DULSE_TRACEBACK("_bisect_left");
      return -1;
    }
    if (less) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  *out = lo;
  return 0;
}

PyRef entry_tuple(PyObject* entry, PyObject* name) {
  PyRef value(PyObject_GetAttr(entry, name));
  if (value && expect_tuple(value.get()) < 0) value.reset();
  return value;
}

PyRef tuple_item(PyObject* tuple, Py_ssize_t i) {
  if (tuple == Py_None) {
    PyErr_SetString(PyExc_TypeError, kNotSubscriptable);
    return PyRef();
  }
  if (i >= PyTuple_GET_SIZE(tuple)) {
    PyErr_SetString(PyExc_IndexError, "tuple index out of range");
    return PyRef();
  }
  return PyRef::borrow(PyTuple_GET_ITEM(tuple, i));
}

int ends_before(PyObject* prefix_max_ends, Py_ssize_t i, int32_t block_start) {
  PyRef end = tuple_item(prefix_max_ends, i);
  if (!end) return -1;
  return compare_with(end.get(), block_start, Py_LE);
}

int read_interval(PyObject* intervals, Py_ssize_t i, GeneInterval* out) {
  PyRef interval = tuple_item(intervals, i);
  if (!interval || expect_tuple(interval.get()) < 0) return -1;
  PyRef item = tuple_item(interval.get(), 0);
  if (!item || as_int32(item.get(), &out->start) < 0) return -1;
  item = tuple_item(interval.get(), 1);
  if (!item || as_int32(item.get(), &out->end) < 0) return -1;
  out->gene = tuple_item(interval.get(), 2);
  if (!out->gene) return -1;
  out->strand = tuple_item(interval.get(), 3);
  return out->strand ? 0 : -1;
}

}  // namespace dulse
