"""Gas-pressure-only thermal closure of the one-zone disk (native module; sedge_closure_func)."""

__native_api__: dict[str, object]
