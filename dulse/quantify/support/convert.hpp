// Conversions of Python objects to the machine values the record loop works with.
#pragma once

#include <Python.h>

#include <cstdint>

namespace dulse {

// The signed 32-bit conversion used for every integer the module reads (arguments, reference
// ids, positions, NH). An int (bool and other subclasses included) is taken by value; anything
// else goes through its __int__, so a float is truncated toward zero. Returns 0 and sets *out, or
// -1 with the exception set:
//   OverflowError "value too large to convert to int" outside the 32-bit range (the interpreter's
//   own OverflowError beyond 64 bits), TypeError "an integer is required" without __int__,
//   TypeError "__int__ returned non-int (type X)" for a result that is no int (a strict int
//   subclass passes after a DeprecationWarning).
int as_int32(PyObject* obj, int32_t* out);

// Narrowing of a value already in 64 bits, with the same OverflowError as as_int32.
int int64_to_int32(int64_t value, int32_t* out);

// Truth value: True is true, False and None are false without any call, any other object by its
// own truth test. 1, 0, or -1 with the exception set.
inline int truth(PyObject* obj) {
  if (obj == Py_True) return 1;
  if (obj == Py_False || obj == Py_None) return 0;
  return PyObject_IsTrue(obj);
}

}  // namespace dulse
