// A table opacity class in an extension module, over the engine of core/table.hpp.
//
// A table opacity class in an extension module: the engine of
// velquor/core/table.hpp behind the class's method table, construction over the
// caller's arrays (with the cell-search indexes), destruction, the pickling
// refusal and the module's start-up.  Shared by the table modules, which supply
// only an `Axes` description (see velquor/core/table.hpp) with, in addition:
//   static constexpr char kDoc[];   // class docstring, starting "Name(g1, g2, lk, oob)\n--\n\n"
// The class name is the last component of Axes::kClassPath.
#pragma once

#include "velquor/bind/capi.hpp"
#include "velquor/bind/host.hpp"
#include "velquor/bind/opacity.hpp"
#include "velquor/core/table.hpp"

#include <cmath>
#include <cstring>
#include <new>

// Docstring text shared by the table classes: the heading and axis 1 of the
// parameters; then (after the class's axis 2) the table, the modes and the rules.
#define VQ_TABLE_DOC_AXIS1 \
    "Parameters\n" \
    "----------\n" \
    "g1 : ndarray, dtype=float64, C-contiguous\n" \
    "    Grid of axis 1, log10 T (T in K): at least two points, strictly increasing.\n"

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

/// The host of one call of a table operation.  The engine's own operations
/// raise only through their host, so while only the class's own operations
/// have run in this call the host knows whether an error is pending without
/// asking the interpreter (it raised one or it did not); once an override --
/// code outside the engine -- has been called, it asks the calling thread's
/// exception indicator, found then, as every caller does.
class TableHost {
public:
    bool error_pending() const noexcept {
        if (raised_) return true;
        if (!foreign_) return false;
        if (!found_) {
            errors_ = vq::thread_errors();
            found_ = true;
        }
        return vq::error_pending(errors_);
    }

    void traceback(const core::Site& where) const noexcept {
        vq::add_traceback(where.qualname, where.file, where.line);
    }

    void raise(core::Error kind, const char* message) const noexcept {
        raised_ = true;
        vq::raise_locked(kind == core::Error::kZeroDivision ? PyExc_ZeroDivisionError : PyExc_RuntimeError, message);
    }

    /// ValueError naming the point and the grid's extent, under the lock.
    void raise_outside(const Outside& o, const char* axis2_label) const noexcept {
        raised_ = true;
        vq::GilEnsure gil;
        vq::Ref px1 = vq::format_double(o.x1, ".3f");
        vq::Ref px2 = px1 ? vq::format_double(o.x2, ".3f") : vq::Ref();
        vq::Ref a0 = px2 ? vq::format_double(o.g1_first, ".2f") : vq::Ref();
        vq::Ref a1 = a0 ? vq::format_double(o.g1_last, ".2f") : vq::Ref();
        vq::Ref b0 = a1 ? vq::format_double(o.g2_first, ".2f") : vq::Ref();
        vq::Ref b1 = b0 ? vq::format_double(o.g2_last, ".2f") : vq::Ref();
        if (!b1) return;  // the formatting error is what gets reported
        PyErr_Format(PyExc_ValueError, "(log10_T=%U, %s=%U) is outside the table domain [%U, %U] x [%U, %U].",
                     px1.get(), axis2_label, px2.get(), a0.get(), a1.get(), b0.get(), b1.get());
    }

    /// About to call an override: from now on, ask the interpreter.
    void calling_foreign() const noexcept { foreign_ = true; }

private:
    mutable bool raised_ = false;   ///< an operation of this call raised through the host
    mutable bool foreign_ = false;  ///< an override was called in this call
    mutable bool found_ = false;    ///< errors_ is set
    mutable vq::ThreadErrors errors_{};
};

/// The operations of one table class as its method table holds them, and the
/// per-call accessor through which the engine reaches an object: every call
/// from one operation to another reads the object's table; a slot that holds
/// the class's own operation is called directly (so that it can be inlined and
/// share the caller's host), an override is called as it is.
template <class Axes>
struct TableSlots {
    using E = Engine<Axes>;

    class Object {
    public:
        explicit Object(TableOpacityObject* self) noexcept
            : self_(self), vt_(vq::opacity::table_vtab(self)), d_(vq::opacity::table_data(self)) {}

        const TableData& data() const noexcept { return d_; }
        const TableHost& host() const noexcept { return host_; }

        void coords(double log_T, double log_rho, double* x1, double* x2) noexcept {
            if (vt_->_coords == &TableSlots::coords) return E::coords(d_, log_T, log_rho, x1, x2);
            host_.calling_foreign();
            vt_->_coords(self_, log_T, log_rho, x1, x2);
        }
        int find_cell(double x1, double x2, int* i, int* j) noexcept {
            if (vt_->_find_cell == &TableSlots::find_cell) return E::find_cell(*this, x1, x2, i, j);
            host_.calling_foreign();
            return vt_->_find_cell(self_, x1, x2, i, j);
        }
        /// _bisect over the object's own grid of `axis`: the O(1) index answers
        /// for the class's own _bisect (the same answer), an override is called.
        int search(int axis, double v) noexcept {
            const double* g = axis == 1 ? d_.g1 : d_.g2;
            const int n = axis == 1 ? d_.n1 : d_.n2;
            if (vt_->_bisect == &TableSlots::bisect) return (axis == 1 ? d_.index1 : d_.index2)->find(g, n, v);
            host_.calling_foreign();
            return vt_->_bisect(self_, g, n, v);
        }
        double interp(double x1, double x2, int i, int j) noexcept {
            if (vt_->_interp == &TableSlots::interp) return E::interp(*this, x1, x2, i, j);
            host_.calling_foreign();
            return vt_->_interp(self_, x1, x2, i, j);
        }
        double nearest_finite(int ci, int cj) noexcept {
            if (vt_->_nearest_finite == &TableSlots::nearest_finite) return E::nearest_finite(d_, ci, cj);
            host_.calling_foreign();
            return vt_->_nearest_finite(self_, ci, cj);
        }
        double handle_oob(double x1, double x2) noexcept {
            if (vt_->_handle_oob == &TableSlots::handle_oob) return E::handle_oob(*this, x1, x2);
            host_.calling_foreign();
            return vt_->_handle_oob(self_, x1, x2);
        }
        double log_opacity(double log_T, double log_rho) noexcept {
            if (vt_->base._log_opacity == &TableSlots::log_opacity) return E::log_opacity(*this, log_T, log_rho);
            host_.calling_foreign();
            return vt_->base._log_opacity(&self_->base, log_T, log_rho);
        }
        void raise_outside(const Outside& o) noexcept { host_.raise_outside(o, Axes::kAxis2Label); }

    private:
        TableOpacityObject* self_;
        const TableOpacityVTable* vt_;
        TableData d_;
        TableHost host_;
    };

    static TableOpacityObject* table(GreyOpacityObject* o) noexcept { return reinterpret_cast<TableOpacityObject*>(o); }

    /// The engine's operation `Op` on the object, through a fresh accessor,
    /// with every call of the engine's own operations inlined (a value query
    /// on random points costs a third less than with the calls left).
    template <auto Op, class... A>
    [[gnu::flatten]] static auto on(TableOpacityObject* s, A... a) noexcept {
        Object t(s);
        return Op(t, a...);
    }

    // The method-table entries.
    static double opacity(GreyOpacityObject* o, double rho, double T) noexcept {
        return on<&E::template opacity<Object>>(table(o), rho, T);
    }
    static double log_opacity(GreyOpacityObject* o, double log_T, double log_rho) noexcept {
        return on<&E::template log_opacity<Object>>(table(o), log_T, log_rho);
    }
    static double dlogkappa_dlogrho(GreyOpacityObject* o, double log_T, double log_rho) noexcept {
        return on<&E::template dlogkappa_dlogrho<Object>>(table(o), log_T, log_rho);
    }
    static double dlogkappa_dlogT(GreyOpacityObject* o, double log_T, double log_rho) noexcept {
        return on<&E::template dlogkappa_dlogT<Object>>(table(o), log_T, log_rho);
    }
    /// The documented bisection over any array.
    static int bisect(TableOpacityObject*, const double* arr, int n, double val) noexcept {
        return vq::table::bisect(arr, n, val);
    }
    static double interp(TableOpacityObject* s, double x1, double x2, int i, int j) noexcept {
        return on<&E::template interp<Object>>(s, x1, x2, i, j);
    }
    static void coords(TableOpacityObject* s, double log_T, double log_rho, double* x1, double* x2) noexcept {
        E::coords(vq::opacity::table_data(s), log_T, log_rho, x1, x2);
    }
    static int find_cell(TableOpacityObject* s, double x1, double x2, int* i, int* j) noexcept {
        return on<&E::template find_cell<Object>>(s, x1, x2, i, j);
    }
    static double nearest_finite(TableOpacityObject* s, int ci, int cj) noexcept {
        return E::nearest_finite(vq::opacity::table_data(s), ci, cj);
    }
    static double handle_oob(TableOpacityObject* s, double x1, double x2) noexcept {
        return on<&E::template handle_oob<Object>>(s, x1, x2);
    }

    /// Fill a method table: the base table's slots first, all overridden.
    static void fill(TableOpacityVTable* t, const GreyOpacityVTable* base) noexcept {
        t->base = *base;
        t->base._opacity = &opacity;
        t->base._log_opacity = &log_opacity;
        t->base._dlogkappa_dlogrho = &dlogkappa_dlogrho;
        t->base._dlogkappa_dlogT = &dlogkappa_dlogT;
        t->_bisect = &bisect;
        t->_interp = &interp;
        t->_coords = &coords;
        t->_find_cell = &find_cell;
        t->_nearest_finite = &nearest_finite;
        t->_handle_oob = &handle_oob;
    }
};

template <class Axes>
struct TableClass {
    using Slots = TableSlots<Axes>;

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
        Slots::fill(&vtable, bases.grey_table());
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
        new (&s->_index1) AxisIndex();
        new (&s->_index2) AxisIndex();
        s->_buckets = nullptr;
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
        return build_indexes(s);
    }

    /// The cell-search index of each axis, in one allocation owned by the object.
    static bool build_indexes(TableOpacityObject* s) noexcept {
        const int32_t b1 = AxisIndex::buckets_for(s->_g1.data(), s->_n1);
        const int32_t b2 = AxisIndex::buckets_for(s->_g2.data(), s->_n2);
        s->_buckets = static_cast<int32_t*>(PyMem_Malloc(sizeof(int32_t) * static_cast<std::size_t>(b1 + b2)));
        if (!s->_buckets) {
            PyErr_NoMemory();
            return false;
        }
        s->_index1.build(s->_g1.data(), s->_n1, s->_buckets, b1);
        s->_index2.build(s->_g2.data(), s->_n2, s->_buckets + b1, b2);
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
        PyMem_Free(s->_buckets);
        s->_buckets = nullptr;
        bases.grey.type->tp_dealloc(o);
    }

    static inline PyMethodDef methods[] = {
        VQ_OPACITY_REFUSE_PICKLING("the instance views caller-owned arrays and cannot be pickled."),
        {nullptr, nullptr, 0, nullptr},
    };
};

}  // namespace vq::table
