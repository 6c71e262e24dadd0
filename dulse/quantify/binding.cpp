#include "binding.hpp"

namespace dulse {

namespace {

const char kFunctionName[] = "quantify_bam_fast";
const char* const kParameters[kParameterCount] = {
    "bam_path", "gene_ids", "gene_index", "strand_mode", "mapq_min", "multi_mode", "use_nh_tag",
};

int count_error(Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               kFunctionName, "exactly", kParameterCount, "s", given);
  return -1;
}

Py_ssize_t parameter_index(PyObject* name) {
  for (Py_ssize_t i = 0; i < kParameterCount; ++i) {
    if (PyUnicode_CompareWithASCIIString(name, kParameters[i]) == 0) return i;
  }
  return -1;
}

}  // namespace

int bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject* values[kParameterCount]) {
  Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nkw == 0 ? nargs != kParameterCount : nargs > kParameterCount) return count_error(nargs);
  for (Py_ssize_t i = 0; i < kParameterCount; ++i) values[i] = i < nargs ? args[i] : nullptr;

  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(name)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", kFunctionName);
      return -1;
    }
    Py_ssize_t index = parameter_index(name);
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                   kFunctionName, name);
      return -1;
    }
    if (values[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   kFunctionName, name);
      return -1;
    }
    values[index] = args[nargs + k];
  }
  for (Py_ssize_t i = nargs; i < kParameterCount; ++i) {
    if (values[i] == nullptr) return count_error(i);
  }
  return 0;
}

}  // namespace dulse
