"""quelby.invert_many on a LocalCluster: three small inversions (files, stores in memory, arrays)
give the serial runs' bits, a failing run is reported by its name without stopping the others, the
time-lapse steps run there as they run serially, a failing step reported in the result; runs and
clients it cannot use refused with what it expected; the stores cross processes by pickling; the
library's thread count per process."""

import os
import pickle

import numpy as np
import pytest

import quelby

distributed = pytest.importorskip("distributed")


def dipole_dipole(electrodes=8, spacing=5.0, n_max=3):
    rows = [(i, i + 1, i + 1 + n, i + 2 + n) for i in range(electrodes)
            for n in range(1, n_max + 1) if i + 2 + n <= electrodes - 1]
    return [np.array([row[e] for row in rows]) * spacing for e in range(4)]


@pytest.fixture(scope="module")
def profiles(tmp_path_factory):
    """Three small profiles (8 electrodes, 12 data) over blocks of 10, 20 and 40 ohm-m, as files
    and as stores."""
    folder = tmp_path_factory.mktemp("profiles")
    survey = quelby.survey_from_arrays(*dipole_dipole())
    mesh = quelby.mesh_for_survey(survey, cell=2.5, padding=5, depth=20)
    x, z = np.meshgrid(np.asarray(mesh.x_centres), np.asarray(mesh.z_centres))
    in_block = (np.abs(x - 17.5) < 5) & (z > 2.5) & (z < 7.5)
    quelby.write_mesh(folder / "p.msh", mesh)
    files = []
    for k, block in enumerate([10.0, 20.0, 40.0]):
        data = quelby.forward(mesh, np.where(in_block, block, 100.0), survey)
        noisy = data * (1 + 0.02 * np.random.default_rng(k).standard_normal(data.size))
        files.append(folder / f"p{k}.dat")
        quelby.write_general_data(files[-1], survey, noisy, stds=0.02 * np.abs(noisy))
    return dict(folder=folder, mesh=folder / "p.msh", files=files,
                stores=[quelby.read_data_file(f) for f in files])


def same_result(one, other):
    assert np.array_equal(one.model, other.model)
    assert np.array_equal(one.predicted, other.predicted)
    for key in ("misfit", "norm", "beta"):
        assert np.array_equal(one.history[key], other.history[key])
    assert one.history["stop"] == other.history["stop"]
    assert np.array_equal(np.asarray(one.mesh.x_nodes), np.asarray(other.mesh.x_nodes))


def test_three_inversions_on_a_local_cluster_give_the_serial_bits(profiles, tmp_path, capsys):
    grid = quelby.load_mesh(profiles["mesh"])
    runs = [
        dict(name="by files", mesh=profiles["mesh"], data=profiles["files"][0],
             out=tmp_path / "files"),
        dict(name="in memory", mesh=grid,
             data=profiles["stores"][1], chifact=1.5),
        dict(mesh=profiles["mesh"], data=profiles["stores"][2],
             start=np.full((grid.nz, grid.nx), 80.0), lengths=(10.0, 5.0)),
        dict(name="lost", mesh=profiles["mesh"], data=profiles["folder"] / "absent.dat"),
    ]
    serial = [quelby.invert(**{k: v for k, v in run.items() if k != "name"})
              for run in runs[:3]]
    results = quelby.invert_many(runs, threads_per_run=1, progress=True)
    assert len(results) == 4
    for one, other in zip(results[:3], serial):
        same_result(one, other)
    failed = results[3]
    assert isinstance(failed, quelby.RunFailed)
    assert failed.name == "lost"
    assert isinstance(failed.error, quelby.Stop)
    assert "absent.dat" in failed.message
    error = capsys.readouterr().err
    assert "quelby.invert_many: run 'lost' failed:" in error
    assert "4/4 runs, 1 failed" in error
    written = quelby.read_model(tmp_path / "files" / "model.mod", results[0].mesh)
    np.testing.assert_allclose(written, serial[0].model, rtol=5e-6)
    assert "DC inversion: reached the target misfit" in (tmp_path / "files" / "run.log").read_text()


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, silence_logs=40)
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


def test_time_lapse_steps_run_on_a_cluster_as_they_run_serially(profiles, tmp_path, client):
    files = profiles["files"]
    serial = quelby.invert_timelapse(profiles["mesh"], files[0], files[1:], out=tmp_path / "one")
    spread = quelby.invert_timelapse(profiles["mesh"], files[0], files[1:], out=tmp_path / "many",
                                     client=client, progress=False)
    for one, other in zip(serial.steps, spread.steps):
        same_result(one.result, other.result)
        assert np.array_equal(one.change, other.change)
    for name in ("timelapse.txt", "step_1/change.mod", "step_2/model.mod"):
        assert (tmp_path / "one" / name).read_bytes() == (tmp_path / "many" / name).read_bytes()
    # A step that fails on the cluster is reported by its name in the result; the others go on.
    here = os.getpid()

    def only_here(update):
        if os.getpid() != here:
            raise RuntimeError("a callback that runs in this process only")

    failing = quelby.invert_timelapse(profiles["mesh"], files[0], files[1:2], client=client,
                                      progress=False, callback=only_here, out=tmp_path / "failing")
    assert failing.failed == failing.steps
    assert isinstance(failing.steps[0], quelby.RunFailed)
    assert failing.steps[0].name == "step 1"
    assert failing.summary[1] == {"data": str(files[1]),
                                  "failure": "a callback that runs in this process only"}
    log = (tmp_path / "failing" / "run.log").read_text()
    assert "step 1 failed: a callback that runs in this process only\n" in log
    assert log.endswith("\nError: 1 of 1 steps after the baseline failed (step 1); the others "
                        "were inverted.\n")


def test_runs_with_an_io_are_refused_and_no_run_is_no_result(profiles, client):
    assert quelby.invert_many([], client=client) == []
    with pytest.raises(ValueError, match="second: an Io cannot be sent"):
        quelby.invert_many([dict(mesh=profiles["mesh"], data=profiles["files"][0]),
                            dict(name="second", mesh=profiles["mesh"], data=profiles["files"][0],
                                 io=quelby.Io())], client=client)


def test_runs_and_clients_it_cannot_use_are_refused_with_what_was_expected(profiles):
    run = dict(mesh=profiles["mesh"], data=profiles["files"][0])
    for runs, message in (
            (run, "runs must be a list of keyword dicts for quelby.invert, not a dict"),
            ("runs.txt", "runs must be a list of keyword dicts for quelby.invert, not a str"),
            (3, "runs must be a list of keyword dicts for quelby.invert, not an int"),
            ([run, "second"], "run 2 must be a dict of keywords for quelby.invert, not a str")):
        with pytest.raises(TypeError, match=f"^invert_many: {message}$"):
            quelby.invert_many(runs)
    with pytest.raises(TypeError, match="client must be None, a distributed.Client or a "
                                        "scheduler's address, not an int"):
        quelby.invert_many([run], client=4)
    closed = distributed.Client(processes=False, dashboard_address=None)
    closed.close()
    with pytest.raises(ValueError, match="^invert_many: the Dask client is closed$"):
        quelby.invert_many([run], client=closed)
    files = profiles["files"]
    with pytest.raises(ValueError, match="^invert_timelapse: the Dask client is closed$"):
        quelby.invert_timelapse(profiles["mesh"], files[0], files[1:], client=closed)
    with pytest.raises(TypeError, match="steps must be a list of data files or SurveyData, one "
                                        "per later step, not a PosixPath"):
        quelby.invert_timelapse(profiles["mesh"], files[0], files[1])


def test_stores_cross_processes_by_pickling(profiles):
    mesh = quelby.load_mesh(profiles["mesh"])
    topography = quelby.read_topography(mesh)
    cells = quelby.read_active_cells(mesh, topography)
    survey = profiles["stores"][0]
    for store, fields in ((mesh, ("nx", "nz", "x_nodes", "z_nodes", "dx", "dz", "x_centres",
                                  "z_centres", "x_mid", "z_first")),
                          (topography, ("has_topography", "air_cells", "surface_z",
                                        "reference_elevation")),
                          (cells, ("nx", "nz", "cell_idx", "npar", "ninfl", "ninact", "air_cells")),
                          (survey, ("ndat", "ncur", "xa_cur", "xb_cur", "xm", "xn", "dobs", "dstd",
                                    "idat_idx", "sorted_pos", "xa_file", "header_line",
                                    "sep_mean", "dstd_read", "has_file_order"))):
        copy = pickle.loads(pickle.dumps(store))
        assert type(copy) is type(store)
        for field in fields:
            assert np.array_equal(np.asarray(getattr(copy, field)),
                                  np.asarray(getattr(store, field))), field
    with pytest.raises(RuntimeError, match="another layout"):
        quelby.Mesh.__new__(quelby.Mesh).__setstate__((1, 2))


def test_the_thread_count_is_set_per_process_and_changes_no_bit(profiles):
    original = quelby.thread_count()
    try:
        assert quelby.set_thread_count(1) == 1 == quelby.thread_count()
        one = quelby.invert(profiles["mesh"], data=profiles["files"][0])
        assert quelby.set_thread_count(2) == 2
        two = quelby.invert(profiles["mesh"], data=profiles["files"][0])
        same_result(one, two)
        assert quelby.set_thread_count(0) == 1
    finally:
        quelby.set_thread_count(original)
