// Interned strings used for attribute lookups and calls, created once at import.
#pragma once

#include <Python.h>

namespace dulse {

struct Names {
  PyObject* pysam;
  PyObject* AlignmentFile;
  PyObject* rb;
  PyObject* get_tid;
  PyObject* fetch;
  PyObject* until_eof;
  PyObject* close;
  PyObject* items;
  PyObject* fromkeys;
  PyObject* filename;
  PyObject* is_unmapped;
  PyObject* is_secondary;
  PyObject* is_supplementary;
  PyObject* mapping_quality;
  PyObject* reference_id;
  PyObject* is_reverse;
  PyObject* get_blocks;
  PyObject* has_tag;
  PyObject* get_tag;
  PyObject* NH;
  PyObject* intervals;
  PyObject* starts;
  PyObject* prefix_max_ends;
  PyObject* plus;   // "+"
  PyObject* minus;  // "-"
};

// Valid after init_names() succeeded; the strings live as long as the process.
extern Names names;

int init_names();

}  // namespace dulse
