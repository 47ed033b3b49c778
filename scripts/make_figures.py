"""Regenerate the figures of docs/ that the README shows.

    .venv/bin/python scripts/make_figures.py

docs/tde_reference.png   the reference run (`velquor`: gas-pressure thin disk)
docs/tde_advective.png   the same disruption with the advective closure
                         (`velquor --closure advective`)
docs/tde_closures.png    the two runs on common axes: accretion rate, Eddington
                         ratio, radiated fraction and disk radius
"""

import pathlib

from matplotlib.figure import Figure

from velquor.tde import DAY, M_SUN, YEAR, TDEDisk

DOCS = pathlib.Path(__file__).resolve().parent.parent / "docs"


def save(fig, name):
    fig.savefig(DOCS / name, dpi=110)
    print(f"wrote {DOCS / name}")


def comparison(thin, advective):
    fig = Figure(figsize=(10, 7.5), layout="constrained")
    (rate, edd), (frac, radius) = fig.subplots(2, 2, sharex=True)
    msun_yr = M_SUN / YEAR
    for run, label, color in ((thin, "thin (gas pressure)", "C0"), (advective, "advective", "C3")):
        t = run.t / DAY
        rate.loglog(t, run.Mdot_acc / msun_yr, color=color, lw=1.8, label=label)
        edd.loglog(t, run.L / run.L_Edd, color=color, lw=1.8, label=label)
        frac.semilogx(t, run.f_rad, color=color, lw=1.8, label=label)
        radius.loglog(t, run.R / run.R_c, color=color, lw=1.8, label=label)
    rate.loglog(advective.t / DAY, advective.Mdot_fb / msun_yr, color="0.4", ls="--", lw=1.2,
                label=r"fallback $\dot M_{\rm fb}$")
    edd.axhline(1.0, color="0.5", ls=":", lw=1)
    for e in advective.branch_episodes():
        if e.branch == 1:
            for ax in (rate, edd, frac, radius):
                ax.axvspan(e.t_start / DAY, e.t_end / DAY, color="C9", alpha=0.25, lw=0)
    rate.set_ylabel(r"accretion rate $\dot M_{\rm acc}$ [M$_\odot$ yr$^{-1}$]")
    rate.set_title("accretion (shaded: advective branch)")
    edd.set_ylabel(r"Eddington ratio $L / L_{\rm Edd}$ [-]")
    edd.set_title("bolometric luminosity")
    frac.set_ylabel(r"radiated fraction $Q_{\rm rad} / Q^+$ [-]")
    frac.set_title("share of the heating radiated")
    radius.set_ylabel(r"disk radius $R_D / R_c$ [-]")
    radius.set_title("disk radius")
    for ax in (rate, edd, frac, radius):
        ax.set_xlabel("time since disruption [days]")
        ax.tick_params(labelbottom=True)
        ax.grid(True, alpha=0.3)
    rate.legend(fontsize="small")
    fig.suptitle(r"$M_{\rm BH} = 10^6$ M$_\odot$, Sun-like star, $\beta$ = 1, $\alpha$ = 0.1, electron scattering, "
                 "fallback on")
    return fig


def main():
    thin = TDEDisk().run()
    advective = TDEDisk(closure="advective").run()
    for run, name in ((thin, "tde_reference.png"), (advective, "tde_advective.png")):
        fig = Figure(figsize=(10, 7.5), layout="constrained")
        run.plot(fig)
        save(fig, name)
    save(comparison(thin, advective), "tde_closures.png")


if __name__ == "__main__":
    main()
