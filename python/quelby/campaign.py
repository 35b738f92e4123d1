"""Campaigns: many inversions at once on Dask's distributed scheduler (quelby.invert_many), and the
time-lapse inversion of a monitoring line (quelby.invert_timelapse), whose steps after the baseline
are independent inversions that can run the same way.

Every inversion is deterministic: a run gives the same bits in this process, in a Dask worker on
this machine or on another machine of the same architecture, on any number of threads.
"""

import os
import sys
import tempfile
import types
from collections.abc import Iterable, Mapping

import numpy as np

from . import _quelby

# quelby.invert's arguments that a time-lapse inversion sets itself for every step.
_STEP_ARGUMENTS = ("data", "ip_data", "what", "ip_start", "ip_reference", "ip_alpha", "ip_lengths",
                   "ip_percent", "ip_floor")


class RunFailed(Exception):
    """The result of a run of quelby.invert_many that failed: `name` the run's name, `error` the
    exception it raised (a quelby.Stop for bad input), `message` its text."""

    def __init__(self, name, error):
        self.name = name
        self.error = error
        self.message = str(error).strip()
        super().__init__(f"run {name!r} failed: {self.message}")

    def __reduce__(self):
        return (RunFailed, (self.name, self.error))


def _cores():
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not Linux
        return os.cpu_count() or 1


def _invert_one(arguments, threads):
    """One run of quelby.invert in a worker process, on `threads` of the library's threads."""
    _quelby.set_thread_count(threads)
    return _quelby.invert(**arguments)


def _local_cluster(workers, threads_per_run):
    """A LocalCluster of `workers` processes of one thread each; the BLAS of each process (OpenBLAS
    under CHOLMOD and LAPACK) gets threads_per_run threads before it starts."""
    try:
        import dask
        from distributed import Client, LocalCluster
    except ImportError as error:
        raise ImportError("quelby.invert_many needs Dask's distributed scheduler: "
                          "apt install python3-distributed") from error
    threads = str(threads_per_run)
    environment = {"OPENBLAS_NUM_THREADS": threads, "OMP_NUM_THREADS": threads,
                   "MKL_NUM_THREADS": threads}
    with dask.config.set({"distributed.nanny.pre-spawn-environ": environment}):
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                               dashboard_address=None, silence_logs=40)
    return Client(cluster), cluster


class _Progress:
    """A one-line progress bar on standard error: runs done of all, and failures."""

    def __init__(self, total, shown):
        self.total, self.shown, self.done, self.failed = total, shown, 0, 0

    def step(self, failed):
        self.done += 1
        self.failed += failed
        if not self.shown:
            return
        width = 30
        filled = width * self.done // max(self.total, 1)
        failures = f", {self.failed} failed" if self.failed else ""
        sys.stderr.write(f"\rquelby.invert_many [{'#' * filled}{'.' * (width - filled)}] "
                         f"{self.done}/{self.total} runs{failures}")
        if self.done == self.total:
            sys.stderr.write("\n")
        sys.stderr.flush()


def invert_many(runs, client=None, threads_per_run=1, workers=None, progress=True):
    """invert_many(runs, client=None, threads_per_run=1, workers=None, progress=True) -> list

    Runs independent inversions on Dask's distributed scheduler and returns their results in the
    order of `runs`, each as quelby.invert returns it (the same bits as a serial run).

    runs: a list of dicts of quelby.invert's keyword arguments; a dict's optional "name" names the
    run in messages (default "run K", K from 1). Inputs are file names, which every worker must
    reach at the same path (a shared file system), or stores in memory (Mesh, SurveyData,
    Topography, ActiveCells, Mesh3D, Survey3D, numpy arrays), which are sent to the worker with
    the run; a 3-D survey (a Survey3D or 3-D survey files) runs the 3-D inversion. `out`
    folders are written by the workers. An Io cannot cross to another process: a run with `io`
    is refused; give `out` to keep each run's log in its folder.

    client: None starts a LocalCluster on this machine (`workers` processes, default the cores
    this process may use divided by threads_per_run) and closes it at the end; a
    distributed.Client uses its cluster; a scheduler's address ("tcp://host:8786") connects to
    it. threads_per_run: the library's threads in each run (quelby.set_thread_count, set in the
    worker before each run); with one-thread workers, workers times threads_per_run should not
    exceed the cores of a machine. The LocalCluster also gives each worker's BLAS that many
    threads; workers started by hand get one (Dask's default).

    A run that fails does not stop the others: its place in the list holds a quelby.RunFailed
    (name, error, message), and a line naming it is written to standard error when it fails.
    progress: a one-line progress bar on standard error.
    """
    runs = _checked_runs(runs)
    _check_client(client, "invert_many")
    if not runs:
        return []
    names = []
    for index, run in enumerate(runs):
        names.append(str(run.pop("name", f"run {index + 1}")))
        if run.get("io") is not None:
            raise ValueError(f"{names[-1]}: an Io cannot be sent to a worker; give out instead")
    if threads_per_run < 1:
        raise ValueError("threads_per_run: 1 or more")
    owned = []  # what this call started, closed at its end
    if client is None:
        count = workers or max(1, _cores() // threads_per_run)
        client, cluster = _local_cluster(max(1, min(count, len(runs))), threads_per_run)
        owned = [client, cluster]
    elif isinstance(client, str):
        from distributed import Client

        client = Client(client)
        owned = [client]
    try:
        from distributed import as_completed

        futures = [client.submit(_invert_one, run, threads_per_run, pure=False) for run in runs]
        where = {future.key: index for index, future in enumerate(futures)}
        results = [None] * len(runs)
        bar = _Progress(len(runs), progress)
        for future in as_completed(futures):
            index = where[future.key]
            try:
                results[index] = future.result()
                bar.step(0)
            except Exception as error:  # noqa: BLE001 - every failure is reported, none stops
                results[index] = RunFailed(names[index], error)
                bar.step(1)
                sys.stderr.write(("\n" if progress else "") +
                                 f"quelby.invert_many: {results[index]}\n")
        return results
    finally:
        for thing in owned:
            thing.close()


def _kind(value):
    """"a dict", "an int": the type of a value refused, for its message."""
    name = type(value).__name__
    return ("an " if name[:1].lower() in "aeiou" else "a ") + name


def _checked_runs(runs):
    """invert_many's runs as a list of dicts; TypeError, saying what was expected, for anything
    else (a single dict, a file name, a run that is not a dict)."""
    if isinstance(runs, (Mapping, str, bytes, os.PathLike)) or not isinstance(runs, Iterable):
        raise TypeError("invert_many: runs must be a list of keyword dicts for quelby.invert, "
                        f"not {_kind(runs)}")
    listed = list(runs)
    for index, run in enumerate(listed, 1):
        if not isinstance(run, Mapping):
            raise TypeError(f"invert_many: run {index} must be a dict of keywords for "
                            f"quelby.invert, not {_kind(run)}")
    return [dict(run) for run in listed]


def _check_client(client, who):
    """A client campaigns can use: None, a scheduler's address (or "local"), or a
    distributed.Client that is not closed; TypeError or ValueError saying so for others."""
    if client is None or isinstance(client, str):
        return
    try:
        from distributed import Client
    except ImportError:
        Client = None
    if Client is None or not isinstance(client, Client):
        raise TypeError(f"{who}: client must be None, a distributed.Client or a scheduler's "
                        f"address, not {_kind(client)}")
    if client.status in ("closing", "closed"):
        raise ValueError(f"{who}: the Dask client is closed")


def _is_path(value):
    return isinstance(value, (str, os.PathLike))


def _air_cells(mesh, topography, active):
    """The air cells per column of the ground a run was given (None: flat ground)."""
    if isinstance(active, _quelby.ActiveCells):
        return active.air_cells
    if isinstance(topography, _quelby.Topography):
        return topography.air_cells
    if topography is not None:
        return _quelby.read_topography(mesh, topography).air_cells
    return None


def _say(text, io):
    _quelby._write_message(text, "console_then_log", io)


def invert_timelapse(mesh, baseline, steps, method="difference", homogeneous=None, out=None,
                     client=None, threads_per_run=1, progress=True, io=None, report=False,
                     **options):
    """invert_timelapse(mesh, baseline, steps, method='difference', homogeneous=None, out=None,
    client=None, threads_per_run=1, progress=True, io=None, report=False, **options)
    -> types.SimpleNamespace

    Time-lapse inversion of a monitoring line, as quelby-invert runs it from a control file's
    timelapse_step lines. The baseline's data (a data file or a SurveyData) are inverted as
    quelby.invert inverts a survey; then each later step of `steps` (data files or SurveyData, in
    time order) on the readings it shares with the baseline (matched by their electrodes; a
    reading with swapped A and B, or M and N, counts with its sign changed; the console and the
    run log say how many were dropped):

    * method 'difference' (LaBrecque and Yang 2001): the model m_t whose data fit
      d_t - d_0 + d(m_0), starting from the baseline's model m_0 and regularised towards it with
      the derivative terms on m - m_0, so that the change is what is smoothed;
    * method 'ratio' (Daily et al. 1992): the model whose data fit d_t / d_0 times the data of a
      homogeneous model (`homogeneous` ohm-m, default the baseline's median apparent
      resistivity), from and towards that model.

    A 3-D survey (a 3-D survey file or a quelby.Survey3D as the baseline and the steps; `mesh` None
    for the mesh made for the baseline's electrodes, or a Mesh3D) is inverted the same way, every
    step on the baseline's forward mesh and parameter grid; the models and changes are then arrays
    of shape (nz, ny, nx) (NaN on cells that are no parameter) and change.mod a 3-D model file.

    The change of each step, in percent, is 100 (m_t / m_ref - 1) with m_ref the baseline's model
    (difference) or the homogeneous model (ratio). options: quelby.invert's other keyword
    arguments (topography, active, alpha, lengths, weights, dip_file, chifact, max_iterations,
    percent and floor for data without standard deviations, z for data files with z positions,
    callback, ...; not doi, refused with a ValueError), shared by every inversion; start,
    reference and ref_in_derivatives serve the baseline.

    out: the folder of the files: step_K/ per step (K = 0 the baseline) with what quelby.invert
    writes there (models, predicted.dat, history.txt, run.log), and for the later steps
    change.mod (the change in percent) and data.dat (the data fitted); timelapse.txt the summary
    and run.log the campaign's log. None writes nothing that stays. The campaign holds the folder
    from its first write to its last, as quelby-invert does: a folder another run or campaign
    holds (this process's or another's) raises quelby.Stop and nothing is written there.
    client: None inverts the steps one after the other in this process; a distributed.Client, a
    scheduler's address or "local" (a LocalCluster) inverts them there with quelby.invert_many
    (threads_per_run, progress) once the baseline is done.
    report: True writes out/report.html once the campaign ends (quelby.report(out)); it needs out.

    A later step that fails (its data unreadable, no reading common with the baseline, a datum
    that is not finite, its inversion's failure) does not stop the others: "step K failed:
    <reason>" goes to the console and the run log, its line in timelapse.txt says it failed, and
    a closing line counts the failed steps. A baseline that fails raises its error.

    Returns a namespace: method, homogeneous (ratio), mesh, baseline (quelby.invert's result),
    steps (per later step a namespace: name, result, change (nz, nx), reference (nz, nx),
    readings, dropped_from_step, dropped_from_baseline, description; or, for a step that failed,
    a quelby.RunFailed named "step K"), failed (the RunFailed of the steps that failed), summary
    (the dicts written to timelapse.txt; a failed step's holds data and failure, its reason, and
    the others' failure is None), out.
    """
    if method not in ("difference", "ratio"):
        raise ValueError("method: 'difference' or 'ratio'")
    if homogeneous is not None and not homogeneous > 0:
        raise ValueError("homogeneous: a positive resistivity (ohm-m), or None for the baseline's "
                         "median apparent resistivity")
    given = sorted(set(options) & set(_STEP_ARGUMENTS))
    if given:
        raise TypeError(f"invert_timelapse: {', '.join(given)} cannot be given: the baseline and "
                        "the steps are the data, and a time-lapse inversion inverts DC data")
    if (isinstance(steps, (Mapping, str, bytes, os.PathLike, _quelby.SurveyData, _quelby.Survey3D))
            or not isinstance(steps, Iterable)):
        raise TypeError("invert_timelapse: steps must be a list of data files or SurveyData, "
                        f"one per later step, not {_kind(steps)}")
    if options.get("doi"):
        raise ValueError("invert_timelapse: doi cannot be given: a time-lapse inversion has no "
                         "depth of investigation (invert the baseline with quelby.invert(..., "
                         "doi=True))")
    steps = list(steps)
    if not steps:
        raise ValueError("steps: the data of at least one step after the baseline")
    _check_client(client, "invert_timelapse")
    if report and out is None:
        raise ValueError("invert_timelapse: report=True needs out, the folder the report is "
                         "written into")
    result = _run_timelapse(mesh, baseline, steps, method, homogeneous, out, client,
                            threads_per_run, progress, io, options)
    if report:
        _quelby.report(out, io=io)
    return result


def _run_timelapse(mesh, baseline, steps, method, homogeneous, out, client, threads_per_run,
                   progress, io, options):
    temporary = tempfile.TemporaryDirectory(prefix="quelby-timelapse-") if out is None else None
    folder = temporary.name if temporary is not None else os.fspath(out)
    try:
        # Held before the run log is replaced: a campaign never writes into another run's folder.
        with _quelby._hold_output_folder(folder, io=io):
            log_file = None
            campaign_io = io
            if io is None:
                log_file = open(os.path.join(folder, "run.log"), "w")
                campaign_io = _quelby.Io(log=log_file)
            try:
                return _invert_timelapse(mesh, baseline, steps, method, homogeneous, out, folder,
                                         client, threads_per_run, progress, io, campaign_io,
                                         options)
            finally:
                if log_file is not None:
                    log_file.close()
    finally:
        if temporary is not None:
            temporary.cleanup()


def _step_folder(folder, step):
    path = os.path.join(folder, f"step_{step}")
    os.makedirs(path, exist_ok=True)
    return path


def _change(model, reference):
    """100 (model / reference - 1) per cell, and 0 exactly where the two are equal."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(model == reference, 0.0, 100 * (model / reference - 1))


def _is_survey3d(data):
    if isinstance(data, _quelby.Survey3D):
        return True
    if not _is_path(data):
        return False
    try:
        with open(os.fspath(data), "rb") as file:
            first = file.readline()
    except OSError:
        return False
    return first.rstrip(b" \t\r\n") == b"GENERAL_3D"


def _survey3d_of(data, io):
    return data if isinstance(data, _quelby.Survey3D) else _quelby.read_survey3d(
        os.fspath(data), io=io)


def _reading_keys(survey):
    """Per reading its four electrodes' positions, as a tuple of 12 numbers."""
    e = np.asarray(survey.electrodes)
    return [tuple(e[survey.a[i]]) + tuple(e[survey.b[i]]) + tuple(e[survey.m[i]])
            + tuple(e[survey.n[i]]) for i in range(survey.ndat)]


def _common_readings3d(base, step):
    """Pairs (baseline reading, step reading, sign) of the readings the two surveys share: the
    same four electrodes, A and B or M and N exchanged with the sign turned."""
    index = {key: i for i, key in enumerate(_reading_keys(base))}
    pairs = []
    for j, key in enumerate(_reading_keys(step)):
        a, b, m, n = key[0:3], key[3:6], key[6:9], key[9:12]
        for candidate, sign in (((a, b, m, n), 1.0), ((b, a, m, n), -1.0),
                                ((a, b, n, m), -1.0), ((b, a, n, m), 1.0)):
            i = index.get(sum(candidate, ()))
            if i is not None:
                pairs.append((i, j, sign))
                break
    return pairs


def _invert_timelapse3d(baseline, steps, method, homogeneous, out, folder, client,
                        threads_per_run, progress, io, campaign_io, options):
    """The time-lapse campaign of a 3-D survey: as the 2-D one, every step on the baseline's mesh
    and parameter grid."""
    baseline_name = os.fspath(baseline) if _is_path(baseline) else "the DC data given"
    percent = options.get("percent")
    floor = options.get("floor")
    _say(f"\nstep 0, the baseline: {baseline_name}\n", campaign_io)
    base = _quelby.invert(data=baseline, out=_step_folder(folder, 0), io=io, **options)
    survey = _survey3d_of(baseline, campaign_io)
    value = None
    if method == "ratio":
        forward = _quelby.ForwardModel3D(base.forward_mesh, survey, air_cells=base.air_cells)
        if homogeneous is None:
            unit = np.asarray(forward.data(np.ones(base.forward_mesh.cell_count)))
            apparent = np.asarray(survey.dobs) / unit
            value = float(np.median(apparent[apparent > 0]))
        else:
            value = float(homogeneous)
        response = np.asarray(forward.data(np.full(base.forward_mesh.cell_count, value)))
    else:
        response = np.asarray(base.predicted)
    shared = {key: item for key, item in options.items()
              if key not in ("start", "reference", "ref_in_derivatives", "percent", "floor",
                             "cell_budget")}
    names = [os.fspath(data) if _is_path(data) else f"the data given of step {step}"
             for step, data in enumerate(steps, 1)]
    failures, runs, prepared = {}, [], []
    d0 = np.asarray(survey.dobs)
    for step, (data, name) in enumerate(zip(steps, names), 1):
        _say(f"\nstep {step}: {name}\n", campaign_io)
        try:
            step_survey = _survey3d_of(data, campaign_io)
            pairs = _common_readings3d(survey, step_survey)
            if not pairs:
                raise ValueError(f"{name} shares no reading with the baseline")
            base_index = np.array([i for i, _, _ in pairs])
            step_index = np.array([j for _, j, _ in pairs])
            signs = np.array([sign for _, _, sign in pairs])
            dt = np.asarray(step_survey.dobs)[step_index] * signs
            if not np.all(np.isfinite(dt)):
                raise ValueError(f"{name} holds a reading that is not a finite number")
            if method == "difference":
                fitted_values = dt - d0[base_index] + response[base_index]
            else:
                fitted_values = dt / d0[base_index] * response[base_index]
            if step_survey.dstd is not None and not step_survey.std_missing:
                std = np.asarray(step_survey.dstd)[step_index]
            else:
                std = ((3.0 if percent is None else percent) / 100 * np.abs(dt)
                       + (0.0 if floor is None else floor))
            fitted = _quelby.Survey3D(np.asarray(survey.electrodes),
                                      np.asarray(survey.a)[base_index],
                                      np.asarray(survey.b)[base_index],
                                      np.asarray(survey.m)[base_index],
                                      np.asarray(survey.n)[base_index],
                                      dobs=fitted_values, dstd=std)
            readings = {"dropped_from_step": step_survey.ndat - len(pairs),
                        "dropped_from_baseline": survey.ndat - len(pairs),
                        "description": f"{len(pairs)} readings shared with the baseline"}
            step_folder = _step_folder(folder, step)
            _quelby.write_survey3d(os.path.join(step_folder, "data.dat"), fitted,
                                   comment=f"{method} data of {readings['description']}")
        except Exception as error:  # noqa: BLE001 - a step that fails stops no other
            failures[step] = _step_failed(step, error, campaign_io)
            continue
        run = dict(shared, mesh=base.forward_mesh, data=fitted, out=step_folder)
        if method == "difference":
            reference = base.model
            run.update(start=np.nan_to_num(base.model, nan=1.0),
                       reference=np.nan_to_num(base.model, nan=1.0), ref_in_derivatives=True)
        else:
            reference = np.where(np.isnan(base.model), np.nan, value)
            run.update(start=value, reference=value,
                       ref_in_derivatives=options.get("ref_in_derivatives", False))
        if client is None:
            run["io"] = io
        runs.append(run)
        prepared.append((step, name, reference, readings))
    if client is None:
        results = []
        for run, (step, *_) in zip(runs, prepared):
            try:
                results.append(_quelby.invert(**run))
            except Exception as error:  # noqa: BLE001 - as invert_many, every failure is reported
                results.append(RunFailed(f"step {step}", error))
    else:
        named = [dict(run, name=f"step {step}") for run, (step, *_) in zip(runs, prepared)]
        results = invert_many(named, client=_client_of(client), threads_per_run=threads_per_run,
                              progress=progress) if named else []
    inverted = {}
    grid = base.mesh
    for result, (step, name, reference, readings) in zip(results, prepared):
        if isinstance(result, RunFailed):
            failures[step] = _step_failed(step, result.error, campaign_io)
            continue
        change = _change(np.asarray(result.model), reference)
        step_folder = os.path.join(folder, f"step_{step}")
        _quelby.write_model3d(os.path.join(step_folder, "change.mod"), grid, change,
                              io=campaign_io)
        line = _summary_line(name, result, change, readings)
        _say(f"step {step}: change from{_percent(line['smallest_change'])} % to"
             f"{_percent(line['largest_change'])} %\n", campaign_io)
        inverted[step] = (line, types.SimpleNamespace(
            name=name, result=result, change=change, reference=reference, readings=readings,
            dropped_from_step=readings["dropped_from_step"],
            dropped_from_baseline=readings["dropped_from_baseline"],
            description=readings["description"]))
    summary = [_summary_line(baseline_name, base, None, None)]
    outcomes = []
    for step, name in enumerate(names, 1):
        if step in failures:
            summary.append({"data": name, "failure": _failure_reason(failures[step].error)})
            outcomes.append(failures[step])
        else:
            summary.append(inverted[step][0])
            outcomes.append(inverted[step][1])
    _quelby.write_timelapse_summary(os.path.join(folder, "timelapse.txt"), method, summary,
                                    io=campaign_io)
    if failures:
        numbers = ", ".join(f"step {step}" for step in sorted(failures))
        _say(f"\nError: {len(failures)} of {len(steps)} steps after the baseline failed "
             f"({numbers}); the others were inverted.\n", campaign_io)
    return types.SimpleNamespace(method=method, homogeneous=value, mesh=grid, baseline=base,
                                 steps=outcomes, failed=[failures[k] for k in sorted(failures)],
                                 summary=summary, out=None if out is None else os.fspath(out))


def _invert_timelapse(mesh, baseline, steps, method, homogeneous, out, folder, client,
                      threads_per_run, progress, io, campaign_io, options):
    if _is_survey3d(baseline):
        if mesh is not None:
            options = dict(options, mesh=mesh)
        return _invert_timelapse3d(baseline, steps, method, homogeneous, out, folder, client,
                                   threads_per_run, progress, io, campaign_io, options)
    baseline_name = os.fspath(baseline) if _is_path(baseline) else "the DC data given"
    percent, floor = options.get("percent"), options.get("floor")
    _say(f"\nstep 0, the baseline: {baseline_name}\n", campaign_io)
    base = _quelby.invert(mesh, data=baseline, out=_step_folder(folder, 0), io=io, **options)
    grid = base.mesh
    use_z = bool(options.get("z", False))
    survey = (baseline if isinstance(baseline, _quelby.SurveyData)
              else _quelby.read_data_file(baseline, use_z=use_z, io=campaign_io))
    value = None
    if method == "ratio":
        value, response = _quelby.homogeneous_response(
            grid, survey, value=homogeneous or 0.0,
            air_cells=_air_cells(grid, options.get("topography"), options.get("active")),
            name=baseline_name, io=campaign_io)
    else:
        response = base.predicted
    shared = {key: item for key, item in options.items()
              if key not in ("start", "reference", "ref_in_derivatives", "percent", "floor")}
    names = [os.fspath(data) if _is_path(data) else f"the data given of step {step}"
             for step, data in enumerate(steps, 1)]
    failures = {}  # step number: its RunFailed
    runs, prepared = [], []
    for step, (data, name) in enumerate(zip(steps, names), 1):
        _say(f"\nstep {step}: {name}\n", campaign_io)
        try:
            step_survey = (data if isinstance(data, _quelby.SurveyData)
                           else _quelby.read_data_file(data, use_z=use_z, io=campaign_io))
            fitted, readings = _quelby.timelapse_step(survey, response, step_survey, method,
                                                      percent=percent, floor=floor,
                                                      baseline_name=baseline_name, step_name=name,
                                                      io=campaign_io)
            step_folder = _step_folder(folder, step)
            _quelby.write_data_file(os.path.join(step_folder, "data.dat"), fitted, fitted.dobs,
                                    header=f"! {method} data of {readings['description']}",
                                    stds=fitted.dstd, io=campaign_io)
        except Exception as error:  # noqa: BLE001 - a step that fails stops no other
            failures[step] = _step_failed(step, error, campaign_io)
            continue
        run = dict(shared, mesh=grid, data=fitted, out=step_folder)
        if method == "difference":
            reference = base.model
            run.update(start=base.model, reference=base.model, ref_in_derivatives=True)
        else:
            reference = np.full_like(base.model, value)
            run.update(start=value, reference=value,
                       ref_in_derivatives=options.get("ref_in_derivatives", False))
        if client is None:
            run["io"] = io
        runs.append(run)
        prepared.append((step, name, reference, readings))
    if client is None:
        results = []
        for run, (step, *_) in zip(runs, prepared):
            try:
                results.append(_quelby.invert(**run))
            except Exception as error:  # noqa: BLE001 - as invert_many, every failure is reported
                results.append(RunFailed(f"step {step}", error))
    else:
        named = [dict(run, name=f"step {step}") for run, (step, *_) in zip(runs, prepared)]
        results = invert_many(named, client=_client_of(client), threads_per_run=threads_per_run,
                              progress=progress) if named else []

    inverted = {}
    for result, (step, name, reference, readings) in zip(results, prepared):
        if isinstance(result, RunFailed):
            failures[step] = _step_failed(step, result.error, campaign_io)
            continue
        change = _change(result.model, reference)
        step_folder = os.path.join(folder, f"step_{step}")
        _quelby.write_model(os.path.join(step_folder, "change.mod"), grid, change, io=campaign_io)
        line = _summary_line(name, result, change, readings)
        _say(f"step {step}: change from{_percent(line['smallest_change'])} % to"
             f"{_percent(line['largest_change'])} %\n", campaign_io)
        inverted[step] = (line, types.SimpleNamespace(
            name=name, result=result, change=change, reference=reference,
            readings=readings, dropped_from_step=readings["dropped_from_step"],
            dropped_from_baseline=readings["dropped_from_baseline"],
            description=readings["description"]))

    summary = [_summary_line(baseline_name, base, None, None)]
    outcomes = []
    for step, name in enumerate(names, 1):
        if step in failures:
            summary.append({"data": name, "failure": _failure_reason(failures[step].error)})
            outcomes.append(failures[step])
        else:
            summary.append(inverted[step][0])
            outcomes.append(inverted[step][1])
    _quelby.write_timelapse_summary(os.path.join(folder, "timelapse.txt"), method, summary,
                                    io=campaign_io)
    if failures:
        numbers = ", ".join(f"step {step}" for step in sorted(failures))
        _say(f"\nError: {len(failures)} of {len(steps)} steps after the baseline failed "
             f"({numbers}); the others were inverted.\n", campaign_io)
    return types.SimpleNamespace(method=method, homogeneous=value, mesh=grid, baseline=base,
                                 steps=outcomes, failed=[failures[k] for k in sorted(failures)],
                                 summary=summary, out=None if out is None else os.fspath(out))


def _failure_reason(error):
    """A failure's message as one line, as the command writes it: a quelby.Stop's message (its
    text) with its words joined by single blanks, without a leading "Error: "."""
    reason = " ".join(str(getattr(error, "text", None) or error).split())
    for prefix in ("Error: ", "ERROR: "):
        if reason.startswith(prefix):
            reason = reason[len(prefix):]
    return reason or "stopped"


def _step_failed(step, error, io):
    """The RunFailed of a step, its line written (console, then run log)."""
    _say(f"step {step} failed: {_failure_reason(error)}\n", io)
    return RunFailed(f"step {step}", error)


def _client_of(client):
    """"local" for a LocalCluster (invert_many's None), else the client or address given."""
    return None if isinstance(client, str) and client == "local" else client


def _percent(value):
    """A change in percent as the command writes it: 12 columns, 4 decimals."""
    return f"{value:12.4E}"


def _summary_line(name, result, change, readings):
    history = result.history
    return {
        "data": name,
        "readings": int(history["ndat"]),
        "dropped_from_step": 0 if readings is None else int(readings["dropped_from_step"]),
        "dropped_from_baseline": 0 if readings is None else int(readings["dropped_from_baseline"]),
        "iterations": int(len(history["misfit"]) - 1),
        "misfit": float(history["misfit"][-1]),
        "target_misfit": float(history["target_misfit"]),
        "smallest_change": 0.0 if change is None else float(np.nanmin(change)),
        "largest_change": 0.0 if change is None else float(np.nanmax(change)),
        "failure": None,
    }
