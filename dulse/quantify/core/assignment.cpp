#include "core/assignment.hpp"

namespace dulse {

PyObject* no_gene_result = nullptr;
PyObject* ambiguous_result = nullptr;

int init_assignment_results() {
  if (no_gene_result == nullptr) no_gene_result = PyTuple_Pack(2, Py_None, Py_False);
  if (ambiguous_result == nullptr) ambiguous_result = PyTuple_Pack(2, Py_None, Py_True);
  return no_gene_result != nullptr && ambiguous_result != nullptr ? 0 : -1;
}

}  // namespace dulse
