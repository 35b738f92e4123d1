"""Pseudosections, apparent resistivities and their pictures, against independent computations
(the dipole-dipole geometric factor, the file's own order)."""

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
    np.testing.assert_array_equal(x, expected_x)
    # Dipole-dipole: K = pi a n (n + 1) (n + 2) with the dipole length a and n = BM / a - ...
    spacing = np.abs(a - b)
    level = np.abs(m - a) / spacing
    # ... and the median depth of investigation of Edwards' table, z / a for n = 1 to 6.
    edwards = np.array([0.416, 0.697, 0.962, 1.220, 1.476, 1.730])
    expected_depth[order] = edwards[np.rint(level).astype(int) - 1] * spacing
    np.testing.assert_allclose(depth, expected_depth, rtol=1.5e-3)
    k = np.empty(survey.ndat)
    k[order] = np.pi * spacing * level * (level + 1) * (level + 2)
    np.testing.assert_allclose(quelby.geometric_factor(survey), k, rtol=1e-12)
    rho = quelby.apparent_resistivity(survey)
    np.testing.assert_allclose(rho, k * np.asarray(survey.dobs), rtol=1e-12)
    # Over the conductive body (x 110..250 m) the line reads lower than over the resistive one.
    assert np.median(rho[(x > 130) & (x < 230) & (depth > 15)]) < 60
    assert np.median(rho[(x > 390) & (x < 460) & (depth > 15)]) > 130


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


def test_pictures_without_matplotlib_name_the_package(example, monkeypatch, survey):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    mesh = quelby.load_mesh(example[0])
    with pytest.raises(ImportError, match="python3-matplotlib"):
        quelby.plot_section(mesh, np.ones((mesh.nz, mesh.nx)))
    with pytest.raises(ImportError, match="python3-matplotlib"):
        quelby.plot_pseudosection(survey)
