// velquor.dynamics.accretion.one_zone._writer
//
// standard_writer_func: one column of 20 linear CGS values per step, expanded
// from the step's records (see kRowDoc below for the rows).  Independent of the
// equation of state and of the opacity law.
#include "velquor/bind/capi.hpp"
#include "velquor/bind/disk.hpp"
#include "velquor/bind/opacity.hpp"

#include <cmath>
#include <cstddef>

namespace {

constexpr const char* kModuleName = "velquor.dynamics.accretion.one_zone._writer";
vq::InitGuard init_guard{"_writer"};
vq::BoundClass closure_class;
vq::opacity::Bases opacity_bases;

/// Rows written per column (exported natively as "int").
int32_t N_RESULT_FIELDS = 20;

/// writer_func: row f of this column goes to result_array[f * n_steps + step_index].
/// R = 0 raises ZeroDivisionError("float division") and returns -1 with rows 18
/// and 19 unwritten.  Needs the lock only to raise.
int32_t standard_writer_func(const int32_t step_index, const DiskState* state, const DiskDerived* derived,
                             const DiskParameters*, const ClosureResult* closure, const DiskStep* step,
                             double* result_array, int32_t n_steps) noexcept {
    const double H = std::exp(closure->log_cs - std::log(derived->Omega));
    const double rho = std::exp(closure->log_rho);
    double* column = result_array + step_index;
    const std::ptrdiff_t stride = n_steps;
    auto put = [&](int row, double value) { column[row * stride] = value; };

    put(0, static_cast<double>(step_index));
    put(1, state->t);
    put(2, state->M);
    put(3, state->J);
    put(4, derived->R);
    put(5, derived->Sigma);
    put(6, derived->Omega);
    put(7, std::exp(closure->log_T_eff));
    put(8, std::exp(closure->log_T_c));
    put(9, std::exp(closure->log_tau));
    put(10, std::exp(closure->log_cs));
    put(11, std::exp(closure->log_nu));
    put(12, std::exp(closure->log_q_visc));
    put(13, step->dM_dt);
    put(14, step->dJ_dt);
    put(15, step->dt);
    put(16, closure->t_visc);
    put(17, H);
    if (derived->R == 0.0) {
        vq::raise_float_division();
        return -1;
    }
    put(18, H / derived->R);
    put(19, rho);
    return 0;
}

[[maybe_unused]] constexpr writer_func kSignatureCheck = &standard_writer_func;

int exec_module(PyObject* module) {
    auto init = init_guard.begin();
    if (!init) return -1;
    if (!vq::disk::bind_closure_base(&closure_class)) return -1;
    if (!vq::opacity::bind_bases(&opacity_bases)) return -1;
    if (!vq::export_function(module, "standard_writer_func", &standard_writer_func, vq::disk::kWriterFuncTag) ||
        !vq::export_pointer(module, "N_RESULT_FIELDS", &N_RESULT_FIELDS, vq::disk::kIntTag) ||
        !vq::add_object(module, "N_RESULT_FIELDS_PY", PyLong_FromLong(N_RESULT_FIELDS)))
        return -1;
    init.commit();
    return 0;
}

constexpr const char* kModuleDoc =
    "Standard result writer of the one-zone disk model.\n\n"
    "standard_writer_func (exported natively) fills one column of N_RESULT_FIELDS_PY = 20\n"
    "linear CGS values per step:\n\n"
    "  0 step index            1 t [s]                 2 M_D [g]\n"
    "  3 J_D [g cm^2 s^-1]     4 R_D [cm]              5 Sigma [g cm^-2]\n"
    "  6 Omega [s^-1]          7 T_eff [K]             8 T_c [K]\n"
    "  9 tau [-]              10 c_s [cm s^-1]        11 nu [cm^2 s^-1]\n"
    " 12 q_visc [erg cm^-2 s^-1]  13 dM/dt [g s^-1]   14 dJ/dt [g cm^2 s^-2]\n"
    " 15 dt [s]               16 t_visc [s]           17 H = c_s / Omega [cm]\n"
    " 18 H / R [-]            19 rho [g cm^-3]\n\n"
    "Column k pairs the state after k steps with the step (dt, rates) leading away from it.";

}  // namespace

VQ_DEFINE_MODULE(_writer, kModuleName, kModuleDoc, nullptr, exec_module)
