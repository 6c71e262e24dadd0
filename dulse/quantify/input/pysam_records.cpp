#include "input/pysam_records.hpp"

#include "core/weight.hpp"
#include "support/convert.hpp"

namespace dulse {

int PysamRecord::flag(PyObject* name) {
  PyRef value(PyObject_GetAttr(obj_.get(), name));
  return value ? truth(value.get()) : -1;
}

int PysamRecord::below_mapq(int32_t mapq_min) {
  PyRef quality(PyObject_GetAttr(obj_.get(), names.mapping_quality));
  if (!quality) return -1;
  if (PyLong_CheckExact(quality.get())) {
    int overflow;
    long long value = PyLong_AsLongLongAndOverflow(quality.get(), &overflow);
    return overflow != 0 ? overflow < 0 : value < mapq_min;
  }
  PyRef bound(PyLong_FromLong(mapq_min));
  if (!bound) return -1;
  PyRef less(PyObject_RichCompare(quality.get(), bound.get(), Py_LT));
  return less ? truth(less.get()) : -1;
}

PyRef PysamRecord::reference_id() {
  return PyRef(PyObject_GetAttr(obj_.get(), names.reference_id));
}

int PysamRecord::has_nh() {
  PyRef present(PyObject_CallMethodOneArg(obj_.get(), names.has_tag, names.NH));
  return present ? truth(present.get()) : -1;
}

int PysamRecord::nh(int32_t* out) {
  PyRef value(PyObject_CallMethodOneArg(obj_.get(), names.get_tag, names.NH));
  return value ? nh_from_object(value.get(), out) : -1;
}

namespace {

// Item 0 or 1 of a block, converted.
int block_item(PyObject* block, Py_ssize_t i, int32_t* out) {
  PyRef item;
  if (PyList_CheckExact(block) || PyTuple_CheckExact(block)) {
    bool list = PyList_CheckExact(block);
    Py_ssize_t size = list ? PyList_GET_SIZE(block) : PyTuple_GET_SIZE(block);
    if (i >= size) {
      PyErr_SetString(PyExc_IndexError,
                      list ? "list index out of range" : "tuple index out of range");
      return -1;
    }
    item = PyRef::borrow(list ? PyList_GET_ITEM(block, i) : PyTuple_GET_ITEM(block, i));
  } else {
    PyRef index(PyLong_FromSsize_t(i));
    if (!index) return -1;
    item.reset(PyObject_GetItem(block, index.get()));
    if (!item) return -1;
  }
  return as_int32(item.get(), out);
}

}  // namespace

int PysamRecord::Blocks::open(PysamRecord& record) {
  list_.reset(PyObject_CallMethodNoArgs(record.obj_.get(), names.get_blocks));
  if (!list_) return -1;
  int any = truth(list_.get());
  if (any <= 0) return any;
  if (!PyList_CheckExact(list_.get()) && !PyTuple_CheckExact(list_.get())) {
    iterator_.reset(PyObject_GetIter(list_.get()));
    if (!iterator_) return -1;
  }
  return 1;
}

int PysamRecord::Blocks::next(int32_t* start, int32_t* end) {
  PyRef block;
  if (iterator_) {
    block.reset(PyIter_Next(iterator_.get()));
    if (!block) return PyErr_Occurred() ? -1 : 0;
  } else {
    PyObject* list = list_.get();
    bool is_list = PyList_CheckExact(list);
    Py_ssize_t size = is_list ? PyList_GET_SIZE(list) : PyTuple_GET_SIZE(list);
    if (position_ >= size) return 0;
    block = PyRef::borrow(is_list ? PyList_GET_ITEM(list, position_)
                                  : PyTuple_GET_ITEM(list, position_));
    ++position_;
  }
  if (block_item(block.get(), 0, start) < 0 || block_item(block.get(), 1, end) < 0) return -1;
  return 1;
}

int PysamRecordSource::open(PyObject* file) {
  PyRef fetch(PyObject_GetAttr(file, names.fetch));
  if (!fetch) return -1;
  PyRef keywords(PyTuple_Pack(1, names.until_eof));
  if (!keywords) return -1;
  PyObject* args[] = {Py_True};
  PyRef records(PyObject_Vectorcall(fetch.get(), args, 0, keywords.get()));
  if (!records) return -1;
  iterator_.reset(PyObject_GetIter(records.get()));
  return iterator_ ? 0 : -1;
}

int PysamRecordSource::next() {
  record_.reset(nullptr);
  PyObject* record = PyIter_Next(iterator_.get());
  if (record == nullptr) return PyErr_Occurred() ? -1 : 0;
  record_.reset(record);
  return 1;
}

}  // namespace dulse
