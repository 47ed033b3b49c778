// velquor.radiation.opacity.murkwell: the grey and frequency-dependent opacity base classes.
//
// The two opacity base classes: C_GreyMurkwell (kappa(rho, T)) and C_Murkwell
// (kappa(nu, rho, T)).  Each instance carries one pointer to its class's native
// method table; native subclasses in other modules copy the table, override the
// slots and set their own pointer at allocation.  The script-facing methods
// (scalar, array, pickling) are written once here and reach the law only through
// the table, so a native law gets all of them for free.
//
// Slots may run without the interpreter lock: the defaults below take it only to
// raise (abstract slots) or to ask whether an error is pending (_opacity).
#include "velquor/bind/capi.hpp"
#include "velquor/bind/opacity.hpp"

#include <cmath>
#include <cstddef>
#include <utility>

namespace {

constexpr const char* kModuleName = "velquor.radiation.opacity.murkwell";
constexpr const char* kModuleDoc =
    "Opacity base classes.\n\n"
    "C_GreyMurkwell is a two-tier interface for grey (frequency-independent) opacities:\n"
    "a native method table that native subclasses override and that disk code calls\n"
    "directly, and script methods (scalar, array, pickling) inherited by every law.\n"
    "C_Murkwell is the corresponding template for frequency-dependent (non-grey) opacities.\n\n"
    "Units are CGS (kappa in cm^2 g^-1); every logarithm is natural.";

// The module's dictionary (strong reference, set once at import): `np` and the
// reconstructors are looked up in it at every call, as module globals are.
PyObject* module_dict = nullptr;

PyTypeObject GreyType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject FreqType = {PyVarObject_HEAD_INIT(nullptr, 0)};

using vq::as_cfunction;

GreyOpacityObject* as_grey(PyObject* o) noexcept { return reinterpret_cast<GreyOpacityObject*>(o); }
OpacityObject* as_freq(PyObject* o) noexcept { return reinterpret_cast<OpacityObject*>(o); }

// ---------------------------------------------------------------------------
// Default native operations
// ---------------------------------------------------------------------------

// Raises NotImplementedError("<class __name__><suffix>") with the lock taken.
void raise_not_implemented(void* self, const char* suffix) noexcept {
    vq::GilEnsure gil;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(static_cast<PyObject*>(self)));
    vq::Ref name = vq::Ref::steal(PyObject_GetAttrString(type, "__name__"));
    if (!name) return;
    if (!PyUnicode_CheckExact(name.get())) {
        vq::Ref empty = vq::Ref::steal(PyUnicode_FromString(""));
        if (!empty) return;
        name = vq::Ref::steal(PyObject_Format(name.get(), empty.get()));
        if (!name) return;
    }
    vq::Ref message = vq::Ref::steal(PyUnicode_FromFormat("%U%s", name.get(), suffix));
    if (!message) return;
    PyErr_SetObject(PyExc_NotImplementedError, message.get());
}

double grey_opacity(GreyOpacityObject* self, double rho, double T) noexcept {
    const double log_rho = std::log(rho);
    const double log_T = std::log(T);
    const double log_kappa = self->vtab->_log_opacity(self, log_T, log_rho);
    if (vq::error_pending()) {
        VQ_TRACEBACK("velquor.radiation.opacity.murkwell.C_GreyMurkwell._opacity");
        return 0.0;
    }
    return std::exp(log_kappa);
}

double grey_log_opacity(GreyOpacityObject* self, double, double) noexcept {
    raise_not_implemented(self, " must implement _log_opacity(log_T, log_rho).");
    VQ_TRACEBACK("velquor.radiation.opacity.murkwell.C_GreyMurkwell._log_opacity");
    return 0.0;
}

double grey_dlogkappa_dlogrho(GreyOpacityObject* self, double, double) noexcept {
    raise_not_implemented(self, " must implement _dlogkappa_dlogrho(log_T, log_rho).");
    VQ_TRACEBACK("velquor.radiation.opacity.murkwell.C_GreyMurkwell._dlogkappa_dlogrho");
    return 0.0;
}

double grey_dlogkappa_dlogT(GreyOpacityObject* self, double, double) noexcept {
    raise_not_implemented(self, " must implement _dlogkappa_dlogT(log_T, log_rho).");
    VQ_TRACEBACK("velquor.radiation.opacity.murkwell.C_GreyMurkwell._dlogkappa_dlogT");
    return 0.0;
}

double freq_opacity(OpacityObject* self, double nu, double rho, double T) noexcept {
    const double log_nu = std::log(nu);
    const double log_rho = std::log(rho);
    const double log_T = std::log(T);
    const double log_kappa = self->vtab->_log_opacity(self, log_nu, log_T, log_rho);
    if (vq::error_pending()) {
        VQ_TRACEBACK("velquor.radiation.opacity.murkwell.C_Murkwell._opacity");
        return 0.0;
    }
    return std::exp(log_kappa);
}

double freq_log_opacity(OpacityObject* self, double, double, double) noexcept {
    raise_not_implemented(self, " must implement _log_opacity(log_nu, log_T, log_rho).");
    VQ_TRACEBACK("velquor.radiation.opacity.murkwell.C_Murkwell._log_opacity");
    return 0.0;
}

double freq_dlogkappa_dlogrho(OpacityObject* self, double, double, double) noexcept {
    raise_not_implemented(self, " must implement _dlogkappa_dlogrho(log_nu, log_T, log_rho).");
    VQ_TRACEBACK("velquor.radiation.opacity.murkwell.C_Murkwell._dlogkappa_dlogrho");
    return 0.0;
}

double freq_dlogkappa_dlogT(OpacityObject* self, double, double, double) noexcept {
    raise_not_implemented(self, " must implement _dlogkappa_dlogT(log_nu, log_T, log_rho).");
    VQ_TRACEBACK("velquor.radiation.opacity.murkwell.C_Murkwell._dlogkappa_dlogT");
    return 0.0;
}

double freq_dlogkappa_dlognu(OpacityObject* self, double, double, double) noexcept {
    raise_not_implemented(self, " must implement _dlogkappa_dlognu(log_nu, log_T, log_rho).");
    VQ_TRACEBACK("velquor.radiation.opacity.murkwell.C_Murkwell._dlogkappa_dlognu");
    return 0.0;
}

// Filled once, never changed: other modules copy them and call through them.
const GreyOpacityVTable grey_table = {grey_opacity, grey_log_opacity, grey_dlogkappa_dlogrho, grey_dlogkappa_dlogT};
const OpacityVTable freq_table = {freq_opacity, freq_log_opacity, freq_dlogkappa_dlogrho, freq_dlogkappa_dlogT,
                                  freq_dlogkappa_dlognu};

// ---------------------------------------------------------------------------
// Allocation: the table pointer is set before any subclass code runs.  Any
// arguments are accepted and ignored, so subclasses define their own.
// ---------------------------------------------------------------------------

PyObject* grey_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);
    if (o) as_grey(o)->vtab = &grey_table;
    return o;
}

PyObject* freq_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);
    if (o) as_freq(o)->vtab = &freq_table;
    return o;
}

// Instances own nothing; the type reference of a script subclass is dropped by
// the interpreter's own subclass deallocator.
void opacity_dealloc(PyObject* o) { Py_TYPE(o)->tp_free(o); }

// ---------------------------------------------------------------------------
// Scalar and array methods, written once for both classes
// ---------------------------------------------------------------------------

using GreyFn = double (*)(GreyOpacityObject*, double, double);
using FreqFn = double (*)(OpacityObject*, double, double, double);

template <class Obj, class Fn, std::size_t... I>
double call_slot(Fn fn, Obj* self, const double* x, std::index_sequence<I...>) noexcept {
    return fn(self, x[I]...);
}

template <class Obj, class Fn, std::size_t... I>
double call_slot_at(Fn fn, Obj* self, const double* const* x, Py_ssize_t i, std::index_sequence<I...>) noexcept {
    return fn(self, x[I][i]...);
}

// Scalar wrapper: bind, convert in order, call the slot with the lock held.
template <class Obj, auto Slot, std::size_t N, const vq::Signature& Sig>
PyObject* scalar_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static_assert(N >= 1 && N <= 3);
    PyObject* bound[N] = {};
    if (!vq::bind(Sig, args, nargs, kwnames, bound)) return nullptr;
    double x[N];
    for (std::size_t k = 0; k < N; ++k)
        if (!vq::to_double(bound[k], &x[k])) return nullptr;
    Obj* o = reinterpret_cast<Obj*>(self);
    const double r = call_slot(o->vtab->*Slot, o, x, std::make_index_sequence<N>{});
    if (PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(r);
}

// np.empty(n, dtype=np.float64), with `np` taken from the module globals.
vq::Ref numpy_module() {
    PyObject* np = module_dict ? PyDict_GetItemString(module_dict, "np") : nullptr;  // borrowed
    if (!np) {
        PyErr_SetString(PyExc_NameError, "name 'np' is not defined");
        return {};
    }
    return vq::Ref::borrow(np);
}

vq::Ref new_float64_array(PyObject* np, Py_ssize_t n) {
    vq::Ref empty = vq::Ref::steal(PyObject_GetAttrString(np, "empty"));
    if (!empty) return {};
    vq::Ref float64 = vq::Ref::steal(PyObject_GetAttrString(np, "float64"));
    if (!float64) return {};
    vq::Ref args = vq::Ref::steal(Py_BuildValue("(n)", n));
    if (!args) return {};
    vq::Ref kwargs = vq::Ref::steal(PyDict_New());
    if (!kwargs || PyDict_SetItemString(kwargs.get(), "dtype", float64.get()) < 0) return {};
    return vq::Ref::steal(PyObject_Call(empty.get(), args.get(), kwargs.get()));
}

// Array wrapper: view every argument (float64, 1-D, C-contiguous, writable),
// evaluate the slot point by point into a fresh array, stop at the first error.
// Later arguments shorter than the first are refused before the law runs, so no
// element beyond a buffer's end is ever read.
template <class Obj, auto Slot, std::size_t N, const vq::Signature& Sig>
PyObject* array_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static_assert(N >= 1 && N <= 3);
    PyObject* bound[N] = {};
    if (!vq::bind(Sig, args, nargs, kwnames, bound)) return nullptr;
    vq::F64View in[N];
    for (std::size_t k = 0; k < N; ++k)
        if (!in[k].acquire(bound[k], 1, Sig.params[k])) return nullptr;
    const Py_ssize_t n = in[0].shape(0);
    for (std::size_t k = 1; k < N; ++k) {
        if (in[k].shape(0) < n) {
            PyErr_Format(PyExc_ValueError,
                         "%s(): argument '%s' has %zd element(s), fewer than the %zd of argument '%s'", Sig.name,
                         Sig.params[k], in[k].shape(0), n, Sig.params[0]);
            return nullptr;
        }
    }
    vq::Ref np = numpy_module();
    if (!np) return nullptr;
    vq::Ref out = new_float64_array(np.get(), n);
    if (!out) return nullptr;
    {
        vq::F64View view;
        if (!view.acquire(out.get(), 1, "out")) return nullptr;
        // `np` is a module global that scripts may rebind: never write past
        // what np.empty actually handed back.
        if (view.shape(0) != n) {
            PyErr_Format(PyExc_ValueError, "%s(): np.empty(%zd) returned an array of %zd elements", Sig.name, n,
                         view.shape(0));
            return nullptr;
        }
        const double* x[N];
        for (std::size_t k = 0; k < N; ++k) x[k] = in[k].data();
        double* dst = view.data();
        Obj* o = reinterpret_cast<Obj*>(self);
        const auto fn = o->vtab->*Slot;
        // The slot's own checks find this thread's state at once, and ours is a load.
        vq::PublishThreadState published;
        const vq::ThreadErrors errors = vq::thread_errors();
        for (Py_ssize_t i = 0; i < n; ++i) {
            dst[i] = call_slot_at(fn, o, x, i, std::make_index_sequence<N>{});
            if (vq::error_pending(errors)) return nullptr;
        }
    }
    return PyObject_CallMethod(np.get(), "asarray", "O", out.get());
}

// ---------------------------------------------------------------------------
// Pickling
// ---------------------------------------------------------------------------

// The base classes store no fields: the checksum is the first seven hex digits of
// the SHA-256 digest of the empty field list; SHA-1 and MD5 forms are accepted.
constexpr long kChecksum = 0xe3b0c44;
constexpr long kChecksumSha1 = 0xda39a3e;
constexpr long kChecksumMd5 = 0xd41d8cd;

PyObject* reduce_with(PyObject* self, const char* reconstructor_name) {
    // Owned: the __dict__ lookup and the truth test below run arbitrary code,
    // which may rebind or delete the module global.
    vq::Ref reconstructor = vq::Ref::borrow(PyDict_GetItemString(module_dict, reconstructor_name));
    if (!reconstructor) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", reconstructor_name);
        return nullptr;
    }
    // An instance without an attribute dictionary simply has no state.
    vq::Ref d = vq::Ref::steal(PyObject_GetAttrString(self, "__dict__"));
    if (!d) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
    }
    bool has_state = false;
    if (d && d.get() != Py_None) {
        const int truth = PyObject_IsTrue(d.get());
        if (truth < 0) return nullptr;
        has_state = truth != 0;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (has_state)
        return Py_BuildValue("(O(OlO)(O))", reconstructor.get(), type, kChecksum, Py_None, d.get());
    return Py_BuildValue("(O(Ol()))", reconstructor.get(), type, kChecksum);
}

PyObject* grey_reduce(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!vq::bind_none("__reduce__", nargs, kwnames)) return nullptr;
    return reduce_with(self, "_unpickle_C_GreyMurkwell");
}

PyObject* freq_reduce(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!vq::bind_none("__reduce__", nargs, kwnames)) return nullptr;
    return reduce_with(self, "_unpickle_C_Murkwell");
}

bool require_tuple(PyObject* state) {
    if (PyTuple_Check(state)) return true;
    PyErr_Format(PyExc_TypeError, "Expected tuple, got %.200s", Py_TYPE(state)->tp_name);
    return false;
}

// Applies (dict,) to the instance's attribute dictionary; () leaves it alone.
bool apply_state(PyObject* self, PyObject* state) {
    if (!require_tuple(state)) return false;
    if (PyTuple_GET_SIZE(state) == 0) return true;
    PyObject* update = PyTuple_GET_ITEM(state, 0);
    bool truth = false;
    if (!vq::to_truth(update, &truth)) return false;
    if (!truth) return true;
    vq::Ref d = vq::Ref::steal(PyObject_GetAttrString(self, "__dict__"));
    if (!d) return false;
    if (PyDict_CheckExact(d.get())) return PyDict_Update(d.get(), update) == 0;
    vq::Ref r = vq::Ref::steal(PyObject_CallMethod(d.get(), "update", "O", update));
    return static_cast<bool>(r);
}

constexpr const char* kSetstateParams[] = {"state"};
constexpr vq::Signature kSetstateSig{"__setstate__", kSetstateParams, 1, 1};

PyObject* opacity_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* state = nullptr;
    if (!vq::bind(kSetstateSig, args, nargs, kwnames, &state)) return nullptr;
    if (!apply_state(self, state)) return nullptr;
    Py_RETURN_NONE;
}

constexpr const char* kUnpickleParams[] = {"cls", "checksum", "state"};
constexpr vq::Signature kUnpickleGreySig{"_unpickle_C_GreyMurkwell", kUnpickleParams, 3, 3};
constexpr vq::Signature kUnpickleFreqSig{"_unpickle_C_Murkwell", kUnpickleParams, 3, 3};

PyObject* unpickle(PyTypeObject* base, const vq::Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
    PyObject* bound[3] = {};
    if (!vq::bind(sig, args, nargs, kwnames, bound)) return nullptr;
    int32_t checksum = 0;
    if (!vq::to_int32(bound[1], &checksum)) return nullptr;
    PyObject* state = bound[2];
    if (state != Py_None && !require_tuple(state)) return nullptr;
    if (checksum != kChecksum && checksum != kChecksumSha1 && checksum != kChecksumMd5) {
        vq::Ref pickle = vq::Ref::steal(PyImport_ImportModule("pickle"));
        if (!pickle) return nullptr;
        vq::Ref error = vq::Ref::steal(PyObject_GetAttrString(pickle.get(), "PickleError"));
        if (!error) return nullptr;
        PyErr_Format(error.get(), "Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))", checksum,
                     static_cast<int>(kChecksum), static_cast<int>(kChecksumSha1), static_cast<int>(kChecksumMd5),
                     "");
        return nullptr;
    }
    // Through the base's __new__, which refuses a `cls` that is not a subclass of
    // the base or whose own allocation the base cannot stand in for.
    vq::Ref result =
        vq::Ref::steal(PyObject_CallMethod(reinterpret_cast<PyObject*>(base), "__new__", "(O)", bound[0]));
    if (!result) return nullptr;
    if (state != Py_None && !apply_state(result.get(), state)) return nullptr;
    return result.release();
}

PyObject* unpickle_grey(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return unpickle(&GreyType, kUnpickleGreySig, args, nargs, kwnames);
}

PyObject* unpickle_freq(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return unpickle(&FreqType, kUnpickleFreqSig, args, nargs, kwnames);
}

// ---------------------------------------------------------------------------
// Method definitions
// ---------------------------------------------------------------------------

constexpr const char* kGreyLinear[] = {"rho", "T"};
constexpr const char* kGreyLog[] = {"log_T", "log_rho"};
constexpr const char* kFreqLinear[] = {"nu", "rho", "T"};
constexpr const char* kFreqLog[] = {"log_nu", "log_T", "log_rho"};

constexpr vq::Signature kGreyOpacity{"opacity", kGreyLinear, 2, 2};
constexpr vq::Signature kGreyLogOpacity{"log_opacity", kGreyLog, 2, 2};
constexpr vq::Signature kGreyDrho{"dlogkappa_dlogrho", kGreyLog, 2, 2};
constexpr vq::Signature kGreyDT{"dlogkappa_dlogT", kGreyLog, 2, 2};
constexpr vq::Signature kGreyOpacityArray{"opacity_array", kGreyLinear, 2, 2};
constexpr vq::Signature kGreyLogOpacityArray{"log_opacity_array", kGreyLog, 2, 2};
constexpr vq::Signature kGreyDrhoArray{"dlogkappa_dlogrho_array", kGreyLog, 2, 2};
constexpr vq::Signature kGreyDTArray{"dlogkappa_dlogT_array", kGreyLog, 2, 2};

constexpr vq::Signature kFreqOpacity{"opacity", kFreqLinear, 3, 3};
constexpr vq::Signature kFreqLogOpacity{"log_opacity", kFreqLog, 3, 3};
constexpr vq::Signature kFreqDrho{"dlogkappa_dlogrho", kFreqLog, 3, 3};
constexpr vq::Signature kFreqDT{"dlogkappa_dlogT", kFreqLog, 3, 3};
constexpr vq::Signature kFreqDnu{"dlogkappa_dlognu", kFreqLog, 3, 3};
constexpr vq::Signature kFreqLogOpacityArray{"log_opacity_array", kFreqLog, 3, 3};
constexpr vq::Signature kFreqDrhoArray{"dlogkappa_dlogrho_array", kFreqLog, 3, 3};
constexpr vq::Signature kFreqDTArray{"dlogkappa_dlogT_array", kFreqLog, 3, 3};
constexpr vq::Signature kFreqDnuArray{"dlogkappa_dlognu_array", kFreqLog, 3, 3};

template <auto Slot, const vq::Signature& Sig>
PyCFunction grey_scalar() { return as_cfunction(scalar_method<GreyOpacityObject, Slot, 2, Sig>); }
template <auto Slot, const vq::Signature& Sig>
PyCFunction grey_array() { return as_cfunction(array_method<GreyOpacityObject, Slot, 2, Sig>); }
template <auto Slot, const vq::Signature& Sig>
PyCFunction freq_scalar() { return as_cfunction(scalar_method<OpacityObject, Slot, 3, Sig>); }
template <auto Slot, const vq::Signature& Sig>
PyCFunction freq_array() { return as_cfunction(array_method<OpacityObject, Slot, 3, Sig>); }

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

#define VQ_GREY_ARRAY_ARGS(a, b, what)                                                   \
    "Parameters\n----------\n" a ", " b " : ndarray, dtype=float64, C-contiguous\n    " what \
    "\n\nReturns\n-------\nndarray of float64\n"

#define VQ_FREQ_ARRAY_ARGS                                                                              \
    "Parameters\n----------\nlog_nu, log_T, log_rho : ndarray, dtype=float64, C-contiguous\n"           \
    "    Natural logarithms of frequency [Hz], temperature [K] and density [g cm^-3].\n\n" \
    "Returns\n-------\nndarray of float64\n"

PyMethodDef grey_methods[] = {
    {"opacity", grey_scalar<&GreyOpacityVTable::_opacity, kGreyOpacity>(), kFast,
     PyDoc_STR("opacity($self, rho, T)\n--\n\nOpacity kappa [cm^2 g^-1] at density rho [g cm^-3] and temperature T "
               "[K], through the native _opacity.")},
    {"log_opacity", grey_scalar<&GreyOpacityVTable::_log_opacity, kGreyLogOpacity>(), kFast,
     PyDoc_STR("log_opacity($self, log_T, log_rho)\n--\n\nNatural logarithm of the opacity, ln kappa, through the "
               "native _log_opacity.")},
    {"dlogkappa_dlogrho", grey_scalar<&GreyOpacityVTable::_dlogkappa_dlogrho, kGreyDrho>(), kFast,
     PyDoc_STR("dlogkappa_dlogrho($self, log_T, log_rho)\n--\n\nDerivative d ln kappa / d ln rho, through the "
               "native _dlogkappa_dlogrho.")},
    {"dlogkappa_dlogT", grey_scalar<&GreyOpacityVTable::_dlogkappa_dlogT, kGreyDT>(), kFast,
     PyDoc_STR("dlogkappa_dlogT($self, log_T, log_rho)\n--\n\nDerivative d ln kappa / d ln T, through the native "
               "_dlogkappa_dlogT.")},
    {"opacity_array", grey_array<&GreyOpacityVTable::_opacity, kGreyOpacityArray>(), kFast,
     PyDoc_STR("opacity_array($self, rho, T)\n--\n\nOpacity kappa [cm^2 g^-1] at every point (rho[i], T[i]).\n\n"
               VQ_GREY_ARRAY_ARGS("rho", "T", "Density [g cm^-3] and temperature [K] (linear).")
               "    Opacity at every point; the same shape as the inputs.\n")},
    {"log_opacity_array", grey_array<&GreyOpacityVTable::_log_opacity, kGreyLogOpacityArray>(), kFast,
     PyDoc_STR("log_opacity_array($self, log_T, log_rho)\n--\n\nln kappa at every point (log_T[i], log_rho[i]).\n\n"
               VQ_GREY_ARRAY_ARGS("log_T", "log_rho", "Natural logarithms of temperature [K] and density [g cm^-3].")
               "    ln kappa at every point.\n")},
    {"dlogkappa_dlogrho_array", grey_array<&GreyOpacityVTable::_dlogkappa_dlogrho, kGreyDrhoArray>(), kFast,
     PyDoc_STR("dlogkappa_dlogrho_array($self, log_T, log_rho)\n--\n\nd ln kappa / d ln rho at every point.\n\n"
               VQ_GREY_ARRAY_ARGS("log_T", "log_rho", "Natural logarithms of temperature [K] and density [g cm^-3].")
               "    d ln kappa / d ln rho at every point.\n")},
    {"dlogkappa_dlogT_array", grey_array<&GreyOpacityVTable::_dlogkappa_dlogT, kGreyDTArray>(), kFast,
     PyDoc_STR("dlogkappa_dlogT_array($self, log_T, log_rho)\n--\n\nd ln kappa / d ln T at every point.\n\n"
               VQ_GREY_ARRAY_ARGS("log_T", "log_rho", "Natural logarithms of temperature [K] and density [g cm^-3].")
               "    d ln kappa / d ln T at every point.\n")},
    {"__reduce__", as_cfunction(grey_reduce), kFast,
     PyDoc_STR("__reduce__($self, /)\n--\n\nPickled form: reconstructor, class, layout checksum and state.")},
    {"__setstate__", as_cfunction(opacity_setstate), kFast,
     PyDoc_STR("__setstate__($self, state)\n--\n\nApply a pickled state tuple (attribute dictionary) to the "
               "instance.")},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef freq_methods[] = {
    {"opacity", freq_scalar<&OpacityVTable::_opacity, kFreqOpacity>(), kFast,
     PyDoc_STR("opacity($self, nu, rho, T)\n--\n\nOpacity kappa [cm^2 g^-1] at frequency nu [Hz], density rho "
               "[g cm^-3] and temperature T [K], through the native _opacity.")},
    {"log_opacity", freq_scalar<&OpacityVTable::_log_opacity, kFreqLogOpacity>(), kFast,
     PyDoc_STR("log_opacity($self, log_nu, log_T, log_rho)\n--\n\nNatural logarithm of the opacity, ln kappa, "
               "through the native _log_opacity.")},
    {"dlogkappa_dlogrho", freq_scalar<&OpacityVTable::_dlogkappa_dlogrho, kFreqDrho>(), kFast,
     PyDoc_STR("dlogkappa_dlogrho($self, log_nu, log_T, log_rho)\n--\n\nDerivative d ln kappa / d ln rho, through "
               "the native _dlogkappa_dlogrho.")},
    {"dlogkappa_dlogT", freq_scalar<&OpacityVTable::_dlogkappa_dlogT, kFreqDT>(), kFast,
     PyDoc_STR("dlogkappa_dlogT($self, log_nu, log_T, log_rho)\n--\n\nDerivative d ln kappa / d ln T, through the "
               "native _dlogkappa_dlogT.")},
    {"dlogkappa_dlognu", freq_scalar<&OpacityVTable::_dlogkappa_dlognu, kFreqDnu>(), kFast,
     PyDoc_STR("dlogkappa_dlognu($self, log_nu, log_T, log_rho)\n--\n\nDerivative d ln kappa / d ln nu, through "
               "the native _dlogkappa_dlognu.")},
    {"log_opacity_array", freq_array<&OpacityVTable::_log_opacity, kFreqLogOpacityArray>(), kFast,
     PyDoc_STR("log_opacity_array($self, log_nu, log_T, log_rho)\n--\n\nln kappa at every point.\n\n"
               VQ_FREQ_ARRAY_ARGS "    ln kappa at every point.\n")},
    {"dlogkappa_dlogrho_array", freq_array<&OpacityVTable::_dlogkappa_dlogrho, kFreqDrhoArray>(), kFast,
     PyDoc_STR("dlogkappa_dlogrho_array($self, log_nu, log_T, log_rho)\n--\n\nd ln kappa / d ln rho at every "
               "point.\n\n" VQ_FREQ_ARRAY_ARGS "    d ln kappa / d ln rho at every point.\n")},
    {"dlogkappa_dlogT_array", freq_array<&OpacityVTable::_dlogkappa_dlogT, kFreqDTArray>(), kFast,
     PyDoc_STR("dlogkappa_dlogT_array($self, log_nu, log_T, log_rho)\n--\n\nd ln kappa / d ln T at every "
               "point.\n\n" VQ_FREQ_ARRAY_ARGS "    d ln kappa / d ln T at every point.\n")},
    {"dlogkappa_dlognu_array", freq_array<&OpacityVTable::_dlogkappa_dlognu, kFreqDnuArray>(), kFast,
     PyDoc_STR("dlogkappa_dlognu_array($self, log_nu, log_T, log_rho)\n--\n\nd ln kappa / d ln nu at every "
               "point.\n\n" VQ_FREQ_ARRAY_ARGS "    d ln kappa / d ln nu at every point.\n")},
    {"__reduce__", as_cfunction(freq_reduce), kFast,
     PyDoc_STR("__reduce__($self, /)\n--\n\nPickled form: reconstructor, class, layout checksum and state.")},
    {"__setstate__", as_cfunction(opacity_setstate), kFast,
     PyDoc_STR("__setstate__($self, state)\n--\n\nApply a pickled state tuple (attribute dictionary) to the "
               "instance.")},
    {nullptr, nullptr, 0, nullptr},
};

#undef VQ_GREY_ARRAY_ARGS
#undef VQ_FREQ_ARRAY_ARGS

PyMethodDef module_methods[] = {
    {"_unpickle_C_GreyMurkwell", as_cfunction(unpickle_grey), kFast,
     PyDoc_STR("_unpickle_C_GreyMurkwell(cls, checksum, state)\n--\n\nRebuild a pickled C_GreyMurkwell (or "
               "subclass) instance.")},
    {"_unpickle_C_Murkwell", as_cfunction(unpickle_freq), kFast,
     PyDoc_STR("_unpickle_C_Murkwell(cls, checksum, state)\n--\n\nRebuild a pickled C_Murkwell (or subclass) "
               "instance.")},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Classes and module
// ---------------------------------------------------------------------------

constexpr const char* kGreyDoc =
    "C_GreyMurkwell(*args, **kwargs)\n--\n\n"
    "Abstract grey (frequency-independent) opacity kappa(rho, T).\n\n"
    "Native subclasses supply the law through the native operations _log_opacity,\n"
    "_dlogkappa_dlogrho and _dlogkappa_dlogT (and may replace _opacity, which by\n"
    "default is exp(_log_opacity)).  The scalar methods, the *_array methods and\n"
    "pickling are inherited and reach the law only through those operations.\n\n"
    "Units: kappa in cm^2 g^-1, rho in g cm^-3, T in K; logarithms are natural.\n"
    "Linear arguments are (rho, T); logarithmic ones (log_T, log_rho).\n"
    "Constructor arguments are accepted and ignored.";

constexpr const char* kFreqDoc =
    "C_Murkwell(*args, **kwargs)\n--\n\n"
    "Abstract frequency-dependent (non-grey) opacity kappa(nu, rho, T).\n\n"
    "Native subclasses supply _log_opacity and the derivatives with respect to\n"
    "ln rho, ln T and ln nu; _opacity defaults to exp(_log_opacity).\n\n"
    "Units: kappa in cm^2 g^-1, nu in Hz, rho in g cm^-3, T in K; logarithms are\n"
    "natural.  Linear arguments are (nu, rho, T); logarithmic ones\n"
    "(log_nu, log_T, log_rho).  Constructor arguments are accepted and ignored.";

bool ready_type(PyTypeObject* type, const char* name, const char* doc, newfunc new_fn, PyMethodDef* methods,
                const void* table, const char* tag) {
    if (!(type->tp_flags & Py_TPFLAGS_READY)) {
        type->tp_name = name;
        type->tp_basicsize = sizeof(GreyOpacityObject);
        type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
        type->tp_doc = doc;
        type->tp_new = new_fn;
        type->tp_dealloc = opacity_dealloc;
        type->tp_methods = methods;
        if (PyType_Ready(type) < 0) return false;
    }
    return vq::publish_method_table(type, table, tag);
}

static_assert(sizeof(GreyOpacityObject) == sizeof(OpacityObject));

bool setup(PyObject* module) noexcept {
    if (!vq::add_object(module, "np", PyImport_ImportModule("numpy"))) return false;
    if (!ready_type(&GreyType, "velquor.radiation.opacity.murkwell.C_GreyMurkwell", kGreyDoc, grey_new, grey_methods,
                    &grey_table, vq::opacity::kGreyTableTag))
        return false;
    if (!ready_type(&FreqType, "velquor.radiation.opacity.murkwell.C_Murkwell", kFreqDoc, freq_new, freq_methods,
                    &freq_table, vq::opacity::kTableTag))
        return false;
    if (!vq::add_object(module, "C_GreyMurkwell", Py_NewRef(reinterpret_cast<PyObject*>(&GreyType)))) return false;
    if (!vq::add_object(module, "C_Murkwell", Py_NewRef(reinterpret_cast<PyObject*>(&FreqType)))) return false;
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    if (!dict) return false;
    Py_XSETREF(module_dict, Py_NewRef(dict));
    return true;
}

}  // namespace

VQ_DEFINE_MODULE(murkwell, kModuleName, kModuleDoc, module_methods, setup)
