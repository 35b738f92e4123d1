"""Finds the module in the build tree (QUELBY_PYTHON_PATH, else build/release/python) and the
command beside it (QUELBY_BINARY, else build/release/quelby)."""

import os
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("QUELBY_BUILD", ROOT / "build" / "release"))
sys.path.insert(0, os.environ.get("QUELBY_PYTHON_PATH", str(BUILD / "python")))


@pytest.fixture
def root():
    return ROOT


@pytest.fixture
def command():
    path = pathlib.Path(os.environ.get("QUELBY_BINARY", BUILD / "quelby"))
    assert path.exists(), f"the command is not built: {path}"
    return path


@pytest.fixture
def example(root):
    return root / "examples" / "section.msh", root / "examples" / "section.mod"
