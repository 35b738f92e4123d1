"""Pseudosections, apparent resistivities, their pictures, the export to viewers and the move
between models and parameter vectors, against independent computations (the dipole-dipole
geometric factor, the file's own order, meshio reading back)."""

import subprocess
import sys

import numpy as np
import pytest

import quelby

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.colors  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402


@pytest.fixture
def survey(root):
    return quelby.read_data_file(root / "examples" / "dipole_dipole.dat")


def test_pseudosection_points_follow_the_file_lines(survey):
    x, depth = quelby.pseudosection(survey)
    # From the positions in file order, placed by sorted_pos (1-based grouped positions).
    a, b, m, n = (np.asarray(v) for v in (survey.xa_file, survey.xb_file, survey.xm_file,
                                          survey.xn_file))
    order = np.asarray(survey.sorted_pos) - 1
    expected_x = np.empty(survey.ndat)
    expected_depth = np.empty(survey.ndat)
    expected_x[order] = ((a + b) / 2 + (m + n) / 2) / 2
    expected_depth[order] = np.abs((m + n) / 2 - (a + b) / 2) / 2
    np.testing.assert_array_equal(x, expected_x)
    np.testing.assert_array_equal(depth, expected_depth)
    # Dipole-dipole: K = pi a n (n + 1) (n + 2) with the dipole length a and n = BM / a - ...
    spacing = np.abs(a - b)
    level = np.abs(m - a) / spacing
    k = np.empty(survey.ndat)
    k[order] = np.pi * spacing * level * (level + 1) * (level + 2)
    np.testing.assert_allclose(quelby.geometric_factor(survey), k, rtol=1e-12)
    rho = quelby.apparent_resistivity(survey)
    np.testing.assert_allclose(rho, k * np.asarray(survey.dobs), rtol=1e-12)
    # Over the conductive body (x 110..250 m) the line reads lower than over the resistive one.
    assert np.median(rho[(x > 130) & (x < 230) & (depth > 25)]) < 60
    assert np.median(rho[(x > 390) & (x < 460) & (depth > 25)]) > 130


def test_geometric_factors_of_poles_and_degenerate_layouts(tmp_path):
    # A B M N, then the expected K (independently written for each layout).
    cases = [
        ((0, 0, 10, 10), 2 * np.pi * 10),                           # pole-pole
        ((0, 0, 10, 30), 2 * np.pi / (1 / 10 - 1 / 30)),            # pole-dipole
        ((0, 30, 10, 10), 2 * np.pi / (1 / 10 - 1 / 20)),           # dipole-pole
        ((0, 30, 10, 20), 2 * np.pi / (1 / 10 - 1 / 20 - 1 / 20 + 1 / 10)),  # Wenner
        ((0, 20, 10, 10 + 1e-300), np.nan),                         # M next to N: K infinite
        ((0, 0, 0, 10), np.nan),                                    # A on M
        ((0, 10, 5, 5), np.nan),                                    # 1/AM = 1/BM: K infinite
    ]
    path = tmp_path / "poles.dat"
    path.write_text("poles\n" + "".join(f"{a} {b} {m} {n!r} 1.5 0.1\n"
                                        for (a, b, m, n), _ in cases))
    data = quelby.read_data_file(path)
    grouped = np.empty(len(cases))
    grouped[np.asarray(data.sorted_pos) - 1] = [k for _, k in cases]
    np.testing.assert_allclose(quelby.geometric_factor(data), grouped, rtol=1e-12)
    np.testing.assert_allclose(quelby.apparent_resistivity(data, np.full(len(cases), 2.0)),
                               grouped * 2.0, rtol=1e-12)
    with pytest.raises(ValueError):
        quelby.apparent_resistivity(data, [1.0])


def contours(ax):
    """The filled contours of a pseudosection, found through its colour bar."""
    bars = [a for a in ax.figure.axes if a is not ax]
    return bars[0]._colorbar.mappable


def test_the_pseudosection_picture(tmp_path, survey, root):
    figure, ax = plt.subplots()
    assert quelby.plot_pseudosection(survey, ax=ax) is ax
    assert ax.get_ylim()[0] > ax.get_ylim()[1] == 0  # pseudo-depth grows downwards
    filled = contours(ax)
    assert isinstance(filled.norm, matplotlib.colors.LogNorm)
    rho = quelby.apparent_resistivity(survey)
    assert filled.norm.vmin == rho.min() and filled.norm.vmax == rho.max()
    bar_labels = [a.get_ylabel() for a in figure.axes if a is not ax]
    assert bar_labels == ["apparent resistivity (ohm-m)"]
    plt.close(figure)
    # IP data draw the data themselves on a linear scale.
    path = tmp_path / "ip.dat"
    path.write_text("ip\n" + "".join(f"{a} {a + 10} {a + 20 * n} {a + 20 * n + 10} {n * 0.01} "
                                     "0.001\n" for a in range(0, 100, 10) for n in (1, 2, 3)))
    data = quelby.read_data_file(path, dc_data=False)
    ax = quelby.plot_pseudosection(data)
    filled = contours(ax)
    assert type(filled.norm) is matplotlib.colors.Normalize
    assert (filled.norm.vmin, filled.norm.vmax) == (0.01, 0.03)
    plt.close(ax.figure)
    # From the command line.
    output = tmp_path / "data.png"
    result = subprocess.run([sys.executable, "-m", "quelby.plot", "--data",
                             str(root / "examples" / "dipole_dipole.dat"), str(output)],
                            capture_output=True, text=True,
                            env={"PYTHONPATH": quelby.__path__[0] + "/.."})
    assert result.returncode == 0, result.stderr
    assert output.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_export_round_trip_through_meshio(tmp_path, example, root):
    meshio = pytest.importorskip("meshio")
    mesh, topography = quelby.load_mesh_and_topography(example[0],
                                                       root / "examples" / "section.topo")
    model = quelby.read_model(example[1], mesh)
    quelby.export(tmp_path / "section.vtu", mesh,
                  cell_data={"resistivity": model, "index": np.arange(mesh.nx * mesh.nz)},
                  topography=topography)
    back = meshio.read(tmp_path / "section.vtu")
    points = back.points
    quads = back.cells_dict["quad"]
    assert quads.shape == (mesh.nx * mesh.nz, 4)
    # Cell (k, i) in cell order spans x_nodes[i..i+1] and depths z_nodes[k..k+1], upright (y = -z).
    k, i = np.divmod(np.arange(mesh.nx * mesh.nz), mesh.nx)
    corners = points[quads]
    np.testing.assert_array_equal(corners[:, :, 0].min(axis=1), np.asarray(mesh.x_nodes)[i])
    np.testing.assert_array_equal(corners[:, :, 0].max(axis=1), np.asarray(mesh.x_nodes)[i + 1])
    np.testing.assert_array_equal(-corners[:, :, 1].max(axis=1), np.asarray(mesh.z_nodes)[k])
    np.testing.assert_array_equal(-corners[:, :, 1].min(axis=1), np.asarray(mesh.z_nodes)[k + 1])
    assert (corners[:, :, 2] == 0).all()
    # Counter-clockwise seen from +z: a positive signed area.
    x, y = corners[:, :, 0], corners[:, :, 1]
    assert (np.sum(x * np.roll(y, -1, axis=1) - np.roll(x, -1, axis=1) * y, axis=1) > 0).all()
    np.testing.assert_array_equal(back.cell_data["resistivity"][0], model.ravel())
    np.testing.assert_array_equal(back.cell_data["index"][0], np.arange(mesh.nx * mesh.nz))
    air = back.cell_data["air"][0].reshape(mesh.nz, mesh.nx)
    np.testing.assert_array_equal(air.sum(axis=0), topography.air_cells)
    # The active cells carry the air cells they were built with.
    cells = quelby.read_active_cells(mesh, topography)
    quelby.export(tmp_path / "cells.vtu", mesh, topography=cells)
    np.testing.assert_array_equal(meshio.read(tmp_path / "cells.vtu").cell_data["air"][0],
                                  back.cell_data["air"][0])
    with pytest.raises(ValueError):
        quelby.export(tmp_path / "bad.vtu", mesh, cell_data={"r": model.T})


def test_export_without_meshio_names_the_package(tmp_path, example, monkeypatch):
    monkeypatch.setitem(sys.modules, "meshio", None)
    mesh = quelby.load_mesh(example[0])
    with pytest.raises(ImportError, match="python3-meshio"):
        quelby.export(tmp_path / "a.vtu", mesh, cell_data={})


def test_pictures_without_matplotlib_name_the_package(example, monkeypatch, survey):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    mesh = quelby.load_mesh(example[0])
    with pytest.raises(ImportError, match="python3-matplotlib"):
        quelby.plot_section(mesh, np.ones((mesh.nz, mesh.nx)))
    with pytest.raises(ImportError, match="python3-matplotlib"):
        quelby.plot_pseudosection(survey)


def test_models_and_parameter_vectors(root, example):
    mesh, topography = quelby.load_mesh_and_topography(example[0],
                                                       root / "examples" / "section.topo")
    cells = quelby.read_active_cells(mesh, topography, root / "examples" / "section.act")
    model = quelby.read_model(example[1], mesh)
    m = cells.to_parameters(model)
    # Walking the cells in cell order, the active ones in turn.
    walked = [model[k, i] for k in range(mesh.nz) for i in range(mesh.nx)
              if cells.cell_idx[k, i] > 0]
    np.testing.assert_array_equal(m, walked)
    np.testing.assert_array_equal(cells.to_parameters(model.ravel()), m)
    back = cells.to_model(m)
    assert np.isnan(back[cells.cell_idx <= 0]).all()
    np.testing.assert_array_equal(back[cells.cell_idx > 0], model[cells.cell_idx > 0])
    np.testing.assert_array_equal(cells.to_model(m, fill=model), model)
    with pytest.raises(ValueError):
        cells.to_model(m[:-1])
    # plot_section leaves the cells that are not parameters blank.
    ax = quelby.plot_section(mesh, model, cells=cells, topography=topography, xlim=(0, 600),
                             zlim=(0, 110))
    shown = ax.collections[0].get_array()
    assert np.ma.getmaskarray(shown).reshape(mesh.nz, mesh.nx)[cells.cell_idx <= 0].all()
    assert ax.get_aspect() == 1.0 and ax.get_xlim() == (0, 600)
    plt.close(ax.figure)


def test_the_command_line_refuses_wrong_arguments(tmp_path, root):
    def run(*arguments):
        return subprocess.run([sys.executable, "-m", "quelby.plot", *map(str, arguments)],
                              capture_output=True, text=True,
                              env={"PYTHONPATH": quelby.__path__[0] + "/.."})

    cases = [  # arguments, status, a text of the standard error
        ((root / "examples" / "section.msh", tmp_path / "out.png"), 2, "MESH MODEL OUT.png"),
        (("--data", root / "examples" / "dipole_dipole.dat"), 2, "OUT.png after --data"),
        (("--data", tmp_path / "absent.dat", tmp_path / "out.png"), 1, "absent.dat"),
    ]
    for arguments, status, text in cases:
        result = run(*arguments)
        assert (result.returncode, result.stdout) == (status, ""), arguments
        assert text in result.stderr, result.stderr
    assert not (tmp_path / "out.png").exists()


def test_the_section_colour_scale_follows_the_cells_shown(example):
    mesh = quelby.load_mesh(example[0])
    model = quelby.read_model(example[1], mesh)
    # Left of x = 100 m the example holds only the 100 ohm-m background and nothing lower.
    ax = quelby.plot_section(mesh, model, xlim=(-1000, 100), zlim=(0, 100), colorbar=False)
    norm = ax.collections[0].norm
    assert (norm.vmin, norm.vmax) == (100.0, 1000.0)  # a one-value scale spans a decade
    assert ax.get_aspect() != 1.0  # 11 times wider than deep: the axes are filled
    plt.close(ax.figure)
    ax = quelby.plot_section(mesh, model, colorbar=False)
    assert (ax.collections[0].norm.vmin, ax.collections[0].norm.vmax) == (10.0, 1000.0)
    plt.close(ax.figure)
