// The one home of the module's error helpers.
#pragma once

#include <Python.h>

namespace dulse {

// Adds a traceback entry named "dulse.quantify._core_fast.<routine>" to the pending exception.
// Every internal routine that fails calls this once before returning its failure value, so a
// traceback reads innermost routine first, ending with the public function.
void add_traceback(const char* routine, const char* file, int line);

#define DULSE_TRACEBACK(routine) ::dulse::add_traceback((routine), __FILE__, __LINE__)

// 0 when `obj` is exactly a tuple or None (None fails later, at its first use); otherwise -1 with
// TypeError "Expected tuple, got <type name>".
int expect_tuple(PyObject* obj);

// Sets the pending exception aside while `close` runs, then puts it back; when `close` fails, its
// exception wins and carries the first one as its context. Returns 0 when no exception is left.
// With no exception pending on entry, `close` runs plainly and its failure is returned.
template <class Close>
int run_preserving_exception(Close&& close);

}  // namespace dulse

#include "support/errors_inl.hpp"
