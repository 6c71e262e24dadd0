#include "core/native_index.hpp"

#include <algorithm>
#include <climits>

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

// An exact int, clamped to 32 bits; *exact tells whether it fitted.
bool clamped_item(PyObject* item, int32_t* out, bool* exact) {
  if (!PyLong_CheckExact(item)) return false;
  int overflow;
  long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
  if (overflow != 0) value = overflow > 0 ? LLONG_MAX : LLONG_MIN;
  *exact = value >= INT32_MIN && value <= INT32_MAX;
  *out = static_cast<int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
  return true;
}

bool search_item(PyObject* item, int32_t* out) {
  bool exact;
  return clamped_item(item, out, &exact);
}

bool int32_item(PyObject* item, int32_t* out) {
  bool exact;
  return clamped_item(item, out, &exact) && exact;
}

}  // namespace

int GeneTable::init(PyObject* counts) {
  slots_.reset(PyDict_New());
  missing_slots_.reset(PyDict_New());
  if (!slots_ || !missing_slots_) return -1;
  Py_ssize_t position = 0;
  int32_t slot = 0;
  PyObject *key, *value;
  while (PyDict_Next(counts, &position, &key, &value)) {
    if (!plain_gene(key)) return 0;
    PyRef index(PyLong_FromLong(slot++));
    if (!index || PyDict_SetItem(slots_.get(), key, index.get()) < 0) return -1;
  }
  slot_count_ = slot;
  return 1;
}

int32_t GeneTable::number_of(PyObject* gene) {
  if (gene == last_gene_.get()) return last_number_;
  PyObject* known = PyDict_GetItemWithError(slots_.get(), gene);
  if (known == nullptr && !PyErr_Occurred()) {
    known = PyDict_GetItemWithError(missing_slots_.get(), gene);
  }
  int32_t number;
  if (known != nullptr) {
    number = static_cast<int32_t>(PyLong_AsLong(known));
  } else {
    if (PyErr_Occurred()) return -1;
    number = slot_count_ + static_cast<int32_t>(missing_.size());
    PyRef key(PyLong_FromLong(number));
    if (!key || PyDict_SetItem(missing_slots_.get(), gene, key.get()) < 0) return -1;
    missing_.push_back(PyRef::borrow(gene));
  }
  last_gene_ = PyRef::borrow(gene);
  last_number_ = number;
  return number;
}

Py_ssize_t GeneTable::slot_of(PyObject* gene) {
  PyRef slot(PyObject_GetItem(slots_.get(), gene));
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
  intervals_.resize(n);
  for (Py_ssize_t k = 0; k < n; ++k) {
    NativeInterval& native = intervals_[k];
    if (!search_item(PyTuple_GET_ITEM(starts, k), &starts_[k]) ||
        !search_item(PyTuple_GET_ITEM(max_ends, k), &native.prefix_max_end)) {
      return 0;
    }
    PyObject* interval = PyTuple_GET_ITEM(intervals, k);
    if (!PyTuple_CheckExact(interval) || PyTuple_GET_SIZE(interval) < 4) return 0;
    PyObject* gene = PyTuple_GET_ITEM(interval, 2);
    PyObject* strand = PyTuple_GET_ITEM(interval, 3);
    if (!int32_item(PyTuple_GET_ITEM(interval, 0), &native.start) ||
        !int32_item(PyTuple_GET_ITEM(interval, 1), &native.end) || !plain_gene(gene) ||
        !PyUnicode_CheckExact(strand)) {
      return 0;
    }
    Strand code = PyUnicode_Compare(strand, names.plus) == 0    ? Strand::kPlus
                  : PyUnicode_Compare(strand, names.minus) == 0 ? Strand::kMinus
                                                                : Strand::kOther;
    int32_t number = genes.number_of(gene);
    if (number < 0) return -1;
    if (number >= (1 << 29)) return 0;
    native.gene_strand = static_cast<uint32_t>(number) << 2 | static_cast<uint32_t>(code);
  }
  index_bins();
  return 1;
}

void NativeEntry::index_bins() {
  bins_.clear();
  const size_t n = starts_.size();
  if (n == 0 || starts_[0] < 0 || n > UINT32_MAX) return;
  for (size_t k = 1; k < n; ++k) {
    if (starts_[k] < starts_[k - 1]) return;  // unordered: the plain search, as given
  }
  // Bins up to the one past the last start: every x beyond lies after all starts.
  const size_t count = static_cast<size_t>(starts_[n - 1] >> kBinShift) + 2;
  bins_.resize(count);
  size_t k = 0;
  for (size_t b = 0; b < count; ++b) {
    const int64_t bin_start = static_cast<int64_t>(b) << kBinShift;
    while (k < n && starts_[k] < bin_start) ++k;
    bins_[b] = static_cast<uint32_t>(k);
  }
}

Py_ssize_t NativeEntry::lower_bound(int32_t x) const {
  Py_ssize_t lo = 0, hi = static_cast<Py_ssize_t>(starts_.size());
  if (!bins_.empty() && x >= 0) {
    const size_t b = static_cast<size_t>(x >> kBinShift);
    if (b + 1 >= bins_.size()) return hi;
    lo = bins_[b];
    hi = bins_[b + 1];
  }
  while (lo < hi) {
    Py_ssize_t mid = (lo + hi) / 2;
    if (starts_[mid] < x) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
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
