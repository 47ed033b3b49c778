"""One-zone accretion disk: closures, integrators and how a run reports failure.

The native modules of this package (``closure``, ``integrator``, ``adaptive``,
``_writer``, ``models``, ``physics``) build and run the model.  Two names live
here because every integrator shares them:

``Status``
    Every status of the native model by name, from the one status table of the
    native code: the root finder's results (``SUCCESS`` .. ``MAX_ITER``, passed
    on by the thermal closures), ``ERROR_PENDING``, the integrators' stage
    failures (``DERIVATIVE_FAIL``, ``WRITER_FAIL``, ``SOURCE_FAIL``,
    ``STEP_UNDERFLOW``, ``STEP_LIMIT``) and the closure failures an integrator
    reports (``CLOSURE_FUNC_ERROR``, ``CLOSURE_EXPAND_FAIL``,
    ``CLOSURE_NO_BRACKET``, ``CLOSURE_MAX_ITER``, ``CLOSURE_UNRECOGNISED``).
    Each value has one meaning.
``IntegrationError``
    What ``run_one_zone_model`` and ``run_one_zone_model_adaptive`` raise when a
    run stops on a failure reported by status: a ``RuntimeError`` with the
    documented message that also carries the status and what was computed.
"""

from __future__ import annotations

import enum
import math
from typing import Any

from velquor.dynamics.accretion.one_zone._status import STATUSES

__all__ = ["IntegrationError", "Status"]

#: Every status of the native model, by name (values are the native codes).
Status = enum.IntEnum("Status", [(name, code) for code, name, _ in STATUSES], module=__name__)


class IntegrationError(RuntimeError):
    """A run of the one-zone disk stopped on a failure reported by status.

    ``str(exc)`` is the documented message of the failure (for example the
    ``CLOSURE / EXPAND_FAIL (-2): ...`` text of a thermal solve that found no
    root); tell failures apart by :attr:`status`, never by that text.

    Parameters
    ----------
    message : str
        The failure's message.
    status : int
        Its :class:`Status` value, e.g. ``Status.CLOSURE_EXPAND_FAIL``.
    status_name : str
        The status's name, e.g. ``"CLOSURE_EXPAND_FAIL"``.
    partial : ndarray of float64, shape (rows, n), optional
        The n complete result columns the run wrote before it failed (n may be
        0), laid out as the integrator's result.
    t_failed : float, optional
        Time [s] of the state the run could not get past: the Euler run's
        state whose step failed, the adaptive run's last accepted state.
    state : ndarray of float64, shape (2,), optional
        That state's [M, J] [g, g cm^2 s^-1].

    Notes
    -----
    Instances pickle with every attribute, so failures travel back from the
    workers of a sweep.
    """

    status: int
    status_name: str
    partial: Any
    t_failed: float
    state: Any

    def __init__(
        self,
        message: str,
        status: int,
        status_name: str,
        partial: Any = None,
        t_failed: float = math.nan,
        state: Any = None,
    ) -> None:
        super().__init__(message)
        self.status = int(status)
        self.status_name = str(status_name)
        self.partial = partial
        self.t_failed = float(t_failed)
        self.state = state

    def __reduce__(self) -> tuple[Any, ...]:
        return (
            type(self),
            (self.args[0], self.status, self.status_name, self.partial, self.t_failed, self.state),
        )
