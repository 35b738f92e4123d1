"""3-D surveys from Python: the 3-D files round trip, models keep the library's (nz, ny, nx) order,
the forward model meets a half-space's analytic values and its sensitivities agree with its
products, quelby.invert inverts a small 3-D survey to its target (and refuses what it cannot do),
the pictures draw, and invert_many runs 3-D steps on a cluster of processes."""

import os
import pickle

import numpy as np
import pytest

import quelby

SPACING = 2.0


def grid_survey(values=None, stds=None):
    """16 electrodes on a 4 x 4 grid, SPACING apart: dipole-dipole along both axes and short
    pole-dipoles, 126 data."""
    electrodes = np.array([(i * SPACING, j * SPACING, 0.0) for j in range(4) for i in range(4)])
    rows = []
    for j in range(4):
        for i in range(4):
            for di, dj in ((1, 0), (0, 1)):
                points = [(i + s * di, j + s * dj) for s in range(4)]
                if all(p < 4 and q < 4 for p, q in points):
                    rows.append([q * 4 + p for p, q in points])
    for a in range(16):
        for m in range(15):
            if m % 4 != 3 and a not in (m, m + 1) and \
                    np.linalg.norm(electrodes[a] - electrodes[m]) < 5:
                rows.append([a, a, m, m + 1])
    a, b, m, n = np.array(rows).T
    return quelby.Survey3D(electrodes, a, b, m, n, dobs=values, dstd=stds)


def same_positions(one, other):
    return all(np.array_equal(one.electrodes[getattr(one, e)], other.electrodes[getattr(other, e)])
               for e in ("a", "b", "m", "n"))


def block_model(mesh, inside, outside=100.0):
    z, y, x = np.meshgrid(mesh.z_centres, mesh.y_centres, mesh.x_centres, indexing="ij")
    block = (np.abs(x - 3) < 1.5) & (np.abs(y - 3) < 1.5) & (z > 0.5) & (z < 2.0)
    return np.where(block, inside, outside)


@pytest.fixture(scope="module")
def steps(tmp_path_factory):
    """Two 3-D survey files over blocks of 10 and 30 ohm-m, and the fine mesh they came from."""
    folder = tmp_path_factory.mktemp("steps3d")
    survey = grid_survey()
    fine = quelby.survey_mesh3d(survey, cell_budget=15000)
    forward = quelby.ForwardModel3D(fine, survey)
    files = []
    for k, inside in enumerate([10.0, 30.0]):
        data = forward.data(block_model(fine, inside))
        noisy = data * (1 + 0.01 * np.random.default_rng(k).standard_normal(data.size))
        observed = grid_survey(noisy, 0.03 * np.abs(noisy))
        files.append(folder / f"step{k}.dat")
        quelby.write_survey3d(files[-1], observed, comment="synthetic block")
    return dict(folder=folder, files=files, fine=fine)


def test_files_round_trip_and_models_keep_the_cell_order(tmp_path):
    mesh = quelby.Mesh3D([0, 1, 2.5, 4], [0, 2, 3], [0, 0.5, 1.25, 2.5, 5])
    assert (mesh.nx, mesh.ny, mesh.nz, mesh.cell_count) == (3, 2, 4, 24)
    assert mesh.shape == (4, 2, 3)
    numbered = np.arange(mesh.cell_count, dtype=float).reshape(mesh.shape) + 1
    # Element [k, j, i] is cell (k * ny + j) * nx + i, as the library numbers it.
    for i, j, k in [(0, 0, 0), (2, 0, 0), (0, 1, 0), (1, 1, 3)]:
        assert numbered[k, j, i] == mesh.cell(i, j, k) + 1
    survey = grid_survey(np.linspace(1, 2, 126), np.full(126, 0.05))
    cases = [
        ("mesh", lambda p: quelby.write_mesh3d(p, mesh), lambda p: quelby.load_mesh3d(p),
         lambda back: all(np.array_equal(getattr(back, a), getattr(mesh, a))
                          for a in ("x_nodes", "y_nodes", "z_nodes"))),
        ("model", lambda p: quelby.write_model3d(p, mesh, numbered),
         lambda p: quelby.read_model3d(p, mesh),
         lambda back: back.shape == mesh.shape and np.array_equal(back, numbered)),
        ("flat model", lambda p: quelby.write_model3d(p, mesh, numbered.ravel()),
         lambda p: quelby.read_model3d(p, mesh), lambda back: np.array_equal(back, numbered)),
        # The reader numbers electrodes as they first appear: the positions of each datum's
        # electrodes are what must come back.
        ("survey", lambda p: quelby.write_survey3d(p, survey), lambda p: quelby.read_survey3d(p),
         lambda back: same_positions(back, survey) and np.array_equal(back.dobs, survey.dobs)
         and np.array_equal(back.dstd, survey.dstd)),
        ("survey, values given", lambda p: quelby.write_survey3d(p, survey, values=np.ones(126)),
         lambda p: quelby.read_survey3d(p),
         lambda back: np.array_equal(back.dobs, np.ones(126)) and back.ndat == 126),
        ("locations", lambda p: quelby.write_survey3d(p, survey),
         lambda p: quelby.read_survey3d(p, locations_only=True),
         lambda back: back.dobs is None and back.electrodes.shape == (16, 3)),
        ("vtk", lambda p: quelby.write_vtk_rectilinear(p, mesh, {"resistivity": numbered}),
         lambda p: open(p, "rb").read(),
         lambda text: b"RectilinearGrid" in text and b'Name="resistivity"' in text),
    ]
    for name, write, read, same in cases:
        path = tmp_path / name.replace(" ", "_").replace(",", "")
        write(path)
        assert same(read(path)), name
    for store in (mesh, survey):
        back = pickle.loads(pickle.dumps(store))
        assert type(back) is type(store)
    assert np.array_equal(pickle.loads(pickle.dumps(survey)).electrodes, survey.electrodes)
    assert np.array_equal(pickle.loads(pickle.dumps(mesh)).dz, mesh.dz)


def test_bad_stores_and_arguments_are_refused():
    mesh = quelby.Mesh3D([0, 1, 2], [0, 1], [0, 1, 2])
    electrodes = np.zeros((2, 3))
    electrodes[1, 0] = 1
    cases = [
        (lambda: quelby.Mesh3D([0, 1, 1], [0, 1], [0, 1]), quelby.Stop),
        (lambda: quelby.Mesh3D([[0, 1]], [0, 1], [0, 1]), TypeError),
        (lambda: quelby.Survey3D(electrodes, [0], [0], [2], [2]), ValueError),
        (lambda: quelby.Survey3D(electrodes, [0], [0], [0], [1]), ValueError),
        (lambda: quelby.Survey3D(electrodes[:, :2], [0], [0], [1], [1]), ValueError),
        (lambda: quelby.Survey3D(electrodes, [0], [0], [1], [1], dobs=[1, 2]), ValueError),
        (lambda: quelby.Survey3D(electrodes, [0], [0], [1], [1], dstd=[1]), ValueError),
        (lambda: quelby.Survey3D(electrodes, [0], [0], [1], [1], iptype=[3]), ValueError),
        (lambda: quelby.write_model3d("never.mod", mesh, np.ones((2, 1, 1))), ValueError),
        (lambda: quelby.write_survey3d("never.dat",
                                       quelby.Survey3D(electrodes, [0], [0], [1], [1])),
         ValueError),
        (lambda: mesh.cell(2, 0, 0), IndexError),
    ]
    for call, error in cases:
        with pytest.raises(error):
            call()
    assert not os.path.exists("never.mod")


def test_invert_refuses_what_the_3d_run_cannot_do(steps):
    data = steps["files"][0]
    refused = [dict(alpha=(1, 1, 1)), dict(weights="w.txt"), dict(dip_file="d.txt"),
               dict(callback=print), dict(doi=True), dict(z=True), dict(parameters="p.msh"),
               dict(ip_lengths=(1, 1)), dict(resistivity_bounds=(1, 10)),
               dict(lengths=(1, 2, 3, 4)), dict(cell_budget=0), dict(active=np.ones(3)),
               dict(mesh=quelby.Mesh3D([0, 1], [0, 1], [0, 1]), cell_budget=100)]
    for options in refused:
        with pytest.raises(ValueError):
            quelby.invert(data=data, **options)
    with pytest.raises(TypeError):
        quelby.invert(mesh=quelby.Mesh(), data=data)
    with pytest.raises(ValueError, match="cell_budget"):
        quelby.invert("absent.msh", data="absent.dat", cell_budget=1000)


def test_forward_model_meets_a_half_space_and_its_products_agree():
    electrodes = np.array([(x, y, 0.0) for y in (0.0, 2.0) for x in (0.0, 1.0, 3.0, 6.0)])
    a = np.array([0, 0, 0, 4, 5])
    m = np.array([1, 2, 3, 7, 2])
    poles = quelby.Survey3D(electrodes, a, a, m, m)
    mesh = quelby.survey_mesh3d(poles, cell_budget=8000)
    forward = quelby.ForwardModel3D(mesh, poles)
    rho = 50.0
    distance = np.linalg.norm(electrodes[a] - electrodes[m], axis=1)
    np.testing.assert_allclose(forward.data(np.full(mesh.shape, rho)),
                               rho / (2 * np.pi * distance), rtol=1e-3)

    survey = grid_survey()
    mesh = quelby.survey_mesh3d(survey, cell_budget=4000)
    forward = quelby.ForwardModel3D(mesh, survey)
    model = block_model(mesh, 20.0)
    J, data = forward.sensitivity(model)
    assert J.shape == (survey.ndat, mesh.cell_count)
    np.testing.assert_allclose(J.sum(axis=1), data, rtol=1e-9)
    np.testing.assert_allclose(data, forward.data(model), rtol=1e-12)
    # The model's order: element [k, j, i] of the array is column (k * ny + j) * nx + i of J,
    # a cell off every diagonal so that a transposed order would show.
    i, j, k = (quelby.plot3d.cell_at(mesh.x_nodes, 3.3), quelby.plot3d.cell_at(mesh.y_nodes, 1.1),
               1)
    step = 1e-4
    nudged = model.copy()
    nudged[k, j, i] *= np.exp(step)
    column = J[:, mesh.cell(i, j, k)]
    np.testing.assert_allclose((forward.data(nudged) - data) / step, column, rtol=2e-3,
                               atol=1e-3 * np.abs(column).max())
    cells = np.asarray(forward.ground_cells)[:40]
    groups = [cells[:10], cells[10:25], cells[25:]]
    Jg, _ = forward.sensitivity(model, cells=groups)
    expected = np.column_stack([J[:, g].sum(axis=1) for g in groups])
    np.testing.assert_allclose(Jg, expected, rtol=1e-10, atol=1e-14 * np.abs(J).max())
    v = np.random.default_rng(1).standard_normal(3)
    w = np.random.default_rng(2).standard_normal(survey.ndat)
    np.testing.assert_allclose(forward.jacobian_times(model, v, cells=groups), Jg @ v, rtol=1e-9)
    np.testing.assert_allclose(forward.jacobian_transpose_times(model, w, cells=groups),
                               Jg.T @ w, rtol=1e-9)
    np.testing.assert_allclose(forward.apparent_chargeability(model, np.full(mesh.shape, 0.05)),
                               0.05, rtol=1e-9)
    for bad in ([mesh.cell_count], [-1]):
        with pytest.raises(ValueError, match="cells"):
            forward.sensitivity(model, cells=bad)
    with pytest.raises(ValueError, match="shape"):
        forward.data(np.ones((mesh.nz, mesh.nx)))


@pytest.fixture(scope="module")
def inverted(steps, tmp_path_factory):
    out = tmp_path_factory.mktemp("inverted3d") / "out"
    return quelby.invert(data=steps["files"][0], cell_budget=6000, out=out), out


def test_a_small_3d_inversion_reaches_its_target_and_writes_its_files(inverted, steps):
    result, out = inverted
    history = result.history
    assert history["stop"] == "reached the target misfit"
    assert history["misfit"][history["kept_iteration"]] <= history["target_misfit"]
    assert history["ndat"] == 126
    grid = result.mesh
    assert isinstance(grid, quelby.Mesh3D) and isinstance(result.forward_mesh, quelby.Mesh3D)
    assert result.model.shape == grid.shape == result.cell_idx.shape
    assert result.air_cells.shape == (result.forward_mesh.ny, result.forward_mesh.nx)
    assert np.array_equal(np.isnan(result.model), result.cell_idx == 0)
    for name in ("model.mod", "model.vtr", "predicted.dat", "history.txt", "run.log"):
        assert (out / name).exists(), name
    written = quelby.read_model3d(out / "model.mod", grid)
    parameter = result.cell_idx > 0
    np.testing.assert_allclose(written[parameter], result.model[parameter], rtol=5e-6)
    predicted = quelby.read_survey3d(out / "predicted.dat")
    np.testing.assert_allclose(predicted.dobs, result.predicted, rtol=1e-12)
    # The conductive block shows where it is, beneath the grid's middle.
    z, y, x = np.meshgrid(grid.z_centres, grid.y_centres, grid.x_centres, indexing="ij")
    block = (np.abs(x - 3) < 1.5) & (np.abs(y - 3) < 1.5) & (z > 0.5) & (z < 2.0) & parameter
    beside = (np.abs(x - 3) > 3) & (z > 0.5) & (z < 2.0) & parameter
    assert np.median(result.model[block]) < 0.7 * np.median(result.model[beside])
    # The grid is the one quelby.parameter_grid3d makes, and a Survey3D in memory gives the
    # file's bits.
    again = quelby.parameter_grid3d(result.forward_mesh, result.survey)
    assert all(np.array_equal(getattr(again, a), getattr(grid, a))
               for a in ("x_nodes", "y_nodes", "z_nodes"))
    in_memory = quelby.invert(data=quelby.read_survey3d(steps["files"][0]),
                              mesh=result.forward_mesh, max_iterations=2)
    first = quelby.invert(data=steps["files"][0], mesh=result.forward_mesh, max_iterations=2)
    assert np.array_equal(in_memory.model, first.model, equal_nan=True)


def test_pictures_of_a_3d_model_and_its_misfit(inverted, tmp_path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    result, _ = inverted
    grid, survey = result.mesh, result.survey
    for axis, position in [("x", 3.0), ("y", 3.0), ("z", 1.0), ("y", None)]:
        ax = quelby.plot_model3d(grid, result.model, axis=axis, position=position, survey=survey)
        shown = ax.collections[0].get_array()
        # The cells that are no parameter are blank (masked), the others drawn.
        assert np.ma.count_masked(shown) > 0 or not np.isnan(result.model).any()
        ax.figure.savefig(tmp_path / f"slice_{axis}.png")
        plt.close(ax.figure)
    figure = quelby.plot_depth_maps(grid, result.model, depths=[0.5, 1.5, 3.0], survey=survey)
    assert len(figure.axes) == 4  # three maps and the colour bar
    figure.savefig(tmp_path / "maps.png")
    figure = quelby.plot_misfit3d(survey, result.observed, result.predicted, result.std)
    figure.savefig(tmp_path / "misfit.png")
    plt.close("all")
    for name in ("slice_x", "slice_y", "slice_z", "maps", "misfit"):
        assert (tmp_path / f"{name}.png").stat().st_size > 1000
    # A slice picks the layer that holds its depth, whose values it shows.
    k = quelby.plot3d.cell_at(grid.z_nodes, 1.0)
    ax = quelby.plot_model3d(grid, result.model, axis="z", position=1.0, log=False)
    np.testing.assert_array_equal(np.ma.filled(ax.collections[0].get_array(), np.nan).ravel(),
                                  result.model[k].ravel())
    plt.close("all")
    for call in (lambda: quelby.plot_model3d(grid, result.model, axis="z", position=-1.0),
                 lambda: quelby.plot_model3d(grid, result.model, axis="w"),
                 lambda: quelby.plot_model3d(grid, result.model[0]),
                 lambda: quelby.plot_misfit3d(survey, [1.0], [1.0], [1.0])):
        with pytest.raises(ValueError):
            call()


def test_invert_many_runs_3d_steps_on_a_cluster_of_processes(steps, tmp_path):
    distributed = pytest.importorskip("distributed")
    runs = [dict(name=f"step {k}", data=path, cell_budget=5000, out=tmp_path / f"step{k}")
            for k, path in enumerate(steps["files"])]
    # The second step's data cross to its worker as a store.
    runs[1]["data"] = quelby.read_survey3d(runs[1]["data"])
    serial = [quelby.invert(**{key: value for key, value in run.items()
                               if key not in ("name", "out")}) for run in runs]
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, silence_logs=40)
    with distributed.Client(cluster) as client:
        results = quelby.invert_many(runs, client=client, progress=False)
    cluster.close()
    for result, alone, run in zip(results, serial, runs):
        assert not isinstance(result, quelby.RunFailed), result
        assert np.array_equal(result.model, alone.model, equal_nan=True)
        assert np.array_equal(result.predicted, alone.predicted)
        assert np.array_equal(result.forward_mesh.x_nodes, alone.forward_mesh.x_nodes)
        assert result.survey.ndat == 126
        assert (run["out"] / "model.vtr").exists()
    # The stronger contrast of the first step shows in its model.
    assert np.nanmin(results[0].model) < np.nanmin(results[1].model)


def test_a_sloping_ground_from_its_file_or_its_store_gives_the_same_run(tmp_path):
    points = [(x, y, 100 - 0.1 * x) for x in np.arange(-40, 41, 4.0)
              for y in np.arange(-40, 41, 4.0)]
    (tmp_path / "ground.txt").write_text(
        f"{len(points)} 100\n" + "".join(f"{x:g} {y:g} {e:g}\n" for x, y, e in points))
    ground = quelby.read_topography3d(tmp_path / "ground.txt")
    assert ground.is_grid and ground.surface_z(3.0, 1.0) == pytest.approx(0.3)
    assert pickle.loads(pickle.dumps(ground)).surface_z(3.0, 1.0) == ground.surface_z(3.0, 1.0)
    flat = grid_survey()
    electrodes = np.asarray(flat.electrodes).copy()
    electrodes[:, 2] = 0.1 * electrodes[:, 0]  # on the ground
    survey = quelby.Survey3D(electrodes, flat.a, flat.b, flat.m, flat.n)
    mesh = quelby.survey_mesh3d(survey, cell_budget=6000, relief=0.6)
    air = quelby.air_cells_3d(mesh, ground)
    assert air.shape == (mesh.ny, mesh.nx) and air.max() > air.min() == 0
    data = quelby.ForwardModel3D(mesh, survey, air_cells=air).data(block_model(mesh, 30.0))
    noisy = data * (1 + 0.02 * np.random.default_rng(3).standard_normal(data.size))
    quelby.write_survey3d(tmp_path / "data.dat", quelby.Survey3D(
        electrodes, flat.a, flat.b, flat.m, flat.n, dobs=noisy, dstd=0.03 * np.abs(noisy)))
    quelby.write_mesh3d(tmp_path / "mesh.msh", mesh)
    by_store = quelby.invert(mesh=mesh, data=tmp_path / "data.dat", topography=ground,
                             max_iterations=2)
    by_files = quelby.invert(mesh=tmp_path / "mesh.msh", data=tmp_path / "data.dat",
                             topography=tmp_path / "ground.txt", max_iterations=2)
    assert np.array_equal(by_store.air_cells, air)
    assert np.array_equal(by_store.model, by_files.model, equal_nan=True)
    assert by_store.history["misfit"][-1] < by_store.history["misfit"][0]
    with pytest.raises(ValueError, match="Topography3D"):
        quelby.invert(data=tmp_path / "data.dat", topography=ground)


def test_ip_data_are_inverted_on_the_resistivity_found(steps, tmp_path):
    survey = grid_survey()
    fine = steps["fine"]
    forward = quelby.ForwardModel3D(fine, survey)
    rho = block_model(fine, 10.0)
    data = forward.data(rho)
    chargeability = forward.apparent_chargeability(rho, block_model(fine, 0.1, 0.01))
    electrodes = np.asarray(survey.electrodes)
    files = {"dc": tmp_path / "dc.dat", "ip": tmp_path / "ip.dat"}
    quelby.write_survey3d(files["dc"], grid_survey(data, 0.03 * np.abs(data)))
    quelby.write_survey3d(files["ip"], quelby.Survey3D(
        electrodes, survey.a, survey.b, survey.m, survey.n, dobs=chargeability,
        iptype=np.ones(survey.ndat, dtype=int)))
    assert quelby.read_survey3d(files["ip"], dc_data=False).std_missing
    result = quelby.invert(data=files["dc"], ip_data=files["ip"], cell_budget=6000,
                           ip_percent=5, ip_floor=0.001, max_iterations=8, out=tmp_path / "out")
    assert result.eta.shape == result.model.shape == result.mesh.shape
    assert result.predicted_ip.shape == (survey.ndat,)
    np.testing.assert_allclose(result.std_ip, 0.05 * np.abs(chargeability) + 0.001)
    for name in ("eta.mod", "eta.vtr", "predicted_ip.dat", "history_ip.txt"):
        assert (tmp_path / "out" / name).exists(), name
    grid = result.mesh
    z, y, x = np.meshgrid(grid.z_centres, grid.y_centres, grid.x_centres, indexing="ij")
    block = (np.abs(x - 3) < 1.5) & (np.abs(y - 3) < 1.5) & (z > 0.5) & (z < 2.0)
    beside = (np.abs(x - 3) > 3) & (z > 0.5) & (z < 2.0)
    assert np.nanmedian(result.eta[block]) > 2 * np.nanmedian(result.eta[beside])


def test_meshes_and_grids_for_a_survey_keep_their_promises():
    survey = grid_survey()
    electrodes = np.asarray(survey.electrodes)
    for budget in (3000, 8000, 20000):
        mesh = quelby.survey_mesh3d(survey, cell_budget=budget)
        assert mesh.cell_count <= budget, budget
        # Every electrode coordinate is a node; the widths and centres follow the nodes.
        for axis, column in (("x", 0), ("y", 1)):
            nodes = np.asarray(getattr(mesh, f"{axis}_nodes"))
            assert np.isin(electrodes[:, column], nodes).all(), (budget, axis)
            np.testing.assert_array_equal(getattr(mesh, f"d{axis}"), np.diff(nodes))
            np.testing.assert_allclose(getattr(mesh, f"{axis}_centres"),
                                       (nodes[1:] + nodes[:-1]) / 2)
        grids = [(None, None), ("auto", None), (1.0, None), ("mesh", mesh)]
        for cell, same in grids:
            grid = quelby.parameter_grid3d(mesh, survey, cell=cell)
            if same is not None:
                assert grid is not None and grid.shape == mesh.shape
            for axis in ("x_nodes", "y_nodes", "z_nodes"):
                # Grid cells hold whole mesh cells: every grid node is a mesh node.
                assert np.isin(getattr(grid, axis), getattr(mesh, axis)).all(), (cell, axis)
            assert grid.cell_count <= mesh.cell_count
    coarse = quelby.parameter_grid3d(mesh, survey, cell=4.0)
    assert coarse.cell_count < quelby.parameter_grid3d(mesh, survey, cell=1.0).cell_count
    for cell in (0, -1.0, "fine"):
        with pytest.raises(ValueError):
            quelby.parameter_grid3d(mesh, survey, cell=cell)


def test_arguments_of_the_forward_model_and_the_writers_are_checked(tmp_path):
    survey = grid_survey()
    mesh = quelby.survey_mesh3d(survey, cell_budget=3000)
    cases = [
        (lambda: quelby.ForwardModel3D(mesh, survey, air_cells=np.zeros(3)), ValueError),
        (lambda: quelby.ForwardModel3D(mesh, survey, air_cells=np.zeros((mesh.nx, mesh.ny))),
         ValueError if mesh.nx != mesh.ny else None),
        (lambda: quelby.ForwardModel3D(mesh, survey,
                                       air_cells=np.full((mesh.ny, mesh.nx), mesh.nz + 1)),
         ValueError),
        (lambda: quelby.write_vtk_rectilinear(tmp_path / "bad.vtr", mesh, {"r": np.ones(5)}),
         ValueError),
        (lambda: quelby.write_model3d(tmp_path / "bad.mod", mesh,
                                      np.ones((mesh.nx, mesh.ny, mesh.nz))),
         ValueError if mesh.nx != mesh.nz else None),
        (lambda: quelby.read_model3d(tmp_path / "absent.mod", mesh), quelby.Stop),
        (lambda: quelby.read_survey3d(tmp_path / "absent.dat"), quelby.Stop),
    ]
    for call, error in cases:
        if error is not None:
            with pytest.raises(error):
                call()
    assert not (tmp_path / "bad.vtr").exists() and not (tmp_path / "bad.mod").exists()
    # A model crosses as a flat vector in cell order as well as in its shape.
    forward = quelby.ForwardModel3D(mesh, survey)
    model = block_model(mesh, 30.0)
    np.testing.assert_array_equal(forward.data(model), forward.data(model.ravel()))


def test_ip_types_and_missing_deviations_cross_the_file(tmp_path):
    survey = grid_survey()
    electrodes = np.asarray(survey.electrodes)
    types = np.where(np.arange(survey.ndat) % 3 == 0, 2, 1)
    values = np.linspace(0.01, 0.02, survey.ndat)
    cases = [
        ("types 1 and 2", dict(dobs=values, dstd=np.full(survey.ndat, 0.001), iptype=types),
         False),
        ("no deviations", dict(dobs=values, iptype=types), False),
        ("DC", dict(dobs=values), True),
    ]
    for name, arrays, dc in cases:
        store = quelby.Survey3D(electrodes, survey.a, survey.b, survey.m, survey.n, **arrays)
        path = tmp_path / f"{name.replace(' ', '_')}.dat"
        quelby.write_survey3d(path, store)
        back = quelby.read_survey3d(path, dc_data=dc)
        assert np.array_equal(back.iptype, arrays.get("iptype", np.zeros(survey.ndat))), name
        assert np.array_equal(back.dobs, values), name
        if "dstd" in arrays:
            assert np.array_equal(back.dstd, arrays["dstd"]), name
        else:
            assert back.dstd is None and back.std_missing, name
        assert ("IPTYPE" in path.read_text()) == (not dc), name


def test_a_starting_model_given_per_cell_is_the_grid_order(steps):
    first = quelby.invert(data=steps["files"][1], cell_budget=4000, max_iterations=1)
    grid = first.mesh
    uniform = quelby.invert(data=steps["files"][1], cell_budget=4000, max_iterations=1,
                            start=60.0, reference=60.0)
    per_cell = quelby.invert(data=steps["files"][1], cell_budget=4000, max_iterations=1,
                             start=np.full(grid.shape, 60.0), reference=60.0)
    assert np.array_equal(uniform.model, per_cell.model, equal_nan=True)
    with pytest.raises(quelby.Stop):
        quelby.invert(data=steps["files"][1], cell_budget=4000, max_iterations=1,
                      start=np.full((2, 2, 2), 60.0))
    with pytest.raises(ValueError, match="nz, ny, nx"):
        quelby.invert(data=steps["files"][1], cell_budget=4000, start=np.full((4, 4), 60.0))


def test_the_misfit_map_averages_each_current_electrodes_data():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    electrodes = np.array([(0.0, 0, 0), (1, 0, 0), (2, 0, 0), (3, 0, 0), (4, 0, 0)])
    # A pole at 0 with two data, a dipole 0-1 with one; misfits 1, 3 and 2 standard deviations.
    survey = quelby.Survey3D(electrodes, [0, 0, 0], [0, 0, 1], [2, 3, 3], [2, 3, 4])
    observed = np.array([10.0, 10.0, 10.0])
    predicted = observed + np.array([1.0, -3.0, 2.0])
    figure = quelby.plot_misfit3d(survey, observed, predicted, np.ones(3))
    where = figure.axes[1]
    means = where.collections[0].get_array()
    np.testing.assert_allclose(means, [(1 + 3 + 2) / 3, 2.0])
    np.testing.assert_allclose(where.collections[0].get_offsets(), [[0, 0], [1, 0]])
    assert "RMS 2.16" in figure.axes[0].get_title()
    plt.close(figure)
    mesh = quelby.Mesh3D([0, 1, 2], [0, 1], [0, 1, 3])
    with pytest.raises(ValueError, match="depth"):
        quelby.plot_depth_maps(mesh, np.ones(mesh.shape), depths=[5.0])
    figure = quelby.plot_depth_maps(mesh, np.array([[[1, np.nan]], [[2, 3]]]), depths=[0.5, 2])
    assert np.ma.count_masked(figure.axes[0].collections[0].get_array()) == 1
    assert np.ma.count_masked(figure.axes[1].collections[0].get_array()) == 0
    plt.close(figure)


def test_the_options_the_3d_run_takes_reach_it(steps):
    def run(**options):
        return quelby.invert(data=steps["files"][0], cell_budget=4000, max_iterations=2,
                             **options)

    plain = run()
    checks = [
        # The sensitivities' products in place of J: the same steps to rounding.
        (dict(memory_budget=0.01),
         lambda r: np.allclose(r.model, plain.model, rtol=1e-2, equal_nan=True)),
        (dict(robust=True), lambda r: r.history["data_weights"].min() < 1),
        (dict(chifact=3.0), lambda r: r.history["target_misfit"] == 3.0 * 126),
        (dict(max_log_change=0.1),
         lambda r: np.nanmax(np.abs(np.log(r.model / np.nanmedian(plain.model)))) < 1.0),
        (dict(percent=10.0, floor=0.0, data=steps["files"][0]),
         lambda r: np.array_equal(r.std, plain.std)),  # the file's deviations stand
        (dict(parameter_cell="mesh"), lambda r: r.mesh.shape == r.forward_mesh.shape and
         r.mesh.cell_count > plain.mesh.cell_count),
        (dict(lengths=(20.0, 20.0, 20.0)), lambda r: r.history["norm"][-1] !=
         plain.history["norm"][-1]),
    ]
    for options, holds in checks:
        data = options.pop("data", None)
        result = run(**options) if data is None else quelby.invert(
            data=data, cell_budget=4000, max_iterations=2, **options)
        assert holds(result), options


def test_a_3d_time_lapse_campaign_finds_the_change_on_the_baselines_grid(steps, tmp_path):
    # Baseline: the 30 ohm-m block; the later step: the 10 ohm-m block, its readings in a
    # different order with one pair's A and B exchanged (its sign turned).
    later = quelby.read_survey3d(steps["files"][0])
    order = np.arange(later.ndat)[::-1]
    a, b = np.asarray(later.a)[order], np.asarray(later.b)[order]
    dobs = np.asarray(later.dobs)[order]
    a[0], b[0], dobs[0] = b[0], a[0], -dobs[0]
    shuffled = quelby.Survey3D(np.asarray(later.electrodes), a, b, np.asarray(later.m)[order],
                               np.asarray(later.n)[order], dobs=dobs,
                               dstd=np.asarray(later.dstd)[order])
    for method in ("difference", "ratio"):
        out = tmp_path / method
        campaign = quelby.invert_timelapse(None, steps["files"][1], [shuffled], method=method,
                                           out=out, cell_budget=5000, progress=False)
        assert not campaign.failed
        step = campaign.steps[0]
        assert step.readings["dropped_from_step"] == 0
        assert step.result.mesh.cell_count == campaign.baseline.mesh.cell_count
        grid = campaign.baseline.mesh
        z, y, x = np.meshgrid(grid.z_centres, grid.y_centres, grid.x_centres, indexing="ij")
        inside = (np.abs(x - 3) < 1) & (np.abs(y - 3) < 1) & (z > 0.75) & (z < 1.75)
        if method == "difference":
            # The block grew more conductive: its change is negative, the rest's is small.
            assert np.nanmean(step.change[inside]) < -10
            far = (z < 3) & ~((np.abs(x - 3) < 3) & (np.abs(y - 3) < 3))
            assert abs(np.nanmedian(step.change[far])) < 5
        written = quelby.read_model3d(out / "step_1" / "change.mod", grid)
        assert np.allclose(written[np.isfinite(step.change)],
                           step.change[np.isfinite(step.change)], rtol=1e-5, atol=1e-3)
        assert (out / "timelapse.txt").exists()
        # The campaign's report draws the baseline and the step's change in 3-D pictures.
        with open(quelby.report(out, out=out / "page.html")) as written_page:
            page = written_page.read()
        for picture in ("slice-x", "depth-map-1", "slice-x-change-1", "depth-map-4-change-1"):
            assert f'id="{picture}"' in page, picture
