// Binding of the root finder: its module and the tags of its three exports.
//
// Where its three native entry points live and the signature texts they are
// exported under (the types and the solvers are in
// velquor/core/brent.hpp, the statuses in velquor/core/status.hpp).
#pragma once

#include "velquor/bind/capi.hpp"
#include "velquor/core/brent.hpp"

namespace vq::root {

inline constexpr const char* kModule = "velquor.math_utils._tarnwick";
inline constexpr const char* kExpandBracketTag =
    "int (int (double, void *, double *), void *, double, double, double, int, double, double, double, "
    "double *, double *, double *, double *)";
inline constexpr const char* kBrentRootTag =
    "int (int (double, void *, double *), void *, double, double, double, double, double, double, int, "
    "double *)";
inline constexpr const char* kFindRootTag =
    "int (int (double, void *, double *), void *, double, double, double, int, double, double, double, "
    "double, double, int, double *)";

/// Bind find_root from the root-finder module (lock held, at import).
inline bool bind_find_root(find_root_fn* out) noexcept {
    return vq::import_function(kModule, "find_root", kFindRootTag, out);
}

/// Bind brent_root from the root-finder module (lock held, at import).
inline bool bind_brent_root(brent_root_fn* out) noexcept {
    return vq::import_function(kModule, "brent_root", kBrentRootTag, out);
}

}  // namespace vq::root
