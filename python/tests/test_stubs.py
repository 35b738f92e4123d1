"""The package as a reference: the committed type stubs are what python/tools/make_stubs.py writes
for the module under test, every public name has a docstring beyond its signature, the version is
the project's, and messages reach the logger or the writer given."""

import importlib.util
import inspect

import pytest

import quelby
import quelby._quelby as compiled


def test_the_committed_stubs_are_current(root):
    spec = importlib.util.spec_from_file_location("make_stubs",
                                                  root / "python" / "tools" / "make_stubs.py")
    tool = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(tool)
    committed = (root / "python" / "quelby" / "_quelby.pyi").read_text()
    assert tool.stubs(compiled) == committed, "run python/tools/make_stubs.py"
    compile(committed, "_quelby.pyi", "exec")  # valid Python


def test_every_public_name_is_documented():
    for name, value in vars(compiled).items():
        if name.startswith("_") or not callable(value):
            continue
        doc = inspect.getdoc(value) or ""
        # pybind11 puts the signature first; a description must follow it.
        signed = doc.startswith(name + "(") and not inspect.isclass(value)
        parts = doc.split("\n\n", 1) if signed else ["", doc]
        description = parts[1] if len(parts) > 1 else ""
        assert len(description.strip()) > 20, name
    for name in ("plot_section", "plot_pseudosection", "pseudosection", "apparent_resistivity",
                 "export"):
        assert len(inspect.getdoc(getattr(quelby, name))) > 40, name


def test_help_lists_every_class_and_function():
    import pydoc

    text = pydoc.render_doc(quelby, renderer=pydoc.plaintext)
    public = [name for name in vars(compiled) if not name.startswith("_")]
    assert set(public) <= set(quelby.__all__)
    for name in quelby.__all__:
        assert f"    class {name}(" in text or f"    {name}(" in text, name


def test_the_version_is_the_projects(root):
    import importlib.metadata
    import re

    stated = re.search(r"project\(\s*quelby\s+VERSION\s+([0-9.]+)",
                       (root / "CMakeLists.txt").read_text()).group(1)
    assert quelby.__version__ == stated
    try:
        installed = importlib.metadata.version("quelby")
    except importlib.metadata.PackageNotFoundError:
        return  # the build tree's module carries no package metadata
    assert installed == stated


def test_console_and_error_lines_go_to_the_logger_or_to_a_given_writer(tmp_path, caplog):
    import io

    caplog.set_level("INFO", logger="quelby")
    log = io.StringIO()
    missing = tmp_path / "absent.msh"
    for console in (None, io.StringIO()):
        caplog.clear()
        with pytest.raises(quelby.Stop):
            quelby.load_mesh(missing, io=quelby.Io(console=console, log=log))
        records = [r.getMessage() for r in caplog.records if r.name == "quelby"]
        if console is None:
            assert records == [f" ERROR: mesh file not found: {missing}"]
        else:
            assert records == []
            assert console.getvalue() == f"\n ERROR: mesh file not found: {missing}\n"
