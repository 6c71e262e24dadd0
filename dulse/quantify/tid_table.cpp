#include "tid_table.hpp"

#include <cstdint>

#include "support/convert.hpp"
#include "support/names.hpp"
#include "py/py_ref.hpp"

namespace dulse {

namespace {

int add_contig(PyObject* file, PyObject* contig, PyObject* entry, PyObject* table) {
  PyRef tid_object(PyObject_CallMethodOneArg(file, names.get_tid, contig));
  if (!tid_object) return -1;
  int32_t tid;
  if (as_int32(tid_object.get(), &tid) < 0) return -1;
  if (tid < 0) return 0;
  PyRef key(PyLong_FromLong(tid));
  return key ? PyDict_SetItem(table, key.get(), entry) : -1;
}

int need_more_values(Py_ssize_t found) {
  PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
               found == 1 ? "" : "s");
  return -1;
}

int too_many_values() {
  PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
  return -1;
}

// Unpacks one element of items() into exactly two values.
int unpack_pair(PyObject* pair, PyRef* first, PyRef* second) {
  if (PyTuple_CheckExact(pair) || PyList_CheckExact(pair)) {
    Py_ssize_t size = PySequence_Fast_GET_SIZE(pair);
    if (size > 2) return too_many_values();
    if (size < 2) return need_more_values(size);
    *first = PyRef::borrow(PySequence_Fast_GET_ITEM(pair, 0));
    *second = PyRef::borrow(PySequence_Fast_GET_ITEM(pair, 1));
    return 0;
  }
  PyRef iterator(PyObject_GetIter(pair));
  if (!iterator) return -1;
  PyRef* slots[] = {first, second};
  for (Py_ssize_t i = 0; i < 2; ++i) {
    slots[i]->reset(PyIter_Next(iterator.get()));
    if (!*slots[i]) return PyErr_Occurred() ? -1 : need_more_values(i);
  }
  PyRef extra(PyIter_Next(iterator.get()));
  if (extra) return too_many_values();
  return PyErr_Occurred() ? -1 : 0;
}

int walk_dict(PyObject* file, PyObject* gene_index, PyObject* table) {
  const Py_ssize_t size = PyDict_GET_SIZE(gene_index);
  Py_ssize_t position = 0;
  for (;;) {
    // get_tid may run Python code that changes gene_index; the walk stops as a dict iterator
    // would, and the pair is held while get_tid runs.
    if (PyDict_GET_SIZE(gene_index) != size) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
      return -1;
    }
    PyObject *key, *value;
    if (!PyDict_Next(gene_index, &position, &key, &value)) return 0;
    PyRef contig = PyRef::borrow(key);
    PyRef entry = PyRef::borrow(value);
    if (add_contig(file, contig.get(), entry.get(), table) < 0) return -1;
  }
}

int walk_items(PyObject* file, PyObject* gene_index, PyObject* table) {
  PyRef items(PyObject_CallMethodNoArgs(gene_index, names.items));
  if (!items) return -1;
  PyRef iterator(PyObject_GetIter(items.get()));
  if (!iterator) return -1;
  for (;;) {
    PyRef pair(PyIter_Next(iterator.get()));
    if (!pair) return PyErr_Occurred() ? -1 : 0;
    PyRef contig, entry;
    if (unpack_pair(pair.get(), &contig, &entry) < 0) return -1;
    if (add_contig(file, contig.get(), entry.get(), table) < 0) return -1;
  }
}

}  // namespace

int build_tid_table(PyObject* file, PyObject* gene_index, PyObject* table) {
  if (gene_index == Py_None) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "items");
    return -1;
  }
  if (PyDict_CheckExact(gene_index)) return walk_dict(file, gene_index, table);
  return walk_items(file, gene_index, table);
}

}  // namespace dulse
