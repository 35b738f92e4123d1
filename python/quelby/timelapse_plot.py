"""Pictures of a time-lapse inversion: the change of every later step side by side on one colour
scale, and the misfit of every step; from quelby.invert_timelapse's result or from the folder
quelby-invert or invert_timelapse wrote (step_K/change.mod, step_K/history.txt, timelapse.txt)."""

import os

import numpy as np

from .history import _number
from .plot import _matplotlib, core_extent, plot_section


def read_timelapse_summary(path):
    """read_timelapse_summary(path) -> list of dicts

    The summary file of a time-lapse inversion (timelapse.txt) read back: per step from 0 (the
    baseline) its data, readings, dropped_from_step, dropped_from_baseline, iterations, misfit,
    target_misfit, smallest_change and largest_change (percent), and failure None, as
    write_timelapse_summary takes them; a step that failed gives its data and failure (why). A
    line that is not a summary line raises ValueError naming it.
    """
    name = os.fspath(path)
    steps = []
    with open(name, encoding="utf-8", errors="replace") as file:
        for number, line in enumerate(file, 1):
            if line.startswith("!") or not line.strip():
                continue
            failed = line.split(maxsplit=2)
            if len(failed) == 3 and failed[1] == "failed" and "  ! " in failed[2]:
                data, reason = failed[2].rstrip("\n").split("  ! ", 1)
                steps.append({"data": data, "failure": reason})
                continue
            fields = line.split(maxsplit=9)
            if len(fields) < 10:
                raise ValueError(f"{name}:{number}: not a line of a time-lapse summary")
            counts = [int(field) for field in fields[1:5]]
            reals = [_number(field) for field in fields[5:9]]
            steps.append({"data": fields[9].rstrip("\n"), "readings": counts[0],
                          "dropped_from_step": counts[1], "dropped_from_baseline": counts[2],
                          "iterations": counts[3], "misfit": reals[0], "target_misfit": reals[1],
                          "smallest_change": reals[2], "largest_change": reals[3],
                          "failure": None})
    return steps


def _changes(result, mesh):
    """(mesh, [change (nz, nx) per later step inverted], [title per step]) of a result or a
    folder; the steps that failed are left out."""
    if hasattr(result, "steps"):
        shown = [(k, step) for k, step in enumerate(result.steps, 1) if hasattr(step, "change")]
        return result.mesh, [step.change for _, step in shown], [f"step {k}" for k, _ in shown]
    from ._quelby import Mesh, load_mesh, read_model

    if mesh is None:
        raise ValueError("plot_changes: the mesh of a run's folder is needed (mesh=)")
    grid = mesh if isinstance(mesh, Mesh) else load_mesh(mesh)
    folder = os.fspath(result)
    summary = os.path.join(folder, "timelapse.txt")
    lines = read_timelapse_summary(summary) if os.path.exists(summary) else []
    steps = [k for k, line in enumerate(lines) if k > 0 and line["failure"] is None]
    changes, titles = [], []
    for step in steps:
        changes.append(read_model(os.path.join(folder, f"step_{step}", "change.mod"), grid))
        titles.append(f"step {step}")
    if not changes:
        raise ValueError(f"{folder}: no step_K/change.mod of a time-lapse inversion")
    return grid, changes, titles


def plot_changes(result, mesh=None, xlim=None, zlim=None, vmax=None, cmap="RdBu", data=None,
                 figsize=None, titles=None):
    """plot_changes(result, mesh=None, xlim=None, zlim=None, vmax=None, cmap='RdBu', data=None,
    figsize=None, titles=None) -> matplotlib.figure.Figure

    Draws the change in percent of every later step of a time-lapse inversion side by side, one
    section each, on one colour scale symmetric about 0 (-vmax..vmax, default the largest |change|
    over the cells shown of all steps) with one colour bar: a fall of resistivity in red, a rise
    in blue. result: quelby.invert_timelapse's result, or the output folder of quelby-invert or
    invert_timelapse with the mesh it ran on (a Mesh or a mesh file). xlim, zlim: the part shown
    (default core_extent of the mesh and `data`, a SurveyData of the line's electrodes).
    """
    _matplotlib()
    import matplotlib.pyplot as plt

    grid, changes, default_titles = _changes(result, mesh)
    titles = default_titles if titles is None else list(titles)
    core_x, core_z = core_extent(grid, data)
    xlim = core_x if xlim is None else xlim
    zlim = core_z if zlim is None else zlim
    if vmax is None:
        x_centres, z_centres = np.asarray(grid.x_centres), np.asarray(grid.z_centres)
        shown = np.ix_((z_centres > min(zlim)) & (z_centres < max(zlim)),
                       (x_centres > min(xlim)) & (x_centres < max(xlim)))
        largest = max(float(np.nanmax(np.abs(np.asarray(change)[shown]))) for change in changes)
        vmax = largest if largest > 0 else 1.0
    count = len(changes)
    figure, axes = plt.subplots(1, count, figsize=figsize or (4.2 * count + 1.2, 3.2),
                                squeeze=False, constrained_layout=True)
    for ax, change, title in zip(axes[0], changes, titles):
        plot_section(grid, change, ax=ax, log=False, cmap=cmap, xlim=xlim, zlim=zlim,
                     colorbar=False, vmin=-vmax, vmax=vmax, title=title, aspect="auto")
    mappable = axes[0][0].collections[0]
    bar = figure.colorbar(mappable, ax=list(axes[0]), shrink=0.9)
    bar.set_label("change of resistivity (%)")
    return figure


def plot_step_misfits(result, ax=None):
    """plot_step_misfits(result, ax=None) -> axes

    Draws the final data misfit of every step of a time-lapse inversion (step 0 the baseline) over
    its number of data (phi_d / ndat; the target chifact, at 1 by default, dashed), and on a
    second axes (ax.histories) every step's misfit per iteration; returns the first axes.
    result: quelby.invert_timelapse's result or the output folder (its timelapse.txt and
    step_K/history.txt).
    """
    _matplotlib()
    import matplotlib.pyplot as plt

    from .history import read_iteration_history

    if hasattr(result, "summary"):
        summary = result.summary
        histories = [result.baseline.history] + [
            step.result.history if hasattr(step, "result") else None for step in result.steps]
    else:
        folder = os.fspath(result)
        summary = read_timelapse_summary(os.path.join(folder, "timelapse.txt"))
        histories = [None if line["failure"] is not None else
                     read_iteration_history(os.path.join(folder, f"step_{k}", "history.txt"))
                     for k, line in enumerate(summary)]
    # A step that failed has no misfit: a gap in the line, and no history.
    summary = [line if line.get("failure") is None else
               {"misfit": np.nan, "target_misfit": np.nan, "readings": 1} for line in summary]
    if ax is None:
        figure, (ax, right) = plt.subplots(1, 2, figsize=(10, 3.5), constrained_layout=True)
    else:
        right = ax.figure.add_axes(ax.get_position(), frameon=False)
        right.set_visible(False)
    steps = np.arange(len(summary))
    misfit = np.array([line["misfit"] / line["readings"] for line in summary])
    target = np.array([line["target_misfit"] / line["readings"] for line in summary])
    ax.plot(steps, misfit, "o-", color="tab:blue", label="final misfit / data")
    ax.plot(steps, target, "--", color="gray", label="target")
    ax.set_xticks(steps)
    ax.set_xlabel("step (0: baseline)")
    ax.set_ylabel("phi_d / ndat")
    ax.set_ylim(0, 1.15 * max(float(np.nanmax(target)), float(np.nanmax(misfit))))
    ax.legend(fontsize=8)
    for k, history in enumerate(histories):
        if history is None:
            continue
        misfits = np.asarray(history["misfit"], dtype=float)
        right.semilogy(np.arange(misfits.size), misfits, "o-", markersize=3, label=f"step {k}")
    right.set_xlabel("iteration")
    right.set_ylabel("phi_d")
    right.legend(fontsize=8)
    ax.histories = right
    return ax
