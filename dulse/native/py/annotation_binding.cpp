// Annotation files read natively, for dulse.annotation: the reader, the featureCounts columns
// and the merged interval index of the counting module, all over numpy arrays.
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "annotation/annotation_reader.hpp"
#include "annotation/featurecounts_layout.hpp"
#include "annotation/merged_index.hpp"
#include "annotation/read_error.hpp"
#include "py/module.hpp"
#include "py/numpy.hpp"
#include "py/py_ref.hpp"

namespace dulse::py {
namespace {

namespace ann = dulse::annotation;

PyObject* annotation_error = nullptr;  // dulse.errors.AnnotationError, owned by the module

PyArrayObject* as_ndarray(const PyRef& array) {
  return reinterpret_cast<PyArrayObject*>(array.get());
}

// A new one-dimensional array of n elements of `type`, or nullptr with the exception set.
PyRef new_array(int type, size_t n) {
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  return PyRef(PyArray_SimpleNew(1, dims, type));
}

template <class T>
PyRef array_of(int type, const std::vector<T>& values) {
  PyRef array = new_array(type, values.size());
  if (array && !values.empty()) {
    std::copy(values.begin(), values.end(), static_cast<T*>(PyArray_DATA(as_ndarray(array))));
  }
  return array;
}

// A str from UTF-8 text; bytes of the file name that are not UTF-8 come back as they were.
PyRef text(const std::string& utf8) {
  return PyRef(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()),
                                    "surrogateescape"));
}

PyRef texts(const std::vector<std::string>& items) {
  PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  if (!tuple) return tuple;
  for (size_t k = 0; k < items.size(); ++k) {
    PyObject* item = text(items[k]).release();
    if (item == nullptr) return PyRef();
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), item);
  }
  return tuple;
}

PyRef texts(const ann::GeneTexts& gene_texts) {
  const size_t n = gene_texts.offsets.size() - 1;
  PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(n)));
  if (!tuple) return tuple;
  for (size_t g = 0; g < n; ++g) {
    const size_t begin = gene_texts.offsets[g];
    const auto length = static_cast<Py_ssize_t>(gene_texts.offsets[g + 1] - begin);
    PyObject* item =
        PyUnicode_DecodeUTF8(gene_texts.text.data() + begin, length, "surrogateescape");
    if (item == nullptr) return PyRef();
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(g), item);
  }
  return tuple;
}

// A tuple of str as UTF-8 strings; false with a TypeError naming `what` otherwise.
bool strings_of(PyObject* tuple, const char* what, std::vector<std::string>* out) {
  if (!PyTuple_Check(tuple)) {
    PyErr_Format(PyExc_TypeError, "%s must be a tuple of str", what);
    return false;
  }
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(tuple); ++k) {
    PyObject* item = PyTuple_GET_ITEM(tuple, k);
    Py_ssize_t length;
    const char* utf8 = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &length) : nullptr;
    if (utf8 == nullptr) {
      if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s must be a tuple of str", what);
      return false;
    }
    out->emplace_back(utf8, static_cast<size_t>(length));
  }
  return true;
}

void raise_read_error(const ann::ReadError& error) {
  PyRef message = text(error.what());
  if (!message) return;
  PyRef instance(PyObject_CallOneArg(annotation_error, message.get()));
  if (!instance) return;
  if (error.kind() == ann::ErrorKind::kMissingGene &&
      PyObject_SetAttrString(instance.get(), "gene_missing", Py_True) < 0) {
    return;
  }
  PyErr_SetObject(annotation_error, instance.get());
}

template <class T>
void free_vector(PyObject* capsule) {
  delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, nullptr));
}

// A numpy array that takes `values` over, without a copy; the vector is freed with the array.
template <class T>
PyRef adopt(std::vector<T>& values, int type) {
  if (values.empty()) return new_array(type, 0);
  auto* owned = new std::vector<T>(std::move(values));
  PyRef capsule(PyCapsule_New(owned, nullptr, free_vector<T>));
  if (!capsule) {
    delete owned;
    return PyRef();
  }
  npy_intp dims[1] = {static_cast<npy_intp>(owned->size())};
  PyRef array(PyArray_SimpleNewFromData(1, dims, type, owned->data()));
  if (!array || PyArray_SetBaseObject(as_ndarray(array), capsule.release()) < 0) return PyRef();
  return array;
}

// The rows of a table as numpy arrays, which take the table's columns over.
bool feature_arrays(ann::FeatureTable& table, PyRef out[5]) {
  out[0] = adopt(table.contig, NPY_INT32);
  out[1] = out[0] ? adopt(table.start, NPY_INT32) : PyRef();
  out[2] = out[1] ? adopt(table.end, NPY_INT32) : PyRef();
  out[3] = out[2] ? adopt(table.strand, NPY_UINT8) : PyRef();
  out[4] = out[3] ? adopt(table.gene, NPY_INT32) : PyRef();
  return static_cast<bool>(out[4]);
}

ann::FeatureColumns columns_of(PyRef arrays[5], int32_t n_contigs, int32_t n_genes) {
  ann::FeatureColumns c;
  c.contig = static_cast<const int32_t*>(PyArray_DATA(as_ndarray(arrays[0])));
  c.start = static_cast<const int32_t*>(PyArray_DATA(as_ndarray(arrays[1])));
  c.end = static_cast<const int32_t*>(PyArray_DATA(as_ndarray(arrays[2])));
  c.strand = static_cast<const uint8_t*>(PyArray_DATA(as_ndarray(arrays[3])));
  c.gene = static_cast<const int32_t*>(PyArray_DATA(as_ndarray(arrays[4])));
  c.n = static_cast<size_t>(PyArray_DIM(as_ndarray(arrays[0]), 0));
  c.n_contigs = n_contigs;
  c.n_genes = n_genes;
  return c;
}

// Each feature row's value of the attribute, as featureCounts' -f writes it: (the distinct
// values, then kNoValue; per row an int32 index into them, kNoValue's where the row has none).
PyRef row_values(const ann::ExtraAttribute& attribute) {
  const size_t none = attribute.values.size();
  PyRef values(PyTuple_New(static_cast<Py_ssize_t>(none + 1)));
  if (!values) return values;
  for (size_t k = 0; k <= none; ++k) {
    PyObject* item =
        (k < none ? text(attribute.values[k]) : text(std::string(ann::kNoValue))).release();
    if (item == nullptr) return PyRef();
    PyTuple_SET_ITEM(values.get(), static_cast<Py_ssize_t>(k), item);
  }
  PyRef codes = new_array(NPY_INT32, attribute.value_of.size());
  if (!codes) return codes;
  auto* code = static_cast<int32_t*>(PyArray_DATA(as_ndarray(codes)));
  for (int32_t v : attribute.value_of) *code++ = v < 0 ? static_cast<int32_t>(none) : v;
  return PyRef(PyTuple_Pack(2, values.get(), codes.get()));
}

// {name: (featureCounts' values per gene, htseq-count's values per gene, featureCounts' values
// per feature row)} for the extra attributes.
PyRef extra_values(const ann::FeatureTable& table, const ann::FeatureColumns& columns) {
  PyRef extras(PyDict_New());
  if (!extras || table.extras.empty()) return extras;
  std::vector<ann::GeneTexts> by_featurecounts, by_htseq;
  bool no_memory = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    ann::GeneListing listing = ann::list_gene_rows(columns);
    for (const ann::ExtraAttribute& extra : table.extras) {
      by_featurecounts.push_back(ann::featurecounts_values(listing, extra));
      by_htseq.push_back(ann::htseq_values(columns, extra));
    }
  } catch (const std::bad_alloc&) {
    no_memory = true;
  }
  Py_END_ALLOW_THREADS
  if (no_memory) return PyRef(PyErr_NoMemory());
  for (size_t k = 0; k < table.extras.size(); ++k) {
    PyRef name = text(table.extras[k].name);
    PyRef first = name ? texts(by_featurecounts[k]) : PyRef();
    PyRef second = first ? texts(by_htseq[k]) : PyRef();
    PyRef third = second ? row_values(table.extras[k]) : PyRef();
    PyRef all = third ? PyRef(PyTuple_Pack(3, first.get(), second.get(), third.get())) : PyRef();
    if (!all || PyDict_SetItem(extras.get(), name.get(), all.get()) < 0) return PyRef();
  }
  return extras;
}

PyObject* read_annotation(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path",           "file_format", "feature_types",
                                   "gene_attributes", "skip_missing", "extra_attributes",
                                   nullptr};
  PyObject* path_bytes = nullptr;
  const char* format_name = nullptr;
  PyObject *types_object, *attributes_object, *extras_object;
  int skip_missing;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&zOOpO:read_annotation",
                                   const_cast<char**>(keywords), PyUnicode_FSConverter,
                                   &path_bytes, &format_name, &types_object, &attributes_object,
                                   &skip_missing, &extras_object)) {
    return nullptr;
  }
  PyRef path(path_bytes);
  ann::ReadOptions options;
  options.path.assign(PyBytes_AS_STRING(path.get()),
                      static_cast<size_t>(PyBytes_GET_SIZE(path.get())));
  options.shown = options.path;
  options.skip_missing = skip_missing != 0;
  if (format_name != nullptr) {
    const std::string name = format_name;
    if (name == "GTF") {
      options.format = ann::Format::kGtf;
    } else if (name == "GFF3") {
      options.format = ann::Format::kGff3;
    } else if (name == "SAF") {
      options.format = ann::Format::kSaf;
    } else {
      PyErr_Format(PyExc_ValueError, "file_format must be GTF, GFF3 or SAF, not '%s'",
                   format_name);
      return nullptr;
    }
  }
  ann::Selection& selection = options.selection;
  if (!strings_of(types_object, "feature_types", &selection.feature_types) ||
      !strings_of(attributes_object, "gene_attributes", &selection.gene_attributes) ||
      !strings_of(extras_object, "extra_attributes", &selection.extra_attributes)) {
    return nullptr;
  }
  if (selection.feature_types.empty() || selection.gene_attributes.empty()) {
    PyErr_SetString(PyExc_ValueError, "feature_types and gene_attributes must not be empty");
    return nullptr;
  }

  ann::ReadResult result;
  std::optional<ann::ReadError> error;
  bool no_memory = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    result = ann::read_annotation(options);
  } catch (const ann::ReadError& e) {
    error.emplace(e);
  } catch (const std::bad_alloc&) {
    no_memory = true;
  }
  Py_END_ALLOW_THREADS
  if (error) {
    raise_read_error(*error);
    return nullptr;
  }
  if (no_memory) return PyErr_NoMemory();

  ann::FeatureTable& table = result.table;
  PyRef arrays[5];
  if (!feature_arrays(table, arrays)) return nullptr;
  const ann::FeatureColumns columns = columns_of(arrays, static_cast<int32_t>(table.contigs.size()),
                                                 static_cast<int32_t>(table.genes.size()));
  PyRef extras = extra_values(table, columns);
  PyRef genes = extras ? texts(table.genes) : PyRef();
  PyRef contigs = genes ? texts(table.contigs) : PyRef();
  PyRef skipped_message = contigs ? text(result.first_skipped_message) : PyRef();
  if (!skipped_message) return nullptr;
  return Py_BuildValue("{s:s,s:O,s:O,s:(OOOOO),s:O,s:l,s:l,s:O}",
                       "file_format", ann::format_name(result.format),
                       "gene_ids", genes.get(), "contigs", contigs.get(),
                       "features", arrays[0].get(), arrays[1].get(), arrays[2].get(),
                       arrays[3].get(), arrays[4].get(),
                       "extra_attributes", extras.get(),
                       "skipped", result.skipped,
                       "first_skipped_line", result.first_skipped_line,
                       "first_skipped_message", skipped_message.get());
}

// The five feature arrays of the arguments, C-contiguous and of the right types, with
// contigs and genes in range; false with the exception set.
bool parse_features(PyObject* const objects[5], int32_t n_contigs, int32_t n_genes,
                    PyRef arrays[5]) {
  static const int types[5] = {NPY_INT32, NPY_INT32, NPY_INT32, NPY_UINT8, NPY_INT32};
  static const char* names[5] = {"contig", "start", "end", "strand", "gene"};
  for (int k = 0; k < 5; ++k) {
    arrays[k] = PyRef(PyArray_FROMANY(objects[k], types[k], 1, 1,
                                      NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED));
    if (!arrays[k]) return false;
    if (PyArray_DIM(as_ndarray(arrays[k]), 0) != PyArray_DIM(as_ndarray(arrays[0]), 0)) {
      PyErr_Format(PyExc_ValueError, "%s must hold one value per feature", names[k]);
      return false;
    }
  }
  const ann::FeatureColumns c = columns_of(arrays, n_contigs, n_genes);
  for (size_t r = 0; r < c.n; ++r) {
    if (c.contig[r] < 0 || c.contig[r] >= n_contigs || c.gene[r] < 0 || c.gene[r] >= n_genes ||
        c.start[r] < 0 || c.start[r] >= c.end[r] ||
        (c.strand[r] != '+' && c.strand[r] != '-' && c.strand[r] != '.')) {
      PyErr_Format(PyExc_ValueError, "feature %zd is out of range", static_cast<Py_ssize_t>(r));
      return false;
    }
  }
  return true;
}

PyObject* featurecounts_columns(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"contigs", "contig", "start", "end",
                                   "strand",  "gene",   "n_genes", nullptr};
  PyObject* contigs_object;
  PyObject* objects[5];
  int n_genes;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOi:featurecounts_columns",
                                   const_cast<char**>(keywords), &contigs_object, &objects[0],
                                   &objects[1], &objects[2], &objects[3], &objects[4],
                                   &n_genes)) {
    return nullptr;
  }
  std::vector<std::string> contigs;
  if (!strings_of(contigs_object, "contigs", &contigs)) return nullptr;
  PyRef arrays[5];
  const auto n_contigs = static_cast<int32_t>(contigs.size());
  if (n_genes < 0 || !parse_features(objects, n_contigs, n_genes, arrays)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "n_genes must not be negative");
    return nullptr;
  }
  const ann::FeatureColumns c = columns_of(arrays, n_contigs, n_genes);
  ann::GeneListing listing;
  bool no_memory = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    listing = ann::list_gene_rows(c);
  } catch (const std::bad_alloc&) {
    no_memory = true;
  }
  Py_END_ALLOW_THREADS
  if (no_memory) return PyErr_NoMemory();
  PyRef tuple(PyTuple_New(n_genes));
  if (!tuple) return nullptr;
  std::string line;
  for (int32_t g = 0; g < n_genes; ++g) {
    line.clear();
    ann::append_layout_columns(c, listing, contigs, g, line);
    PyObject* item = text(line).release();
    if (item == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), g, item);
  }
  return tuple.release();
}

PyObject* merged_intervals(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"contig", "start", "end", "strand", "gene",
                                   "n_contigs", "n_genes", nullptr};
  PyObject* objects[5];
  int n_contigs, n_genes;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOii:merged_intervals",
                                   const_cast<char**>(keywords), &objects[0], &objects[1],
                                   &objects[2], &objects[3], &objects[4], &n_contigs,
                                   &n_genes)) {
    return nullptr;
  }
  PyRef arrays[5];
  if (n_contigs < 0 || n_genes < 0 || !parse_features(objects, n_contigs, n_genes, arrays)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "counts must not be negative");
    return nullptr;
  }
  const ann::FeatureColumns c = columns_of(arrays, n_contigs, n_genes);
  ann::MergedIntervals merged;
  bool no_memory = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    merged = ann::merge_intervals(c);
  } catch (const std::bad_alloc&) {
    no_memory = true;
  }
  Py_END_ALLOW_THREADS
  if (no_memory) return PyErr_NoMemory();
  PyRef out[5] = {array_of(NPY_INT32, merged.contig), array_of(NPY_INT32, merged.start),
                  array_of(NPY_INT32, merged.end), array_of(NPY_UINT8, merged.strand),
                  array_of(NPY_INT32, merged.gene)};
  for (const PyRef& array : out) {
    if (!array) return nullptr;
  }
  return PyTuple_Pack(5, out[0].get(), out[1].get(), out[2].get(), out[3].get(), out[4].get());
}

PyMethodDef methods[] = {
    {"read_annotation",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_annotation)),
     METH_VARARGS | METH_KEYWORDS,
     "read_annotation(path, file_format, feature_types, gene_attributes, skip_missing, "
     "extra_attributes)\n--\n\nReads an annotation file into feature arrays and names."},
    {"featurecounts_columns",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(featurecounts_columns)),
     METH_VARARGS | METH_KEYWORDS,
     "featurecounts_columns(contigs, contig, start, end, strand, gene, n_genes)\n--\n\n"
     "Per gene, featureCounts' Chr, Start, End, Strand and Length columns, tab-separated."},
    {"merged_intervals",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(merged_intervals)),
     METH_VARARGS | METH_KEYWORDS,
     "merged_intervals(contig, start, end, strand, gene, n_contigs, n_genes)\n--\n\n"
     "The merged intervals of each gene and strand, in the interval index's order."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_annotation(PyObject* module) {
  PyRef errors(PyImport_ImportModule("dulse.errors"));
  if (!errors) return -1;
  PyRef error_class(PyObject_GetAttrString(errors.get(), "AnnotationError"));
  if (!error_class) return -1;
  annotation_error = error_class.get();
  if (PyModule_AddObject(module, "AnnotationError", error_class.get()) < 0) return -1;
  error_class.release();  // the module holds it now
  return PyModule_AddFunctions(module, methods);
}

}  // namespace dulse::py
