"""Draws the pictures of the inversion of the bundled block survey (examples/block.inv), from the
files of a run of the command or of examples/python/invert.py, or from invert.py's result:

  inversion.png          the recovered resistivity and chargeability under the electrodes, faded
                         where the data see little (the cumulative sensitivity of the final model,
                         each datum weighted by 1 / its standard deviation), the true block outlined
  inversion_data.png     observed and predicted pseudosections of the DC and the IP data, beside
                         the normalised misfit (predicted - observed) / std of every datum
  inversion_history.png  the data misfit and the model norm per iteration of both inversions

Usage: python3 examples/python/pictures.py RUN_FOLDER [OUTPUT_FOLDER]
  (for example, after `cd examples && quelby-invert block.inv`: pictures.py examples/block_out doc)
"""

import pathlib
import sys
import types

import matplotlib
import numpy as np

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import quelby  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from invert import block_and_background, read_survey  # noqa: E402


def read_run(folder):
    """The result of a run from its files, as invert.py returns it."""
    folder = pathlib.Path(folder)
    mesh, topography, dc, ip = read_survey()
    quiet = quelby.Io()
    return types.SimpleNamespace(
        mesh=mesh, topography=topography, survey=dc, ip_survey=ip,
        model=quelby.read_model(folder / "model.mod", mesh, io=quiet),
        eta=quelby.read_model(folder / "eta.mod", mesh, io=quiet),
        predicted=np.asarray(quelby.read_data_file(folder / "predicted.dat", io=quiet).dobs),
        predicted_ip=np.asarray(
            quelby.read_data_file(folder / "predicted_ip.dat", dc_data=False, io=quiet).dobs),
        history=quelby.read_iteration_history(folder / "history.txt"),
        history_ip=quelby.read_iteration_history(folder / "history_ip.txt"))


def outline_block(ax, result, color):
    """The true block's outline, at its elevations."""
    mesh, topography = result.mesh, result.topography
    x = np.linspace(67.5, 87.5, 21)
    ground = np.interp(x, mesh.x_nodes, topography.surface_z)
    elevation = topography.reference_elevation - ground
    ax.plot(np.concatenate([x, x[::-1], x[:1]]),
            np.concatenate([elevation - 2.5, elevation[::-1] - 10, elevation[:1] - 2.5]),
            color=color, linewidth=1.2, linestyle="--", label="true block")


def draw(result, out):
    """Draws the three pictures of `result` (invert.py's, or read_run's) into the folder `out`."""
    out = pathlib.Path(out)
    out.mkdir(parents=True, exist_ok=True)
    mesh, topography, survey = result.mesh, result.topography, result.survey
    J, _ = quelby.sensitivity(mesh, result.model, survey, topography=topography, io=quelby.Io())
    seen = quelby.cumulative_sensitivity(mesh, J, topography=topography,
                                         weights=1 / np.asarray(survey.dstd))
    regions = block_and_background(result)
    figure, axes = plt.subplots(2, 1, figsize=(9, 5.6))
    block_rho = np.exp(np.log(result.model[regions["block"]]).mean())
    quelby.plot_model(mesh, result.model, data=survey, topography=topography, ax=axes[0],
                      sensitivity=seen, vmin=5, vmax=200,
                      title=f"recovered resistivity (block {block_rho:.0f} ohm-m, true 10; "
                            f"background 100)")
    block_eta = result.eta[regions["block"]].mean()
    quelby.plot_model(mesh, result.eta, data=survey, topography=topography, ax=axes[1],
                      what="chargeability", sensitivity=seen, vmin=0,
                      label="chargeability (mV/V)",
                      title=f"recovered chargeability (block {block_eta:.0f} mV/V, true 50; "
                            f"background 5)")
    outline_block(axes[0], result, "black")
    outline_block(axes[1], result, "white")
    figure.tight_layout()
    figure.savefig(out / "inversion.png", dpi=80)
    plt.close(figure)

    figure, axes = plt.subplots(2, 3, figsize=(15, 6.4))
    quelby.plot_data_misfit(survey, result.predicted, mesh=mesh, topography=topography,
                            axes=axes[0])
    quelby.plot_data_misfit(result.ip_survey, result.predicted_ip, axes=axes[1])
    for ax, kind in zip(axes[:, 0], ("DC", "IP")):
        ax.set_title(f"{kind}: observed")
    figure.tight_layout()
    figure.savefig(out / "inversion_data.png", dpi=70)
    plt.close(figure)

    figure, axes = plt.subplots(1, 2, figsize=(10, 3.4))
    quelby.plot_history(result.history, ax=axes[0], title="DC inversion")
    quelby.plot_history(result.history_ip, ax=axes[1], title="IP inversion")
    figure.tight_layout()
    figure.savefig(out / "inversion_history.png", dpi=80)
    plt.close(figure)


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    draw(read_run(argv[1]), argv[2] if len(argv) == 3 else pathlib.Path.cwd())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
