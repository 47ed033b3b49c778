// velquor.dynamics.accretion.one_zone._writer: the standard result writer and its row table.
//
// standard_writer_func (velquor/core/writer.hpp with the interpreter as host)
// fills one column of 20 linear CGS values per step; RESULT_FIELDS names the
// rows (velquor/core/rows.hpp), the one table the package reads them from.
// extended_writer_func appends the rows of EXTENDED_RESULT_FIELDS from the
// closure's extra values, for the closures that report them.
#include "velquor/bind/capi.hpp"
#include "velquor/bind/disk.hpp"
#include "velquor/bind/host.hpp"
#include "velquor/bind/opacity.hpp"
#include "velquor/core/rows.hpp"
#include "velquor/core/writer.hpp"

namespace {

constexpr const char* kModuleName = "velquor.dynamics.accretion.one_zone._writer";
vq::BoundClass closure_class;
vq::opacity::Bases opacity_bases;

/// Rows written per column (exported natively as "int").
int32_t N_RESULT_FIELDS = vq::rows::COUNT;
int32_t N_EXTENDED_RESULT_FIELDS = vq::rows::EXTENDED_COUNT;

constexpr writer_func standard_writer_func = &vq::disk::write_standard_column<vq::InterpreterHost>;
constexpr writer_func extended_writer_func = &vq::disk::write_extended_column<vq::InterpreterHost>;

/// The first `n` rows as a tuple of (name, unit, meaning) per row.
PyObject* result_fields(int32_t n) noexcept {
    vq::Ref fields = vq::Ref::steal(PyTuple_New(n));
    for (int32_t k = 0; fields && k < n; ++k) {
        const vq::rows::Field& f = vq::rows::kFields[k];
        PyObject* row = Py_BuildValue("(sss)", f.name, f.unit, f.meaning);
        if (!row) return nullptr;
        PyTuple_SET_ITEM(fields.get(), k, row);
    }
    return fields.release();
}

/// The module's docstring, with one line per row of the table.
PyObject* module_doc() noexcept {
    vq::Ref doc = vq::Ref::steal(PyUnicode_FromString(
        "Standard result writer of the one-zone disk model.\n\n"
        "standard_writer_func (exported natively) fills one column of N_RESULT_FIELDS_PY = 20\n"
        "linear CGS values per step; RESULT_FIELDS holds (name, unit, meaning) of each row.\n"
        "extended_writer_func appends two rows from the closure's extra values (NaN where it\n"
        "reports none), N_EXTENDED_RESULT_FIELDS_PY = 22 in all, named by EXTENDED_RESULT_FIELDS:\n\n"));
    for (int32_t k = 0; doc && k < vq::rows::EXTENDED_COUNT; ++k) {
        const vq::rows::Field& f = vq::rows::kFields[k];
        vq::Ref line = vq::Ref::steal(PyUnicode_FromFormat("%3d %-9s %-15s %s\n", static_cast<int>(k), f.name,
                                                           *f.unit ? f.unit : "-", f.meaning));
        doc = vq::Ref::steal(line ? PyUnicode_Concat(doc.get(), line.get()) : nullptr);
    }
    vq::Ref tail = vq::Ref::steal(
        PyUnicode_FromString("\nColumn k pairs the state after k steps with the step (dt, rates) leading away from it."));
    return doc && tail ? PyUnicode_Concat(doc.get(), tail.get()) : nullptr;
}

bool setup(PyObject* module) noexcept {
    if (!vq::disk::bind_closure_base(&closure_class)) return false;
    if (!vq::opacity::bind_bases(&opacity_bases)) return false;
    if (!vq::export_function(module, "standard_writer_func", standard_writer_func, vq::disk::kWriterFuncTag) ||
        !vq::export_pointer(module, "N_RESULT_FIELDS", &N_RESULT_FIELDS, vq::disk::kIntTag) ||
        !vq::add_object(module, "N_RESULT_FIELDS_PY", PyLong_FromLong(N_RESULT_FIELDS)) ||
        !vq::add_object(module, "RESULT_FIELDS", result_fields(vq::rows::COUNT)) ||
        !vq::export_function(module, "extended_writer_func", extended_writer_func, vq::disk::kWriterFuncTag) ||
        !vq::export_pointer(module, "N_EXTENDED_RESULT_FIELDS", &N_EXTENDED_RESULT_FIELDS, vq::disk::kIntTag) ||
        !vq::add_object(module, "N_EXTENDED_RESULT_FIELDS_PY", PyLong_FromLong(N_EXTENDED_RESULT_FIELDS)) ||
        !vq::add_object(module, "EXTENDED_RESULT_FIELDS", result_fields(vq::rows::EXTENDED_COUNT)))
        return false;
    vq::Ref doc = vq::Ref::steal(module_doc());
    return doc && PyObject_SetAttrString(module, "__doc__", doc.get()) == 0;
}

}  // namespace

VQ_DEFINE_MODULE(_writer, kModuleName, "Standard result writer of the one-zone disk model.", nullptr, setup)
