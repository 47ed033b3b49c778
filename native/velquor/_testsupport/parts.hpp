// velquor._testsupport: what the parts of the test-support module share.
//
// The module is built from one source per role: the scripted closure
// (scripted.cpp), the benchmark floors (floors.cpp), the third-party-style
// raisers (raisers.cpp) and the probes of the binding layer (probes.cpp);
// module.cpp binds what they share and adds each part to the module.
#pragma once

#include "velquor/bind/capi.hpp"
#include "velquor/bind/disk.hpp"

namespace vq::testsupport {

/// OneZoneClosure with its method table, bound when the module is imported.
extern vq::BoundClass closure_class;

/// Each adds its part's classes and functions to the module (false with an
/// exception set).
bool add_scripted(PyObject* module) noexcept;
bool add_floors(PyObject* module) noexcept;
bool add_raisers(PyObject* module) noexcept;
bool add_probes(PyObject* module) noexcept;

}  // namespace vq::testsupport
