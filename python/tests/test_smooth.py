"""quelby.smooth with fixed cells and quelby.fixed_cells, against a literal pass and the command."""

import math
import random
import subprocess

import numpy as np
import pytest

import quelby


def literal_masked_smooth(dx, dz, fixed, values, cycles):
    """ln of the free cells, the masked passes written out cell by cell, exp of the free cells."""
    nz, nx = values.shape
    neighbours = {}
    for k in range(nz):
        for i in range(nx):
            neighbours[k, i] = [(kk, ii) for kk in range(max(k - 1, 0), min(k + 2, nz))
                                for ii in range(max(i - 1, 0), min(i + 2, nx))]
    lone = {cell: not fixed[cell] and len(near) > 1 and
            all(fixed[other] for other in near if other != cell)
            for cell, near in neighbours.items()}
    kept = {cell: bool(fixed[cell]) or lone[cell] for cell in neighbours}
    current = {cell: (values[cell] if kept[cell] else math.log(values[cell])) for cell in neighbours}
    for _ in range(cycles):
        following = {}
        for cell, near in neighbours.items():
            if kept[cell]:
                following[cell] = current[cell]
                continue
            total, weights = 0.0, 0.0
            for kk, ii in near:
                if fixed[kk, ii]:
                    continue
                w = dx[ii] * dz[kk]
                total = total + current[kk, ii] * w
                weights = weights + w
            following[cell] = total / weights
        current = following
    result = np.empty_like(values)
    for cell in neighbours:
        result[cell] = current[cell] if kept[cell] else math.exp(current[cell])
    return result


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


def test_masked_smooth_matches_the_literal_pass(small):
    mesh, values = small
    generator = random.Random(3)
    for share in (0.0, 0.2, 0.5, 0.9, 1.0):
        fixed = np.array([[generator.random() < share for _ in range(mesh.nx)]
                          for _ in range(mesh.nz)])
        placeholder = values.copy()
        placeholder[fixed] = -1.0  # never logged: no NaN may come of it
        for cycles in (1, 3):
            result = quelby.smooth(mesh, placeholder, cycles, fixed=fixed)
            expected = literal_masked_smooth(mesh.dx, mesh.dz, fixed, placeholder, cycles)
            np.testing.assert_array_equal(result, expected)
            assert (result[fixed] == -1.0).all()


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
