"""quelby.invert_timelapse on a synthetic monitoring line whose block falls from 50 to 35 ohm-m (by
30 %) and comes back: the change recovered on the block and nowhere else by the difference and
the ratio inversion, no change for a step identical to the baseline; the files of quelby-invert
byte for byte, with steps that fail too; the campaign's hold on its folder; readings lost, added and
swapped; stores in memory as files; the pictures."""

import subprocess

import numpy as np
import pytest

import quelby


def dipole_dipole(electrodes=12, spacing=5.0, n_max=5):
    rows = [(i, i + 1, i + 1 + n, i + 2 + n) for i in range(electrodes)
            for n in range(1, n_max + 1) if i + 2 + n <= electrodes - 1]
    return [np.array([row[e] for row in rows]) * spacing for e in range(4)]


@pytest.fixture(scope="module")
def line(tmp_path_factory):
    """The line's mesh and one data file per step (1 % noise of a fixed seed, with its standard
    deviations): s0 the baseline, s1 the block 30 % lower, s2 the baseline's very data."""
    folder = tmp_path_factory.mktemp("line")
    survey = quelby.survey_from_arrays(*dipole_dipole())
    mesh = quelby.mesh_for_survey(survey, cell=2.5, padding=7, depth=30)
    x, z = np.meshgrid(np.asarray(mesh.x_centres), np.asarray(mesh.z_centres))
    in_block = (np.abs(x - 27.5) < 7.5) & (z > 2.5) & (z < 10)
    near_block = (np.abs(x - 27.5) < 12.5) & (z < 15)
    off_block = ~near_block & (x > 0) & (x < 55) & (z < 20)
    quelby.write_mesh(folder / "line.msh", mesh)
    files = []
    for step, (block, seed) in enumerate([(50, 1), (35, 2), (50, 1)]):
        data = quelby.forward(mesh, np.where(in_block, block, 100.0), survey)
        noisy = data * (1 + 0.01 * np.random.default_rng(seed).standard_normal(data.size))
        files.append(folder / f"s{step}.dat")
        quelby.write_general_data(files[-1], survey, noisy, stds=0.01 * np.abs(noisy))
    return dict(folder=folder, mesh=folder / "line.msh", files=files, in_block=in_block,
                off_block=off_block, survey=survey)


@pytest.mark.parametrize("method", ["difference", "ratio"])
def test_the_fall_of_the_block_is_recovered_where_it_happened(line, tmp_path, method):
    result = quelby.invert_timelapse(line["mesh"], line["files"][0], line["files"][1:],
                                     method=method, out=tmp_path)
    fallen, same = result.steps
    assert fallen.result.history["stop"] == "reached the target misfit"
    on_block = fallen.change[line["in_block"]].mean()
    assert -40 < on_block < -20
    assert abs(fallen.change[line["off_block"]].mean()) < 1.5
    assert same.result.history["misfit"].size == 1  # the start fits the baseline's data
    assert np.abs(same.change).max() < 1e-10
    if method == "ratio":
        assert 50 < result.homogeneous < 100
        assert np.all(fallen.reference == result.homogeneous)
    else:
        assert result.homogeneous is None
        assert np.array_equal(fallen.reference, result.baseline.model)
    assert [step["data"] for step in result.summary] == [str(f) for f in line["files"]]
    assert "dropped: 0 of the step's 35 readings, 0 of the baseline's 35" in (
        tmp_path / "run.log").read_text()


@pytest.mark.parametrize("method", ["difference", "ratio"])
def test_the_command_writes_the_same_files(line, tmp_path, invert_command, method):
    files = [f.name for f in line["files"]]
    control = "\n".join(["line.msh", files[0], "none", "none", "none", "default", "default",
                         "default", "none", "none", "default", "default", "DC",
                         str(tmp_path / "command")] +
                        [f"timelapse_step {name}" for name in files[1:]] +
                        [f"timelapse_method {method}"]) + "\n"
    (line["folder"] / f"{method}.inv").write_text(control)
    run = subprocess.run([str(invert_command), f"{method}.inv"], cwd=line["folder"],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "step 1: change from" in run.stdout
    import os

    previous = os.getcwd()
    os.chdir(line["folder"])
    try:
        quelby.invert_timelapse("line.msh", files[0], files[1:], method=method,
                                out=tmp_path / "python")
    finally:
        os.chdir(previous)
    names = ["timelapse.txt"] + [f"step_{k}/{name}" for k in range(3)
                                 for name in ("model.mod", "predicted.dat", "history.txt")]
    names += [f"step_{k}/{name}" for k in (1, 2) for name in ("change.mod", "data.dat")]
    for name in names:
        assert (tmp_path / "python" / name).read_bytes() == (
            tmp_path / "command" / name).read_bytes(), name


def test_a_campaign_holds_its_folder_against_every_other_run(line, tmp_path, invert_command):
    """A campaign into a folder another process holds writes nothing there; while a campaign runs,
    quelby-invert refuses its folder, and the campaign's own steps go on in theirs."""
    import fcntl

    out = tmp_path / "campaign"
    out.mkdir()
    with open(out / ".quelby-invert.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        with pytest.raises(quelby.Stop, match=f"the output folder {out} is in use by another run"):
            quelby.invert_timelapse(line["mesh"], line["files"][0], line["files"][1:2], out=out)
    assert [path.name for path in out.iterdir()] == [".quelby-invert.lock"]

    refused = []

    def another_run(update):
        if not refused:
            refused.append(subprocess.run(
                [str(invert_command), "--mesh", str(line["mesh"]), "--data", str(line["files"][0]),
                 "--out", str(out)], capture_output=True, text=True))

    result = quelby.invert_timelapse(line["mesh"], line["files"][0], line["files"][1:2], out=out,
                                     callback=another_run)
    assert refused[0].returncode == 1
    assert f"the output folder {out} is in use by another run" in refused[0].stdout
    assert result.failed == []
    assert (out / "step_1" / "change.mod").exists()


def test_steps_that_fail_are_reported_and_the_others_go_on(line, tmp_path, invert_command):
    """A step with a reading that is not a number and one that shares no reading with the
    baseline fail alone, in the result, the logs and timelapse.txt, as the command writes it."""
    folder = line["folder"]
    rows = (folder / "s1.dat").read_text().splitlines(keepends=True)
    words = rows[3].split()
    words[4] = "nan"
    rows[3] = " ".join(words) + "\n"
    (folder / "nan.dat").write_text("".join(rows))
    (folder / "far.dat").write_text("! xA xB xM xN value std\n100 105 110 115 1 0.1\n")
    files = ["s0.dat", "nan.dat", "far.dat", "s2.dat"]
    control = "\n".join(["line.msh", files[0], "none", "none", "none", "default", "default",
                         "default", "none", "none", "default", "default", "DC",
                         str(tmp_path / "command")] +
                        [f"timelapse_step {name}" for name in files[1:]]) + "\n"
    (folder / "failing.inv").write_text(control)
    run = subprocess.run([str(invert_command), "failing.inv"], cwd=folder, capture_output=True,
                         text=True)
    assert run.returncode == 1, run.stdout + run.stderr
    import os

    previous = os.getcwd()
    os.chdir(folder)
    try:
        result = quelby.invert_timelapse("line.msh", files[0], files[1:], out=tmp_path / "python")
    finally:
        os.chdir(previous)
    assert [step.name for step in result.failed] == ["step 1", "step 2"]
    assert result.steps[:2] == result.failed
    assert result.steps[2].result.history["misfit"].size == 1
    reasons = [line["failure"] for line in result.summary]
    assert reasons[0] is None and reasons[3] is None
    assert "of the step nan.dat gives the difference datum nan" in reasons[1]
    assert reasons[2] == "the time-lapse step far.dat shares no reading with the baseline s0.dat"
    closing = ("\nError: 2 of 3 steps after the baseline failed (step 1, step 2); the others were "
               "inverted.\n")
    for out in ("python", "command"):
        log = (tmp_path / out / "run.log").read_text()
        assert f"step 1 failed: {reasons[1]}\n" in log and f"step 2 failed: {reasons[2]}\n" in log
        assert log.endswith(closing)
        assert not (tmp_path / out / "step_1" / "change.mod").exists()
    assert run.stdout.endswith(closing)
    summary = (tmp_path / "python" / "timelapse.txt").read_bytes()
    assert summary == (tmp_path / "command" / "timelapse.txt").read_bytes()
    assert [step["failure"] for step in quelby.read_timelapse_summary(
        tmp_path / "python" / "timelapse.txt")] == reasons
    for name in ("step_3/change.mod", "step_3/model.mod"):
        assert (tmp_path / "python" / name).read_bytes() == (
            tmp_path / "command" / name).read_bytes(), name
    # The pictures leave the failed steps out.
    try:
        import matplotlib
    except ImportError:
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    for source in (result, tmp_path / "command"):
        figure = quelby.plot_changes(source, mesh=line["mesh"], data=line["survey"])
        assert [ax.get_title() for ax in figure.axes if ax.get_title()] == ["step 3"]
        plt.close(figure)
        ax = quelby.plot_step_misfits(source)
        assert np.isnan(ax.get_lines()[0].get_ydata()[1:3]).all()
        assert len(ax.histories.get_lines()) == 2
        plt.close(ax.figure)


def test_readings_lost_added_and_swapped(line):
    """A step that lost two readings, gained one and holds one with M and N swapped (its value
    negated): the data of the other readings are those of the whole step, bit for bit."""
    baseline = quelby.read_data_file(line["files"][0])
    whole = quelby.read_data_file(line["files"][1])
    response = np.linspace(1, 2, baseline.ndat)
    full, readings = quelby.timelapse_step(baseline, response, whole)
    assert readings["dropped_from_step"] == readings["dropped_from_baseline"] == 0
    a, b, m, n = (np.asarray(whole.xa_file), np.asarray(whole.xb_file),
                  np.asarray(whole.xm_file), np.asarray(whole.xn_file))
    values = np.asarray(whole.dobs)[np.asarray(whole.sorted_pos) - 1]
    stds = np.asarray(whole.dstd)[np.asarray(whole.sorted_pos) - 1]
    keep = np.ones(a.size, dtype=bool)
    keep[[3, 10]] = False
    m, n = m.copy(), n.copy()
    m[5], n[5], values = n[5], m[5], values.copy()
    values[5] = -values[5]
    a, b, m, n = [np.append(v[keep], extra) for v, extra in zip((a, b, m, n), (0, 5, 100, 105))]
    step = quelby.survey_from_arrays(a, b, m, n, values=np.append(values[keep], 1e-3),
                                     stds=np.append(stds[keep], 1e-5))
    fitted, readings = quelby.timelapse_step(baseline, response, step, step_name="s1 again")
    assert readings["dropped_from_step"] == 1
    assert readings["dropped_from_baseline"] == 2
    assert readings["description"] == ("s1 again: 33 readings common with the baseline the "
                                       "baseline; dropped: 1 of the step's 34 readings, 2 of the "
                                       "baseline's 35")
    kept = np.asarray(readings["baseline_index"])
    assert np.array_equal(np.asarray(fitted.dobs), np.asarray(full.dobs)[kept])
    assert np.array_equal(np.asarray(fitted.dstd), np.asarray(full.dstd)[kept])
    assert sorted(np.asarray(readings["sign"]).tolist()) == [-1.0] + [1.0] * 32


def test_stores_in_memory_invert_as_their_files(line, tmp_path):
    by_files = quelby.invert_timelapse(line["mesh"], line["files"][0], line["files"][1:2])
    stores = [quelby.read_data_file(f) for f in line["files"][:2]]
    by_stores = quelby.invert_timelapse(quelby.load_mesh(line["mesh"]), stores[0], stores[1:])
    assert np.array_equal(by_files.steps[0].result.model, by_stores.steps[0].result.model)
    assert np.array_equal(by_files.steps[0].change, by_stores.steps[0].change)
    assert by_stores.steps[0].name == "the data given of step 1"
    assert by_files.out is None


def test_wrong_time_lapse_inputs(line):
    mesh, files = line["mesh"], line["files"]
    with pytest.raises(ValueError, match="method"):
        quelby.invert_timelapse(mesh, files[0], files[1:], method="sum")
    with pytest.raises(ValueError, match="homogeneous: a positive resistivity"):
        quelby.invert_timelapse(mesh, files[0], files[1:], method="ratio", homogeneous=-5)
    with pytest.raises(ValueError, match="at least one step"):
        quelby.invert_timelapse(mesh, files[0], [])
    with pytest.raises(TypeError, match="data, what"):
        quelby.invert_timelapse(mesh, files[0], files[1:], data=files[0], what="dc")
    elsewhere = quelby.survey_from_arrays([100.0], [105.0], [110.0], [115.0], values=[1.0],
                                          stds=[0.1])
    # A step that fails is reported in the result; a baseline that fails stops the campaign.
    result = quelby.invert_timelapse(mesh, files[0], [elsewhere])
    assert "shares no reading" in result.failed[0].message
    with pytest.raises(quelby.Stop, match="absent.dat"):
        quelby.invert_timelapse(mesh, line["folder"] / "absent.dat", files[1:])


def test_pictures_of_the_changes_and_the_misfits(line, tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    result = quelby.invert_timelapse(line["mesh"], line["files"][0], line["files"][1:],
                                     out=tmp_path)
    summary = quelby.read_timelapse_summary(tmp_path / "timelapse.txt")
    assert [s["data"] for s in summary] == [s["data"] for s in result.summary]
    for read, kept in zip(summary, result.summary):
        for key in ("readings", "dropped_from_step", "dropped_from_baseline", "iterations"):
            assert read[key] == kept[key]
        for key in ("misfit", "target_misfit", "smallest_change", "largest_change"):
            assert read[key] == pytest.approx(kept[key], rel=5e-6, abs=1e-30)
    for source in (result, tmp_path):
        figure = quelby.plot_changes(source, mesh=line["mesh"], data=line["survey"])
        sections = [ax for ax in figure.axes if ax.get_title().startswith("step")]
        assert len(sections) == 2
        # One colour scale, symmetric about 0, reaching the largest change shown.
        limits = {ax.collections[0].get_clim() for ax in sections}
        assert len(limits) == 1
        low, high = limits.pop()
        assert low == -high and high >= 20
        plt.close(figure)
        ax = quelby.plot_step_misfits(source)
        assert len(ax.histories.get_lines()) == 3
        misfits = ax.get_lines()[0].get_ydata()
        assert misfits[2] == 0 and 0 < misfits[1] <= 1
        plt.close(ax.figure)
    with pytest.raises(ValueError, match="mesh"):
        quelby.plot_changes(tmp_path)


def test_the_example_recovers_both_falls(root, tmp_path, capsys):
    import importlib.util

    spec = importlib.util.spec_from_file_location("timelapse_example",
                                                  root / "examples" / "python" / "timelapse.py")
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)
    assert example.main(["--pictures", str(tmp_path)]) == 0
    printed = capsys.readouterr().out
    assert "step 2: 108 readings (0 of the step's and 3 of the baseline's dropped)" in printed
    changes = [float(line.split("change on the block ")[1].split(" %")[0])
               for line in printed.splitlines() if "change on the block" in line]
    assert len(changes) == 4  # two steps, two methods
    assert all(-40 < change < -20 for change in changes[0::2])  # the block 30 % lower
    assert all(-60 < change < -35 for change in changes[1::2])  # 50 % lower
    for name in ("timelapse_change.png", "timelapse_misfit.png"):
        assert (tmp_path / name).stat().st_size > 10000
