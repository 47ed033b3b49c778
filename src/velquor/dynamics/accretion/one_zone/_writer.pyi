"""Standard result writer of the one-zone disk model (native module).

standard_writer_func (exported natively) fills 20 rows per step: step index, t [s],
M_D [g], J_D [g cm^2 s^-1], R_D [cm], Sigma [g cm^-2], Omega [s^-1], T_eff [K], T_c [K],
tau, c_s [cm s^-1], nu [cm^2 s^-1], q_visc [erg cm^-2 s^-1], dM/dt [g s^-1],
dJ/dt [g cm^2 s^-2], dt [s], t_visc [s], H [cm], H/R, rho [g cm^-3].
"""

N_RESULT_FIELDS_PY: int
__native_api__: dict[str, object]
