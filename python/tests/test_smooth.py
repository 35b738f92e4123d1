"""quelby.smooth with fixed cells and quelby.fixed_cells, against the plain smooth and the command."""

import math
import random
import subprocess

import numpy as np
import pytest

import quelby


def write_file(path, text):
    path.write_text(text)
    return str(path)


@pytest.fixture
def small(tmp_path):
    mesh_path = write_file(tmp_path / "m.msh", "2\n0 30 3\n70 4\n2\n0 10 2\n40 3\n")
    mesh = quelby.load_mesh(mesh_path)
    generator = random.Random(15)
    values = np.array([[math.exp(generator.gauss(4.6, 1.5)) for _ in range(mesh.nx)]
                       for _ in range(mesh.nz)])
    return mesh, values


def test_fixed_cells_keep_their_values_and_stay_out_of_the_sums(small):
    mesh, values = small
    fixed = np.zeros((mesh.nz, mesh.nx), dtype=bool)
    fixed[0, :] = True
    placeholder = values.copy()
    placeholder[fixed] = -1.0  # never logged: no NaN may come of it
    result = quelby.smooth(mesh, placeholder, 3, fixed=fixed)
    assert (result[fixed] == -1.0).all()
    assert np.isfinite(result).all()
    # The rows below do not see the placeholder: changing it changes nothing.
    placeholder[fixed] = 1.0e-8
    other = quelby.smooth(mesh, placeholder, 3, fixed=fixed)
    assert np.array_equal(other[~fixed], result[~fixed])
    assert not np.array_equal(quelby.smooth(mesh, placeholder, 3)[~fixed], result[~fixed])


def test_no_fixed_cell_is_the_plain_smooth_bit_for_bit(small):
    mesh, values = small
    plain = quelby.smooth(mesh, values, 4)
    assert np.array_equal(quelby.smooth(mesh, values, 4, fixed=None), plain)
    none = np.zeros((mesh.nz, mesh.nx), dtype=bool)
    assert quelby.smooth(mesh, values, 4, fixed=none).tobytes() == plain.tobytes()


def test_fixed_must_fit_the_mesh(small):
    mesh, values = small
    with pytest.raises(ValueError, match="shape"):
        quelby.smooth(mesh, values, 1, fixed=np.zeros((mesh.nx, mesh.nz), dtype=bool))
    with pytest.raises(ValueError, match="shape"):
        quelby.smooth(mesh, values, 1, fixed=np.zeros(mesh.nx * mesh.nz, dtype=bool))


def test_fixed_cells_come_from_the_air_and_the_parameter_map(tmp_path, root):
    examples = root / "examples"
    mesh, topography = quelby.load_mesh_and_topography(
        str(examples / "section.msh"), str(examples / "section.topo"), io=quelby.default_io())
    rows = np.arange(mesh.nz)[:, None]
    air = rows < np.asarray(topography.air_cells)[None, :]
    assert air.any() and not air.all()
    np.testing.assert_array_equal(quelby.fixed_cells(mesh, topography), air)
    assert not quelby.fixed_cells(mesh).any()

    active = quelby.read_active_cells(mesh, topography, str(examples / "section.act"))
    no_parameter = np.asarray(active.cell_idx).reshape(mesh.nz, mesh.nx) <= 0
    np.testing.assert_array_equal(quelby.fixed_cells(mesh, active=active), no_parameter)
    np.testing.assert_array_equal(quelby.fixed_cells(mesh, topography, active), no_parameter)
    assert (no_parameter >= air).all() and no_parameter[-1].all()


def test_smooth_with_the_example_mask_writes_the_commands_bytes(tmp_path, root, command):
    examples = root / "examples"
    mesh, topography = quelby.load_mesh_and_topography(
        str(examples / "section.msh"), str(examples / "section.topo"))
    active = quelby.read_active_cells(mesh, topography, str(examples / "section.act"))
    model = quelby.read_model(str(examples / "section.mod"), mesh)
    smoothed = quelby.smooth(mesh, model, 5, fixed=quelby.fixed_cells(mesh, topography, active))
    quelby.write_model(str(tmp_path / "py.mod"), mesh, smoothed)
    result = subprocess.run(
        [str(command), "--topography", str(examples / "section.topo"), "--active",
         str(examples / "section.act"), str(examples / "section.msh"),
         str(examples / "section.mod"), str(tmp_path / "cmd.mod"), "5"],
        capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert (tmp_path / "py.mod").read_bytes() == (tmp_path / "cmd.mod").read_bytes()
