// Placeholder: this module is not built out yet.
#include "velquor/capi.hpp"

static int exec_module(PyObject*) { return 0; }

VQ_DEFINE_MODULE(_writer, "velquor.dynamics.accretion.one_zone._writer", "Not yet available.", nullptr, exec_module)
