#include "core/native_index.hpp"

#include "support/names.hpp"

namespace dulse {

namespace {

bool plain_gene(PyObject* gene) {
  return PyUnicode_CheckExact(gene) || PyLong_CheckExact(gene) || PyBytes_CheckExact(gene);
}

// The three attributes of a ContigEntry, in the order they are read.
PyObject* attribute(int i) {
  return i == 0 ? names.intervals : i == 1 ? names.starts : names.prefix_max_ends;
}

// Whether reading the three attributes runs no Python code: generic attribute access, and each
// name either absent from the type (found in the instance dict), a slot, or a plain class value.
bool plain_attribute_access(PyObject* entry) {
  PyTypeObject* type = Py_TYPE(entry);
  if (type->tp_getattro != PyObject_GenericGetAttr) return false;
  for (int i = 0; i < 3; ++i) {
    PyObject* descriptor = _PyType_Lookup(type, attribute(i));
    if (descriptor != nullptr && Py_TYPE(descriptor) != &PyMemberDescr_Type &&
        Py_TYPE(descriptor)->tp_descr_get != nullptr) {
      return false;
    }
  }
  return true;
}

// Reads the attribute, or gives nothing (and raises nothing) when it is not there.
PyRef read_quietly(PyObject* entry, PyObject* name) {
  PyRef value(PyObject_GetAttr(entry, name));
  if (!value) PyErr_Clear();
  return value;
}

bool int64_item(PyObject* item, int64_t* out) {
  if (!PyLong_CheckExact(item)) return false;
  int overflow;
  long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
  *out = value;
  return overflow == 0 && !(value == -1 && PyErr_Occurred());
}

bool int32_item(PyObject* item, int32_t* out) {
  int64_t value;
  if (!int64_item(item, &value) || value < INT32_MIN || value > INT32_MAX) return false;
  *out = static_cast<int32_t>(value);
  return true;
}

}  // namespace

int GeneTable::init(PyObject* counts) {
  slot_of_.reset(PyDict_New());
  numbers_.reset(PyDict_New());
  if (!slot_of_ || !numbers_) return -1;
  Py_ssize_t position = 0, slot = 0;
  PyObject *key, *value;
  while (PyDict_Next(counts, &position, &key, &value)) {
    if (!plain_gene(key)) return 0;
    PyRef index(PyLong_FromSsize_t(slot++));
    if (!index || PyDict_SetItem(slot_of_.get(), key, index.get()) < 0) return -1;
  }
  slot_count_ = slot;
  return 1;
}

int32_t GeneTable::number_of(PyObject* gene) {
  PyObject* known = PyDict_GetItemWithError(numbers_.get(), gene);
  if (known != nullptr) return static_cast<int32_t>(PyLong_AsLong(known));
  if (PyErr_Occurred()) return -1;
  PyObject* slot = PyDict_GetItemWithError(slot_of_.get(), gene);
  if (slot == nullptr && PyErr_Occurred()) return -1;
  int32_t number = static_cast<int32_t>(genes_.size());
  PyRef key(PyLong_FromLong(number));
  if (!key || PyDict_SetItem(numbers_.get(), gene, key.get()) < 0) return -1;
  genes_.push_back(PyRef::borrow(gene));
  slots_.push_back(slot != nullptr ? static_cast<int32_t>(PyLong_AsLong(slot)) : -1);
  return number;
}

Py_ssize_t GeneTable::slot_of(PyObject* gene) {
  PyRef slot(PyObject_GetItem(slot_of_.get(), gene));
  return slot ? PyLong_AsSsize_t(slot.get()) : -1;
}

int NativeEntry::convert(PyObject* entry, GeneTable& genes) {
  int status = fill(entry, genes);
  if (status <= 0) *this = NativeEntry();
  return status;
}

int NativeEntry::fill(PyObject* entry, GeneTable& genes) {
  if (!plain_attribute_access(entry)) return 0;
  for (int i = 0; i < 3; ++i) {
    sources_[i] = read_quietly(entry, attribute(i));
    if (!sources_[i] || !PyTuple_CheckExact(sources_[i].get())) return 0;
  }
  PyObject* intervals = sources_[0].get();
  PyObject* starts = sources_[1].get();
  PyObject* max_ends = sources_[2].get();
  const Py_ssize_t n = PyTuple_GET_SIZE(intervals);
  if (PyTuple_GET_SIZE(starts) != n || PyTuple_GET_SIZE(max_ends) != n) return 0;

  starts_.resize(n);
  prefix_max_ends_.resize(n);
  intervals_.resize(n);
  for (Py_ssize_t k = 0; k < n; ++k) {
    if (!int64_item(PyTuple_GET_ITEM(starts, k), &starts_[k]) ||
        !int64_item(PyTuple_GET_ITEM(max_ends, k), &prefix_max_ends_[k])) {
      return 0;
    }
    PyObject* interval = PyTuple_GET_ITEM(intervals, k);
    if (!PyTuple_CheckExact(interval) || PyTuple_GET_SIZE(interval) < 4) return 0;
    NativeInterval& native = intervals_[k];
    PyObject* gene = PyTuple_GET_ITEM(interval, 2);
    PyObject* strand = PyTuple_GET_ITEM(interval, 3);
    if (!int32_item(PyTuple_GET_ITEM(interval, 0), &native.start) ||
        !int32_item(PyTuple_GET_ITEM(interval, 1), &native.end) || !plain_gene(gene) ||
        !PyUnicode_CheckExact(strand)) {
      return 0;
    }
    native.strand = PyUnicode_Compare(strand, names.plus) == 0    ? Strand::kPlus
                    : PyUnicode_Compare(strand, names.minus) == 0 ? Strand::kMinus
                                                                  : Strand::kOther;
    native.gene = genes.number_of(gene);
    if (native.gene < 0) return -1;
  }
  return 1;
}

bool NativeEntry::unchanged(PyObject* entry) const {
  if (!plain_attribute_access(entry)) return false;
  for (int i = 0; i < 3; ++i) {
    PyRef now = read_quietly(entry, attribute(i));
    if (now.get() != sources_[i].get()) return false;
  }
  return true;
}

}  // namespace dulse
