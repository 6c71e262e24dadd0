#include "run.hpp"

#include "input/bam_records.hpp"
#include "native_path.hpp"
#include "object_path.hpp"
#include "record_loop.hpp"
#include "support/errors.hpp"
#include "support/names.hpp"
#include "py/py_ref.hpp"
#include "tid_table.hpp"

namespace dulse {

namespace {

PyRef counts_from(PyObject* gene_ids) {
  PyRef zero(PyFloat_FromDouble(0.0));
  if (!zero) return PyRef();
  PyObject* args[] = {reinterpret_cast<PyObject*>(&PyDict_Type), gene_ids, zero.get()};
  return PyRef(PyObject_VectorcallMethod(names.fromkeys, args,
                                         3, nullptr));
}

// The module's global `pysam`, then the built-in of that name, as Python name lookup finds it.
PyRef module_global(PyObject* module, PyObject* name) {
  PyObject* globals = PyModule_GetDict(module);
  PyObject* value = PyDict_GetItemWithError(globals, name);
  if (value == nullptr && !PyErr_Occurred()) {
    value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (value == nullptr && !PyErr_Occurred()) {
      PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
  }
  return PyRef::borrow(value);
}

PyRef open_alignment_file(PyObject* pysam, PyObject* bam_path) {
  PyRef opener(PyObject_GetAttr(pysam, names.AlignmentFile));
  if (!opener) return PyRef();
  PyObject* args[] = {bam_path, names.rb};
  return PyRef(PyObject_Vectorcall(opener.get(), args, 2, nullptr));
}

// close() on every way out once the file is open: on a failure the pending exception is set
// aside while close() runs and raised again afterwards, unless close() fails too, whose
// exception then wins with the first as its context.
int close_file(PyObject* file, int status) {
  auto close = [file] {
    PyRef result(PyObject_CallMethodNoArgs(file, names.close));
    return result ? 0 : -1;
  };
  return status < 0 ? run_preserving_exception(close) : close();
}

PyObject* make_result(PyObject* counts, const Counters& c) {
  PyRef stats(Py_BuildValue("(LLLLLLLLd)", static_cast<long long>(c.total_records),
                            static_cast<long long>(c.primary_mapped_records),
                            static_cast<long long>(c.below_mapq),
                            static_cast<long long>(c.multimapping_discarded),
                            static_cast<long long>(c.no_annotated_contig),
                            static_cast<long long>(c.no_feature),
                            static_cast<long long>(c.ambiguous),
                            static_cast<long long>(c.assigned_records), c.assigned_weight));
  if (!stats) return nullptr;
  return PyTuple_Pack(2, counts, stats.get());
}

// Looking contigs up by name can make htslib parse the header text and add the @SQ lines that
// the binary reference list lacks; pysam's iterator then accepts reference ids up to the grown
// count, and so does our reader.
void follow_header_growth(PyObject* file, bam::Reader& reader) {
  PyRef count(PyObject_GetAttrString(file, "nreferences"));
  long n = count && PyLong_Check(count.get()) ? PyLong_AsLong(count.get()) : -1;
  if (n > reader.n_targets() && n <= INT32_MAX) reader.set_n_targets(static_cast<int32_t>(n));
  PyErr_Clear();
}

// The record loop over our own decoder when it could open the file, else over pysam's records.
int count_records(PyObject* file, PyObject* gene_index, PyObject* tid_table, PyObject* counts,
                  bam::Reader* reader, const Options& options, Counters& counters) {
  if (build_tid_table(file, gene_index, tid_table) < 0) return -1;
  if (reader != nullptr) {
    follow_header_growth(file, *reader);
    NativePath path(*reader, file, counts);
    if (path.prepare(tid_table, reader->n_targets()) < 0) return -1;
    if (record_loop(path, options, counters) < 0) return -1;
    return path.finish();
  }
  ObjectPath path(tid_table, counts);
  if (path.open(file) < 0) return -1;
  return record_loop(path, options, counters);
}

}  // namespace

PyObject* quantify(PyObject* module, PyObject* bam_path, PyObject* gene_ids,
                   PyObject* gene_index, const Options& options) {
  PyRef counts = counts_from(gene_ids);
  if (!counts) return nullptr;
  PyRef tid_table(PyDict_New());
  if (!tid_table) return nullptr;
  PyRef pysam = module_global(module, names.pysam);
  if (!pysam) return nullptr;
  PyRef file = open_alignment_file(pysam.get(), bam_path);
  if (!file) return nullptr;

  // Our reader opens the same file right away, before any code of the caller's can run.
  bam::Reader reader;
  bool native = open_native_reader(pysam.get(), file.get(), reader) == 1;

  Counters counters;
  int status = count_records(file.get(), gene_index, tid_table.get(), counts.get(),
                             native ? &reader : nullptr, options, counters);
  reader.close();
  if (close_file(file.get(), status) < 0) return nullptr;
  tid_table.reset();
  return make_result(counts.get(), counters);
}

}  // namespace dulse
