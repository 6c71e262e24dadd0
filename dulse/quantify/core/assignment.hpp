// Gene assignment of one record: the genes whose intervals overlap any of its aligned blocks on
// a compatible strand, pooled over all blocks.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/interval_index.hpp"
#include "core/native_index.hpp"
#include "support/errors.hpp"
#include "py/py_ref.hpp"

namespace dulse {

// The answer of an assignment, a tuple (gene ID or None, ambiguous): (None, False) for no gene,
// (gene, False) for exactly one distinct gene ID, (None, True) for two or more. The two answers
// without a gene are shared constants, created by init_assignment_results() at import.
extern PyObject* no_gene_result;
extern PyObject* ambiguous_result;

int init_assignment_results();

// Walks the record's blocks in order, skipping those with start >= end without touching the
// index, and stops at the second distinct gene, before the remaining blocks are even converted.
// Returns a new reference to the answer, or nullptr with the exception set.
template <class Record>
PyObject* _assign_alignment_to_gene_fast(Record& record, PyObject* entry, int32_t strand_mode) {
  const char* const routine = "_assign_alignment_to_gene_fast";
  PyRef genes(PySet_New(nullptr));
  if (!genes) return DULSE_TRACEBACK(routine), nullptr;
  typename Record::Blocks blocks;
  int any = blocks.open(record);
  if (any < 0) return DULSE_TRACEBACK(routine), nullptr;
  if (!any) return Py_NewRef(no_gene_result);
  for (;;) {
    int32_t start, end;
    int got = blocks.next(&start, &end);
    if (got < 0) return DULSE_TRACEBACK(routine), nullptr;
    if (!got) break;
    if (start >= end) continue;
    int two = _genes_overlapping_block_fast(entry, start, end, record, strand_mode, genes.get());
    if (two < 0) return DULSE_TRACEBACK(routine), nullptr;
    if (two) return Py_NewRef(ambiguous_result);
  }
  if (PySet_GET_SIZE(genes.get()) == 0) return Py_NewRef(no_gene_result);
  PyRef gene(PySet_Pop(genes.get()));
  PyObject* result = gene ? PyTuple_Pack(2, gene.get(), Py_False) : nullptr;
  if (result == nullptr) DULSE_TRACEBACK(routine);
  return result;
}

// The same assignment over an entry in native form, with no Python object made: the answer is
// kNoGene, kGene with *gene set to the gene's number, kAmbiguous, or kFailed with the exception
// set.
enum class NativeAnswer { kFailed, kNoGene, kGene, kAmbiguous };

template <class Record>
NativeAnswer _assign_alignment_to_gene_native(Record& record, const NativeEntry& entry,
                                     int32_t strand_mode, int32_t* gene) {
  typename Record::Blocks blocks;
  NativeGeneSet genes;
  int status = blocks.open(record);
  int32_t start, end;
  while (status > 0 && (status = blocks.next(&start, &end)) > 0) {
    if (start >= end) continue;
    int two = _genes_overlapping_block_native(entry, start, end, record, strand_mode, genes);
    if (two > 0) return NativeAnswer::kAmbiguous;
    if (two < 0) status = -1;
  }
  if (status < 0) {
    DULSE_TRACEBACK("_assign_alignment_to_gene_fast");
    return NativeAnswer::kFailed;
  }
  *gene = genes.gene();
  return *gene < 0 ? NativeAnswer::kNoGene : NativeAnswer::kGene;
}

}  // namespace dulse
