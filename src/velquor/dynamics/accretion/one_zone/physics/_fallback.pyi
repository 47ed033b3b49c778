"""Fallback mass supply M_fb_0 (t / t_fb)^-beta_fb [g s^-1] (native module; fallback_source_func)."""

__native_api__: dict[str, object]
