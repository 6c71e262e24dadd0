// Template part of errors.hpp.
#pragma once

namespace dulse {

namespace detail {
#if PY_VERSION_HEX >= 0x030C0000
inline PyObject* take_exception() { return PyErr_GetRaisedException(); }
inline void restore_exception(PyObject* exc) { PyErr_SetRaisedException(exc); }
#else
inline PyObject* take_exception() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr) {
    PyException_SetTraceback(value, tb);
    Py_DECREF(tb);
  }
  Py_DECREF(type);
  return value;
}
inline void restore_exception(PyObject* exc) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Py_INCREF(type);
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}
#endif
}  // namespace detail

template <class Close>
int run_preserving_exception(Close&& close) {
  PyObject* first = detail::take_exception();
  int rc = close();
  if (first == nullptr) return rc;
  if (rc == 0) {
    detail::restore_exception(first);
    return -1;
  }
  PyObject* second = detail::take_exception();
  if (second != nullptr && second != first) {
    PyException_SetContext(second, first);  // steals `first`
  } else {
    Py_XDECREF(first);
  }
  if (second != nullptr) detail::restore_exception(second);
  return -1;
}

}  // namespace dulse
