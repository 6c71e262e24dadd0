// Owned Python references.
#pragma once

#include <Python.h>

#include <utility>

namespace dulse {

// Holds one strong reference and drops it when it goes out of scope. Move-only, so that a
// reference has exactly one owner at a time.
class PyRef {
 public:
  PyRef() noexcept = default;
  explicit PyRef(PyObject* owned) noexcept : obj_(owned) {}
  PyRef(PyRef&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(obj_); }

  // A new strong reference to an object that the caller only borrows.
  static PyRef borrow(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

  // Drops the held reference (after the new one is in place, so that a destructor that runs
  // Python code never sees this holder half-updated).
  void reset(PyObject* owned = nullptr) noexcept {
    PyObject* old = std::exchange(obj_, owned);
    Py_XDECREF(old);
  }

 private:
  PyObject* obj_ = nullptr;
};

}  // namespace dulse
