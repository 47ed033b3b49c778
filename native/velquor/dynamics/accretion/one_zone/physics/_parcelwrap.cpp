// velquor.dynamics.accretion.one_zone.physics._parcelwrap: fallback and advection parameter holders.
//
// Parameter holders of the one-zone closures: CFallback owns a FallbackParams
// record, CAdvection an AdvectionParams record.  The values are taken at
// allocation and never change, so the record's address (the native `ptr`
// operation) stays valid, with the same contents, for the object's lifetime.
#include "velquor/bind/capi.hpp"
#include "velquor/bind/disk.hpp"

#include <cstddef>
#include <iterator>

namespace {

constexpr const char* kModuleName = "velquor.dynamics.accretion.one_zone.physics._parcelwrap";
constexpr const char* kModuleDoc =
    "Parameter holders of the one-zone closures: CFallback (fallback supply) and\n"
    "CAdvection (advection), each owning the native record that closures pack.";

// ---------------------------------------------------------------------------
// One template for both holders.  `Traits` names the object, table and record
// types, the record's fields (all double) and the class texts.
// ---------------------------------------------------------------------------

struct FallbackTraits {
    using Object = CFallbackObject;
    using Table = CFallbackVTable;
    using Record = FallbackParams;
    static constexpr const char* kName = "CFallback";
    static constexpr const char* kTableTag = vq::disk::kFallbackTableTag;
    static constexpr const char* kFields[] = {"M_fb_0", "R_c", "t_fb", "beta_fb"};
    static constexpr const char* kFieldDocs[] = {
        "Fallback rate at t = t_fb [g s^-1].",
        "Circularisation radius of the debris [cm].",
        "Fallback time scale [s].",
        "Power-law index of the fallback rate [-].",
    };
    static constexpr const char* kDoc =
        "CFallback(M_fb_0, R_c, t_fb, beta_fb)\n--\n\n"
        "Parameters of the power-law fallback supply, Mdot_fb = M_fb_0 (t / t_fb)^-beta_fb.\n\n"
        "Parameters\n----------\n"
        "M_fb_0 : float\n    Fallback rate at t = t_fb [g s^-1].\n"
        "R_c : float\n    Circularisation radius of the debris [cm].\n"
        "t_fb : float\n    Fallback time scale [s].\n"
        "beta_fb : float\n    Power-law index of the fallback rate [-].\n\n"
        "The values are read-only attributes; ptr() is the address of the native\n"
        "FallbackParams record that closures pack.  Instances cannot be pickled.";
};

struct AdvectionTraits {
    using Object = CAdvectionObject;
    using Table = CAdvectionVTable;
    using Record = AdvectionParams;
    static constexpr const char* kName = "CAdvection";
    static constexpr const char* kTableTag = vq::disk::kAdvectionTableTag;
    static constexpr const char* kFields[] = {"xi"};
    static constexpr const char* kFieldDocs[] = {"Advection parameter [-]."};
    static constexpr const char* kDoc =
        "CAdvection(xi)\n--\n\n"
        "Parameters of advective closures.\n\n"
        "Parameters\n----------\n"
        "xi : float\n    Advection parameter [-].\n\n"
        "xi is a read-only attribute; ptr() is the address of the native AdvectionParams\n"
        "record.  Instances cannot be pickled.";
};

template <class Traits>
struct Holder {
    using Object = typename Traits::Object;
    using Record = typename Traits::Record;
    static constexpr int kN = static_cast<int>(std::size(Traits::kFields));
    static_assert(sizeof(Record) == kN * sizeof(double), "records hold doubles only");

    static inline PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    static inline PyGetSetDef getset[kN + 1] = {};

    static double* fields(Object* o) noexcept { return reinterpret_cast<double*>(&o->params); }

    static Record* ptr(Object* self) noexcept { return &self->params; }
    static inline const typename Traits::Table table = {ptr};

    static constexpr vq::Signature kCinit{"__cinit__", Traits::kFields, kN, kN};

    static PyObject* tp_new(PyTypeObject* t, PyObject* args, PyObject* kwargs) {
        PyObject* bound[kN] = {};
        if (!vq::bind(kCinit, args, kwargs, bound)) return nullptr;
        double values[kN];
        for (int k = 0; k < kN; ++k)
            if (!vq::to_double(bound[k], &values[k])) return nullptr;
        PyObject* o = t->tp_alloc(t, 0);
        if (!o) return nullptr;
        auto* self = reinterpret_cast<Object*>(o);
        self->vtab = &table;
        for (int k = 0; k < kN; ++k) fields(self)[k] = values[k];
        return o;
    }

    static PyObject* get_field(PyObject* o, void* closure) {
        const auto k = reinterpret_cast<std::size_t>(closure);
        return PyFloat_FromDouble(fields(reinterpret_cast<Object*>(o))[k]);
    }

    static PyObject* ptr_py(PyObject* o, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
        if (!vq::bind_none("ptr", nargs, kwnames)) return nullptr;
        auto* self = reinterpret_cast<Object*>(o);
        return PyLong_FromVoidPtr(self->vtab->ptr(self));
    }

    static PyObject* repr(PyObject* o) {
        vq::Ref text = vq::Ref::steal(PyUnicode_FromFormat("%s(", Traits::kName));
        for (int k = 0; text && k < kN; ++k) {
            vq::Ref value = vq::Ref::steal(PyFloat_FromDouble(fields(reinterpret_cast<Object*>(o))[k]));
            vq::Ref r = vq::Ref::steal(value ? PyObject_Repr(value.get()) : nullptr);
            vq::Ref part = vq::Ref::steal(
                r ? PyUnicode_FromFormat("%s%s=%U", k ? ", " : "", Traits::kFields[k], r.get()) : nullptr);
            vq::Ref joined = vq::Ref::steal(part ? PyUnicode_Concat(text.get(), part.get()) : nullptr);
            text = std::move(joined);
        }
        if (!text) return nullptr;
        vq::Ref close = vq::Ref::steal(PyUnicode_FromString(")"));
        return close ? PyUnicode_Concat(text.get(), close.get()) : nullptr;
    }

    static inline PyMethodDef methods[] = {
        {"ptr", vq::as_cfunction(ptr_py), METH_FASTCALL | METH_KEYWORDS,
         PyDoc_STR("ptr($self, /)\n--\n\nAddress of the native parameter record (an int), valid while the object "
                   "lives.")},
        {"__reduce__", vq::as_cfunction(vq::refuse_reduce), METH_FASTCALL | METH_KEYWORDS,
         PyDoc_STR("__reduce__($self, /)\n--\n\nRefused: the parameters are taken at allocation.")},
        {"__setstate__", vq::as_cfunction(vq::refuse_setstate), METH_FASTCALL | METH_KEYWORDS,
         PyDoc_STR("__setstate__($self, state)\n--\n\nRefused: the parameters are taken at allocation.")},
        {nullptr, nullptr, 0, nullptr},
    };

    static bool ready(PyObject* module, const char* qualified_name) {
        if (!(type.tp_flags & Py_TPFLAGS_READY)) {
            for (int k = 0; k < kN; ++k)
                getset[k] = {Traits::kFields[k], get_field, nullptr, Traits::kFieldDocs[k],
                             reinterpret_cast<void*>(static_cast<std::size_t>(k))};
            type.tp_name = qualified_name;
            type.tp_basicsize = sizeof(Object);
            type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
            type.tp_doc = Traits::kDoc;
            type.tp_new = tp_new;
            type.tp_repr = repr;
            type.tp_methods = methods;
            type.tp_getset = getset;
            if (PyType_Ready(&type) < 0) return false;
        }
        return vq::publish_method_table(&type, &table, Traits::kTableTag) &&
               vq::add_object(module, Traits::kName, Py_NewRef(reinterpret_cast<PyObject*>(&type)));
    }
};

[[maybe_unused]] constexpr FallbackParams* (*kFallbackPtrCheck)(CFallbackObject*) = &Holder<FallbackTraits>::ptr;

bool setup(PyObject* module) noexcept {
    return Holder<FallbackTraits>::ready(module, "velquor.dynamics.accretion.one_zone.physics._parcelwrap.CFallback") &&
           Holder<AdvectionTraits>::ready(module, "velquor.dynamics.accretion.one_zone.physics._parcelwrap.CAdvection");
}

}  // namespace

VQ_DEFINE_MODULE(_parcelwrap, kModuleName, kModuleDoc, nullptr, setup)
