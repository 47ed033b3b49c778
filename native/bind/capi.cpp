// The binding layer, compiled once and linked into every module.
//
// Implementation of the shared binding layer (see velquor/bind/capi.hpp).
#include "velquor/bind/capi.hpp"

#include <frameobject.h>

#include <atomic>
#include <climits>
#include <cstring>

namespace vq {

// ---------------------------------------------------------------------------
// Errors raised from code that may run without the lock
// ---------------------------------------------------------------------------

namespace detail {

bool error_pending_locked() noexcept {
    GilEnsure gil;
    return PyErr_Occurred() != nullptr;
}

// The slot where a run publishes its thread state (PublishThreadState) is one
// thread-specific key for the whole process, shared by every module: the first
// module that needs it creates it and leaves it in the interpreter's dictionary
// as a capsule, and each module keeps its own copy of the pointer.  The key is
// never freed: a loop may still read it while the interpreter shuts down.
constexpr const char* kRunSlotName = "velquor.native.run_thread_state";

std::atomic<int> run_slot_state{kSlotUnknown};
Py_tss_t* run_slot = nullptr;

namespace {

Py_tss_t* find_or_create_run_slot() noexcept {
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
    if (!dict) return nullptr;
    PyObject* capsule = PyDict_GetItemString(dict, kRunSlotName);  // borrowed
    if (capsule) return static_cast<Py_tss_t*>(PyCapsule_GetPointer(capsule, kRunSlotName));
    Py_tss_t* key = PyThread_tss_alloc();
    if (!key) return nullptr;
    if (PyThread_tss_create(key) != 0) {
        PyThread_tss_free(key);
        return nullptr;
    }
    Ref fresh = Ref::steal(PyCapsule_New(key, kRunSlotName, nullptr));
    if (!fresh || PyDict_SetItemString(dict, kRunSlotName, fresh.get()) < 0) {
        PyThread_tss_delete(key);
        PyThread_tss_free(key);
        return nullptr;
    }
    return key;
}

}  // namespace

// Once per module, under the lock; a failure only costs speed, never an error,
// and whatever exception was pending is left exactly as it was.
Py_tss_t* attach_run_slot() noexcept {
    GilEnsure gil;
    const int state = run_slot_state.load(std::memory_order_acquire);
    if (state != kSlotUnknown) return state == kSlotReady ? run_slot : nullptr;
    PyObject* pending = PyErr_GetRaisedException();
    Py_tss_t* key = find_or_create_run_slot();
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    run_slot = key;
    run_slot_state.store(key ? kSlotReady : kSlotUnavailable, std::memory_order_release);
    return key;
}

}  // namespace detail

PublishThreadState::PublishThreadState() noexcept {
    PyThreadState* ts = PyThreadState_Get();
    if (ts != PyGILState_GetThisThreadState()) return;
    Py_tss_t* key = detail::run_slot_state.load(std::memory_order_acquire) == detail::kSlotReady
                        ? detail::run_slot
                        : detail::attach_run_slot();
    if (!key) return;
    previous_ = PyThread_tss_get(key);
    if (PyThread_tss_set(key, ts) != 0) return;
    key_ = key;
}

PublishThreadState::~PublishThreadState() {
    if (key_) PyThread_tss_set(static_cast<Py_tss_t*>(key_), previous_);
}

void raise_locked(PyObject* type, const char* message) noexcept {
    GilEnsure gil;
    PyErr_SetString(type, message);
}


void add_traceback(const char* funcname, const char* filename, int lineno) noexcept {
    GilEnsure gil;
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    static PyObject* globals = nullptr;  // one empty namespace for all native frames
    if (!globals) globals = PyDict_New();
    const char* base = std::strrchr(filename, '/');
    PyCodeObject* code = globals ? PyCode_NewEmpty(base ? base + 1 : filename, funcname, lineno) : nullptr;
    PyFrameObject* frame = code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    // A failure to build the entry must not replace the exception being reported.
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

// ---------------------------------------------------------------------------
// Argument binding
// ---------------------------------------------------------------------------

namespace {

constexpr int kMaxParams = 16;

bool argument_count_error(const Signature& s, Py_ssize_t given) noexcept {
    const bool exact = s.n_required == s.n_params;
    Py_ssize_t count;
    const char* quantifier;
    if (given < s.n_required) {
        count = s.n_required;
        quantifier = exact ? "exactly" : "at least";
    } else {
        count = s.n_params;
        quantifier = exact ? "exactly" : "at most";
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", s.name,
                 quantifier, count, count == 1 ? "" : "s", given);
    return false;
}

// Binds one keyword argument; `filled[k]` tracks what is already bound.
bool bind_keyword(const Signature& s, PyObject* key, PyObject* value, Py_ssize_t nargs, bool* filled,
                  PyObject** out) noexcept {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", s.name);
        return false;
    }
    for (int k = 0; k < s.n_params; ++k) {
        if (PyUnicode_CompareWithASCIIString(key, s.params[k]) != 0) continue;
        if (k < nargs || filled[k]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", s.name, key);
            return false;
        }
        filled[k] = true;
        out[k] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.name, key);
    return false;
}

bool bind_positional(const Signature& s, PyObject* const* args, Py_ssize_t nargs, bool* filled,
                     PyObject** out) noexcept {
    if (nargs > s.n_params) return argument_count_error(s, nargs);
    for (Py_ssize_t k = 0; k < nargs; ++k) {
        out[k] = args[k];
        filled[k] = true;
    }
    return true;
}

bool check_required(const Signature& s, const bool* filled) noexcept {
    for (int k = 0; k < s.n_required; ++k)
        if (!filled[k]) return argument_count_error(s, k);
    return true;
}

}  // namespace

bool bind(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) noexcept {
    bool filled[kMaxParams] = {};
    if (!bind_positional(s, args, nargs, filled, out)) return false;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i)
        if (!bind_keyword(s, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], nargs, filled, out)) return false;
    return check_required(s, filled);
}

bool bind(const Signature& s, PyObject* args, PyObject* kwargs, PyObject** out) noexcept {
    bool filled[kMaxParams] = {};
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!bind_positional(s, &PyTuple_GET_ITEM(args, 0), nargs, filled, out)) return false;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!bind_keyword(s, key, value, nargs, filled, out)) return false;
    }
    return check_required(s, filled);
}

bool bind_none(const char* name, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    const Signature s{name, nullptr, 0, 0};
    if (nargs > 0) return argument_count_error(s, nargs);
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name,
                     PyTuple_GET_ITEM(kwnames, 0));
        return false;
    }
    return true;
}

bool to_int32(PyObject* o, int32_t* out) noexcept {
    Ref number;
    if (PyLong_Check(o)) {
        number = Ref::borrow(o);
    } else {
        PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
        if (!nb || !nb->nb_int) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return false;
        }
        number = Ref::steal(nb->nb_int(o));
        if (!number) return false;
        if (!PyLong_Check(number.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(number.get())->tp_name);
            return false;
        }
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int32_t>(v);
    return true;
}

bool require_not_none(PyObject* o, const char* argname) noexcept {
    if (o != Py_None) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' must not be None", argname);
    return false;
}

namespace {
bool incorrect_type(PyObject* o, PyTypeObject* type, const char* argname) noexcept {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argname,
                 type->tp_name, Py_TYPE(o)->tp_name);
    return false;
}
}  // namespace

bool require_type(PyObject* o, PyTypeObject* type, const char* argname, bool none_ok) noexcept {
    if ((none_ok && o == Py_None) || PyObject_TypeCheck(o, type)) return true;
    return incorrect_type(o, type, argname);
}

bool require_exact_type(PyObject* o, PyTypeObject* type, const char* argname, bool none_ok) noexcept {
    if ((none_ok && o == Py_None) || Py_IS_TYPE(o, type)) return true;
    return incorrect_type(o, type, argname);
}

Ref format_double(double x, const char* format) noexcept {
    Ref value = Ref::steal(PyFloat_FromDouble(x));
    if (!value) return {};
    Ref fmt = Ref::steal(PyUnicode_FromString(format));
    if (!fmt) return {};
    return Ref::steal(PyObject_Format(value.get(), fmt.get()));
}

Ref str_double(double x) noexcept {
    Ref value = Ref::steal(PyFloat_FromDouble(x));
    if (!value) return {};
    return Ref::steal(PyObject_Str(value.get()));
}

// ---------------------------------------------------------------------------
// Buffer views
// ---------------------------------------------------------------------------

namespace {

const char* describe_type_char(char c) noexcept {
    switch (c) {
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case '?': return "'bool'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'n': return "'ssize_t'";
        case 'N': return "'size_t'";
        case 'e': return "'half'";
        case 'f': return "'float'";
        case 'd': return "'double'";
        case 'g': return "'long double'";
        case 'Z': return "a complex number";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        case 's':
        case 'p': return "a string";
        case 'T': return "a struct";
        case 0: return "end";
        default: return "unparseable format string";
    }
}

// True for a native-order or little-endian double ("d", "@d", "=d", "<d").
bool is_native_double(const char* fmt, const char** what) noexcept {
    const char* f = fmt ? fmt : "B";
    bool foreign_order = false;
    if (*f == '@' || *f == '=' || *f == '<') {
        ++f;
    } else if (*f == '>' || *f == '!') {
        foreign_order = true;
        ++f;
    }
    *what = describe_type_char(*f);
    if (foreign_order && f[0] == 'd' && f[1] == 0) *what = "'double' in big-endian byte order";
    return !foreign_order && f[0] == 'd' && f[1] == 0;
}

}  // namespace

bool F64View::acquire(PyObject* obj, int ndim, const char* argname) noexcept {
    release();
    if (!require_not_none(obj, argname)) return false;
    if (PyObject_GetBuffer(obj, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) < 0) return false;
    held_ = true;
    const char* what = nullptr;
    if (view_.ndim != ndim) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim,
                     view_.ndim);
    } else if (!is_native_double(view_.format, &what)) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'", "double", "'",
                     what);
    } else if (view_.itemsize != static_cast<Py_ssize_t>(sizeof(double))) {
        const size_t got = static_cast<size_t>(view_.itemsize);
        PyErr_Format(PyExc_ValueError, "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                     got, got == 1 ? "" : "s", "double", sizeof(double), "s");
    } else if (!PyBuffer_IsContiguous(&view_, 'C')) {
        PyErr_SetString(PyExc_ValueError, "Buffer not C contiguous.");
    } else {
        return true;
    }
    release();
    return false;
}

// ---------------------------------------------------------------------------
// Export tables and method tables
// ---------------------------------------------------------------------------

bool export_pointer(PyObject* module, const char* name, void* ptr, const char* tag) noexcept {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    if (!dict) return false;
    PyObject* table = PyDict_GetItemString(dict, kExportTable);  // borrowed
    Ref fresh;
    if (!table) {
        fresh = Ref::steal(PyDict_New());
        if (!fresh || PyDict_SetItemString(dict, kExportTable, fresh.get()) < 0) return false;
        table = fresh.get();
    }
    Ref capsule = Ref::steal(PyCapsule_New(ptr, tag, nullptr));
    return capsule && PyDict_SetItemString(table, name, capsule.get()) == 0;
}

void* import_pointer(const char* module, const char* name, const char* tag) noexcept {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    if (!mod) return nullptr;
    Ref table = Ref::steal(PyObject_GetAttrString(mod.get(), kExportTable));
    if (!table || !PyDict_Check(table.get())) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot bind native '%s' from '%s': the module exports no native entries",
                     name, module);
        return nullptr;
    }
    PyObject* capsule = PyDict_GetItemString(table.get(), name);  // borrowed
    if (!capsule || !PyCapsule_CheckExact(capsule)) {
        PyErr_Format(PyExc_ImportError, "cannot bind native '%s' from '%s': no such export", name, module);
        return nullptr;
    }
    const char* got = PyCapsule_GetName(capsule);
    if (!got || std::strcmp(got, tag) != 0) {
        PyErr_Format(PyExc_TypeError, "native '%s' of '%s' has signature '%s', expected '%s'", name, module,
                     got ? got : "", tag);
        return nullptr;
    }
    return PyCapsule_GetPointer(capsule, got);
}

bool publish_method_table(PyTypeObject* type, const void* table, const char* tag) noexcept {
    Ref capsule = Ref::steal(PyCapsule_New(const_cast<void*>(table), tag, nullptr));
    if (!capsule || PyDict_SetItemString(type->tp_dict, kMethodTable, capsule.get()) < 0) return false;
    PyType_Modified(type);
    return true;
}

const void* method_table_of(PyTypeObject* type, const char* tag) noexcept {
    PyObject* capsule = type->tp_dict ? PyDict_GetItemString(type->tp_dict, kMethodTable) : nullptr;
    if (!capsule || !PyCapsule_CheckExact(capsule)) return nullptr;
    const char* got = PyCapsule_GetName(capsule);
    if (!got || std::strcmp(got, tag) != 0) return nullptr;
    return PyCapsule_GetPointer(capsule, got);
}

bool bind_class(const char* module, const char* name, std::size_t compiled_size, const char* tag,
                BoundClass* out) noexcept {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    if (!mod) return false;
    Ref cls = Ref::steal(PyObject_GetAttrString(mod.get(), name));
    if (!cls) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot bind class '%s' from '%s': no such class", name, module);
        return false;
    }
    if (!PyType_Check(cls.get())) {
        PyErr_Format(PyExc_TypeError, "cannot bind class '%s' from '%s': it is not a type", name, module);
        return false;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    // Owned: the size warning below runs Python code, which may drop the entry.
    Ref owned = Ref::borrow(type->tp_dict ? PyDict_GetItemString(type->tp_dict, kMethodTable) : nullptr);
    PyObject* capsule = owned.get();
    if (!capsule || !PyCapsule_CheckExact(capsule)) {
        PyErr_Format(PyExc_ImportError, "cannot bind class '%s' from '%s': it carries no native method table", name,
                     module);
        return false;
    }
    const char* got = PyCapsule_GetName(capsule);
    if (!got || std::strcmp(got, tag) != 0) {
        PyErr_Format(PyExc_TypeError, "method table of class '%s' from '%s' is '%s', expected '%s'", name, module,
                     got ? got : "", tag);
        return false;
    }
    const auto basicsize = static_cast<std::size_t>(type->tp_basicsize);
    if (basicsize < compiled_size) {
        PyErr_Format(PyExc_ValueError,
                     "%s.%s has instances of %zu bytes, smaller than the %zu bytes this module was built against: "
                     "binary incompatibility",
                     module, name, basicsize, compiled_size);
        return false;
    }
    if (basicsize > compiled_size &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "%s.%s has instances of %zu bytes, larger than the %zu bytes this module was built "
                         "against: may indicate binary incompatibility",
                         module, name, basicsize, compiled_size) < 0)
        return false;
    out->table = PyCapsule_GetPointer(capsule, got);
    out->type = reinterpret_cast<PyTypeObject*>(cls.release());
    return true;
}

// ---------------------------------------------------------------------------
// Module initialisation
// ---------------------------------------------------------------------------

InitGuard::Attempt InitGuard::begin() noexcept {
    if (done_) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", name_);
        return Attempt(nullptr);
    }
    done_ = true;
    return Attempt(this);
}

bool add_object(PyObject* module, const char* name, PyObject* obj) noexcept {
    if (!obj) return false;
    const int r = PyModule_AddObjectRef(module, name, obj);
    Py_DECREF(obj);
    return r == 0;
}

// ---------------------------------------------------------------------------
// Method tables
// ---------------------------------------------------------------------------

namespace {
PyObject* refuse_pickling() noexcept {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}
constexpr const char* kSetstateParams[] = {"state"};
constexpr Signature kSetstate{"__setstate__", kSetstateParams, 1, 1};
}  // namespace

PyObject* refuse_reduce(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!bind_none("__reduce__", nargs, kwnames)) return nullptr;
    return refuse_pickling();
}

PyObject* refuse_setstate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* state = nullptr;
    if (!bind(kSetstate, args, nargs, kwnames, &state)) return nullptr;
    return refuse_pickling();
}

}  // namespace vq
