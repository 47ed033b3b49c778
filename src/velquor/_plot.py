"""Figure of a one-zone disk run (matplotlib is imported here, on first use)."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from velquor.tde import DiskRun


def plot_run(run: DiskRun, fig: Any = None) -> Any:
    from velquor.tde import C_CGS, DAY, M_SUN, R_SUN, YEAR

    if fig is None:
        try:
            # pyplot manages the new figure (it shows in notebooks); the
            # backend already chosen is kept.
            import matplotlib.pyplot as plt
        except ImportError as exc:  # pragma: no cover - depends on the environment
            raise ImportError("plotting needs matplotlib: pip install 'velquor[plot]'") from exc
        fig = plt.figure(figsize=(10, 7.5), layout="constrained")
    axes = fig.subplots(2, 2, sharex=True)
    (ax_rate, ax_mass), (ax_rad, ax_temp) = axes

    t = run.t / DAY
    msun_yr = M_SUN / YEAR

    def positive(y: np.ndarray) -> np.ndarray:
        # Log axes: show only what can be drawn.
        return np.where(y > 0, y, np.nan)

    ax_rate.loglog(t, positive(run.Mdot_acc / msun_yr), color="C0", lw=2, label=r"accretion $\dot M_{\rm acc}$")
    if run.fallback:
        ax_rate.loglog(t, run.Mdot_fb / msun_yr, color="C1", ls="--", label=r"fallback $\dot M_{\rm fb}$")
    mdot_edd = run.L_Edd / (run.efficiency * C_CGS**2) / msun_yr
    ax_rate.axhline(mdot_edd, color="0.5", ls=":", lw=1, label=rf"Eddington ($\eta$ = {run.efficiency:.3g})")
    i = run.i_peak
    ax_rate.plot([t[i]], [run.Mdot_acc[i] / msun_yr], "o", color="C0", ms=5)
    ax_rate.set_ylabel(r"mass rate [M$_\odot$ yr$^{-1}$]")
    ax_rate.set_title("accretion and fallback")

    ax_mass.loglog(t, positive(run.M / M_SUN), color="C2", lw=2)
    ax_mass.set_ylabel(r"disk mass $M_D$ [M$_\odot$]")
    ax_mass.set_title("disk mass")

    ax_rad.loglog(t, positive(run.R / R_SUN), color="C3", lw=2, label=r"disk radius $R_D$")
    if np.isfinite(run.R_c):
        ax_rad.axhline(run.R_c / R_SUN, color="0.5", ls=":", lw=1, label=r"circularisation $R_c$")
    ax_rad.set_ylabel(r"radius [R$_\odot$]")
    ax_rad.set_title("disk radius")
    ax_rad.legend(loc="best", fontsize="small")

    ax_temp.loglog(t, positive(run.T_c), color="C4", lw=2, label=r"central $T_c$")
    ax_temp.loglog(t, positive(run.T_eff), color="C5", lw=2, label=r"effective $T_{\rm eff}$")
    ax_temp.set_ylabel("temperature [K]")
    ax_temp.set_title("temperatures")
    ax_temp.legend(loc="best", fontsize="small")

    # The advective episodes of a branch-tracking run, shaded on every panel.
    episodes = [e for e in run.branch_episodes() if e.branch == 1] if run.reports_branch else []
    for k, e in enumerate(episodes):
        for ax in axes.flat:
            ax.axvspan(e.t_start / DAY, e.t_end / DAY, color="C9", alpha=0.25, lw=0,
                       label="advective branch" if k == 0 and ax is ax_rate else None)  # fmt: skip
    ax_rate.legend(loc="best", fontsize="small")

    for ax in axes.flat:
        ax.grid(True, which="major", alpha=0.3)
        ax.set_xlabel("time since disruption [days]")
        ax.tick_params(labelbottom=True)
    inputs = run.inputs
    if inputs:
        fig.suptitle(
            rf"$M_{{\rm BH}}$ = {_tex_number(inputs.get('M_BH'))} M$_\odot$, "
            rf"$M_\star$ = {_tex_number(inputs.get('M_star'))} M$_\odot$, "
            rf"$R_\star$ = {_tex_number(inputs.get('R_star'))} R$_\odot$, "
            rf"$\beta$ = {_tex_number(inputs.get('beta'))}, "
            + (rf"$a$ = {_tex_number(inputs['spin'])}, " if inputs.get("spin") else "")
            + rf"$\alpha$ = {_tex_number(inputs.get('alpha'))}, "
            f"closure: {inputs.get('closure', '?')}"
            + (rf" ($\xi$ = {_tex_number(inputs['xi'])})" if inputs.get("xi") is not None else "")
            + ", "
            f"fallback: {'on' if run.fallback else 'off'}"
        )
    return fig


def _tex_number(x: object) -> str:
    """1e6 as $10^{6}$, 3e7 as $3 \\times 10^{7}$, small numbers plainly."""
    if not isinstance(x, (int, float)) or not math.isfinite(x):
        return "?"
    if x == 0 or 1e-2 <= abs(x) < 1e4:
        return f"{x:g}"
    mantissa, exponent = f"{x:.3e}".split("e")
    m = mantissa.rstrip("0").rstrip(".")
    power = rf"10^{{{int(exponent)}}}"
    return f"${power}$" if m == "1" else rf"${m} \times {power}$"
