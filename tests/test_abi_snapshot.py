"""Every native export table matches the committed signature snapshot.

abi_snapshot.json maps a module to {export name: capsule name}; the capsule name
is the signature text that importing modules compare against.  A changed or
missing export fails here before it fails another module's import."""

import ctypes
import importlib
import json
import pathlib

import pytest

SNAPSHOT = json.loads((pathlib.Path(__file__).parent / "abi_snapshot.json").read_text())

_capsule_name = ctypes.PYFUNCTYPE(ctypes.c_char_p, ctypes.py_object)(("PyCapsule_GetName", ctypes.pythonapi))


@pytest.mark.parametrize("module", sorted(SNAPSHOT))
def test_export_table_matches_snapshot(module):
    table = importlib.import_module(module).__native_api__
    assert type(table) is dict
    tags = {name: _capsule_name(capsule).decode() for name, capsule in table.items()}
    assert tags == SNAPSHOT[module]
