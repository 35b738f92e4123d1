"""The field-data walkthrough from Python: examples/field_line.csv (a Syscal Pro export with
normal and reciprocal readings, written by field_survey.py) imported, filtered and given an error
model from its reciprocals, then inverted (with a robust data misfit) for resistivity and
chargeability, with pictures.

Usage: python3 examples/python/field_walkthrough.py [OUTPUT_FOLDER] [--pictures FOLDER]

OUTPUT_FOLDER (default field) receives import/ (what quelby-import writes) and inversion/ (what
quelby-invert writes); --pictures draws field_data.png, field_errors.png and field_model.png there.
"""

import pathlib
import sys
import time

import numpy as np

import quelby

EXAMPLES = pathlib.Path(__file__).resolve().parents[1]


def run(out):
    """Imports, filters and inverts; returns the import, the mesh, its ground and the result."""
    imported = quelby.import_field_data(
        EXAMPLES / "field_line.csv",
        reciprocal=True,            # pair normals and reciprocals, fit the error model
        max_reciprocal_error=10,    # pairs that disagree by more than 10 % are dropped
        max_deviation=5,            # readings the instrument found noisy
        drop_electrodes=[24.0],     # the electrode with the bad contact
        min_current=1e-3,           # readings with almost no current
        out=out / "import")
    print(imported.log.split("standard deviations:")[0].rstrip())
    print(f"error model kept: {imported.error_model['kept']['formula']} (ohm)")

    # The inversion on the mesh quelby-mesh makes under the ground the import found.
    ground_file = out / "import" / "topography.topo"
    mesh = quelby.mesh_for_survey(imported.data, topography=ground_file)
    ground = quelby.read_topography(mesh, ground_file)
    started = time.perf_counter()
    # A robust data misfit besides: a spoiled reading the filters let through cannot pull the model.
    result = quelby.invert(mesh=mesh, data=imported.data, ip_data=imported.ip_data,
                           topography=ground, what="both", robust=True, out=out / "inversion")
    seconds = time.perf_counter() - started
    for name, history in (("DC", result.history), ("IP", result.history_ip)):
        print(f"{name}: misfit {history['misfit'][-1]:.1f} (target "
              f"{history['target_misfit']:.0f}) after {len(history['misfit']) - 1} iterations, "
              f"{history['stop']}")
    print(f"inversion: {seconds:.1f} s")
    return imported, mesh, ground, result


def pictures(imported, mesh, ground, result, folder):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    folder.mkdir(parents=True, exist_ok=True)
    figure, axes = plt.subplots(2, 1, figsize=(8, 6))
    quelby.plot_pseudosection(imported.data, ax=axes[0],
                              title="imported DC data: apparent resistivity (flat-surface K)")
    quelby.plot_pseudosection(imported.ip_data, ax=axes[1], cmap="viridis",
                              label="apparent chargeability (mV/V)",
                              title="imported IP data")
    figure.tight_layout()
    figure.savefig(folder / "field_data.png", dpi=80)
    plt.close(figure)

    figure, axes = plt.subplots(1, 2, figsize=(11, 4))
    quelby.plot_reciprocal_errors(imported, ax=axes[0])
    quelby.plot_reciprocal_errors(imported, ax=axes[1], what="chargeability")
    figure.tight_layout()
    figure.savefig(folder / "field_errors.png", dpi=80)
    plt.close(figure)

    J, _ = quelby.sensitivity(mesh, result.model, imported.data, topography=ground)
    seen = quelby.cumulative_sensitivity(mesh, J, topography=ground,
                                         weights=1 / np.asarray(imported.data.dstd))
    figure, axes = plt.subplots(2, 1, figsize=(8, 6.4))
    quelby.plot_model(mesh, result.model, data=imported.data, topography=ground, ax=axes[0],
                      sensitivity=seen, title="recovered resistivity")
    quelby.plot_model(mesh, result.eta, data=imported.data, topography=ground, ax=axes[1],
                      what="chargeability", sensitivity=seen, label="chargeability (mV/V)",
                      title="recovered chargeability")
    figure.tight_layout()
    figure.savefig(folder / "field_model.png", dpi=80)
    plt.close(figure)


def main(argv):
    arguments = argv[1:]
    folder = None
    if "--pictures" in arguments:
        at = arguments.index("--pictures")
        folder = pathlib.Path(arguments[at + 1])
        del arguments[at:at + 2]
    out = pathlib.Path(arguments[0]) if arguments else pathlib.Path("field")
    imported, mesh, ground, result = run(out)
    if folder is not None:
        pictures(imported, mesh, ground, result, folder)


if __name__ == "__main__":
    main(sys.argv)
