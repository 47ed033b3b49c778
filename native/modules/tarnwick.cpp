// Placeholder: this module is not built out yet.
#include "velquor/capi.hpp"

static int exec_module(PyObject*) { return 0; }

VQ_DEFINE_MODULE(_tarnwick, "velquor.math_utils._tarnwick", "Not yet available.", nullptr, exec_module)
