// velquor._testsupport, probes: the binding layer's checks and the table search, from Python.
//
// The binding layer's import-time checks, its pending-error checks on threads
// with and without the lock, and a table opacity's _bisect and _find_cell
// through its method table.
#include "parts.hpp"

#include "velquor/bind/opacity.hpp"

#include <cstddef>
#include <thread>

namespace {

// bind_export(module, name, tag) -> address
PyObject* bind_export(PyObject*, PyObject* args) {
    const char *module, *name, *tag;
    if (!PyArg_ParseTuple(args, "sss", &module, &name, &tag)) return nullptr;
    // The tag must outlive the comparison only; import_pointer compares at once.
    void* p = vq::import_pointer(module, name, tag);
    return p ? PyLong_FromVoidPtr(p) : nullptr;
}

// bind_class(module, name, compiled_size, tag) -> class
PyObject* bind_class_checked(PyObject*, PyObject* args) {
    const char *module, *name, *tag;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "ssns", &module, &name, &size, &tag)) return nullptr;
    vq::BoundClass bound;
    if (!vq::bind_class(module, name, static_cast<std::size_t>(size), tag, &bound)) return nullptr;
    return reinterpret_cast<PyObject*>(bound.type);  // bind_class handed us a strong reference
}


vq::opacity::Bases opacity_bases;

PyMethodDef binding_methods[] = {
    {"bind_export", bind_export, METH_VARARGS,
     PyDoc_STR("bind_export(module, name, tag)\n--\n\nBind a native export by name and tag; its address.")},
    {"bind_class", bind_class_checked, METH_VARARGS,
     PyDoc_STR("bind_class(module, name, compiled_size, tag)\n--\n\n"
               "Bind a native class as an importing module does; the class.")},
    {nullptr, nullptr, 0, nullptr},
};

// -- pending-error checks ----------------------------------------------------------

/// A scalar_func for find_root: calls the _log_opacity of the grey opacity at
/// `user_data` (at ln rho = -10) and ignores what came back, as a careless
/// residual would; f(x) = x - 10.
int32_t opacity_residual(double x, void* user_data, double* f_out) noexcept {
    vq::opacity::log_opacity(user_data, x, -10.0);
    *f_out = x - 10.0;
    return 0;
}

/// What the checks of a thread that has released the lock answer.
struct LockFreeAnswers {
    int holds_lock;  ///< PyGILState_Check() at the time of the checks
    bool plain;      ///< vq::error_pending()
    bool cached;     ///< vq::error_pending(vq::thread_errors())
};

LockFreeAnswers answer_without_lock(bool raise_inside) noexcept {
    if (raise_inside) {
        const PyGILState_STATE g = PyGILState_Ensure();
        PyErr_SetString(PyExc_ValueError, "raised without the lock");
        PyGILState_Release(g);
    }
    return LockFreeAnswers{PyGILState_Check(), vq::error_pending(), vq::error_pending(vq::thread_errors())};
}

PyObject* report(const LockFreeAnswers& a, bool* was_pending) {
    *was_pending = PyErr_Occurred() != nullptr;
    PyErr_Clear();
    return Py_BuildValue("(iOOO)", a.holds_lock, a.plain ? Py_True : Py_False, a.cached ? Py_True : Py_False,
                         *was_pending ? Py_True : Py_False);
}

// check_without_lock(raise_before, raise_inside, publish) -> (holds_lock, plain, cached, pending_after)
PyObject* check_without_lock(PyObject*, PyObject* args) {
    int raise_before, raise_inside, publish;
    if (!PyArg_ParseTuple(args, "ppp", &raise_before, &raise_inside, &publish)) return nullptr;
    if (raise_before) PyErr_SetString(PyExc_ValueError, "raised before the lock was released");
    LockFreeAnswers a{};
    if (publish) {
        vq::PublishThreadState published;
        vq::GilRelease nogil;
        a = answer_without_lock(raise_inside);
    } else {
        vq::GilRelease nogil;
        a = answer_without_lock(raise_inside);
    }
    bool pending;
    return report(a, &pending);
}

// check_on_foreign_thread(raise_inside) -> (holds_lock, plain, cached, pending_after)
// The same from a thread the interpreter has never seen: it takes a thread
// state with PyGILState_Ensure, releases the lock and asks.
PyObject* check_on_foreign_thread(PyObject*, PyObject* args) {
    int raise_inside;
    if (!PyArg_ParseTuple(args, "p", &raise_inside)) return nullptr;
    LockFreeAnswers a{};
    bool pending = false;
    vq::Ref result;
    {
        vq::GilRelease nogil;
        std::thread worker([&] {
            const PyGILState_STATE g = PyGILState_Ensure();
            {
                vq::GilRelease inner;
                a = answer_without_lock(raise_inside != 0);
            }
            result = vq::Ref::steal(report(a, &pending));
            PyGILState_Release(g);
        });
        worker.join();
    }
    return result.release();
}

// no_thread_state_check() -> bool: vq::error_pending() on a thread with no
// thread state at all (the checks fall back to taking the lock).
PyObject* no_thread_state_check(PyObject*, PyObject*) {
    bool answer = true;
    {
        vq::GilRelease nogil;
        std::thread worker([&] { answer = vq::error_pending() || vq::error_pending(vq::thread_errors()); });
        worker.join();
    }
    return PyBool_FromLong(answer);
}

/// `table` as a table opacity, or null with TypeError naming `who`.
TableOpacityObject* as_table(PyObject* table, const char* who) noexcept {
    if (!PyObject_TypeCheck(table, opacity_bases.grey.type) ||
        vq::method_table_of(Py_TYPE(table), vq::opacity::kTableOpacityTag) == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s: not a table opacity", who);
        return nullptr;
    }
    return reinterpret_cast<TableOpacityObject*>(table);
}

// table_bisect(table, grid, values) -> list of int: the table's _bisect, called
// through its method table, with `grid` (its length as n) at every value.
PyObject* table_bisect(PyObject*, PyObject* args) {
    PyObject *table, *grid_obj, *values_obj;
    if (!PyArg_ParseTuple(args, "OOO", &table, &grid_obj, &values_obj)) return nullptr;
    TableOpacityObject* t = as_table(table, "table_bisect");
    if (!t) return nullptr;
    vq::F64View grid, values;
    if (!grid.acquire(grid_obj, 1, "grid") || !values.acquire(values_obj, 1, "values")) return nullptr;
    if (grid.size() > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "table_bisect: grid too long");
        return nullptr;
    }
    const TableOpacityVTable* vt = vq::opacity::table_vtab(t);
    vq::Ref out = vq::Ref::steal(PyList_New(values.size()));
    if (!out) return nullptr;
    for (Py_ssize_t k = 0; k < values.size(); ++k) {
        const int r = vt->_bisect(t, grid.data(), static_cast<int>(grid.size()), values.data()[k]);
        if (PyErr_Occurred()) return nullptr;
        PyObject* item = PyLong_FromLong(r);
        if (!item) return nullptr;
        PyList_SET_ITEM(out.get(), k, item);
    }
    return out.release();
}

// table_find_cell(table, x1, x2) -> list of (outside, i, j): the table's
// _find_cell, called through its method table, at every point (x1[k], x2[k]).
PyObject* table_find_cell(PyObject*, PyObject* args) {
    PyObject *table, *x1_obj, *x2_obj;
    if (!PyArg_ParseTuple(args, "OOO", &table, &x1_obj, &x2_obj)) return nullptr;
    TableOpacityObject* t = as_table(table, "table_find_cell");
    if (!t) return nullptr;
    vq::F64View x1, x2;
    if (!x1.acquire(x1_obj, 1, "x1") || !x2.acquire(x2_obj, 1, "x2")) return nullptr;
    if (x2.size() != x1.size()) {
        PyErr_SetString(PyExc_ValueError, "table_find_cell: x1 and x2 differ in length");
        return nullptr;
    }
    const TableOpacityVTable* vt = vq::opacity::table_vtab(t);
    vq::Ref out = vq::Ref::steal(PyList_New(x1.size()));
    if (!out) return nullptr;
    for (Py_ssize_t k = 0; k < x1.size(); ++k) {
        int i = -1, j = -1;
        const int outside = vt->_find_cell(t, x1.data()[k], x2.data()[k], &i, &j);
        if (PyErr_Occurred()) return nullptr;
        PyObject* item = Py_BuildValue("(iii)", outside, i, j);
        if (!item) return nullptr;
        PyList_SET_ITEM(out.get(), k, item);
    }
    return out.release();
}

PyMethodDef probe_methods[] = {
    {"check_without_lock", check_without_lock, METH_VARARGS,
     PyDoc_STR("check_without_lock(raise_before, raise_inside, publish, /)\n--\n\n"
               "Release the lock (publishing the thread state or not) and ask whether an exception is\n"
               "pending, after raising before the release and/or without the lock as third-party code\n"
               "does: (PyGILState_Check() during the checks, error_pending(), error_pending(thread_errors()),\n"
               "whether an exception was pending afterwards (it is cleared)).")},
    {"check_on_foreign_thread", check_on_foreign_thread, METH_VARARGS,
     PyDoc_STR("check_on_foreign_thread(raise_inside, /)\n--\n\n"
               "check_without_lock on a native thread unknown to the interpreter.")},
    {"table_bisect", table_bisect, METH_VARARGS,
     PyDoc_STR("table_bisect(table, grid, values, /)\n--\n\n"
               "The table opacity's _bisect through its method table at every value: a list of int.")},
    {"table_find_cell", table_find_cell, METH_VARARGS,
     PyDoc_STR("table_find_cell(table, x1, x2, /)\n--\n\n"
               "The table opacity's _find_cell through its method table at every point: a list of\n"
               "(outside, i, j).")},
    {"no_thread_state_check", no_thread_state_check, METH_NOARGS,
     PyDoc_STR("no_thread_state_check()\n--\n\nerror_pending() on a thread without a thread state.")},
    {nullptr, nullptr, 0, nullptr},
};


}  // namespace

bool vq::testsupport::add_probes(PyObject* module) noexcept {
    return vq::opacity::bind_bases(&opacity_bases) &&
           vq::add_object(module, "OPACITY_RESIDUAL", PyLong_FromVoidPtr(reinterpret_cast<void*>(&opacity_residual))) &&
           PyModule_AddFunctions(module, probe_methods) == 0 && PyModule_AddFunctions(module, binding_methods) == 0;
}
