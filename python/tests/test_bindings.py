"""The reports, the control-input helpers, the readers added for Python, the stops as Python
exceptions and the argument checks, against the documented layouts and independent computations."""

import io
import pathlib
import warnings

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


def test_set_alpha_modes_by_name_and_refused_arguments(root):
    mesh = quelby.load_mesh(root / "examples" / "section.msh")
    pairs = [("mesh", 0, {}), ("given", 2, {"alpha": (0.5, 1, 2)}),
             ("lengths", 3, {"lengths": (40, 20)})]
    for name, number, arguments in pairs:
        by_name = quelby.set_alpha(mesh, name, **arguments)
        by_number = quelby.set_alpha(mesh, np.int32(number), **arguments)
        assert (by_name.alpha_s, by_name.alpha_x, by_name.alpha_z) == \
            (by_number.alpha_s, by_number.alpha_x, by_number.alpha_z)
    lengths = quelby.set_alpha(mesh, "lengths", lengths=(40, 20))
    assert (lengths.alpha_s, lengths.alpha_x, lengths.alpha_z) == (1 / 1600, 1.0, 400 / 1600)
    refused = [("lengths", {}), (3, {"lengths": (0, 0)}), (3, {"lengths": (np.inf, 1)}),
               ("given", {}), (2, {"alpha": (1, -1, 1)}), ("smooth", {})]
    for mode, arguments in refused:
        with pytest.raises(ValueError):
            quelby.set_alpha(mesh, mode, **arguments)
    with pytest.raises(TypeError):
        quelby.set_alpha(mesh, True)
    start = quelby.AlphaCoefficients(1, 2, 3)
    assert quelby.set_alpha(mesh, 1, start=start).alpha_z == 3  # the library's other modes


def test_a_wtw_that_is_not_finite_warns_with_its_cause(root, tmp_path):
    examples = root / "examples"
    mesh, topography = quelby.load_mesh_and_topography(examples / "section.msh",
                                                       examples / "section.topo")
    cells = quelby.read_active_cells(mesh, topography)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        quelby.build_model_objective(mesh, cells, quelby.set_alpha(mesh, "mesh"))
    with pytest.warns(RuntimeWarning, match="term Wx .*alpha_x = inf"):
        objective = quelby.build_model_objective(mesh, cells,
                                                 quelby.AlphaCoefficients(1, np.inf, 1))
    assert not np.isfinite(objective.WTW.data).all()
    # A weight that is not finite is named with its 1-based column and row.
    weights = tmp_path / "s.wgt"
    weights.write_text("3 2\n1 1 1\n1 inf 1\n")
    with pytest.warns(RuntimeWarning, match=r"term Ws .*S weights \(2, 2\) = inf"):
        quelby.build_model_objective(mesh, cells, quelby.set_alpha(mesh, "mesh"),
                                     weight_input="files", weight_files=(weights, "", ""))
    # Weights by name give what the numbers give.
    s1 = quelby.set_weights(mesh, "file", (examples / "section.wgt", "", ""))
    s2 = quelby.set_weights(mesh, 1, (str(examples / "section.wgt"), "", ""))
    for a, b in zip(s1, s2):
        np.testing.assert_array_equal(a, b)


def test_missing_standard_deviations_are_filled_then_normalised(tmp_path):
    path = tmp_path / "d.dat"
    path.write_text("no std\n0 10 20 30 4.0\n0 10 30 40 9.0\n50 60 10 20 -2.0\n")
    data = quelby.read_data_file(path)
    assert data.std_missing and np.isnan(data.dstd).all()
    dobs = data.dobs.copy()
    std = np.abs(dobs) * 0.05 + 0.1
    data.dstd = std
    np.testing.assert_array_equal(data.dstd, std)
    data.dstd[0] = 2.0  # also writable in place
    std[0] = 2.0
    quelby.normalize_data(data)
    np.testing.assert_array_equal(data.dobs, dobs / std)
    quelby.normalize_data(data)  # each call divides again
    np.testing.assert_array_equal(data.dobs, dobs / std / std)
    with pytest.raises(ValueError):
        data.dstd = std[:-1]
    # Positions only: no values, nothing to fill.
    located = quelby.read_data_file(path, locations_only=True)
    assert located.dstd is None and located.dobs is None
    with pytest.raises(ValueError):
        located.dstd = std
    with pytest.raises(ValueError):
        quelby.apparent_resistivity(located)
    np.testing.assert_array_equal(quelby.apparent_resistivity(located, dobs),
                                  quelby.apparent_resistivity(data, dobs))


def test_active_cell_file_weight_files_and_zones_match_the_stores(root, tmp_path):
    examples = root / "examples"
    mesh, topography = quelby.load_mesh_and_topography(examples / "section.msh",
                                                       examples / "section.topo")
    flags = quelby.read_active_cell_file(mesh, examples / "section.act")
    assert flags.shape == (mesh.nz, mesh.nx) and set(np.unique(flags)) <= {-1, 0, 1}
    cells = quelby.read_active_cells(mesh, topography, examples / "section.act")
    air = np.arange(mesh.nz)[:, None] < topography.air_cells[None, :]
    np.testing.assert_array_equal(cells.cell_idx > 0, (flags == 1) & ~air)

    whole = quelby.read_weights_file(mesh, examples / "section.wgt")
    for a, b in zip(whole, quelby.set_weights(mesh, 1, (examples / "section.wgt", "", ""))):
        np.testing.assert_array_equal(a, b)
    single = tmp_path / "s.wgt"
    single.write_text("2 1\n3 4\n")
    start = np.full((mesh.nz, mesh.nx), 7.0)
    read = quelby.read_weight_file(mesh, single, "S weights", start=start)
    expected = start.copy()
    expected[0, :2] = (3, 4)
    np.testing.assert_array_equal(read, expected)
    s, x, z = quelby.read_weight_files(mesh, (single, "", ""))
    np.testing.assert_array_equal(s[0, :2], (3, 4))
    assert (x == 1).all() and (z == 1).all()

    # Zones: the first polygon holding a centre, by the point test itself.
    polygons = [([0, 300, 300, 0], [0, 0, 60, 60]), ([100, 500, 300], [20, 20, 100])]
    zone_idx = quelby.assign_zones(mesh, polygons)
    for k in range(0, mesh.nz, 3):
        for i in range(0, mesh.nx, 3):
            point = (mesh.x_centres[i], mesh.z_centres[k])
            inside = [quelby.point_in_region(px, pz, *point) for px, pz in polygons]
            expected_zone = 2 + inside.index(True) if any(inside) else 1
            assert zone_idx[k, i] == expected_zone


def test_control_input_helpers_on_files_and_paths(tmp_path):
    text = "! comment\n%also\n\n \t\n  ! data after a blank\nsecond 1 2 ! tail\n"
    path = tmp_path / "control.txt"
    path.write_text(text)
    handle = io.StringIO(text)
    first = quelby.next_data_line(handle)
    assert first == ("  ! data after a blank", 5)
    assert quelby.next_data_line(handle) == ("second 1 2 ! tail", 1)
    assert quelby.next_data_line(handle) == (None, 1)  # the read that meets the end counts
    assert quelby.next_data_line(path) == first
    assert quelby.next_data_line(io.StringIO("abcdef\n"), length=3) == ("abc", 1)
    with pytest.raises(FileNotFoundError):
        quelby.next_data_line(tmp_path / "absent.txt")

    for line, expected in [("second 1 2 ! tail", "second 1 2       "), ("no comment", "no comment"),
                           ("!all", "    "), ("", "")]:
        assert quelby.strip_comment(line) == expected
    assert quelby.strip_comment("ab", length=5) == "ab   "
    assert quelby.strip_comment("a!b", length=1) == "a"
    with pytest.raises(ValueError):
        quelby.strip_comment("a", length=0)

    console, log = io.StringIO(), io.StringIO()
    streams = quelby.Io(console=console, log=log)
    assert quelby.read_input_file_name("mesh", str(path) + "   ", io=streams) == (str(path), True)
    assert console.getvalue() == ""
    assert quelby.read_input_file_name("mesh", "absent.msh", io=streams) == ("absent.msh", False)
    assert console.getvalue() == "\nError: mesh file does not exist:\nabsent.msh\n"
    assert log.getvalue() == console.getvalue()


def e(value, width=13):
    return f"{value:{width}.5E}"


def test_reports_follow_their_layouts(tmp_path, root):
    history = tmp_path / "history.txt"
    misfits, norms, betas = [10.0, 5.5], [0.0, 2.25], [100.0, 50.0]
    data = quelby.read_data_file(root / "examples" / "dipole_dipole.dat")
    quelby.write_iteration_history(history, 1, misfits, norms, betas, 3.0, data)
    header = f"{1:5d}  iter    data misfit       model norm        {'beta':>10s}"
    rows = [f"{i:8d}" + "".join("    " + e(v, 14) for v in (misfits[i], norms[i], betas[i]))
            for i in range(2)]
    expected = [header] + rows + [e(3.0, 12) + " target misfit",
                                  f"{data.ndat:12d} number of data"]
    assert history.read_text().splitlines() == expected
    with pytest.raises(ValueError):
        quelby.write_iteration_history(history, 2, misfits, norms, betas, 3.0, 1)

    log = io.StringIO()
    streams = quelby.Io(log=log)
    quelby.report_beta_choice(1.0, 2.0, 8.0, 10.0, 3.0, 0.5, io=streams)
    labels = ["      chosen beta =", "    target misfit =", "  achieved misfit =",
              "       model norm =", "    misfit change =", "model norm change ="]
    values = [1.0, 2.0, 8.0, 3.0, 0.2, 0.5]
    assert log.getvalue().split("\n") == [""] + [a + e(v) for a, v in zip(labels, values)] + [
        "", ""]
    with pytest.raises(ValueError):
        quelby.report_beta_choice(1, 2, 8, 10, 3, 0.5, betas=[1.0, 2.0], misfits=[1.0],
                                  io=streams)

    log.seek(0)
    log.truncate()
    quelby.report_norm_components([9.0, 1.0, 2.0, 3.0], io=streams)
    assert log.getvalue().split("\n") == [
        f"{'norm comp ' + name:>18s}={e(v)}" for name, v in zip(("Ws ", "Wx ", "Wz "), (1, 2, 3))
    ] + ["", ""]
