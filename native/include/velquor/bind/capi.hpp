// The binding layer: references, the lock, arguments, buffers, exports, method tables, checks.
//
// One small set of RAII types and helpers that every extension module of the
// package uses: reference ownership, the interpreter lock, argument binding with
// the interpreter's standard messages, float / 32-bit int conversion, float64
// buffer views, the capsule export table, native method tables published in class
// dictionaries, traceback entries from native code and the single-initialisation
// guard.  Nothing here is specific to one module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace vq {

// ---------------------------------------------------------------------------
// References
// ---------------------------------------------------------------------------

/// Move-only owner of one strong reference (or of nothing).
class Ref {
public:
    Ref() noexcept = default;
    /// Take ownership of a new reference (may be null).
    static Ref steal(PyObject* o) noexcept { Ref r; r.p_ = o; return r; }
    /// Add a reference to a borrowed object (may be null) and own it.
    static Ref borrow(PyObject* o) noexcept { Py_XINCREF(o); return steal(o); }

    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) { PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr)); Py_XDECREF(old); }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    /// Give up ownership: the caller now owns the reference.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// The interpreter lock
// ---------------------------------------------------------------------------

/// Releases the interpreter lock for its lifetime (the caller must hold it).
class GilRelease {
public:
    GilRelease() noexcept : ts_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(ts_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    PyThreadState* thread_state() const noexcept { return ts_; }

private:
    PyThreadState* ts_;
};

/// Takes the interpreter lock re-entrantly for its lifetime: safe whether or not
/// the calling thread already holds it.
class GilEnsure {
public:
    GilEnsure() noexcept : s_(PyGILState_Ensure()) {}
    ~GilEnsure() { PyGILState_Release(s_); }
    GilEnsure(const GilEnsure&) = delete;
    GilEnsure& operator=(const GilEnsure&) = delete;

private:
    PyGILState_STATE s_;
};

/// Is an exception pending on the calling thread?  Callable with or without the
/// interpreter lock; every native caller asks this after a call that may raise.
/// (Defined inline below, with the cheap checks.)
inline bool error_pending() noexcept;

/// Raise `type(message)`, taking the lock for it.
void raise_locked(PyObject* type, const char* message) noexcept;

/// Add a traceback entry naming `funcname` to the pending exception.  Takes the
/// lock; does nothing when no exception is pending.
void add_traceback(const char* funcname, const char* filename, int lineno) noexcept;

}  // namespace vq

/// Add a traceback entry for the pending exception, naming `qualname`.
#define VQ_TRACEBACK(qualname) ::vq::add_traceback((qualname), __FILE__, __LINE__)

namespace vq {

// ---------------------------------------------------------------------------
// Argument binding (lock held)
// ---------------------------------------------------------------------------

/// A callable's parameters: all positional-or-keyword, the first `n_required`
/// of them required.
struct Signature {
    const char* name;              ///< name used in messages, e.g. "log_opacity"
    const char* const* params;     ///< parameter names, `n_params` of them
    int n_params;
    int n_required;
};

/// Bind a vectorcall-style argument list (METH_FASTCALL | METH_KEYWORDS) to
/// `out[0 .. n_params)`; unset optional parameters are left untouched.  Raises
/// TypeError in the interpreter's standard wording and returns false on error.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) noexcept;

/// The same for a tuple and an optional dict (tp_new, tp_init).
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) noexcept;

/// Refuse every argument (for methods that take none).
bool bind_none(const char* name, Py_ssize_t nargs, PyObject* kwnames) noexcept;

/// Float conversion: an exact float directly, anything else through the
/// interpreter's float conversion, whose error propagates.
inline bool to_double(PyObject* o, double* out) noexcept {
    if (PyFloat_CheckExact(o)) { *out = PyFloat_AS_DOUBLE(o); return true; }
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

/// 32-bit int conversion: an int directly, any other object through its
/// `__int__` (a float truncates toward zero).  TypeError "an integer is
/// required" without one; OverflowError outside the 32-bit range.
bool to_int32(PyObject* o, int32_t* out) noexcept;

/// Truth value: True, False and None directly, anything else via the truth test.
inline bool to_truth(PyObject* o, bool* out) noexcept {
    if (o == Py_True) { *out = true; return true; }
    if (o == Py_False || o == Py_None) { *out = false; return true; }
    int r = PyObject_IsTrue(o);
    if (r < 0) return false;
    *out = r != 0;
    return true;
}

/// TypeError "Argument '<name>' must not be None" when `o` is None.
bool require_not_none(PyObject* o, const char* argname) noexcept;

/// TypeError "Argument '<name>' has incorrect type (expected T, got U)" unless `o`
/// is an instance of `type` (or None when `none_ok`).
bool require_type(PyObject* o, PyTypeObject* type, const char* argname, bool none_ok) noexcept;

/// The same with exact type matching (no subclasses).
bool require_exact_type(PyObject* o, PyTypeObject* type, const char* argname, bool none_ok) noexcept;

/// Format a float as `format(x, fmt)` does, e.g. fmt = ".3f".
Ref format_double(double x, const char* format) noexcept;

/// str() of a float, as the interpreter renders it (10.0, 1e+20, nan).
Ref str_double(double x) noexcept;

// ---------------------------------------------------------------------------
// Buffer views of float64 data (lock held to acquire and release)
// ---------------------------------------------------------------------------

/// A writable, C-contiguous view of a float64 buffer with a fixed number of
/// dimensions.  Refusals: None -> TypeError naming the argument; an object with
/// no buffer -> the interpreter's TypeError; read-only or non-contiguous -> the
/// exporter's own error; wrong dimension count, element type or item size ->
/// ValueError.
class F64View {
public:
    F64View() noexcept = default;
    F64View(const F64View&) = delete;
    F64View& operator=(const F64View&) = delete;
    F64View(F64View&& o) noexcept : view_(o.view_), held_(std::exchange(o.held_, false)) {}
    F64View& operator=(F64View&& o) noexcept {
        if (this != &o) { release(); view_ = o.view_; held_ = std::exchange(o.held_, false); }
        return *this;
    }
    ~F64View() { release(); }

    /// Acquire a view of `obj` with `ndim` dimensions; false with an exception set.
    bool acquire(PyObject* obj, int ndim, const char* argname) noexcept;
    void release() noexcept {
        if (held_) { PyBuffer_Release(&view_); held_ = false; }
    }

    bool held() const noexcept { return held_; }
    double* data() const noexcept { return static_cast<double*>(view_.buf); }
    Py_ssize_t shape(int k) const noexcept { return view_.shape[k]; }
    Py_ssize_t size() const noexcept { return view_.len / static_cast<Py_ssize_t>(sizeof(double)); }
    PyObject* exporter() const noexcept { return view_.obj; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// ---------------------------------------------------------------------------
// Native exports between modules
// ---------------------------------------------------------------------------

/// Name of the module attribute (a dict) that maps export names to capsules.
inline constexpr const char* kExportTable = "__native_api__";
/// Name of the class-dictionary entry that holds a class's method-table capsule.
inline constexpr const char* kMethodTable = "__native_vtable__";

/// Put `ptr` into the module's export table under `name`, tagged with the
/// signature text `tag` (a string literal: the capsule keeps the pointer).
bool export_pointer(PyObject* module, const char* name, void* ptr, const char* tag) noexcept;

template <class Fn>
bool export_function(PyObject* module, const char* name, Fn* fn, const char* tag) noexcept {
    return export_pointer(module, name, reinterpret_cast<void*>(fn), tag);
}

/// Import `module` and take the export `name`, whose tag must equal `tag`
/// exactly.  ImportError when the module, its table or the name is missing,
/// TypeError when the tag differs; both name the module and the entry.
void* import_pointer(const char* module, const char* name, const char* tag) noexcept;

template <class Fn>
bool import_function(const char* module, const char* name, const char* tag, Fn** out) noexcept {
    void* p = import_pointer(module, name, tag);
    if (!p) return false;
    *out = reinterpret_cast<Fn*>(p);
    return true;
}

/// Import a native variable (e.g. a double constant) and copy its value.
template <class T>
bool import_value(const char* module, const char* name, const char* tag, T* out) noexcept {
    void* p = import_pointer(module, name, tag);
    if (!p) return false;
    *out = *static_cast<const T*>(p);
    return true;
}

/// Publish a class's native method table in its dictionary (after PyType_Ready).
bool publish_method_table(PyTypeObject* type, const void* table, const char* tag) noexcept;

/// The method table published in `type`'s own dictionary, or null (no exception).
const void* method_table_of(PyTypeObject* type, const char* tag) noexcept;

/// A class bound from another module: its type (a strong reference kept for the
/// process's lifetime) and its native method table.
struct BoundClass {
    PyTypeObject* type = nullptr;
    const void* table = nullptr;
};

/// Import `module`, take its class `name` and check it: it exists (ImportError),
/// is a type (TypeError), carries a method table tagged `tag` (ImportError when
/// absent, TypeError when the tag differs), and its instances are at least
/// `compiled_size` bytes (smaller: ValueError; larger: RuntimeWarning).
bool bind_class(const char* module, const char* name, std::size_t compiled_size, const char* tag,
                BoundClass* out) noexcept;

// ---------------------------------------------------------------------------
// Module initialisation
// ---------------------------------------------------------------------------

/// Refuses a second initialisation of a module in the same process with
/// RuntimeError "Module '<name>' has already been imported. Re-initialisation is
/// not supported.".  VQ_DEFINE_MODULE uses one per module: `auto init =
/// guard.begin(); if (!init) return -1;` and `init.commit()` once the exec slot
/// has succeeded; an uncommitted attempt leaves the module importable again.
class InitGuard {
public:
    explicit constexpr InitGuard(const char* short_name) noexcept : name_(short_name) {}

    class Attempt {
    public:
        explicit Attempt(InitGuard* g) noexcept : g_(g) {}
        Attempt(Attempt&& o) noexcept : g_(std::exchange(o.g_, nullptr)) {}
        Attempt(const Attempt&) = delete;
        Attempt& operator=(const Attempt&) = delete;
        ~Attempt() { if (g_) g_->done_ = false; }
        explicit operator bool() const noexcept { return g_ != nullptr; }
        void commit() noexcept { g_ = nullptr; }

    private:
        InitGuard* g_;
    };

    Attempt begin() noexcept;

private:
    const char* name_;
    bool done_ = false;
};

/// Add `obj` (a new reference, may be null on a failed creation) to `module`
/// as `name`; consumes the reference.
bool add_object(PyObject* module, const char* name, PyObject* obj) noexcept;

}  // namespace vq

/// Define a multi-phase module whose start-up is `setup_fn`, a
/// `bool setup_fn(PyObject* module) noexcept` that returns false with an
/// exception set.  Its exec slot refuses a second initialisation in the same
/// process (InitGuard, named after the module) and runs `setup_fn` once; a
/// failed start-up leaves the module importable again.  The modules keep
/// process-wide state, so they opt out of sub-interpreters.
#if PY_VERSION_HEX >= 0x030C0000
#define VQ_MODULE_SLOTS_EXTRA {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define VQ_MODULE_SLOTS_EXTRA
#endif

#define VQ_DEFINE_MODULE(short_name, full_name, doc, methods, setup_fn)                          \
    static ::vq::InitGuard vq_init_guard_{#short_name};                                           \
    static int vq_exec_module_(PyObject* module) {                                                 \
        auto init = vq_init_guard_.begin();                                                        \
        if (!init || !setup_fn(module)) return -1;                                                 \
        init.commit();                                                                             \
        return 0;                                                                                  \
    }                                                                                              \
    static PyModuleDef_Slot vq_module_slots_[] = {                                               \
        {Py_mod_exec, reinterpret_cast<void*>(vq_exec_module_)}, VQ_MODULE_SLOTS_EXTRA {0, nullptr}}; \
    static PyModuleDef vq_module_def_ = {PyModuleDef_HEAD_INIT, full_name, doc, 0, methods,        \
                                         vq_module_slots_, nullptr, nullptr, nullptr};            \
    PyMODINIT_FUNC PyInit_##short_name(void) { return PyModuleDef_Init(&vq_module_def_); }

namespace vq {

// ---------------------------------------------------------------------------
// Cheap pending-error checks
//
// vq::error_pending() reads the exception indicator of the calling thread's own
// thread state, lock-free: only its own thread writes it.  Finding that thread
// state is most of the cost of a check, so
//  - a long native loop run with the lock released publishes the thread state
//    it saved (PublishThreadState), and every module's checks on that thread
//    find it with one thread-specific read;
//  - code that checks several times within one native call finds the state once
//    (thread_errors()) and asks error_pending(errors) afterwards: one load.
// Where the thread has no thread state at all, every check takes the lock.
// ---------------------------------------------------------------------------

/// The exception indicator that the calling thread's checks read.  Valid for
/// the rest of the native call that fetched it (the thread state cannot go away
/// under a call that runs on its thread); do not keep it across calls.
struct ThreadErrors {
    PyThreadState* ts;  ///< null: the thread has no thread state; checks take the lock
};

/// Is an exception set on `ts`?  Only the owning thread writes the field, and
/// only the owning thread calls this, so no lock is needed.
inline bool exception_set(PyThreadState* ts) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return std::atomic_ref<PyObject*>(ts->current_exception).load(std::memory_order_relaxed) != nullptr;
#else
    return std::atomic_ref<PyObject*>(ts->curexc_type).load(std::memory_order_relaxed) != nullptr;
#endif
}

/// The calling thread's current thread state: non-null exactly when it holds the lock.
inline PyThreadState* current_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

#if defined(__GNUC__)
#define VQ_MODULE_LOCAL __attribute__((visibility("hidden")))
#else
#define VQ_MODULE_LOCAL
#endif

namespace detail {
/// This module's handle on the process-wide slot where runs publish their
/// thread state: unknown until first needed, then ready or unavailable.
enum RunSlotState : int { kSlotUnknown, kSlotReady, kSlotUnavailable };
extern std::atomic<int> run_slot_state VQ_MODULE_LOCAL;
extern Py_tss_t* run_slot VQ_MODULE_LOCAL;  ///< set before run_slot_state turns ready
/// Find (or create) the slot, under the lock; null when it cannot be had.
Py_tss_t* attach_run_slot() noexcept VQ_MODULE_LOCAL;
/// The check for a thread without a thread state: under the lock.
bool error_pending_locked() noexcept VQ_MODULE_LOCAL;
}  // namespace detail

/// The thread state a run on this thread published (PublishThreadState), or null.
inline PyThreadState* published_thread_state() noexcept {
    const int state = detail::run_slot_state.load(std::memory_order_acquire);
    Py_tss_t* key = state == detail::kSlotReady     ? detail::run_slot
                    : state == detail::kSlotUnknown ? detail::attach_run_slot()
                                                    : nullptr;
    return key ? static_cast<PyThreadState*>(PyThread_tss_get(key)) : nullptr;
}

/// Find the calling thread's thread state: the one a run on this thread
/// published, else its current one when it holds the lock, else the
/// interpreter's record for this thread (null when it has none).
inline ThreadErrors thread_errors() noexcept {
    if (PyThreadState* ts = published_thread_state()) return {ts};
    if (PyThreadState* ts = current_thread_state()) return {ts};
    return {PyGILState_GetThisThreadState()};
}

inline bool error_pending() noexcept {
    if (PyThreadState* ts = thread_errors().ts) return exception_set(ts);
    return detail::error_pending_locked();
}

/// The same answer as error_pending(), from a state found by thread_errors()
/// earlier in the same native call.
inline bool error_pending(ThreadErrors e) noexcept {
    return e.ts ? exception_set(e.ts) : detail::error_pending_locked();
}

/// For its lifetime, tells the checks made on this thread (in every module)
/// which thread state to read, so that a long native loop run with the lock
/// released does not ask the interpreter for it at every check.  Create it with
/// the lock held, before releasing the lock; it publishes the current thread
/// state only when that is the interpreter's record for this thread (otherwise
/// checks find that record as before).  Nests; destroy it on the same thread.
class PublishThreadState {
public:
    PublishThreadState() noexcept;
    ~PublishThreadState();
    PublishThreadState(const PublishThreadState&) = delete;
    PublishThreadState& operator=(const PublishThreadState&) = delete;

private:
    void* key_ = nullptr;  ///< the process-wide slot, when published
    void* previous_ = nullptr;
};

}  // namespace vq

// ---------------------------------------------------------------------------
// Method tables
// ---------------------------------------------------------------------------

namespace vq {

/// Any C function of a PyMethodDef (fastcall, keywords) as the PyCFunction it holds.
template <class Fn>
PyCFunction as_cfunction(Fn* fn) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

/// __reduce__(self) and __setstate__(self, state) of classes whose construction
/// takes its arguments at allocation (METH_FASTCALL | METH_KEYWORDS): both raise
/// TypeError "no default __reduce__ due to non-trivial __cinit__".
PyObject* refuse_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* refuse_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

}  // namespace vq
