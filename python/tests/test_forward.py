"""The forward model from Python: the functions and the ForwardModel object against quelby-forward's
files (bit for bit), surveys from arrays against the same survey read from a file, meshes for a
survey written and read back, the numeric geometric factors, and the sensitivity file reader."""

import io as text_io
import subprocess
import threading

import numpy as np
import pytest

import quelby

MESH = "3\n-60 -20 2\n20 16\n60 2\n2\n0 10 4\n40 3\n"  # 20 x 7 cells
NX, NZ = 20, 7
# Lines far from the grouped order, both IP types (the command reads it as IP data).
SURVEY = ("survey\nIPTYPE=2\n5 7.5 0 2.5\nIPTYPE=1\n-5 -2.5 0 2.5\n5 7.5 -5 -2.5\n"
          "-5 -2.5 2.5 5\nIPTYPE=2\n0 0 5 7.5\nIPTYPE=1\n-7.5 -5 2.5 2.5\n")
TOPOGRAPHY = "4 10\n-60 5\n-12.5 5\n-10 10\n60 10\n"


def block(background, inside):
    values = np.full((NZ, NX), float(background))
    values[1:4, 10:12] = inside
    return values


@pytest.fixture
def inputs(tmp_path):
    (tmp_path / "m.msh").write_text(MESH)
    (tmp_path / "s.dat").write_text(SURVEY)
    (tmp_path / "t.topo").write_text(TOPOGRAPHY)
    flags = np.ones((NZ, NX), dtype=int)
    flags[-1, :] = 0
    flags[3, 7] = -1
    (tmp_path / "c.act").write_text(f"{NX} {NZ}\n" + " ".join(map(str, flags.ravel())) + "\n")
    mesh, topography = quelby.load_mesh_and_topography(tmp_path / "m.msh", tmp_path / "t.topo")
    quelby.write_model(tmp_path / "block.mod", mesh, block(100, 10))
    quelby.write_model(tmp_path / "eta.mod", mesh, block(0.01, 0.2))
    cells = quelby.read_active_cells(mesh, topography, tmp_path / "c.act")
    survey = quelby.read_data_file(tmp_path / "s.dat", locations_only=True, dc_data=False)
    model = quelby.read_model(tmp_path / "block.mod", mesh)  # as the command reads it
    eta = quelby.read_model(tmp_path / "eta.mod", mesh)
    return tmp_path, mesh, topography, cells, survey, model, eta


def test_the_functions_give_the_commands_values_bit_for_bit(inputs, forward_command):
    folder, mesh, topography, cells, survey, model, eta = inputs
    ground = ["--topography", "t.topo", "--active", "c.act"]
    for extra in (["--sensitivity", "j.bin"], ["--ip", "eta.mod"]):
        out = "ip.dat" if "--ip" in extra else "dc.dat"
        subprocess.run([str(forward_command), *ground, *extra, "m.msh", "block.mod", "s.dat", out],
                       cwd=folder, check=True, capture_output=True)
    order = np.asarray(survey.sorted_pos) - 1  # grouped position of each file line
    dc = quelby.read_data_file(folder / "dc.dat")
    ip = quelby.read_data_file(folder / "ip.dat", dc_data=False)
    data = quelby.forward(mesh, model, survey, topography=topography, active=cells)
    np.testing.assert_array_equal(dc.dobs, data)  # the same grouping: the same order
    j, j_data = quelby.sensitivity(mesh, model, survey, topography=topography, active=cells)
    assert j.shape == (survey.ndat, cells.npar)
    np.testing.assert_array_equal(j_data, data)
    np.testing.assert_array_equal(quelby.read_sensitivity(folder / "j.bin"), j[order])
    np.testing.assert_array_equal(quelby.read_sensitivity(folder / "j.bin", mmap=True), j[order])
    values = quelby.forward_ip(mesh, model, eta, survey, topography=topography, active=cells)
    np.testing.assert_array_equal(ip.dobs, values)
    np.testing.assert_array_equal(ip.iptype, survey.iptype)


def test_the_object_reuses_its_factors_and_keeps_the_physics(inputs):
    _, mesh, topography, cells, survey, model, _ = inputs
    forward = quelby.ForwardModel(mesh, survey, air_cells=topography)
    assert forward.ndat == survey.ndat == 6
    assert forward.transform_error < 1e-3
    assert len(forward.wavenumbers) == len(forward.weights) > 0
    assert (np.diff(forward.wavenumbers) > 0).all()
    data = forward.data(model)
    np.testing.assert_array_equal(data, quelby.forward(mesh, model, survey, topography=topography))
    # Columns of every ground cell: the data are of degree 1 in the resistivities.
    j_all, again = forward.sensitivity(model)
    np.testing.assert_array_equal(again, data)
    air = np.asarray(topography.air_cells)
    ground = [k * NX + i for k in range(NZ) for i in range(NX) if k >= air[i]]
    np.testing.assert_array_equal(forward.ground_cells, ground)
    np.testing.assert_allclose(j_all.sum(axis=1), data, rtol=1e-10)
    # The parameters of an active-cell map are some of those columns, in parameter order.
    j_parameters, _ = forward.sensitivity(model, cells)
    index = np.asarray(cells.cell_idx).ravel()  # parameter p (1-based) of each cell, else <= 0
    parameter_cells = np.empty(cells.npar, dtype=int)
    parameter_cells[index[index > 0] - 1] = np.nonzero(index > 0)[0]
    np.testing.assert_array_equal(
        j_parameters, j_all[:, np.searchsorted(forward.ground_cells, parameter_cells)])
    np.testing.assert_array_equal(forward.sensitivity(model, [ground[3], ground[0]])[0],
                                  j_all[:, [3, 0]])
    # A uniform chargeability gives itself; a central difference agrees with a column of J.
    np.testing.assert_allclose(forward.apparent_chargeability(model, np.full((NZ, NX), 0.07)),
                               0.07, rtol=1e-10)
    step = 1e-4
    cell = 2 * NX + 11  # the block's column, below the surface
    up, down = model.copy(), model.copy()
    up.ravel()[cell] *= np.exp(step)
    down.ravel()[cell] *= np.exp(-step)
    difference = (forward.data(up) - forward.data(down)) / (2 * step)
    column = list(forward.ground_cells).index(cell)
    np.testing.assert_allclose(j_all[:, column], difference, rtol=1e-4, atol=1e-9)


def test_products_with_j_match_the_matrix(inputs):
    _, mesh, topography, cells, survey, model, _ = inputs
    forward = quelby.ForwardModel(mesh, survey, air_cells=topography)
    j, _ = forward.sensitivity(model, cells)
    random = np.random.default_rng(3)
    v = random.normal(size=cells.npar)
    w = random.normal(size=survey.ndat)
    np.testing.assert_allclose(forward.jacobian_times(model, v, cells), j @ v,
                               rtol=1e-10, atol=1e-10 * np.abs(j).sum(axis=1).max())
    np.testing.assert_allclose(forward.jacobian_transpose_times(model, w, cells), j.T @ w,
                               rtol=1e-10, atol=1e-10 * np.abs(j).sum(axis=0).max())
    with pytest.raises(ValueError):
        forward.jacobian_times(model, v[:-1], cells)
    with pytest.raises(ValueError):
        forward.jacobian_transpose_times(model, w[:-1], cells)


def test_threads_sharing_one_model_get_the_same_results(inputs):
    _, mesh, topography, _, survey, model, _ = inputs
    forward = quelby.ForwardModel(mesh, survey, air_cells=topography.air_cells)
    models = [model * scale for scale in (1.0, 2.0, 0.5, 3.0)]
    expected = [quelby.forward(mesh, m, survey, topography=topography) for m in models]
    results = [None] * len(models)

    def work(index):
        results[index] = forward.data(models[index])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(models))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for got, want in zip(results, expected):
        np.testing.assert_array_equal(got, want)


def test_a_survey_from_arrays_is_the_survey_of_its_file(inputs, tmp_path):
    _, mesh, _, _, survey, model, _ = inputs
    lines = [line.split() for line in SURVEY.splitlines()[1:] if not line.startswith("IPTYPE")]
    a, b, m, n = (np.array([float(line[c]) for line in lines]) for c in range(4))
    types = [2, 1, 1, 1, 2, 1]
    arrays = quelby.survey_from_arrays(a, b, m, n, iptype=types)
    assert (arrays.ndat, arrays.ncur) == (6, survey.ncur)
    from_arrays = quelby.forward(mesh, model, arrays)
    from_file = quelby.forward(mesh, model, survey)
    # Each datum in the given order against the same line of the file (to rounding: the electrodes
    # are numbered in another order, and so are the sums).
    np.testing.assert_allclose(from_arrays[np.asarray(arrays.sorted_pos) - 1],
                               from_file[np.asarray(survey.sorted_pos) - 1], rtol=1e-12)
    # Written with the general-layout writer, the file reads back to the same lines and values.
    quelby.write_general_data(tmp_path / "w.dat", arrays, from_arrays, header="from arrays")
    back = quelby.read_data_file(tmp_path / "w.dat", dc_data=False)
    np.testing.assert_array_equal(back.xm_file, m)
    np.testing.assert_array_equal(back.dobs[np.asarray(back.sorted_pos) - 1],
                                  from_arrays[np.asarray(arrays.sorted_pos) - 1])
    np.testing.assert_array_equal(back.iptype[np.asarray(back.sorted_pos) - 1], types)
    # Buried electrodes: z of all four, a datum given farther above the surface than its cells of
    # 2.5 m refused by name; one given less far above stands on the surface.
    z = np.full(6, 2.5)
    buried = quelby.survey_from_arrays(a, b, m, n, za=z, zb=z, zm=z, zn=z)
    assert buried.has_z and np.isfinite(quelby.forward(mesh, model, buried)).all()
    lowered = quelby.survey_from_arrays(a, b, m, n, za=z, zb=z, zm=z - 3, zn=z)
    on_surface = quelby.survey_from_arrays(a, b, m, n, za=z, zb=z, zm=z - 2.5, zn=z)
    np.testing.assert_array_equal(quelby.forward(mesh, model, lowered),
                                  quelby.forward(mesh, model, on_surface))
    above = quelby.survey_from_arrays(a, b, m, n, za=z, zb=z, zm=z - 6, zn=z)
    with pytest.raises(quelby.Stop) as raised:
        quelby.forward(mesh, model, above, io=quelby.Io(console=text_io.StringIO()))
    assert "datum" in raised.value.text
    with pytest.raises(quelby.Stop):
        quelby.survey_from_arrays(a, b, m[:-1], n, io=quelby.Io(console=text_io.StringIO()))


def test_a_mesh_for_a_survey_reads_back_and_gives_honest_geometric_factors(tmp_path):
    electrodes = np.arange(8) * 5.0
    a, b = electrodes[:-3], electrodes[1:-2]
    m, n = electrodes[2:-1], electrodes[3:]
    survey = quelby.survey_from_arrays(a, b, m, n)
    mesh = quelby.mesh_for_survey(survey, cell=1.25, padding=12)
    core = np.asarray(mesh.dx) == 1.25
    assert core.sum() == 28 + 8 and np.asarray(mesh.dz)[0] == 1.25
    assert mesh.nx == core.sum() + 24
    # Four core rows, then rows growing by 1.1 (to three digits) to the core depth, then 12
    # padding rows growing by 1.3; equal core rows with depth_growth=1.
    ratios = np.asarray(mesh.dz)[1:] / np.asarray(mesh.dz)[:-1]
    grown = mesh.nz - 4 - 12
    np.testing.assert_allclose(ratios[:3], 1)
    np.testing.assert_allclose(ratios[3:3 + grown], 1.1, atol=0.01)
    np.testing.assert_allclose(ratios[-11:], 1.3, atol=0.01)
    equal = quelby.mesh_for_survey(survey, cell=1.25, padding=12, depth_growth=1)
    assert equal.nz == np.sum(np.asarray(equal.dz) == 1.25) + 12
    # The grid quelby-invert inverts on: two mesh columns a cell under the electrodes.
    grid = quelby.parameter_grid(mesh, survey)
    assert grid.nx < mesh.nx and grid.dx[grid.nx // 2] == 2.5 and grid.dz[0] == 1.25
    quelby.write_mesh(tmp_path / "m.msh", mesh)
    back = quelby.load_mesh(tmp_path / "m.msh")
    np.testing.assert_array_equal(back.x_nodes, mesh.x_nodes)
    np.testing.assert_array_equal(back.z_nodes, mesh.z_nodes)
    nodes = quelby.mesh_from_nodes([0, 1, 3, 6], [0, 2, 5])
    np.testing.assert_array_equal(nodes.dx, [1, 2, 3])
    assert (nodes.nx, nodes.nz) == (3, 2)
    with pytest.raises(quelby.Stop):
        quelby.mesh_from_nodes([0, 2, 1], [0, 1], io=quelby.Io(console=text_io.StringIO()))
    # On flat ground the numeric factors are the formula's to the accuracy of the modelling.
    flat = quelby.geometric_factor(survey)
    numeric = quelby.geometric_factor(survey, mesh=mesh)
    np.testing.assert_allclose(numeric, flat, rtol=5e-3)
    uniform = np.full((mesh.nz, mesh.nx), 42.0)
    np.testing.assert_allclose(
        quelby.apparent_resistivity(survey, quelby.forward(mesh, uniform, survey), mesh=mesh),
        42.0, rtol=1e-12)
    with pytest.raises(ValueError):
        quelby.geometric_factor(survey, topography=quelby.Topography())
    # Under a ground rising 2 m along the line: same columns, the rows from the highest ground.
    (tmp_path / "rise.topo").write_text("4 10\n-500 10\n0 10\n35 12\n500 12\n")
    under = quelby.mesh_for_survey(survey, cell=1.25, padding=12, topography=tmp_path / "rise.topo")
    np.testing.assert_array_equal(under.x_nodes, mesh.x_nodes)
    assert under.z_nodes[0] == -2.0


def test_bad_arguments_are_refused_before_any_solve(inputs):
    _, mesh, topography, cells, survey, model, _ = inputs
    with pytest.raises(ValueError):
        quelby.forward(mesh, model[:, :-1], survey)
    with pytest.raises(ValueError):
        quelby.forward(mesh, model, survey, wavenumbers=65)
    with pytest.raises(ValueError):
        quelby.ForwardModel(mesh, survey, air_cells=[0] * (NX - 1))
    with pytest.raises(ValueError):
        quelby.ForwardModel(mesh, survey, air_cells=[NZ + 1] * NX)
    with pytest.raises(ValueError):
        quelby.forward(mesh, model, survey, topography=topography,
                       active=quelby.read_active_cells(mesh, quelby.read_topography(mesh)))
    negative = model.copy()
    negative[5, 5] = -1
    with pytest.raises(quelby.Stop) as raised:
        quelby.forward(mesh, negative, survey, io=quelby.Io(console=text_io.StringIO()))
    assert raised.value.lines[-1] == ("Error: the resistivity of cell (6, 6) is not a positive "
                                      "number: -1")


def test_chargeabilities_and_meshes_beyond_reason_are_refused(inputs):
    _, mesh, topography, cells, survey, model, eta = inputs
    quiet = quelby.Io(console=text_io.StringIO())
    for value, shown in ((np.nan, "nan"), (np.inf, "inf"), (-np.inf, "-inf")):
        spoiled = eta.copy()
        spoiled[2, 4] = value
        for call in (lambda: quelby.forward_ip(mesh, model, spoiled, survey, io=quiet),
                     lambda: quelby.ForwardModel(mesh, survey).apparent_chargeability(
                         model, spoiled, io=quiet)):
            with pytest.raises(quelby.Stop) as raised:
                call()
            assert raised.value.status == 1
            assert raised.value.lines[-2:] == [
                f"Error: the chargeability of cell (5, 3) is not a finite number: {shown}",
                "the chargeabilities given"]
    # An air cell is never read: what it holds does not matter.
    air = eta.copy()
    air[0, 0] = np.nan
    assert np.all(np.isfinite(quelby.forward_ip(mesh, model, air, survey, topography=topography)))
    # Responses that overflow name their datum.
    with pytest.raises(quelby.Stop) as raised:
        quelby.forward_ip(mesh, model, np.full_like(eta, 1.7e308), survey, io=quiet)
    assert raised.value.lines[-1].startswith("Error: datum ")
    # Meshes a mesh file cannot hold are refused before anything is allocated.
    line = quelby.survey_from_arrays([0.0, 3.0], [3.0, 6.0], [6.0, 12.0], [9.0, 15.0])
    for options in ({"cell": 1e-9}, {"depth": 1e300}, {"padding": 2_000_000_000},
                    {"growth": 1e10, "padding": 100}):
        with pytest.raises(quelby.Stop) as raised:
            quelby.mesh_for_survey(line, io=quiet, **options)
        assert raised.value.status == 1
        assert ("more than a mesh for a survey may have" in raised.value.lines[-1]
                or "is not a finite number" in raised.value.lines[-1]), raised.value.lines


def test_the_sensitivity_reader_refuses_other_files(tmp_path):
    header = b"QUELBYJ\0" + np.array([1, 2, 3, 0], dtype="<u4").tobytes()
    values = np.arange(6, dtype="<f8")
    (tmp_path / "good.j").write_bytes(header + values.tobytes())
    np.testing.assert_array_equal(quelby.read_sensitivity(tmp_path / "good.j"),
                                  values.reshape(2, 3))
    (tmp_path / "short.j").write_bytes(header + values.tobytes()[:-1])
    (tmp_path / "magic.j").write_bytes(b"QUELBYX\0" + header[8:] + values.tobytes())
    version = b"QUELBYJ\0" + np.array([2, 2, 3, 0], dtype="<u4").tobytes()
    (tmp_path / "version.j").write_bytes(version + values.tobytes())
    for name in ("short.j", "magic.j", "version.j"):
        with pytest.raises(ValueError):
            quelby.read_sensitivity(tmp_path / name)


def test_the_bundled_survey_is_the_forward_models_response(root, tmp_path):
    # examples/dipole_dipole.dat is what examples/python/simulate_survey.py computes, byte for byte;
    # its apparent resistivities lie within the section's range (10 to 1000 ohm-m).
    import importlib.util

    spec = importlib.util.spec_from_file_location(
        "simulate_survey", root / "examples" / "python" / "simulate_survey.py")
    script = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(script)
    out = tmp_path / "dd.dat"
    script.main(["simulate_survey.py", str(out)])
    committed = root / "examples" / "dipole_dipole.dat"
    assert out.read_bytes() == committed.read_bytes()
    data = quelby.read_data_file(committed)
    rho = quelby.apparent_resistivity(data)
    assert np.all((rho > 10 * 0.9) & (rho < 1000))
