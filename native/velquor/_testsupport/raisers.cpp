// velquor._testsupport, raisers: opacities that raise as third-party code does.
//
// Third-party-style raisers, for the tests of the pending-error checks.
//
// Native opacity subclasses whose overridden slot raises the way code outside
// the package would (PyGILState_Ensure, PyErr_Format, PyGILState_Release) at a
// chosen call, counted from 0 (raise_at = -1: never), after answering as its
// base does.  What a raising slot returns is a plausible value, never a
// failure marker: only the pending exception tells the caller.  A raiser
// counts its calls without synchronisation: one thread at a time per object.
//
//   RaisingGreyOpacity()                 C_GreyMurkwell; _log_opacity returns `value`
//   RaisingKramersOpacity(kappa0, ...)   C_PlumtreeOpacity; _log_opacity raises
//   RaisingTableOpacity(g1, g2, lk, oob) C_QuenbyOpacity; the slot named by `slot` raises
#include "parts.hpp"

#include "velquor/bind/opacity.hpp"

#include <cstddef>

namespace {

struct Trigger {
    int32_t calls;     ///< calls of the raising slot so far
    int32_t raise_at;  ///< the call that raises; -1: none
};

/// Counts one call; at the chosen one, raises ValueError as third-party code does.
bool fire(Trigger& t, const char* who) noexcept {
    const int32_t k = t.calls++;
    if (k != t.raise_at) return false;
    const PyGILState_STATE g = PyGILState_Ensure();
    PyErr_Format(PyExc_ValueError, "%s raised at call %d", who, static_cast<int>(k));
    PyGILState_Release(g);
    return true;
}

struct GreyRaiser {
    GreyOpacityObject base;
    Trigger trigger;
    double value;  ///< [ln cm^2 g^-1] what _log_opacity answers
};

struct KramersRaiser {
    PlumtreeOpacityObject base;
    Trigger trigger;
};

enum TableSlot : int32_t {
    kNone, kLogOpacity, kBisect, kInterp, kCoords, kFindCell, kNearestFinite, kHandleOob, kTableSlots
};
constexpr const char* kTableSlotNames[kTableSlots] = {nullptr,   "_log_opacity",    "_bisect",    "_interp",
                                                      "_coords", "_find_cell", "_nearest_finite", "_handle_oob"};

struct TableRaiser {
    TableOpacityObject base;
    Trigger trigger;
    int32_t slot;  ///< TableSlot that raises
};

vq::opacity::Bases opacity_bases;
vq::BoundClass plumtree_class, quenby_class;
GreyOpacityVTable grey_table, kramers_table;
const GreyOpacityVTable* plumtree_slots = nullptr;
const TableOpacityVTable* quenby_slots = nullptr;
TableOpacityVTable table_tables[kTableSlots];  // [kNone]: the base's slots unchanged

PyTypeObject GreyRaiserType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject KramersRaiserType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject TableRaiserType = {PyVarObject_HEAD_INIT(nullptr, 0)};

Trigger& trigger_of(PyObject* o) noexcept {
    if (PyObject_TypeCheck(o, &GreyRaiserType)) return reinterpret_cast<GreyRaiser*>(o)->trigger;
    if (PyObject_TypeCheck(o, &KramersRaiserType)) return reinterpret_cast<KramersRaiser*>(o)->trigger;
    return reinterpret_cast<TableRaiser*>(o)->trigger;
}

// -- the raising slots --------------------------------------------------------

double grey_log_opacity(GreyOpacityObject* self, double, double) noexcept {
    auto* me = reinterpret_cast<GreyRaiser*>(self);
    fire(me->trigger, "RaisingGreyOpacity._log_opacity");
    return me->value;
}

double kramers_log_opacity(GreyOpacityObject* self, double log_T, double log_rho) noexcept {
    const double v = plumtree_slots->_log_opacity(self, log_T, log_rho);
    fire(reinterpret_cast<KramersRaiser*>(self)->trigger, "RaisingKramersOpacity._log_opacity");
    return v;
}

Trigger& table_trigger(void* self) noexcept { return static_cast<TableRaiser*>(self)->trigger; }

// Each answers as the base does, then raises (when it is its turn).
double table_log_opacity(GreyOpacityObject* self, double log_T, double log_rho) noexcept {
    const double v = quenby_slots->base._log_opacity(self, log_T, log_rho);
    fire(table_trigger(self), "RaisingTableOpacity._log_opacity");
    return v;
}
int table_bisect(TableOpacityObject* self, const double* arr, int n, double val) noexcept {
    const int k = quenby_slots->_bisect(self, arr, n, val);
    fire(table_trigger(self), "RaisingTableOpacity._bisect");
    return k;
}
double table_interp(TableOpacityObject* self, double x1, double x2, int i, int j) noexcept {
    const double v = quenby_slots->_interp(self, x1, x2, i, j);
    fire(table_trigger(self), "RaisingTableOpacity._interp");
    return v;
}
void table_coords(TableOpacityObject* self, double log_T, double log_rho, double* x1, double* x2) noexcept {
    quenby_slots->_coords(self, log_T, log_rho, x1, x2);
    fire(table_trigger(self), "RaisingTableOpacity._coords");
}
int table_find_cell(TableOpacityObject* self, double x1, double x2, int* i, int* j) noexcept {
    const int outside = quenby_slots->_find_cell(self, x1, x2, i, j);
    fire(table_trigger(self), "RaisingTableOpacity._find_cell");
    return outside;
}
double table_nearest_finite(TableOpacityObject* self, int ci, int cj) noexcept {
    const double v = quenby_slots->_nearest_finite(self, ci, cj);
    fire(table_trigger(self), "RaisingTableOpacity._nearest_finite");
    return v;
}
double table_handle_oob(TableOpacityObject* self, double x1, double x2) noexcept {
    const double v = quenby_slots->_handle_oob(self, x1, x2);
    fire(table_trigger(self), "RaisingTableOpacity._handle_oob");
    return v;
}

/// One table per raising slot: the base's slots with that one replaced.
void fill_table_tables() noexcept {
    for (TableOpacityVTable& t : table_tables) t = *quenby_slots;
    table_tables[kLogOpacity].base._log_opacity = table_log_opacity;
    table_tables[kBisect]._bisect = table_bisect;
    table_tables[kInterp]._interp = table_interp;
    table_tables[kCoords]._coords = table_coords;
    table_tables[kFindCell]._find_cell = table_find_cell;
    table_tables[kNearestFinite]._nearest_finite = table_nearest_finite;
    table_tables[kHandleOob]._handle_oob = table_handle_oob;
}

// -- construction and attributes -------------------------------------------------

PyObject* grey_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* o = opacity_bases.grey.type->tp_new(type, args, kwargs);
    if (!o) return nullptr;
    auto* me = reinterpret_cast<GreyRaiser*>(o);
    me->base.vtab = &grey_table;
    me->trigger = Trigger{0, -1};
    me->value = 0.0;
    return o;
}

PyObject* kramers_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* o = plumtree_class.type->tp_new(type, args, kwargs);
    if (!o) return nullptr;
    auto* me = reinterpret_cast<KramersRaiser*>(o);
    me->base.base.vtab = &kramers_table;
    me->trigger = Trigger{0, -1};
    return o;
}

PyObject* table_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* o = quenby_class.type->tp_new(type, args, kwargs);
    if (!o) return nullptr;
    auto* me = reinterpret_cast<TableRaiser*>(o);
    me->base.base.vtab = &table_tables[kNone].base;
    me->trigger = Trigger{0, -1};
    me->slot = kNone;
    return o;
}

PyObject* get_calls(PyObject* o, void*) { return PyLong_FromLong(trigger_of(o).calls); }
int set_calls(PyObject* o, PyObject* v, void*) { return v && vq::to_int32(v, &trigger_of(o).calls) ? 0 : -1; }
PyObject* get_raise_at(PyObject* o, void*) { return PyLong_FromLong(trigger_of(o).raise_at); }
int set_raise_at(PyObject* o, PyObject* v, void*) { return v && vq::to_int32(v, &trigger_of(o).raise_at) ? 0 : -1; }

PyObject* get_value(PyObject* o, void*) { return PyFloat_FromDouble(reinterpret_cast<GreyRaiser*>(o)->value); }
int set_value(PyObject* o, PyObject* v, void*) {
    return v && vq::to_double(v, &reinterpret_cast<GreyRaiser*>(o)->value) ? 0 : -1;
}

PyObject* get_slot(PyObject* o, void*) {
    const int32_t slot = reinterpret_cast<TableRaiser*>(o)->slot;
    if (slot == kNone) Py_RETURN_NONE;
    return PyUnicode_FromString(kTableSlotNames[slot]);
}
int set_slot(PyObject* o, PyObject* v, void*) {
    auto* me = reinterpret_cast<TableRaiser*>(o);
    int32_t slot = -1;
    if (v == Py_None) {
        slot = kNone;
    } else if (v && PyUnicode_Check(v)) {
        for (int32_t k = kNone + 1; k < kTableSlots; ++k)
            if (PyUnicode_CompareWithASCIIString(v, kTableSlotNames[k]) == 0) slot = k;
    }
    if (slot < 0) {
        PyErr_SetString(PyExc_ValueError, "slot must be None or the name of a table operation");
        return -1;
    }
    me->slot = slot;
    me->base.base.vtab = &table_tables[slot].base;
    return 0;
}

#define VQ_TRIGGER_GETSET                                                                                   \
    {"calls", get_calls, set_calls, PyDoc_STR("Calls of the raising slot so far (settable)."), nullptr},    \
    {"raise_at", get_raise_at, set_raise_at, PyDoc_STR("The call that raises, from 0; -1: none."), nullptr}

PyGetSetDef grey_getset[] = {
    VQ_TRIGGER_GETSET,
    {"value", get_value, set_value, PyDoc_STR("What _log_opacity answers."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef kramers_getset[] = {VQ_TRIGGER_GETSET, {nullptr, nullptr, nullptr, nullptr, nullptr}};
PyGetSetDef table_getset[] = {
    VQ_TRIGGER_GETSET,
    {"slot", get_slot, set_slot, PyDoc_STR("The table operation that raises (a name), or None."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef VQ_TRIGGER_GETSET

// -- start-up --------------------------------------------------------------------------

bool ready(PyTypeObject* type, const char* name, std::size_t size, PyTypeObject* base, newfunc tp_new,
           PyGetSetDef* getset, const char* doc, const void* table, const char* tag) noexcept {
    if (!(type->tp_flags & Py_TPFLAGS_READY)) {
        type->tp_name = name;
        type->tp_basicsize = static_cast<Py_ssize_t>(size);
        type->tp_flags = Py_TPFLAGS_DEFAULT;
        type->tp_doc = doc;
        type->tp_base = base;
        type->tp_new = tp_new;
        type->tp_getset = getset;
        if (PyType_Ready(type) < 0) return false;
    }
    return vq::publish_method_table(type, table, tag);
}

bool add_to(PyObject* module) noexcept {
    if (!vq::opacity::bind_bases(&opacity_bases) ||
        !vq::bind_class(vq::opacity::kPlumtreeModule, "C_PlumtreeOpacity", sizeof(PlumtreeOpacityObject),
                        vq::opacity::kGreyTableTag, &plumtree_class) ||
        !vq::bind_class(vq::opacity::kQuenbyModule, "C_QuenbyOpacity", sizeof(TableOpacityObject),
                        vq::opacity::kTableOpacityTag, &quenby_class))
        return false;
    grey_table = *opacity_bases.grey_table();
    grey_table._log_opacity = grey_log_opacity;
    plumtree_slots = static_cast<const GreyOpacityVTable*>(plumtree_class.table);
    kramers_table = *plumtree_slots;
    kramers_table._log_opacity = kramers_log_opacity;
    quenby_slots = static_cast<const TableOpacityVTable*>(quenby_class.table);
    fill_table_tables();
    if (!ready(&GreyRaiserType, "velquor._testsupport.RaisingGreyOpacity", sizeof(GreyRaiser),
               opacity_bases.grey.type, grey_new, grey_getset,
               "RaisingGreyOpacity()\n--\n\nC_GreyMurkwell whose _log_opacity answers `value` and raises at "
               "call `raise_at`.",
               &grey_table, vq::opacity::kGreyTableTag) ||
        !ready(&KramersRaiserType, "velquor._testsupport.RaisingKramersOpacity", sizeof(KramersRaiser),
               plumtree_class.type, kramers_new, kramers_getset,
               "RaisingKramersOpacity(kappa0, kappa_es=0.34)\n--\n\nC_PlumtreeOpacity whose _log_opacity "
               "raises at call `raise_at`.",
               &kramers_table, vq::opacity::kGreyTableTag) ||
        !ready(&TableRaiserType, "velquor._testsupport.RaisingTableOpacity", sizeof(TableRaiser),
               quenby_class.type, table_new, table_getset,
               "RaisingTableOpacity(g1, g2, lk, oob)\n--\n\nC_QuenbyOpacity whose operation named `slot` "
               "raises at its call `raise_at`.",
               &table_tables[kNone], vq::opacity::kTableOpacityTag))
        return false;
    return vq::add_object(module, "RaisingGreyOpacity", Py_NewRef(reinterpret_cast<PyObject*>(&GreyRaiserType))) &&
           vq::add_object(module, "RaisingKramersOpacity",
                          Py_NewRef(reinterpret_cast<PyObject*>(&KramersRaiserType))) &&
           vq::add_object(module, "RaisingTableOpacity", Py_NewRef(reinterpret_cast<PyObject*>(&TableRaiserType)));
}

}  // namespace

bool vq::testsupport::add_raisers(PyObject* module) noexcept { return add_to(module); }
