// numpy's C interface, shared by every file of the engine's module. The module's exec step
// imports it (py/module.cpp defines DULSE_IMPORT_NUMPY before including this).
#pragma once

#define PY_ARRAY_UNIQUE_SYMBOL dulse_engine_numpy_api
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#ifndef DULSE_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
