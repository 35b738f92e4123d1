"""A time-lapse inversion in Python of a synthetic monitoring line: 24 electrodes 5 m apart,
dipole-dipole n = 1 to 6 (111 readings), over a 15 m wide block (2.5 m to 10 m deep) in 100 ohm-m
whose resistivity falls from 50 ohm-m (the baseline) to 35 (by 30 %, step 1) and 25 ohm-m (by 50 %,
step 2), each reading with 1 % Gaussian noise of its own; step 2 lost three readings and holds one
with M and N swapped. The data are made with quelby's forward model.

Prints, per step and method (difference and ratio), the mean change over the block's cells and
over the cells of the core away from it, and draws the changes side by side on one colour scale
and the misfit of every step.

Usage: python3 examples/python/timelapse.py [--output FOLDER] [--pictures FOLDER] [--dask]
  --output    the folder of the run's files (FOLDER/difference, FOLDER/ratio)
  --pictures  draws timelapse_change.png and timelapse_misfit.png there (the documentation's are in doc/)
  --dask      inverts the steps after the baseline on a LocalCluster (quelby.invert_many)
"""

import argparse
import pathlib
import sys
import tempfile
import time

import numpy as np

import quelby

BLOCK = (47.5, 62.5, 2.5, 10.0)  # x from, x to, depth from, depth to (m)


def dipole_dipole(electrodes=24, spacing=5.0, n_max=6):
    rows = [(i, i + 1, i + 1 + n, i + 2 + n) for i in range(electrodes)
            for n in range(1, n_max + 1) if i + 2 + n <= electrodes - 1]
    return [np.array([row[e] for row in rows]) * spacing for e in range(4)]


def write_line(folder):
    """The line's mesh and its three data files in `folder`; returns the mesh, the survey and the
    masks of the block's cells and of the core's cells away from it."""
    folder = pathlib.Path(folder)
    survey = quelby.survey_from_arrays(*dipole_dipole())
    mesh = quelby.mesh_for_survey(survey, cell=2.5)
    quelby.write_mesh(folder / "line.msh", mesh)
    x, z = np.meshgrid(np.asarray(mesh.x_centres), np.asarray(mesh.z_centres))
    x0, x1, z0, z1 = BLOCK
    block = (x > x0) & (x < x1) & (z > z0) & (z < z1)
    near = (x > x0 - 7.5) & (x < x1 + 7.5) & (z < z1 + 7.5)
    away = ~near & (x > 0) & (x < 115) & (z < 20)
    a, b, m, n = (np.asarray(survey.xa_file), np.asarray(survey.xb_file),
                  np.asarray(survey.xm_file), np.asarray(survey.xn_file))
    for step, resistivity in enumerate([50.0, 35.0, 25.0]):
        data = quelby.forward(mesh, np.where(block, resistivity, 100.0), survey)
        values = data[np.asarray(survey.sorted_pos) - 1]  # in the order of the arrays
        values = values * (1 + 0.01 * np.random.default_rng(step).standard_normal(values.size))
        keep = np.ones(values.size, dtype=bool)
        mm, nn = m.copy(), n.copy()
        if step == 2:
            keep[[4, 40, 80]] = False
            mm[10], nn[10], values[10] = n[10], m[10], -values[10]
        line = quelby.survey_from_arrays(a[keep], b[keep], mm[keep], nn[keep],
                                         values=values[keep], stds=0.01 * np.abs(values[keep]))
        quelby.write_general_data(folder / f"day{step}.dat", line, line.dobs, stds=line.dstd,
                                  header="! xA xB xM xN value std")
    return mesh, survey, block, away


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--output", type=pathlib.Path)
    parser.add_argument("--pictures", type=pathlib.Path)
    parser.add_argument("--dask", action="store_true")
    arguments = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as scratch:
        folder = pathlib.Path(scratch)
        mesh, survey, block, away = write_line(folder)
        files = [folder / f"day{step}.dat" for step in range(3)]
        results = {}
        for method in ("difference", "ratio"):
            out = None if arguments.output is None else arguments.output / method
            start = time.perf_counter()
            result = quelby.invert_timelapse(folder / "line.msh", files[0], files[1:],
                                             method=method, out=out,
                                             client="local" if arguments.dask else None,
                                             progress=False)
            seconds = time.perf_counter() - start
            results[method] = result
            print(f"{method}: {seconds:.2f} s for the baseline and {len(files) - 1} steps")
            for k, step in enumerate(result.steps, 1):
                print(f"  step {k}: {step.result.history['ndat']} readings "
                      f"({step.dropped_from_step} of the step's and {step.dropped_from_baseline} "
                      f"of the baseline's dropped), change on the block "
                      f"{step.change[block].mean():.1f} %, away from it "
                      f"{step.change[away].mean():.2f} % "
                      f"(largest {np.abs(step.change[away]).max():.1f} %)")
        if arguments.pictures is not None:
            draw(results["difference"], survey, arguments.pictures)
    return 0


def draw(result, survey, out):
    """timelapse_change.png and timelapse_misfit.png of a run into the folder `out`."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    out = pathlib.Path(out)
    out.mkdir(parents=True, exist_ok=True)
    figure = quelby.plot_changes(result, data=survey, titles=["step 1: block 30 % lower",
                                                              "step 2: block 50 % lower"])
    x0, x1, z0, z1 = BLOCK
    for ax in figure.axes[:2]:
        ax.plot([x0, x1, x1, x0, x0], [z0, z0, z1, z1, z0], "k--", linewidth=1)
    figure.savefig(out / "timelapse_change.png", dpi=110)
    plt.close(figure)
    ax = quelby.plot_step_misfits(result)
    ax.figure.savefig(out / "timelapse_misfit.png", dpi=110)
    plt.close(ax.figure)


if __name__ == "__main__":
    sys.exit(main())
