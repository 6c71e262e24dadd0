// One quantification run: open the file, build the TidTable, walk every record, close, and
// return (counts, raw_stats).
#pragma once

#include <Python.h>

#include <cstdint>

namespace dulse {

struct Options {
  int32_t strand_mode;
  int32_t mapq_min;
  int32_t multi_mode;
  bool use_nh_tag;
};

// Returns a new reference to (counts, raw_stats), or nullptr with the exception set. `module`
// is the extension module, whose global `pysam` is looked up at every call.
PyObject* quantify(PyObject* module, PyObject* bam_path, PyObject* gene_ids,
                   PyObject* gene_index, const Options& options);

}  // namespace dulse
