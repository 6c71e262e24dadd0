// The feature index and the counting of one alignment file, for dulse's API.
//
//   FeatureIndex(contig_names, contig, start, end, strand, gene, n_genes)
//   count_file(path, index, **settings) -> dict: "counts" holds one array per strandedness
//   rule (None for a rule not kept), "summary" featureCounts' rows under the chosen rule, or
//   under htseq-count's rules (rules=1) its five special counters
//
// count_file releases the interpreter lock while it reads the file, taking it back only to
// look for a pending signal (Ctrl-C) now and then.
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bam/alignment_input.hpp"
#include "count/assignment_writer.hpp"
#include "count/file_counter.hpp"
#include "count/htseq_samout.hpp"
#include "count/settings.hpp"
#include "index/feature_index.hpp"
#include "py/module.hpp"
#include "py/numpy.hpp"
#include "py/py_ref.hpp"

namespace dulse::py {

namespace {

struct IndexObject {
  PyObject_HEAD
  index::FeatureIndex* index;
};

PyObject* alignment_error = nullptr;  // dulse._engine.AlignmentError, owned by the module

void index_dealloc(PyObject* self) {
  delete reinterpret_cast<IndexObject*>(self)->index;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// A one-dimensional C-contiguous array of `type` and `n` elements (n < 0: any length), as a
// new reference, or nullptr with the exception set.
PyRef as_array(PyObject* object, int type, npy_intp n, const char* name) {
  PyRef array(PyArray_FROMANY(object, type, 1, 1, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED));
  if (!array) return array;
  if (n >= 0 && PyArray_DIM(reinterpret_cast<PyArrayObject*>(array.get()), 0) != n) {
    PyErr_Format(PyExc_ValueError, "%s must hold one value per feature", name);
    return PyRef();
  }
  return array;
}

template <class T>
const T* data_of(const PyRef& array) {
  return static_cast<const T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"contig_names", "contig", "start", "end",
                                   "strand",       "gene",   "n_genes", nullptr};
  PyObject *names_object, *contig_object, *start_object, *end_object, *strand_object,
      *gene_object;
  int n_genes;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOi:FeatureIndex",
                                   const_cast<char**>(keywords), &names_object, &contig_object,
                                   &start_object, &end_object, &strand_object, &gene_object,
                                   &n_genes)) {
    return nullptr;
  }
  if (n_genes < 0) {
    PyErr_SetString(PyExc_ValueError, "n_genes must be 0 or more");
    return nullptr;
  }
  PyRef names(PySequence_Fast(names_object, "contig_names must be a sequence of str"));
  if (!names) return nullptr;
  std::vector<std::string> contig_names;
  Py_ssize_t n_contigs = PySequence_Fast_GET_SIZE(names.get());
  for (Py_ssize_t c = 0; c < n_contigs; ++c) {
    Py_ssize_t length;
    const char* text = PyUnicode_AsUTF8AndSize(PySequence_Fast_GET_ITEM(names.get(), c), &length);
    if (text == nullptr) return nullptr;
    contig_names.emplace_back(text, static_cast<size_t>(length));
  }
  PyRef contig = as_array(contig_object, NPY_INT32, -1, "contig");
  if (!contig) return nullptr;
  npy_intp n = PyArray_DIM(reinterpret_cast<PyArrayObject*>(contig.get()), 0);
  PyRef start = as_array(start_object, NPY_INT32, n, "start");
  PyRef end = start ? as_array(end_object, NPY_INT32, n, "end") : PyRef();
  PyRef strand = end ? as_array(strand_object, NPY_UINT8, n, "strand") : PyRef();
  PyRef gene = strand ? as_array(gene_object, NPY_INT32, n, "gene") : PyRef();
  if (!gene) return nullptr;

  std::vector<index::FeatureIndex::Row> rows(static_cast<size_t>(n));
  for (npy_intp i = 0; i < n; ++i) {
    index::FeatureIndex::Row& row = rows[static_cast<size_t>(i)];
    row.contig = data_of<int32_t>(contig)[i];
    row.start = data_of<int32_t>(start)[i];
    row.end = data_of<int32_t>(end)[i];
    row.gene = data_of<int32_t>(gene)[i];
    uint8_t s = data_of<uint8_t>(strand)[i];
    row.strand = s == '+' ? index::kPlus : s == '-' ? index::kMinus : index::kBoth;
    if (row.contig < 0 || row.contig >= n_contigs || row.gene < 0 || row.gene >= n_genes ||
        row.start < 0 || row.start >= row.end) {
      PyErr_Format(PyExc_ValueError, "feature %zd is out of range", static_cast<Py_ssize_t>(i));
      return nullptr;
    }
  }
  PyRef self(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  auto* object = reinterpret_cast<IndexObject*>(self.get());
  try {
    object->index = new index::FeatureIndex(rows, std::move(contig_names), n_genes);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return self.release();
}

PyObject* index_n_features(PyObject* self, void*) {
  return PyLong_FromLong(reinterpret_cast<IndexObject*>(self)->index->n_features());
}

// overlaps(contig, start, end) -> [(feature row, overlap length), ...] in the index's order.
PyObject* index_overlaps(PyObject* self, PyObject* args) {
  int contig, start, end;
  if (!PyArg_ParseTuple(args, "iii:overlaps", &contig, &start, &end)) return nullptr;
  std::vector<index::Hit> hits;
  reinterpret_cast<IndexObject*>(self)->index->query(contig, start, end, hits);
  PyRef list(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  for (size_t i = 0; list && i < hits.size(); ++i) {
    PyObject* item = Py_BuildValue("(ii)", hits[i].feature, hits[i].overlap);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyMethodDef index_methods[] = {
    {"overlaps", index_overlaps, METH_VARARGS,
     "overlaps(contig, start, end): the features overlapping [start, end) of a contig, as "
     "(row, overlap length) pairs."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef index_getset[] = {
    {"n_features", index_n_features, nullptr, "The number of features indexed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_doc, const_cast<char*>("The features of an annotation, ready for counting.")},
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_getset, index_getset},
    {Py_tp_methods, index_methods},
    {0, nullptr},
};

PyType_Spec index_spec = {"dulse._engine.FeatureIndex", sizeof(IndexObject), 0,
                          Py_TPFLAGS_DEFAULT, index_slots};

PyTypeObject* index_type = nullptr;  // owned by the module

// Takes the interpreter lock back now and then to let Python notice a signal.
class SignalCheck : public count::Interrupt {
 public:
  explicit SignalCheck(PyThreadState** state) : state_(state) {}
  bool requested() override {
    PyEval_RestoreThread(*state_);
    bool stop = PyErr_CheckSignals() != 0;
    if (stop) failed_ = true;
    *state_ = PyEval_SaveThread();
    return stop;
  }
  bool failed() const { return failed_; }

 private:
  PyThreadState** state_;
  bool failed_ = false;
};

const char* status_name(count::CountStatus status) {
  switch (status) {
    case count::CountStatus::kUnreadable: return "unreadable";
    case count::CountStatus::kPairedNotAsked: return "paired-not-asked";
    case count::CountStatus::kNoPairs: return "no-pairs";
    case count::CountStatus::kOutOfOrder: return "out-of-order";
    default: return "unusable";
  }
}

PyObject* raise_alignment_error(const char* kind, const std::string& message) {
  PyRef value(Py_BuildValue("(ss)", kind, message.c_str()));
  if (value) PyErr_SetObject(alignment_error, value.get());
  return nullptr;
}

int set_item(PyObject* dict, const char* key, PyRef value) {
  return value ? PyDict_SetItemString(dict, key, value.get()) : -1;
}

PyRef counts_array(const count::GeneCounts& counts, int32_t n_genes) {
  npy_intp dims[1] = {n_genes};
  PyRef array(PyArray_SimpleNew(1, dims, NPY_FLOAT64));
  if (!array) return array;
  std::vector<double> values = counts.values();
  auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
  std::copy(values.begin(), values.end(), out);
  return array;
}

PyRef names_of(const bam::AlignmentInput& input) {
  const std::vector<std::string>& names = input.reference_names();
  PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  for (size_t i = 0; tuple && i < names.size(); ++i) {
    PyObject* name = PyUnicode_DecodeUTF8(names[i].data(), static_cast<Py_ssize_t>(names[i].size()),
                                          "replace");
    if (name == nullptr) return PyRef();
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
  }
  return tuple;
}

// (assigned, no features, ambiguous, overlapping length) under each strandedness rule.
PyRef by_rule(const count::Counters& c) {
  PyRef rules(PyTuple_New(count::kStrandednessCount));
  for (int s = 0; rules && s < count::kStrandednessCount; ++s) {
    PyObject* tally = Py_BuildValue("(LLLL)", static_cast<long long>(c.by_rule[s].assigned),
                                    static_cast<long long>(c.by_rule[s].no_features),
                                    static_cast<long long>(c.by_rule[s].ambiguity),
                                    static_cast<long long>(c.by_rule[s].overlapping_length));
    if (tally == nullptr) return PyRef();
    PyTuple_SET_ITEM(rules.get(), s, tally);
  }
  return rules;
}

PyRef logged_array(const count::GeneCounts& counts, int32_t n_genes) {
  npy_intp dims[1] = {n_genes};
  PyRef array(PyArray_SimpleNew(1, dims, NPY_BOOL));
  if (!array) return array;
  std::vector<uint8_t> logged = counts.logged_genes();
  std::copy(logged.begin(), logged.end(),
            static_cast<uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()))));
  return array;
}

// htseq-count's counters, and what tells whether the file was read as htseq-count reads it.
int add_htseq(PyObject* result, const count::FileCounter& counter,
              const count::Settings& settings, int32_t n_genes) {
  const count::Counters& c = counter.counters();
  PyRef rows(PyDict_New());
  if (!rows) return -1;
  for (const count::HtseqCounterName& row : count::kHtseqRows) {
    if (set_item(rows.get(), row.name, PyRef(PyLong_FromLongLong(c.htseq.*row.field))) < 0) {
      return -1;
    }
  }
  const count::GeneCounts& counts = counter.counts(settings.strandedness);
  PyRef logged = settings.nonunique == count::Nonunique::kFraction ? logged_array(counts, n_genes)
                                                                    : PyRef::borrow(Py_None);
  if (set_item(result, "htseq", std::move(rows)) < 0 || !logged ||
      set_item(result, "float_genes", std::move(logged)) < 0 ||
      set_item(result, "assigned", PyRef(PyLong_FromLongLong(c.htseq.assigned))) < 0 ||
      set_item(result, "missing_mates", PyRef(PyLong_FromLongLong(c.htseq.missing_mates))) < 0 ||
      set_item(result, "first_record_paired",
               PyRef(PyLong_FromLongLong(c.first_record_paired))) < 0 ||
      set_item(result, "first_single_record",
               PyRef(PyLong_FromLongLong(c.first_single_record))) < 0 ||
      set_item(result, "paired_records", PyRef(PyLong_FromLongLong(counter.paired_records()))) < 0) {
    return -1;
  }
  return 0;
}

// -J's junctions as an int64 array of rows (reference id, the index's contig or -1, left
// place, right place, count), in that order.
PyRef junctions_array(const count::JunctionCounts& junctions,
                      const std::vector<int32_t>& tid_contig) {
  std::vector<count::JunctionCounts::Row> rows;
  try {
    rows = junctions.rows();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return PyRef();
  }
  npy_intp shape[2] = {static_cast<npy_intp>(rows.size()), 5};
  PyRef array(PyArray_SimpleNew(2, shape, NPY_INT64));
  if (!array) return array;
  auto* out = static_cast<int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
  for (const count::JunctionCounts::Row& row : rows) {
    *out++ = row.tid;
    *out++ = row.tid >= 0 && static_cast<size_t>(row.tid) < tid_contig.size()
                 ? tid_contig[static_cast<size_t>(row.tid)]
                 : -1;
    *out++ = row.junction.left;
    *out++ = row.junction.right;
    *out++ = row.count;
  }
  return array;
}

// What one tally counted, into `result`: "counts" (an array per strandedness rule, None for a
// rule not kept), "summary", "by_rule", "fractional" and, with -J, "junctions".
int add_tally(PyObject* result, const count::Tally& tally, const count::Settings& settings,
              int32_t n_genes, const std::vector<int32_t>& tid_contig) {
  PyRef counts(PyTuple_New(count::kStrandednessCount));
  if (!counts) return -1;
  for (int s = 0; s < count::kStrandednessCount; ++s) {
    auto rule = static_cast<count::Strandedness>(s);
    PyRef array = count::Tally::keeps(settings, rule) ? counts_array(tally.counts[s], n_genes)
                                                      : PyRef::borrow(Py_None);
    if (!array) return -1;
    PyTuple_SET_ITEM(counts.get(), s, array.release());
  }
  bool fractional = tally.counts[static_cast<int>(settings.strandedness)].fractional();
  PyRef summary(PyDict_New());
  if (!summary) return -1;
  for (const count::CounterName& row : count::kSummaryRows) {
    if (set_item(summary.get(), row.name,
                 PyRef(PyLong_FromLongLong(tally.counters.*row.field))) < 0) {
      return -1;
    }
  }
  if (set_item(result, "counts", std::move(counts)) < 0 ||
      set_item(result, "summary", std::move(summary)) < 0 ||
      set_item(result, "by_rule", by_rule(tally.counters)) < 0 ||
      set_item(result, "fractional", PyRef(PyBool_FromLong(fractional))) < 0 ||
      set_item(result, "no_annotated_contig",
               PyRef(PyLong_FromLongLong(tally.counters.no_annotated_contig))) < 0) {
    return -1;
  }
  if (settings.count_junctions &&
      set_item(result, "junctions", junctions_array(tally.junctions, tid_contig)) < 0) {
    return -1;
  }
  return 0;
}

// With --byReadGroup: [(group ID, what add_tally gives for it)] in the header's order.
PyRef read_groups_of(const count::FileCounter& counter, const count::Settings& settings,
                     int32_t n_genes) {
  const std::vector<std::string>& names = counter.read_groups();
  PyRef groups(PyList_New(static_cast<Py_ssize_t>(names.size())));
  for (size_t g = 0; groups && g < names.size(); ++g) {
    PyRef found(PyDict_New());
    if (!found || add_tally(found.get(), counter.group_tallies()[g], settings, n_genes,
                            counter.tid_contig()) < 0) {
      return PyRef();
    }
    PyObject* pair = Py_BuildValue("(s#O)", names[g].data(),
                                   static_cast<Py_ssize_t>(names[g].size()), found.get());
    if (pair == nullptr) return PyRef();
    PyList_SET_ITEM(groups.get(), static_cast<Py_ssize_t>(g), pair);
  }
  return groups;
}

PyObject* result_of(const count::FileCounter& counter, const bam::AlignmentInput& input,
                    const count::Settings& settings, int32_t n_genes) {
  const count::Counters& c = counter.counters();
  PyRef result(PyDict_New());
  if (!result || add_tally(result.get(), counter.tally(), settings, n_genes,
                           counter.tid_contig()) < 0) {
    return nullptr;
  }
  const char* order = input.sort_order() == bam::SortOrder::kCoordinate  ? "coordinate"
                      : input.sort_order() == bam::SortOrder::kQueryName ? "queryname"
                      : input.sort_order() == bam::SortOrder::kUnsorted  ? "unsorted"
                                                                         : "unknown";
  if (set_item(result.get(), "records", PyRef(PyLong_FromLongLong(c.records))) < 0 ||
      set_item(result.get(), "pending_peak", PyRef(PyLong_FromLongLong(c.pending_peak))) < 0 ||
      set_item(result.get(), "contigs_matched",
               PyRef(PyLong_FromLong(counter.contigs_matched()))) < 0 ||
      set_item(result.get(), "reference_names", names_of(input)) < 0 ||
      set_item(result.get(), "corrupt_tags", PyRef(PyLong_FromLongLong(c.corrupt_tags))) < 0 ||
      set_item(result.get(), "sort_order", PyRef(PyUnicode_FromString(order))) < 0 ||
      set_item(result.get(), "lacks_eof_marker",
               PyRef(PyBool_FromLong(input.lacks_eof_marker()))) < 0) {
    return nullptr;
  }
  if (settings.by_read_group &&
      set_item(result.get(), "read_groups", read_groups_of(counter, settings, n_genes)) < 0) {
    return nullptr;
  }
  if (settings.htseq() && add_htseq(result.get(), counter, settings, n_genes) < 0) return nullptr;
  return result.release();
}

// A sequence of str as names; false with the exception set.
bool names_of_targets(PyObject* object, std::vector<std::string>& out) {
  PyRef names(PySequence_Fast(object, "the target names must be a sequence of str"));
  if (!names) return false;
  Py_ssize_t n = PySequence_Fast_GET_SIZE(names.get());
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_ssize_t length;
    const char* text = PyUnicode_AsUTF8AndSize(PySequence_Fast_GET_ITEM(names.get(), i), &length);
    if (text == nullptr) return false;
    out.emplace_back(text, static_cast<size_t>(length));
  }
  return true;
}

// A per-read output's (format, path, target names); false with the exception set when it is
// not that. `format` lives as long as `object`.
bool per_read_output(PyObject* object, const char* spec, const char** format, PyRef* path,
                     std::vector<std::string>& names) {
  PyObject* path_object;
  PyObject* names_object;
  if (!PyArg_ParseTuple(object, spec, format, PyUnicode_FSConverter, &path_object,
                        &names_object)) {
    return false;
  }
  *path = PyRef(path_object);
  return names_of_targets(names_object, names);
}

// assignments=(format, path, target names): "CORE", "SAM" or "BAM", the file to write, and
// the name of each target. nullptr with the exception set when they are not that.
std::unique_ptr<count::AssignmentWriter> assignment_writer(PyObject* object, PyRef* path) {
  const char* format;
  std::vector<std::string> targets;
  if (!per_read_output(object, "sO&O:assignments", &format, path, targets)) return nullptr;
  count::AssignmentWriter::Format kind;
  if (std::strcmp(format, "CORE") == 0) {
    kind = count::AssignmentWriter::Format::kCore;
  } else if (std::strcmp(format, "SAM") == 0) {
    kind = count::AssignmentWriter::Format::kSam;
  } else if (std::strcmp(format, "BAM") == 0) {
    kind = count::AssignmentWriter::Format::kBam;
  } else {
    PyErr_SetString(PyExc_ValueError, "the assignments' format must be CORE, SAM or BAM");
    return nullptr;
  }
  return std::make_unique<count::AssignmentWriter>(kind, std::move(targets));
}

// samout=(format, path, gene names): "SAM" or "BAM", the file to write, and the name of each
// gene. nullptr with the exception set when they are not that.
std::unique_ptr<count::HtseqSamout> htseq_samout(PyObject* object, PyRef* path) {
  const char* format;
  std::vector<std::string> genes;
  if (!per_read_output(object, "sO&O:samout", &format, path, genes)) return nullptr;
  bool bam = std::strcmp(format, "BAM") == 0;
  if (!bam && std::strcmp(format, "SAM") != 0) {
    PyErr_SetString(PyExc_ValueError, "the samout format must be SAM or BAM");
    return nullptr;
  }
  return std::make_unique<count::HtseqSamout>(bam, std::move(genes));
}

PyObject* count_file(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {
      "path", "index", "paired", "count_fragments", "both_ends_mapped", "exclude_chimeric",
      "check_fragment_length", "min_fragment_length", "max_fragment_length", "strandedness",
      "min_mapq", "multi_mapping", "fraction", "primary_only", "multi_overlap",
      "ignore_duplicates", "max_m_operations", "count_secondary", "count_supplementary",
      "counts_for_every_rule", "threads", "min_overlap", "min_fraction",
      "min_feature_fraction", "max_non_overlap", "max_feature_non_overlap", "largest_overlap",
      "extend5", "extend3", "read_position", "split_rule", "contig_aliases", "match_chr_prefix",
      "assignments", "rules", "overlap_mode", "nonunique", "pairing", "random_seed",
      "read1_decides", "samout", "junctions", "shift", "shift_direction", "by_read_group",
      nullptr};
  PyObject* path_object;
  PyObject* index_object;
  count::Settings settings;
  int paired = 0, fragments = 0, both = 0, chimeric = 0, length = 0, multi = 0, fraction = 0,
      primary = 0, overlap = 0, duplicates = 0, strandedness = 0, every_rule = 0, secondary = 1,
      supplementary = 1, threads = 1, largest = 0, read_position = 0, split_rule = 0, rules = 0,
      overlap_mode = 0, nonunique = 0, pairing = 0, read1_decides = 0, chr_prefix = 1,
      junctions = 0, shift_direction = 0, by_read_group = 0;
  double min_fraction = 0, min_feature_fraction = 0;
  unsigned long long seed = 0;
  PyObject* aliases = nullptr;
  PyObject* assignments_object = Py_None;
  PyObject* samout_object = Py_None;
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs, "O&O!|$pppppiiiipppppipppiiddiipiiiiO!pOiiiiKpOpiip:count_file",
          const_cast<char**>(keywords), PyUnicode_FSConverter, &path_object, index_type,
          &index_object, &paired, &fragments, &both, &chimeric, &length,
          &settings.min_fragment_length, &settings.max_fragment_length, &strandedness,
          &settings.min_mapq, &multi, &fraction, &primary, &overlap, &duplicates,
          &settings.max_m_operations, &secondary, &supplementary, &every_rule, &threads,
          &settings.min_overlap, &min_fraction, &min_feature_fraction, &settings.max_non_overlap,
          &settings.max_feature_non_overlap, &largest, &settings.extend5, &settings.extend3,
          &read_position, &split_rule, &PyDict_Type, &aliases, &chr_prefix,
          &assignments_object, &rules, &overlap_mode, &nonunique, &pairing, &seed,
          &read1_decides, &samout_object, &junctions, &settings.shift, &shift_direction,
          &by_read_group)) {
    return nullptr;
  }

  PyRef path(path_object);
  if (!(min_fraction >= 0 && min_fraction <= 1 && min_feature_fraction >= 0 &&
        min_feature_fraction <= 1)) {
    PyErr_SetString(PyExc_ValueError, "the overlap fractions must be from 0 to 1");
    return nullptr;
  }
  if (settings.extend5 < 0 || settings.extend3 < 0 || settings.shift < 0 ||
      settings.max_non_overlap < -1 || settings.max_feature_non_overlap < -1) {
    PyErr_SetString(PyExc_ValueError, "shifts, extensions and overlap limits must be 0 or more");
    return nullptr;
  }
  if (shift_direction < 0 || shift_direction > 3) {
    PyErr_SetString(PyExc_ValueError, "shift_direction must be 0, 1, 2 or 3");
    return nullptr;
  }
  settings.shift_direction = static_cast<count::Shift>(shift_direction);
  if (read_position != 0 && read_position != 3 && read_position != 5) {
    PyErr_SetString(PyExc_ValueError, "read_position must be 0, 3 or 5");
    return nullptr;
  }
  if (split_rule < 0 || split_rule > 2) {
    PyErr_SetString(PyExc_ValueError, "split_rule must be 0, 1 or 2");
    return nullptr;
  }
  if (aliases != nullptr) {
    PyObject *key, *value;
    Py_ssize_t at = 0;
    while (PyDict_Next(aliases, &at, &key, &value)) {
      Py_ssize_t key_length, value_length;
      const char* key_text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &key_length)
                                                  : nullptr;
      const char* value_text =
          key_text != nullptr && PyUnicode_Check(value)
              ? PyUnicode_AsUTF8AndSize(value, &value_length)
              : nullptr;
      if (value_text == nullptr) {
        if (!PyErr_Occurred()) {
          PyErr_SetString(PyExc_TypeError, "contig_aliases must map str to str");
        }
        return nullptr;
      }
      settings.contig_aliases[std::string(key_text, static_cast<size_t>(key_length))] =
          std::string(value_text, static_cast<size_t>(value_length));
    }
  }
  // featureCounts keeps the fractions as single-precision floats.
  settings.min_fraction = static_cast<float>(min_fraction);
  settings.min_feature_fraction = static_cast<float>(min_feature_fraction);
  settings.largest_overlap = largest;
  settings.match_chr_prefix = chr_prefix;
  std::unique_ptr<count::AssignmentWriter> writer;
  PyRef assignments_path;
  if (assignments_object != Py_None) {
    writer = assignment_writer(assignments_object, &assignments_path);
    if (!writer) return nullptr;
    settings.keep_records = true;
  }
  std::unique_ptr<count::HtseqSamout> samout;
  PyRef samout_path;
  if (samout_object != Py_None) {
    samout = htseq_samout(samout_object, &samout_path);
    if (!samout) return nullptr;
    settings.keep_records = true;
  }
  settings.read_position = static_cast<int8_t>(read_position);
  settings.split_rule = static_cast<count::SplitRule>(split_rule);
  if (strandedness < 0 || strandedness >= count::kStrandednessCount) {
    PyErr_SetString(PyExc_ValueError, "strandedness must be 0, 1 or 2");
    return nullptr;
  }
  if (rules < 0 || rules > 1 || overlap_mode < 0 || overlap_mode > 2 || nonunique < 0 ||
      nonunique > 3 || pairing < 0 || pairing > 1) {
    PyErr_SetString(PyExc_ValueError, "rules, overlap_mode, nonunique or pairing out of range");
    return nullptr;
  }
  settings.rules = static_cast<count::Rules>(rules);
  settings.overlap_mode = static_cast<count::OverlapMode>(overlap_mode);
  settings.nonunique = static_cast<count::Nonunique>(nonunique);
  settings.pairing = static_cast<count::Pairing>(pairing);
  settings.random_seed = seed;
  settings.read1_decides = read1_decides;
  settings.count_junctions = junctions && !settings.htseq();
  settings.by_read_group = by_read_group && !settings.htseq();
  settings.paired = paired;
  settings.count_fragments = fragments;
  settings.both_ends_mapped = both;
  settings.exclude_chimeric = chimeric;
  settings.check_fragment_length = length;
  settings.strandedness = static_cast<count::Strandedness>(strandedness);
  settings.multi_mapping = multi;
  settings.fraction = fraction;
  settings.primary_only = primary;
  settings.multi_overlap = overlap;
  settings.ignore_duplicates = duplicates;
  settings.counts_for_every_rule = every_rule;
  settings.count_secondary = secondary;
  settings.count_supplementary = supplementary;
  if (threads < 1 || threads > 256) {
    PyErr_SetString(PyExc_ValueError, "threads must be from 1 to 256");
    return nullptr;
  }
  if (settings.max_m_operations < 1) {
    PyErr_SetString(PyExc_ValueError, "max_m_operations must be at least 1");
    return nullptr;
  }

  const index::FeatureIndex& index = *reinterpret_cast<IndexObject*>(index_object)->index;
  if (writer != nullptr && writer->n_targets() != static_cast<size_t>(index.n_genes())) {
    PyErr_SetString(PyExc_ValueError, "the assignments need one name per target of the index");
    return nullptr;
  }
  if (samout != nullptr && (settings.rules != count::Rules::kHtseq ||
                            samout->n_genes() != static_cast<size_t>(index.n_genes()))) {
    PyErr_SetString(PyExc_ValueError, "samout needs htseq-count's rules and one name per gene");
    return nullptr;
  }
  PyRef keep_index = PyRef::borrow(index_object);
  const char* name = PyBytes_AS_STRING(path.get());
  bam::AlignmentInput input;
  count::FileCounter counter(index, settings);
  int opened;
  int saved_errno = 0;
  count::CountStatus status = count::CountStatus::kDone;
  PyThreadState* state = PyEval_SaveThread();
  SignalCheck signals(&state);
  // The engine reads what featureCounts reads: sequences are never used for counting.
  input.set_lenient(true);
  input.set_whole_records(writer != nullptr || samout != nullptr);
  if (settings.by_read_group) input.keep_header_text();
  opened = input.open(name, &signals);
  saved_errno = errno;
  // The first output that could not be opened or written, and errno's value for it.
  PyRef* unwritten = nullptr;
  int written_errno = 0;
  try {
    if (opened == 0 && writer != nullptr) {
      // The per-read output keeps the count on this thread; its threads compress.
      if (!writer->open(PyBytes_AS_STRING(assignments_path.get()), input, threads)) {
        unwritten = &assignments_path;
      }
      counter.set_log(writer.get());
    }
    if (opened == 0 && unwritten == nullptr && samout != nullptr) {
      if (!samout->open(PyBytes_AS_STRING(samout_path.get()), input, threads)) {
        unwritten = &samout_path;
      }
      counter.set_htseq_log(samout.get());
    }
    if (opened == 0 && unwritten == nullptr) status = counter.count(input, threads, &signals);
    if (opened == 0 && samout != nullptr && !samout->close() && unwritten == nullptr) {
      unwritten = &samout_path;
    }
  } catch (const std::bad_alloc&) {
    status = count::CountStatus::kNoMemory;
  }
  if (opened == 0 && writer != nullptr && !writer->close() && unwritten == nullptr) {
    unwritten = &assignments_path;
  }
  if (unwritten != nullptr) {
    written_errno = unwritten == &samout_path ? samout->error() : writer->error();
  }
  PyEval_RestoreThread(state);
  // A signal's handler raised while the file was read: that exception is the answer.
  if (PyErr_Occurred()) return nullptr;

  if (opened == bam::AlignmentInput::kCannotOpen) {
    errno = saved_errno;
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_object);
  }
  if (opened != 0) return raise_alignment_error("unusable", input.message());
  if (status == count::CountStatus::kNoMemory) return PyErr_NoMemory();
  if (status == count::CountStatus::kCancelled) {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
  }
  if (status != count::CountStatus::kDone) {
    return raise_alignment_error(status_name(status), counter.message());
  }
  if (unwritten != nullptr) {
    errno = written_errno != 0 ? written_errno : EIO;
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, unwritten->get());
  }
  return result_of(counter, input, settings, index.n_genes());
}

PyMethodDef methods[] = {
    {"count_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(count_file)),
     METH_VARARGS | METH_KEYWORDS,
     "count_file(path, index, **settings) -> dict: counts one BAM or SAM file."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_counting(PyObject* module) {
  index_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&index_spec));
  if (index_type == nullptr || PyModule_AddObjectRef(module, "FeatureIndex",
                                                      reinterpret_cast<PyObject*>(index_type)) < 0) {
    return -1;
  }
  alignment_error = PyErr_NewExceptionWithDoc(
      "dulse._engine.AlignmentError",
      "An alignment file that cannot be counted: args are (kind, message).", nullptr, nullptr);
  if (alignment_error == nullptr ||
      PyModule_AddObjectRef(module, "AlignmentError", alignment_error) < 0) {
    return -1;
  }
  return PyModule_AddFunctions(module, methods);
}

}  // namespace dulse::py
