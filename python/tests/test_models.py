"""The mesh, the model files and smoothing from Python, checked against the command's own output."""

import io
import subprocess

import numpy as np
import pytest

import quelby


def run_command(command, mesh, model, output, cycles):
    result = subprocess.run([str(command), str(mesh), str(model), str(output), str(cycles)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    return output.read_bytes()


def test_mesh_fields_are_numpy_views(example):
    mesh = quelby.load_mesh(str(example[0]))
    assert (mesh.nx, mesh.nz) == (80, 30)
    for name, size in [("dx", 80), ("x_nodes", 81), ("x_centres", 80),
                       ("dz", 30), ("z_nodes", 31), ("z_centres", 30)]:
        values = getattr(mesh, name)
        assert isinstance(values, np.ndarray) and values.shape == (size,)
        assert not values.flags.writeable
    np.testing.assert_array_equal(mesh.x_nodes[1:], mesh.x_nodes[:-1] + mesh.dx)
    np.testing.assert_array_equal(mesh.x_centres, (mesh.x_nodes[:-1] + mesh.x_nodes[1:]) * 0.5)
    assert mesh.x_mid == (mesh.x_nodes[0] + mesh.x_nodes[-1]) * 0.5


def test_smooth_writes_the_commands_bytes_on_the_example(tmp_path, command, example):
    mesh = quelby.load_mesh(str(example[0]))
    model = quelby.read_model(str(example[1]), mesh)
    assert model.shape == (30, 80)
    for cycles in (1, 5):
        smoothed = quelby.smooth(mesh, model, cycles)
        quelby.write_model(str(tmp_path / "py.mod"), mesh, smoothed)
        expected = run_command(command, example[0], example[1], tmp_path / "cmd.mod", cycles)
        assert (tmp_path / "py.mod").read_bytes() == expected
    # The input is left as it was.
    np.testing.assert_array_equal(model, quelby.read_model(str(example[1]), mesh))


def test_smooth_writes_the_commands_bytes_on_random_models(tmp_path, command):
    generator = np.random.default_rng(7)
    for case in range(6):
        nx, nz = generator.integers(1, 9, size=2)
        widths_x = generator.uniform(0.5, 40, size=nx)
        widths_z = generator.uniform(0.5, 40, size=nz)
        mesh_path = tmp_path / f"m{case}.msh"
        # One segment per cell, so that the widths are those written.
        lines = [str(nx)]
        x = np.concatenate([[0.0], np.cumsum(widths_x)])
        lines.append(f"{x[0]!r} {x[1]!r} 1")
        lines += [f"{value!r} 1" for value in x[2:]]
        z = np.concatenate([[0.0], np.cumsum(widths_z)])
        lines.append(str(nz))
        lines.append(f"{z[0]!r} {z[1]!r} 1")
        lines += [f"{value!r} 1" for value in z[2:]]
        mesh_path.write_text("\n".join(lines) + "\n")
        values = np.exp(generator.uniform(-3, 9, size=(nz, nx)))
        model_path = tmp_path / f"m{case}.mod"
        model_path.write_text(f"{nx} {nz}\n" + "\n".join(
            " ".join(repr(v) for v in row) for row in values) + "\n")
        cycles = int(generator.integers(1, 6))
        mesh = quelby.load_mesh(str(mesh_path))
        smoothed = quelby.smooth(mesh, quelby.read_model(str(model_path), mesh), cycles)
        quelby.write_model(str(tmp_path / "py.mod"), mesh, smoothed)
        expected = run_command(command, mesh_path, model_path, tmp_path / "cmd.mod", cycles)
        assert (tmp_path / "py.mod").read_bytes() == expected, case


def test_written_arrays_read_back_to_six_digits(tmp_path):
    mesh_path = tmp_path / "a.msh"
    mesh_path.write_text("1\n0 70 7\n1\n0 50 5\n")
    mesh = quelby.load_mesh(str(mesh_path))
    generator = np.random.default_rng(3)
    values = np.exp(generator.uniform(-200, 200, size=(5, 7))) * generator.choice([-1, 1], (5, 7))
    quelby.write_model(str(tmp_path / "a.mod"), mesh, values)
    back = quelby.read_model(str(tmp_path / "a.mod"), mesh)
    np.testing.assert_allclose(back, values, rtol=5e-6)
    # A flat vector in cell order is taken too; a wrong shape is refused before anything is written.
    quelby.write_model(str(tmp_path / "b.mod"), mesh, values.ravel())
    assert (tmp_path / "b.mod").read_bytes() == (tmp_path / "a.mod").read_bytes()
    with pytest.raises(ValueError):
        quelby.write_model(str(tmp_path / "c.mod"), mesh, values.T)
    assert not (tmp_path / "c.mod").exists()


def test_stops_carry_their_message_and_status(tmp_path):
    console = io.StringIO()
    log = io.StringIO()
    streams = quelby.Io(console=console, log=log)
    missing = str(tmp_path / "absent.msh")
    with pytest.raises(quelby.Stop) as raised:
        quelby.load_mesh(missing, io=streams)
    assert raised.value.lines == ["", " ERROR: mesh file not found: " + missing]
    assert raised.value.status == 1
    assert console.getvalue() == "\n ERROR: mesh file not found: " + missing + "\n"
    assert log.getvalue() == console.getvalue()

    bad = tmp_path / "bad.msh"
    bad.write_text("1\n10 0 2\n1\n0 1 1\n")
    with pytest.raises(quelby.Stop) as raised:
        quelby.load_mesh(str(bad), io=streams)
    assert raised.value.lines == ["", "Error: X nodes should be in increasing order in the mesh.",
                                  str(bad)]


def test_the_default_run_log_is_kept_in_memory(example, capsys, caplog):
    quelby.default_io().clear_log()
    mesh = quelby.load_mesh(example[0])
    quelby.read_model(example[1], mesh, label="start")
    assert quelby.run_log() == (f"\nmesh was read from: {example[0]}\n"
                                f"start was read from file: {example[1]}\n")
    caplog.set_level("INFO", logger="quelby")
    with pytest.raises(quelby.Stop):
        quelby.load_mesh("absent.msh")
    # Nothing is printed: the console lines are records of the logger "quelby".
    assert capsys.readouterr() == ("", "")
    assert [(r.name, r.levelname, r.getMessage()) for r in caplog.records] == [
        ("quelby", "INFO", " ERROR: mesh file not found: absent.msh")]
