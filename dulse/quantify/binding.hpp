// Binding of quantify_bam_fast's seven arguments, by position or keyword.
#pragma once

#include <Python.h>

namespace dulse {

constexpr Py_ssize_t kParameterCount = 7;

// Fills `values` with borrowed references to the bound arguments (the caller's references live
// for the duration of the call). 0, or -1 with the TypeError of the binding.
int bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject* values[kParameterCount]);

}  // namespace dulse
