"""How the bindings behave as Python: a stop is an ordinary exception of the standard kind with
its message lines, status and detail, and file names may be str or os.PathLike but not bytes."""


import numpy as np
import pytest

import quelby


def test_stops_are_ordinary_python_exceptions(tmp_path, caplog):
    cases = [  # (call, the standard exception, cause)
        (lambda: quelby.load_mesh(tmp_path / "absent.msh"), FileNotFoundError, "missing_file"),
        (lambda: quelby.load_mesh(bad_mesh), ValueError, "bad_input"),
    ]
    bad_mesh = tmp_path / "bad.msh"
    bad_mesh.write_text("1\n10 0 2\n1\n0 1 1\n")
    for call, standard, cause in cases:
        with pytest.raises(standard) as raised:
            call()
        stop = raised.value
        assert isinstance(stop, quelby.Stop) and stop.cause == cause and stop.status == 1
        assert stop.lines[0] == "" and str(stop).splitlines()[0] == stop.lines[1]
    assert issubclass(quelby.ResourceStop, MemoryError)
    assert not issubclass(quelby.MissingFileStop, ValueError)
    # The exception's text is the message without its empty lines, then the detail line if any.
    model = tmp_path / "typo.mod"
    model.write_text("1 1\n1OO\n")
    mesh_file = tmp_path / "one.msh"
    mesh_file.write_text("1\n0 1 1\n1\n0 1 1\n")
    with pytest.raises(ValueError) as raised:
        quelby.read_model(model, quelby.load_mesh(mesh_file))
    stop = raised.value
    assert isinstance(stop.detail, str)
    assert str(stop) == "\n".join([line for line in stop.lines if line] +
                                  ([stop.detail] if stop.detail else []))
    assert stop.text == "\n".join(stop.lines) + "\n"
    # A reader's refusal carries where and what, beside the message.
    broken = tmp_path / "broken.msh"
    broken.write_text("1\n0 100 x\n1\n0 10 2\n")
    with pytest.raises(ValueError) as raised:
        quelby.load_mesh(broken)
    assert raised.value.detail == f"{broken}:2: 'x' is not an integer"
    assert raised.value.lines == ["", f"Error reading the mesh file: {broken}"]


def test_file_names_may_be_paths(root):
    examples = root / "examples"
    by_text = quelby.load_mesh_and_topography(str(examples / "section.msh"),
                                              str(examples / "section.topo"))
    by_path = quelby.load_mesh_and_topography(examples / "section.msh",
                                              examples / "section.topo")
    np.testing.assert_array_equal(by_text[1].surface_z, by_path[1].surface_z)
    with pytest.raises(TypeError):
        quelby.load_mesh(b"examples/section.msh")
