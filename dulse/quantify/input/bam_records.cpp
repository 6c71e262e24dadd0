#include "input/bam_records.hpp"

#include <sys/stat.h>

#include <climits>
#include <cmath>
#include <cstring>

#include "core/weight.hpp"
#include "input/pysam_records.hpp"
#include "support/convert.hpp"
#include "support/names.hpp"
#include "py/py_ref.hpp"

namespace dulse {

namespace {

template <class T>
T load(const uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof value);  // BAM is little-endian, as is every host we build on
  return value;
}

// int() of a float: NaN raises ValueError (the record then weighs 1.0), an infinity fails.
int nh_from_double(double value, int32_t* out) {
  if (std::isnan(value)) return 1;
  if (std::isinf(value)) {
    PyErr_SetString(PyExc_OverflowError, "cannot convert float infinity to integer");
    return -1;
  }
  double truncated = std::trunc(value);
  if (truncated >= 9223372036854775808.0 || truncated < -9223372036854775808.0) {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
    return -1;
  }
  return int64_to_int32(static_cast<int64_t>(truncated), out);
}

// pysam maps a B subtype to an array typecode; any other subtype gives typecode NUL, which
// array.array rejects.
char array_typecode(uint8_t subtype) {
  static const char htslib_types[] = "cCsSiIf";
  static const char python_types[] = "bBhHiIf";
  const char* found = subtype != 0 ? std::strchr(htslib_types, subtype) : nullptr;
  return found != nullptr ? python_types[found - htslib_types] : '\0';
}

// As pysam decodes text: the bytes up to the NUL, as UTF-8 with its current error handler.
PyRef text_value(const bam::AuxValue& value) {
  PyRef utils(PyImport_ImportModule("pysam.libcutils"));
  if (!utils) return PyRef();
  PyRef handler(PyObject_CallMethod(utils.get(), "get_encoding_error_handler", nullptr));
  if (!handler) return PyRef();
  PyRef bytes(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(value.text),
                                        static_cast<Py_ssize_t>(value.text_len)));
  if (!bytes) return PyRef();
  return PyRef(PyObject_CallMethod(bytes.get(), "decode", "sO", "utf-8", handler.get()));
}

PyRef array_value(const bam::AuxValue& value, const uint8_t* aux_end) {
  PyRef array_module(PyImport_ImportModule("array"));
  if (!array_module) return PyRef();
  char typecode[2] = {array_typecode(static_cast<uint8_t>(value.subtype)), '\0'};
  PyRef array(PyObject_CallMethod(array_module.get(), "array", "s#", typecode, Py_ssize_t{1}));
  if (!array || value.count == 0) return array;
  if (value.count > INT32_MAX) {  // pysam reads the count as signed: its array resize fails
    PyErr_NoMemory();
    return PyRef();
  }
  // htslib checks the length in 32-bit arithmetic, which can wrap; never read past the area.
  uint64_t bytes = uint64_t{value.count} * value.elem_size;
  if (bytes > static_cast<uint64_t>(aux_end - value.text)) {
    PyErr_SetString(PyExc_ValueError, "B array longer than its record");
    return PyRef();
  }
  PyRef result(PyObject_CallMethod(array.get(), "frombytes", "y#",
                                   reinterpret_cast<const char*>(value.text),
                                   static_cast<Py_ssize_t>(bytes)));
  return result ? std::move(array) : PyRef();
}

}  // namespace

int BamRecord::nh(int32_t* out) {
  const bam::AuxValue value = bam::decode_aux(nh_, *record_);
  switch (value.kind) {
    case bam::AuxValue::kInteger:
      return int64_to_int32(value.integer, out);
    case bam::AuxValue::kReal:
      return nh_from_double(value.real, out);
    case bam::AuxValue::kChar: {
      uint8_t c = value.text[0];
      if (c >= 0x80) {  // pysam formats the byte as a signed char
        PyErr_SetString(PyExc_OverflowError, "%c arg not in range(0x110000)");
        return -1;
      }
      if (c < '0' || c > '9') return 1;  // int() of any other single character: ValueError
      *out = c - '0';
      return 0;
    }
    default: {
      if (python_runs_ != nullptr) ++*python_runs_;
      PyRef object = value.kind == bam::AuxValue::kArray
                         ? array_value(value, record_->aux + record_->aux_len)
                         : text_value(value);
      return object ? nh_from_object(object.get(), out) : -1;
    }
  }
}

int BamRecord::Blocks::next(int32_t* start, int32_t* end) {
  for (; op_ != end_; op_ += 4) {
    uint32_t op = load<uint32_t>(op_);
    uint32_t length = op >> 4;
    switch (op & 0xf) {
      case 0: case 7: case 8: {  // M = X
        uint32_t from = position_;
        position_ += length;
        op_ += 4;
        int64_t to = static_cast<uint32_t>(from + length);
        if (int64_to_int32(from, start) < 0 || int64_to_int32(to, end) < 0) return -1;
        return 1;
      }
      case 2: case 3:  // D N
        position_ += length;
        break;
      default:
        break;
    }
  }
  return 0;
}

int BamRecordSource::next() {
  int status = reader_.next();
  if (status > 0) {
    record_.bind(&reader_.record());
    return 1;
  }
  if (status == -1) return 0;
  return raise_read_error(status);
}

// A broken file fails as it fails through pysam: pysam's own reader is led over the records to
// the same error, so that its exception, and the state its file is left in (whose close() may
// then fail as well), are the ones the caller sees. Only if pysam, unexpectedly, reads on to
// the end is the error raised here, as pysam's iterator words it.
int BamRecordSource::raise_read_error(int status) {
  PysamRecordSource pysam_records;
  if (pysam_records.open(file_.get()) < 0) return -1;
  int got;
  while ((got = pysam_records.next()) > 0) {
  }
  if (got < 0) return -1;
  if (status == -2) {
    PyErr_SetString(PyExc_OSError, "truncated file");
  } else {
    PyErr_Format(PyExc_OSError, "error %d while reading file", status);
  }
  return -1;
}

namespace {

PyObject* startup_pysam = nullptr;
PyObject* startup_alignment_file = nullptr;

}  // namespace

int remember_startup_pysam(PyObject* pysam) {
  // Not pysam as we know it: every file then goes through its record objects.
  PyObject* alignment_file = PyObject_GetAttr(pysam, names.AlignmentFile);
  if (alignment_file == nullptr) {
    PyErr_Clear();
    return 0;
  }
  if (!PyType_Check(alignment_file)) {
    Py_DECREF(alignment_file);
    return 0;
  }
  startup_pysam = Py_NewRef(pysam);
  startup_alignment_file = alignment_file;
  return 0;
}

int open_native_reader(PyObject* pysam, PyObject* file, bam::Reader& reader) {
  if (startup_pysam == nullptr || pysam != startup_pysam) return 0;
  if (reinterpret_cast<PyObject*>(Py_TYPE(file)) != startup_alignment_file) return 0;
  PyRef opener(PyObject_GetAttr(pysam, names.AlignmentFile));
  PyRef filename(opener ? PyObject_GetAttr(file, names.filename) : nullptr);
  if (!filename) {
    PyErr_Clear();
    return 0;
  }
  if (opener.get() != startup_alignment_file || !PyBytes_CheckExact(filename.get())) return 0;
  const char* path = PyBytes_AS_STRING(filename.get());
  if (std::strlen(path) != static_cast<size_t>(PyBytes_GET_SIZE(filename.get())) ||
      std::strcmp(path, "-") == 0 || std::strstr(path, "://") != nullptr) {
    return 0;
  }
  struct stat info;
  if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  return reader.open(path) == 0 ? 1 : 0;
}

}  // namespace dulse
