// The extension module dulse.quantify._core_fast: its definition, its create and exec steps,
// and the function object quantify_bam_fast.
#include <Python.h>

#include <cstdint>

#include "binding.hpp"
#include "core/assignment.hpp"
#include "input/bam_records.hpp"
#include "run.hpp"
#include "support/convert.hpp"
#include "support/errors.hpp"
#include "support/names.hpp"
#include "py/py_ref.hpp"

namespace dulse {
namespace {

// The module exists once per process and serves one interpreter: the first that imports it.
int64_t first_interpreter_id = -1;
PyObject* the_module = nullptr;

const char kDoc[] =
    "\n"
    "    Quantify one BAM using one compiled execution path.\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "    counts\n"
    "        Dictionary mapping gene IDs to weighted counts.\n"
    "\n"
    "    raw_stats\n"
    "        Tuple containing:\n"
    "        total_records,\n"
    "        primary_mapped_records,\n"
    "        below_mapq,\n"
    "        multimapping_discarded,\n"
    "        no_annotated_contig,\n"
    "        no_feature,\n"
    "        ambiguous,\n"
    "        assigned_records,\n"
    "        assigned_weight\n"
    "    ";

PyObject* quantify_bam_fast(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  PyObject* values[kParameterCount];
  Options options;
  int use_nh_tag = -1;
  PyObject* result = nullptr;
  if (bind_arguments(args, nargs, kwnames, values) == 0 &&
      as_int32(values[3], &options.strand_mode) == 0 &&
      as_int32(values[4], &options.mapq_min) == 0 &&
      as_int32(values[5], &options.multi_mode) == 0 && (use_nh_tag = truth(values[6])) >= 0) {
    options.use_nh_tag = use_nh_tag != 0;
    result = quantify(module, values[0], values[1], values[2], options);
  }
  if (result == nullptr) DULSE_TRACEBACK("quantify_bam_fast");
  return result;
}

PyMethodDef function_def = {
    "quantify_bam_fast",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(quantify_bam_fast)),
    METH_FASTCALL | METH_KEYWORDS,
    kDoc,
};

PyObject* create_module(PyObject* spec, PyModuleDef*) {
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  if (first_interpreter_id == -1) {
    first_interpreter_id = id;
  } else if (first_interpreter_id != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (the_module != nullptr) return Py_NewRef(the_module);
  PyRef name(PyObject_GetAttrString(spec, "name"));
  return name ? PyModule_NewObject(name.get()) : nullptr;
}

int exec_module(PyObject* module) {
  if (the_module != nullptr) {
    if (the_module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module '_core_fast' has already been imported. Re-initialisation is not "
                    "supported.");
    return -1;
  }
  if (init_names() < 0 || init_assignment_results() < 0) return -1;
  PyRef pysam(PyImport_ImportModule("pysam"));
  if (!pysam || PyModule_AddObjectRef(module, "pysam", pysam.get()) < 0) return -1;
  if (remember_startup_pysam(pysam.get()) < 0) return -1;
  PyRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  PyRef function(PyCFunction_NewEx(&function_def, module, module_name.get()));
  if (!function || PyModule_AddObjectRef(module, "quantify_bam_fast", function.get()) < 0) {
    return -1;
  }
  the_module = Py_NewRef(module);
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_core_fast",
    nullptr,  // no docstring
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace dulse

PyMODINIT_FUNC PyInit__core_fast(void) { return PyModuleDef_Init(&dulse::module_def); }
