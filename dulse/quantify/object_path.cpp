#include "object_path.hpp"

namespace dulse {

int add_weight(PyObject* counts, PyObject* gene, double weight) {
  PyRef current(PyObject_GetItem(counts, gene));
  if (!current) return -1;
  PyRef addend(PyFloat_FromDouble(weight));
  if (!addend) return -1;
  PyRef sum(PyNumber_Add(current.get(), addend.get()));
  if (!sum) return -1;
  return PyObject_SetItem(counts, gene, sum.get());
}

}  // namespace dulse
