"""quelby.invert on a small synthetic block survey: the target reached and the block recovered;
files and stores in memory giving the same bits; the callback after every iteration, an exception
from it ending the run with complete files; the interpreter free while it runs; wrong inputs; the
depth of investigation returned with the models."""

import threading

import numpy as np
import pytest

import quelby


def dipole_dipole(electrodes=10, spacing=5.0, n_max=4):
    rows = [(i, i + 1, i + 1 + n, i + 2 + n) for i in range(electrodes)
            for n in range(1, n_max + 1) if i + 2 + n <= electrodes - 1]
    return [np.array([row[e] for row in rows]) * spacing for e in range(4)]


@pytest.fixture(scope="module")
def block(tmp_path_factory):
    """A 10 ohm-m block in 100 ohm-m under 10 electrodes (22 data, 2 % noise with its standard
    deviations), in memory and as files."""
    folder = tmp_path_factory.mktemp("survey")
    line = quelby.survey_from_arrays(*dipole_dipole())
    mesh = quelby.mesh_for_survey(line, cell=2.5, padding=7, depth=30, depth_growth=1)
    x, z = np.meshgrid(np.asarray(mesh.x_centres), np.asarray(mesh.z_centres))
    in_block = (np.abs(x - 22.5) < 10) & (z > 2.5) & (z < 10)
    data = quelby.forward(mesh, np.where(in_block, 10.0, 100.0), line)
    noisy = data * (1 + 0.02 * np.random.default_rng(5).standard_normal(data.size))
    std = 0.02 * np.abs(noisy)
    quelby.write_mesh(folder / "block.msh", mesh)
    quelby.write_general_data(folder / "block.dat", line, noisy, stds=std)
    survey = quelby.read_data_file(folder / "block.dat")
    return dict(mesh=mesh, survey=survey, folder=folder, in_block=in_block)


def geometric_means(model, in_block, mesh):
    z = np.asarray(mesh.z_centres)[:, None] + 0 * model
    x = np.asarray(mesh.x_centres)[None, :] + 0 * model
    background = ~in_block & (x > 0) & (x < 45) & (z < 20)
    return np.exp(np.log(model[in_block]).mean()), np.exp(np.log(model[background]).mean())


def test_files_and_stores_invert_to_the_same_bits(block, tmp_path):
    folder = block["folder"]
    by_files = quelby.invert(mesh=folder / "block.msh", data=folder / "block.dat", out=tmp_path)
    history = by_files.history
    assert history["stop"] == "reached the target misfit"
    assert history["misfit"][-1] <= history["target_misfit"] == block["survey"].ndat
    recovered, background = geometric_means(by_files.model, block["in_block"], block["mesh"])
    assert recovered < 0.5 * background
    assert by_files.model.shape == (block["mesh"].nz, block["mesh"].nx)
    assert by_files.eta is None and by_files.history_ip is None
    # The files of the run, with the run log, read back to what was returned.
    written = quelby.read_model(tmp_path / "model.mod", by_files.mesh)
    np.testing.assert_allclose(written, by_files.model, rtol=5e-6)
    read = quelby.read_iteration_history(tmp_path / "history.txt")
    np.testing.assert_allclose(read["misfit"], history["misfit"], rtol=5e-6)
    assert "DC inversion: reached the target misfit" in (tmp_path / "run.log").read_text()

    in_memory = quelby.invert(mesh=block["mesh"], data=block["survey"], io=quelby.Io())
    assert in_memory.out is None
    np.testing.assert_array_equal(in_memory.model, by_files.model)
    np.testing.assert_array_equal(in_memory.predicted, by_files.predicted)
    np.testing.assert_array_equal(in_memory.std, block["survey"].dstd)
    for key in ("misfit", "norm", "beta"):
        np.testing.assert_array_equal(in_memory.history[key], history[key])

    # A mask, weight arrays and models as arrays are the files' and numbers' equals.
    mesh = block["mesh"]
    ones = np.ones((mesh.nz, mesh.nx))
    mask = quelby.invert(mesh=mesh, data=block["survey"], active=ones.astype(bool),
                         start=np.full((mesh.nz, mesh.nx), 80.0), reference=80,
                         weights=(ones, ones, ones), max_iterations=1, io=quelby.Io())
    plain = quelby.invert(mesh=folder / "block.msh", data=folder / "block.dat", start=80,
                          reference=np.int64(80), max_iterations=1, io=quelby.Io())
    np.testing.assert_array_equal(mask.model, plain.model)


def test_the_callback_sees_every_iteration_and_can_end_the_run(block, tmp_path):
    seen = []

    def watch(update):
        seen.append((update.stage, update.iteration, update.misfit, update.model.copy(),
                     update.misfit_history.copy()))

    result = quelby.invert(mesh=block["mesh"], data=block["survey"], callback=watch,
                           io=quelby.Io())
    misfits = result.history["misfit"]
    assert [s[1] for s in seen] == list(range(1, len(misfits)))
    assert all(s[0] == "dc" for s in seen)
    for stage, iteration, misfit, model, history in seen:
        assert misfit == misfits[iteration]
        np.testing.assert_array_equal(history, misfits[:iteration + 1])
    np.testing.assert_array_equal(seen[-1][3], result.model)

    class Enough(Exception):
        pass

    def stop_after_one(update):
        raise Enough

    with pytest.raises(Enough):
        quelby.invert(mesh=block["mesh"], data=block["survey"], callback=stop_after_one,
                      out=tmp_path, io=quelby.Io())
    # The first iteration's files are whole; nothing after it was written.
    assert quelby.read_model(tmp_path / "model_1.mod", block["mesh"]).shape == seen[0][3].shape
    assert quelby.read_iteration_history(tmp_path / "history.txt")["misfit"].size == 2
    assert not (tmp_path / "model_2.mod").exists() and not (tmp_path / "model.mod").exists()


def test_other_threads_run_while_it_inverts(block):
    counts, done = [0], threading.Event()

    def count():
        while not done.is_set():
            counts[0] += 1

    thread = threading.Thread(target=count)
    thread.start()
    try:
        before = counts[0]
        quelby.invert(mesh=block["mesh"], data=block["survey"], io=quelby.Io())
        during = counts[0] - before
    finally:
        done.set()
        thread.join()
    assert during > 1000


def test_wrong_inputs_are_refused(block):
    mesh, survey = block["mesh"], block["survey"]
    cases = [
        (dict(mesh=3, data=survey), TypeError),
        (dict(mesh=mesh, data=survey, what="all"), ValueError),
        (dict(mesh=mesh, data=survey, alpha=(1, 1, 1), lengths=(5, 5)), ValueError),
        (dict(mesh=mesh, data=survey, start=np.ones((mesh.nx, mesh.nz))), ValueError),
        (dict(mesh=mesh, data=survey, active=np.ones((2, 2), bool)), ValueError),
        (dict(mesh=mesh), quelby.Stop),  # a DC inversion without data
    ]
    for arguments, error in cases:
        with pytest.raises(error):
            quelby.invert(io=quelby.Io(), **arguments)
    bare = quelby.survey_from_arrays(*dipole_dipole(), values=np.asarray(survey.dobs)[
        np.asarray(survey.sorted_pos) - 1])
    # Without deviations the default: 3 % plus 3 % of the 5th percentile of |datum|, said.
    io = quelby.Io()
    defaulted = quelby.invert(mesh=mesh, data=bare, max_iterations=1, io=io)
    magnitudes = np.sort(np.abs(np.asarray(bare.dobs)))
    floor = 0.03 * magnitudes[magnitudes.size // 20]
    np.testing.assert_allclose(defaulted.std, 0.03 * np.abs(bare.dobs) + floor, rtol=1e-15)
    assert "holds no standard deviations: the default 3 % of |datum|" in io.log_text
    with_percent = quelby.invert(mesh=mesh, data=bare, percent=2, floor=1e-6, max_iterations=1,
                                 io=quelby.Io())
    np.testing.assert_allclose(with_percent.std, 0.02 * np.abs(bare.dobs) + 1e-6, rtol=1e-15)


def test_a_robust_misfit_weighs_spoiled_readings_down_and_keeps_the_block(block, tmp_path):
    """Two readings spoiled as field files hold them (a sign flip, ten times): least squares is
    pulled away from the block, the robust misfit weighs them down and recovers it."""
    survey = block["survey"]
    spoiled = np.asarray(survey.dobs).copy()
    spoiled[[4, 15]] *= [-1.0, 10.0]
    quelby.write_general_data(tmp_path / "spoiled.dat", survey, spoiled, stds=survey.dstd)
    robust = quelby.invert(mesh=block["mesh"], data=tmp_path / "spoiled.dat", robust=True,
                           io=quelby.Io())
    weights = robust.history["data_weights"]
    assert sorted(np.argsort(weights)[:2]) == [4, 15]
    assert weights[4] < 0.05 and weights[15] < 0.05
    recovered, background = geometric_means(robust.model, block["in_block"], block["mesh"])
    assert recovered < 0.5 * background
    plain = quelby.invert(mesh=block["mesh"], data=block["survey"], io=quelby.Io())
    assert np.all(plain.history["data_weights"] == 1)
    blocky = quelby.invert(mesh=block["mesh"], data=block["survey"], blocky=True,
                           robust=2.0, io=quelby.Io())
    assert blocky.history["stop"] == "reached the target misfit"
    assert blocky.history["kept_iteration"] == len(blocky.history["misfit"]) - 1
    for wrong, error in ((dict(robust=-1.0), ValueError), (dict(robust="yes"), TypeError),
                         (dict(resistivity_bounds=(10, 1)), ValueError),
                         (dict(max_log_change=-1), ValueError)):
        with pytest.raises(error):
            quelby.invert(mesh=block["mesh"], data=block["survey"], io=quelby.Io(), **wrong)


@pytest.mark.parametrize("threshold", [0.001, 1e-9, 0.0999, 100.5, 1e154, float("nan"), 0])
def test_a_robust_threshold_out_of_its_range_is_refused(block, threshold):
    with pytest.raises(ValueError, match="from 0.1 to 100 standard deviations"):
        quelby.invert(mesh=block["mesh"], data=block["survey"], robust=threshold, io=quelby.Io())


def test_the_ends_of_the_robust_range_invert_to_the_target_with_finite_misfits(block):
    for threshold in (0.1, 100):
        result = quelby.invert(mesh=block["mesh"], data=block["survey"], robust=threshold,
                               io=quelby.Io())
        assert np.all(np.isfinite(result.history["misfit"]))
        assert result.history["stop"] == "reached the target misfit"


# The command line's and the control file's table of memory budgets (MiB): None or a number.
MEMORY_BUDGETS = [(0, ValueError), (0.5, None), (1, None), (3000, None), (2 ** 40, None),
                  (2 ** 40 + 1, ValueError), (1e13, ValueError), (1e30, ValueError),
                  (10 ** 400, ValueError), (-1, ValueError), (float("nan"), ValueError),
                  (float("inf"), ValueError), ("abc", TypeError), ("1", TypeError),
                  (True, TypeError)]


@pytest.mark.parametrize("mib, error", MEMORY_BUDGETS)
def test_a_memory_budget_is_taken_in_mib_in_its_range(block, mib, error):
    io = quelby.Io()
    if error is not None:
        with pytest.raises(error, match=r"memory_budget: None or a number of MiB above 0 and at "
                                        r"most 1099511627776 \(2\^40\)"):
            quelby.invert(mesh=block["mesh"], data=block["survey"], memory_budget=mib, io=io)
        return
    quelby.invert(mesh=block["mesh"], data=block["survey"], memory_budget=mib, max_iterations=1,
                  io=io)
    # 22 data of 760 parameters take 0.27 MiB in the dense step.
    shown = f"{mib:.0f}" if mib >= 100 else f"{mib:.3g}"
    assert f"within the memory budget of {shown} MiB (given)" in io.log_text, io.log_text


def test_a_small_memory_budget_takes_the_step_from_products_and_says_so(block):
    io = quelby.Io()
    quelby.invert(mesh=block["mesh"], data=block["survey"], memory_budget=0.01, max_iterations=1,
                  io=io)
    assert "data-space step: from products with the sensitivities" in io.log_text
    assert "a memory budget of 1 MiB or more takes the dense step" in io.log_text


# A run in a process of its own: prints "interrupted" and leaves with status 3 on
# KeyboardInterrupt, "finished" otherwise.
INTERRUPTED_RUN = r"""
import signal
import sys
# As an interactive interpreter has it, also where the test runs with SIGINT ignored (a job
# started in the background by a shell inherits that, and Python then installs no handler).
signal.signal(signal.SIGINT, signal.default_int_handler)
import quelby
out, mesh, data, io = sys.argv[1:5]
try:
    quelby.invert(mesh=mesh, data=data, chifact=1e-4, max_iterations=200, out=out,
                  io=None if io == "default" else quelby.Io())
except KeyboardInterrupt:
    print("interrupted", flush=True)
    sys.exit(3)
print("finished", flush=True)
"""


@pytest.fixture(scope="module")
def long_run(tmp_path_factory):
    """A survey whose inversion takes many iterations of some tenths of a second each."""
    folder = tmp_path_factory.mktemp("long")
    line = quelby.survey_from_arrays(*dipole_dipole(electrodes=24, n_max=8))
    mesh = quelby.mesh_for_survey(line, cell=0.625, padding=10, depth_growth=1)
    x, z = np.meshgrid(np.asarray(mesh.x_centres), np.asarray(mesh.z_centres))
    data = quelby.forward(mesh, np.where((np.abs(x - 37.5) < 10) & (z > 2.5) & (z < 10), 10.0,
                                         100.0), line)
    noisy = data * (1 + 0.02 * np.random.default_rng(9).standard_normal(data.size))
    quelby.write_mesh(folder / "long.msh", mesh)
    quelby.write_general_data(folder / "long.dat", line, noisy, stds=0.02 * np.abs(noisy))
    return folder, mesh


def test_ctrl_c_ends_the_run_after_its_iteration_with_complete_files(long_run, tmp_path):
    import os
    import pathlib
    import signal
    import subprocess
    import sys
    import time

    folder, mesh = long_run
    environment = dict(os.environ,
                       PYTHONPATH=str(pathlib.Path(quelby.__file__).resolve().parent.parent))
    for io in ("default", "logger"):
        out = tmp_path / io
        child = subprocess.Popen(
            [sys.executable, "-c", INTERRUPTED_RUN, str(out), str(folder / "long.msh"),
             str(folder / "long.dat"), io],
            env=environment, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 300
        while not (out / "model_1.mod").exists() and child.poll() is None:
            assert time.monotonic() < deadline, "no first iteration"
            time.sleep(0.005)
        child.send_signal(signal.SIGINT)
        printed, errors = child.communicate(timeout=300)
        assert (child.returncode, printed) == (3, "interrupted\n"), (io, printed, errors)
        # The run ended at the end of an iteration: every model it wrote reads back whole, the
        # history holds the last of them, and no final model was written.
        numbers = sorted(int(path.stem.split("_")[1]) for path in out.glob("model_*.mod"))
        assert numbers == list(range(1, len(numbers) + 1)) and len(numbers) <= 3, (io, numbers)
        for number in numbers:
            assert quelby.read_model(out / f"model_{number}.mod", mesh).shape == (mesh.nz, mesh.nx)
        history = quelby.read_iteration_history(out / "history.txt")
        assert history["misfit"].size == numbers[-1] + 1
        assert not (out / "model.mod").exists()


def test_a_folder_in_use_is_refused_and_stale_models_are_removed(block, tmp_path):
    (tmp_path / "model_9.mod").write_text("left by an earlier run\n")
    (tmp_path / "eta_9.mod").write_text("an IP model this DC run leaves alone\n")
    refusals = []

    def second_run(update):
        if update.iteration == 1:
            with pytest.raises(quelby.Stop) as raised:
                quelby.invert(mesh=block["mesh"], data=block["survey"], out=tmp_path,
                              io=quelby.Io())
            refusals.append(raised.value.lines[-1])

    result = quelby.invert(mesh=block["mesh"], data=block["survey"], out=tmp_path,
                           callback=second_run)
    assert refusals == [f"Error: the output folder {tmp_path} is in use by another run: wait for "
                        "it to end, or choose another folder."]
    assert "DC inversion:" in (tmp_path / "run.log").read_text()
    iterations = len(result.history["misfit"]) - 1
    numbered = sorted(path.name for path in tmp_path.glob("model_*.mod"))
    assert numbered == sorted(f"model_{k}.mod" for k in range(1, iterations + 1))
    assert (tmp_path / "eta_9.mod").exists()
    # Once the run is over the folder is free again.
    quelby.invert(mesh=block["mesh"], data=block["survey"], out=tmp_path, max_iterations=1,
                  io=quelby.Io())


def test_the_depth_of_investigation_comes_with_the_models(block, tmp_path):
    """doi=True: the index of the two further runs' models, low over the block, high at depth,
    -1 on the cells that are no parameter; the callback sees the run asked for alone."""
    mesh = block["mesh"]
    active = np.ones((mesh.nz, mesh.nx), bool)
    active[:, :2] = False  # the two leftmost padding columns are no parameters
    seen = []
    result = quelby.invert(mesh=mesh, data=block["survey"], active=active, doi=True, out=tmp_path,
                           callback=lambda update: seen.append(update.iteration))
    assert seen == list(range(1, result.history["misfit"].size))
    index, runs = result.doi, result.doi_runs
    assert index.shape == (mesh.nz, mesh.nx)
    assert (index[~active] == -1).all() and (index[active] >= 0).all()
    assert index[active].max() == 1
    assert index[block["in_block"]].max() < 0.2
    depth = np.asarray(mesh.z_centres)[:, None] + 0 * index
    assert index[active & (depth > 40)].min() > 0.8
    # R of the two runs' models, references a factor 10 apart, clipped at 1 and normalised.
    assert runs["factor"] == 10
    for name in ("low", "high"):
        assert runs[name]["stop"] == "reached the target misfit"
        written = quelby.read_model(tmp_path / f"doi_{name}" / "model.mod", mesh)
        np.testing.assert_allclose(written, runs[name]["model"], rtol=5e-6)
    r = np.abs(np.log10(runs["low"]["model"] / runs["high"]["model"]))
    assert runs["largest"] == pytest.approx(r[active].max(), rel=1e-12)
    expected = np.minimum(r, 1) / min(r[active].max(), 1)
    np.testing.assert_allclose(index[active], expected[active], rtol=1e-12)
    np.testing.assert_allclose(quelby.read_model(tmp_path / "doi.mod", mesh), index, atol=5e-6)
    # The cells that are no parameter keep the first run's values in both further runs.
    np.testing.assert_array_equal(runs["low"]["model"][~active], result.model[~active])
    np.testing.assert_array_equal(runs["high"]["model"][~active], result.model[~active])
    assert "Depth of investigation:" in (tmp_path / "run.log").read_text()

    plain = quelby.invert(mesh=mesh, data=block["survey"], max_iterations=1, io=quelby.Io())
    assert plain.doi is None and plain.doi_runs is None
    wider = quelby.invert(mesh=mesh, data=block["survey"], max_iterations=1, doi=100,
                          io=quelby.Io())
    assert wider.doi_runs["factor"] == 100
    cases = [
        (dict(doi=1), ValueError),
        (dict(doi=float("nan")), ValueError),
        (dict(doi="yes"), TypeError),
        (dict(what="ip", doi=True), quelby.Stop),
    ]
    for arguments, error in cases:
        with pytest.raises(error):
            quelby.invert(mesh=mesh, data=block["survey"], io=quelby.Io(), **arguments)
    with pytest.raises(ValueError, match="doi"):
        quelby.invert_timelapse(mesh, block["survey"], [block["survey"]], doi=True,
                                io=quelby.Io())
def test_the_iteration_of_the_lowest_misfit_is_returned(root):
    """A blocky run on the bundled block survey fits worse in its last iterations than in an
    earlier one: that one's model and data are returned, and the run log says so."""
    examples = root / "examples"
    mesh, topography = quelby.load_mesh_and_topography(examples / "block.msh",
                                                       examples / "block.topo")
    io = quelby.Io()
    result = quelby.invert(mesh=mesh, data=examples / "block_dc.dat", topography=topography,
                           blocky=True, memory_budget=1000, io=io)
    misfits = result.history["misfit"]
    kept = result.history["kept_iteration"]
    assert kept == int(np.argmin(misfits)) < len(misfits) - 1
    assert (f"the model of iteration {kept}, misfit {misfits[kept]:.5E}, is kept: the last "
            f"iteration's misfit {misfits[-1]:.5E} is larger") in io.log_text
    residuals = (result.predicted - result.observed) / result.std
    np.testing.assert_allclose(np.sum(residuals ** 2), misfits[kept], rtol=1e-12)


def test_a_parameter_grid_carries_the_models(block, tmp_path):
    """parameter_cell='auto': the models fill the grid quelby.parameter_grid makes (written as
    parameters.msh), the forward mesh is returned beside it, and arrays shaped as the mesh are
    refused."""
    mesh, survey = block["mesh"], block["survey"]
    result = quelby.invert(mesh=mesh, data=survey, parameter_cell="auto", out=tmp_path,
                           io=quelby.Io())
    grid = quelby.parameter_grid(mesh, survey)
    assert result.model.shape == (grid.nz, grid.nx) and grid.nx < mesh.nx
    assert result.forward_mesh.nx == mesh.nx
    written = quelby.load_mesh(tmp_path / "parameters.msh")
    np.testing.assert_array_equal(written.x_nodes, grid.x_nodes)
    assert result.history["stop"] == "reached the target misfit"
    with pytest.raises(ValueError, match="start: an array is shaped as the mesh"):
        quelby.invert(mesh=mesh, data=survey, parameter_cell=2.5,
                      start=np.full((mesh.nz, mesh.nx), 50.0), io=quelby.Io())
    with pytest.raises(ValueError, match="parameter_cell"):
        quelby.invert(mesh=mesh, data=survey, parameter_cell="coarse", io=quelby.Io())
