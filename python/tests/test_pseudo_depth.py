"""The pseudo-depth of any four-electrode array: the median depth of investigation against
Edwards' (1977) table and against the layer integral of the sensitivity computed by quadrature;
the pseudosection of a Wenner line of one spacing drawn as points (no triangulation exists); the
pictures and sums of data without standard deviations; quelby-plot's model picture of the core."""

import subprocess
import sys

import numpy as np
import pytest

import quelby

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def test_median_depths_of_edwards_table():
    # (A, B, M, N) with unit spacing, and z / a of the table: Wenner, pole-pole, dipole-dipole
    # n = 1..6 (C2 C1 P1 P2), pole-dipole and Wenner-Schlumberger n = 1..6.
    # Pole-pole: sqrt(3) / 2 exactly (the table rounds it to 0.867).
    cases = [((0, 3, 1, 2), 0.519), ((0, 0, 1, 1), np.sqrt(3) / 2)]
    cases += [((1, 0, 1 + n, 2 + n), z) for n, z in
              zip(range(1, 7), (0.416, 0.697, 0.962, 1.220, 1.476, 1.730))]
    cases += [((0, 0, n, n + 1), z) for n, z in
              zip(range(1, 7), (0.519, 0.925, 1.318, 1.706, 2.093, 2.478))]
    cases += [((0, 2 * n + 1, n, n + 1), z) for n, z in
              zip(range(1, 7), (0.519, 0.925, 1.318, 1.706, 2.093, 2.478))]
    a, b, m, n = (np.array(v, dtype=float) for v in zip(*(c[0] for c in cases)))
    expected = np.array([c[1] for c in cases])
    np.testing.assert_allclose(quelby.median_depth(a, b, m, n), expected, atol=6e-4)
    # Depth scales with the array and does not depend on where it stands or its polarity.
    np.testing.assert_allclose(quelby.median_depth(3 * a + 7, 3 * b + 7, 3 * n + 7, 3 * m + 7),
                               3 * quelby.median_depth(a, b, m, n), rtol=1e-12)
    # Coinciding electrodes leave it undefined.
    assert np.isnan(quelby.median_depth([0], [1], [1], [2])).all()


def test_the_layer_integral_of_the_sensitivity_is_the_one_the_depth_uses():
    # Over a half-space the sensitivity of a pole pair at distance L to a point is proportional to
    # grad(1/r_A) . grad(1/r_M); its integral over the plane at depth z is 8 pi z / (L^2 + 4z^2)^1.5.
    integrate = pytest.importorskip("scipy.integrate")
    length = 1.0
    for z in (0.3, 0.8):
        def integrand(y, x):
            return ((x * (x - length) + y * y + z * z)
                    / ((x * x + y * y + z * z) ** 1.5 * ((x - length) ** 2 + y * y + z * z) ** 1.5))

        value, _ = integrate.dblquad(integrand, -40, 41, 0, 40, epsabs=1e-10, epsrel=1e-8)
        np.testing.assert_allclose(2 * value, 8 * np.pi * z / (length ** 2 + 4 * z * z) ** 1.5,
                                   rtol=2e-3)


def wenner_line(spacings):
    a, b, m, n = [], [], [], []
    for spacing in spacings:
        for first in range(0, 24 - 3 * spacing):
            a.append(first), m.append(first + spacing), n.append(first + 2 * spacing)
            b.append(first + 3 * spacing)
    a, b, m, n = (np.array(v, dtype=float) for v in (a, b, m, n))
    values = 100 / (2 * np.pi * np.abs(m - a))
    return quelby.survey_from_arrays(a, b, m, n, values=values)


def test_a_wenner_line_of_one_spacing_is_drawn_as_points(tmp_path):
    survey = wenner_line([2])
    x, depth = quelby.pseudosection(survey)
    np.testing.assert_allclose(depth, 0.519 * 2, atol=1e-3)  # one depth: all points on a line
    ax = quelby.plot_pseudosection(survey, title="Wenner, a = 2 m")
    points = ax.collections[0]
    np.testing.assert_allclose(points.get_array(), 100, rtol=1e-12)
    assert points.get_offsets().shape == (survey.ndat, 2)
    ax.figure.savefig(tmp_path / "wenner.png")
    plt.close(ax.figure)
    # Several spacings: contours over a triangulation, the data as dots.
    ax = quelby.plot_pseudosection(wenner_line([1, 2, 3, 4]))
    assert len(ax.collections) > 1 and ax.get_lines()[0].get_marker() == "."
    plt.close(ax.figure)


def test_data_without_deviations_have_none_and_the_pictures_take_them(tmp_path):
    path = tmp_path / "bare.dat"
    path.write_text("no std\n0 1 2 3 -1.0\n1 2 3 4 -1.1\n2 3 4 5 -0.9\n0 2 4 6 -0.5\n")
    data = quelby.read_data_file(path)
    assert data.std_missing and data.dstd is None
    axes = quelby.plot_data_misfit(data, np.asarray(data.dobs) * 1.1)
    np.testing.assert_allclose(axes[2].collections[0].get_array(), -10, rtol=1e-12)  # R < 0
    plt.close(axes[0].figure)
    mesh = quelby.mesh_for_survey(data, cell=0.5)
    J, _ = quelby.sensitivity(mesh, np.full((mesh.nz, mesh.nx), 10.0), data)
    seen = quelby.cumulative_sensitivity(mesh, J)
    assert np.isfinite(seen).all()
    with pytest.raises(ValueError, match="dstd None"):
        quelby.cumulative_sensitivity(mesh, J, weights=np.full(data.ndat, np.nan))
    data.dstd = 0.05 * np.abs(data.dobs)
    np.testing.assert_allclose(data.dstd, 0.05 * np.abs(data.dobs))


def test_the_model_picture_of_the_command_line_is_the_core(tmp_path, example):
    def run(*arguments):
        return subprocess.run([sys.executable, "-m", "quelby.plot", *map(str, arguments)],
                              capture_output=True, text=True,
                              env={"PYTHONPATH": quelby.__path__[0] + "/.."})

    core, whole = tmp_path / "core.png", tmp_path / "whole.png"
    assert run(example[0], example[1], core).returncode == 0
    assert run("--whole", example[0], example[1], whole).returncode == 0
    assert core.read_bytes() != whole.read_bytes()
    # What the default draws: plot_model's core, the columns of the smallest cells.
    mesh = quelby.load_mesh(example[0])
    ax = quelby.plot_model(mesh, quelby.read_model(example[1], mesh))
    assert ax.get_xlim() == quelby.core_extent(mesh)[0]
    plt.close(ax.figure)
