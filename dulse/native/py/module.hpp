// The parts of the engine's extension module, dulse._engine. Each adds its functions and types
// to the module in the exec step: 0, or -1 with the exception set.
#pragma once

#include <Python.h>

namespace dulse::py {

int add_annotation(PyObject* module);
int add_counting(PyObject* module);

}  // namespace dulse::py
