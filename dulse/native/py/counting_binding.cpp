// The feature index and the counting of one alignment file, for dulse's API.
#include "py/module.hpp"

namespace dulse::py {

int add_counting(PyObject*) { return 0; }

}  // namespace dulse::py
