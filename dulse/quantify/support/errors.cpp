#include "support/errors.hpp"

#include <frameobject.h>

#include <cstdio>
#include <cstring>

#include "py/py_ref.hpp"

namespace dulse {

namespace {

// Source paths appear in tracebacks relative to the package, as they lie in the repository.
const char* short_path(const char* file) {
  const char* found = std::strstr(file, "dulse/quantify/");
  return found != nullptr ? found : file;
}

}  // namespace

void add_traceback(const char* routine, const char* file, int line) {
  // Building the entry must not disturb the exception it is added to.
  PyObject* pending = detail::take_exception();

  char funcname[160];
  std::snprintf(funcname, sizeof funcname, "dulse.quantify._core_fast.%s", routine);
  PyRef globals(PyDict_New());
  PyCodeObject* code = globals ? PyCode_NewEmpty(short_path(file), funcname, line) : nullptr;
  PyFrameObject* frame =
      code != nullptr ? PyFrame_New(PyThreadState_Get(), code, globals.get(), nullptr) : nullptr;

  PyErr_Clear();
  if (pending != nullptr) detail::restore_exception(pending);
  if (frame != nullptr) PyTraceBack_Here(frame);
  Py_XDECREF(frame);
  Py_XDECREF(code);
}

int expect_tuple(PyObject* obj) {
  if (PyTuple_CheckExact(obj) || obj == Py_None) return 0;
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "tuple", Py_TYPE(obj)->tp_name);
  return -1;
}

}  // namespace dulse
