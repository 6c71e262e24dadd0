// Annotation files read natively, for dulse.annotation.
#include "py/module.hpp"

namespace dulse::py {

int add_annotation(PyObject*) { return 0; }

}  // namespace dulse::py
