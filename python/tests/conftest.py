"""Finds the module under test and the command beside it.

By default the module is the build tree's (QUELBY_PYTHON_PATH, else build/release/python). With
QUELBY_INSTALLED=1 it is the installed package (pip install .), whatever the interpreter imports,
and never the source or build tree. The command is QUELBY_BINARY, else build/release/quelby;
quelby-forward is QUELBY_FORWARD_BINARY, else build/release/quelby-forward; quelby-invert is
QUELBY_INVERT_BINARY, else build/release/quelby-invert; quelby-import is QUELBY_IMPORT_BINARY, else
build/release/quelby-import.
"""

import os
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("QUELBY_BUILD", ROOT / "build" / "release"))
INSTALLED = os.environ.get("QUELBY_INSTALLED") == "1"
if not INSTALLED:
    sys.path.insert(0, os.environ.get("QUELBY_PYTHON_PATH", str(BUILD / "python")))


def pytest_report_header(config):
    import quelby

    return f"quelby {quelby.__version__} from {pathlib.Path(quelby.__file__).parent}"


def pytest_sessionstart(session):
    if INSTALLED:
        import quelby

        location = pathlib.Path(quelby.__file__).resolve()
        if ROOT in location.parents:
            raise pytest.UsageError(f"QUELBY_INSTALLED=1 but quelby comes from the tree: {location}")


@pytest.fixture
def root():
    return ROOT


@pytest.fixture
def command():
    path = pathlib.Path(os.environ.get("QUELBY_BINARY", BUILD / "quelby"))
    assert path.exists(), f"the command is not built: {path}"
    return path


@pytest.fixture
def forward_command():
    path = pathlib.Path(os.environ.get("QUELBY_FORWARD_BINARY", BUILD / "quelby-forward"))
    assert path.exists(), f"the command is not built: {path}"
    return path


@pytest.fixture
def invert_command():
    path = pathlib.Path(os.environ.get("QUELBY_INVERT_BINARY", BUILD / "quelby-invert"))
    assert path.exists(), f"the command is not built: {path}"
    return path


@pytest.fixture
def import_command():
    path = pathlib.Path(os.environ.get("QUELBY_IMPORT_BINARY", BUILD / "quelby-import"))
    assert path.exists(), f"the command is not built: {path}"
    return path


@pytest.fixture
def example(root):
    return root / "examples" / "section.msh", root / "examples" / "section.mod"
