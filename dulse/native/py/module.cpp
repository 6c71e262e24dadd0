// The extension module dulse._engine: the Python face of the native engine.
#include <Python.h>

#define DULSE_IMPORT_NUMPY
#include "py/module.hpp"
#include "py/numpy.hpp"

namespace dulse::py {
namespace {

int exec_module(PyObject* module) {
  if (_import_array() < 0) return -1;
  if (add_annotation(module) < 0) return -1;
  if (add_counting(module) < 0) return -1;
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "dulse._engine",
    "The native counting engine: annotation reader, feature index and counting.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace dulse::py

PyMODINIT_FUNC PyInit__engine() { return PyModuleDef_Init(&dulse::py::module_def); }
