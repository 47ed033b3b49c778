// Script-level class of a table opacity: construction over the caller's arrays,
// destruction, the pickling refusal and the module's start-up.  Shared by the
// table modules, which supply only an `Axes` description (see velquor/core/table.hpp)
// with, in addition:
//   static constexpr char kDoc[];   // class docstring, starting "Name(g1, g2, lk, oob)\n--\n\n"
// The class name is the last component of Axes::kClassPath.
#pragma once

#include "velquor/bind/capi.hpp"
#include "velquor/bind/opacity.hpp"
#include "velquor/core/table.hpp"

#include <cmath>
#include <cstring>
#include <new>

// Docstring text shared by the table classes: the table, the modes and the rules.
#define VQ_TABLE_DOC_COMMON \
    "lk : ndarray, dtype=float64, C-contiguous, shape (len(g1), len(g2))\n" \
    "    log10 kappa (kappa in cm^2 g^-1); lk[i, j] belongs to (g1[i], g2[j]).\n" \
    "    NaN marks a missing entry.\n" \
    "oob : int\n" \
    "    Out-of-bounds mode:\n" \
    "\n" \
    "    - 0 (raise): a value outside the grid raises ValueError; a cell with\n" \
    "      a missing corner gives NaN.\n" \
    "    - 1 (clamp): outside the grid, the nearest non-NaN entry around the\n" \
    "      edge cell's lower corner; on a cell with a missing corner, the\n" \
    "      nearest non-NaN entry around the cell.\n" \
    "    - 2 (nan): NaN outside the grid, silently.\n" \
    "\n" \
    "    Any other value behaves as 0.  A float is truncated toward zero.\n" \
    "\n" \
    "Raises\n" \
    "------\n" \
    "ValueError\n" \
    "    If lk's shape is not (len(g1), len(g2)), an axis has fewer than two\n" \
    "    points, or a grid holds NaN or decreases.\n" \
    "TypeError\n" \
    "    If an array is None or oob has no integer conversion.\n" \
    "\n" \
    "Notes\n" \
    "-----\n" \
    "The arrays are used in place, not copied: the instance keeps them alive\n" \
    "and sees later changes to their values (the grid checks run only here).\n" \
    "Points up to 1e-9 (in log10) beyond an edge count as inside.  Equal\n" \
    "neighbouring grid values are accepted; evaluating that zero-width cell\n" \
    "raises ZeroDivisionError.  The derivatives are those of the\n" \
    "interpolant; they neither fill missing entries nor clamp, and are 0.0\n" \
    "(NaN in mode 2) outside the grid or next to a missing entry.  Instances\n" \
    "cannot be pickled.\n"

namespace vq::table {

template <class Axes>
struct TableClass {
    using Engine = vq::table::Engine<Axes>;

    static inline PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    static inline TableOpacityVTable vtable{};
    static inline vq::opacity::Bases bases{};

    static const char* class_name() noexcept {
        const char* dot = std::strrchr(Axes::kClassPath, '.');
        return dot ? dot + 1 : Axes::kClassPath;
    }

    /// Import-time work of the module: bind NumPy as `np` and the base classes,
    /// build the class and its method table, add the class to the module.
    static bool exec(PyObject* module) noexcept {
        if (!vq::add_object(module, "np", PyImport_ImportModule("numpy"))) return false;
        if (!vq::opacity::bind_bases(&bases)) return false;
        if (!(type.tp_flags & Py_TPFLAGS_READY)) {  // an earlier start-up may have failed after this
            type.tp_name = Axes::kClassPath;
            type.tp_basicsize = sizeof(TableOpacityObject);
            type.tp_itemsize = 0;
            type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
            type.tp_doc = Axes::kDoc;
            type.tp_new = &tp_new;
            type.tp_dealloc = &tp_dealloc;
            type.tp_methods = methods;
            type.tp_base = bases.grey.type;
            if (PyType_Ready(&type) < 0) return false;
        }
        Engine::fill(&vtable, bases.grey_table());
        if (!vq::publish_method_table(&type, &vtable, vq::opacity::kTableOpacityTag)) return false;
        return vq::add_object(module, class_name(), Py_NewRef(reinterpret_cast<PyObject*>(&type)));
    }

private:
    static PyObject* tp_new(PyTypeObject* t, PyObject* args, PyObject* kwargs) noexcept {
        // The base allocates the instance (zeroed) and sets its table pointer.
        vq::Ref self = vq::Ref::steal(bases.grey.type->tp_new(t, args, kwargs));
        if (!self) return nullptr;
        auto* s = reinterpret_cast<TableOpacityObject*>(self.get());
        s->base.vtab = &vtable.base;
        new (&s->_g1) vq::F64View();
        new (&s->_g2) vq::F64View();
        new (&s->_lk) vq::F64View();
        s->_n1 = s->_n2 = 0;
        s->_oob = 0;
        s->_LN10 = kLn10;
        if (!construct(s, args, kwargs)) return nullptr;  // the views go with the object
        return self.release();
    }

    static bool construct(TableOpacityObject* s, PyObject* args, PyObject* kwargs) noexcept {
        static const char* const params[] = {"g1", "g2", "lk", "oob"};
        static const vq::Signature sig{"__cinit__", params, 4, 4};
        PyObject* a[4] = {};
        if (!vq::bind(sig, args, kwargs, a)) return false;
        if (!s->_g1.acquire(a[0], 1, "g1") || !s->_g2.acquire(a[1], 1, "g2") || !s->_lk.acquire(a[2], 2, "lk"))
            return false;
        int32_t oob = 0;
        if (!vq::to_int32(a[3], &oob)) return false;
        if (!check_axis(s->_g1, "g1") || !check_axis(s->_g2, "g2")) return false;
        const Py_ssize_t n1 = s->_g1.shape(0), n2 = s->_g2.shape(0);
        if (s->_lk.shape(0) != n1 || s->_lk.shape(1) != n2) {
            PyErr_Format(PyExc_ValueError, "lk has shape (%zd, %zd); expected (len(g1), len(g2)) = (%zd, %zd)",
                         s->_lk.shape(0), s->_lk.shape(1), n1, n2);
            return false;
        }
        s->_n1 = static_cast<int32_t>(n1);
        s->_n2 = static_cast<int32_t>(n2);
        s->_oob = oob;
        return true;
    }

    /// A grid has 2 .. 2**31-1 points, no NaN and never decreases (equal
    /// neighbours are allowed: that cell raises "float division" when used).
    static bool check_axis(const vq::F64View& g, const char* name) noexcept {
        const Py_ssize_t n = g.shape(0);
        if (n < 2) {
            PyErr_Format(PyExc_ValueError, "%s must hold at least two grid points (got %zd)", name, n);
            return false;
        }
        if (n > INT32_MAX) {
            PyErr_Format(PyExc_ValueError, "%s has %zd grid points; at most %d are supported", name, n, INT32_MAX);
            return false;
        }
        const double* v = g.data();
        for (Py_ssize_t k = 0; k < n; ++k) {
            if (std::isnan(v[k])) {
                PyErr_Format(PyExc_ValueError, "%s[%zd] is NaN; grid values must be numbers", name, k);
                return false;
            }
            if (k > 0 && v[k] < v[k - 1]) {
                vq::Ref lo = vq::str_double(v[k - 1]);
                vq::Ref hi = lo ? vq::str_double(v[k]) : vq::Ref();
                if (!hi) return false;
                PyErr_Format(PyExc_ValueError, "%s decreases at index %zd (%U -> %U); grid values must increase",
                             name, k, lo.get(), hi.get());
                return false;
            }
        }
        return true;
    }

    static void tp_dealloc(PyObject* o) noexcept {
        auto* s = reinterpret_cast<TableOpacityObject*>(o);
        s->_g1.~F64View();
        s->_g2.~F64View();
        s->_lk.~F64View();
        bases.grey.type->tp_dealloc(o);
    }

    static inline PyMethodDef methods[] = {
        VQ_OPACITY_REFUSE_PICKLING("the instance views caller-owned arrays and cannot be pickled."),
        {nullptr, nullptr, 0, nullptr},
    };
};

}  // namespace vq::table
