"""
A field line: reciprocals, error model, section
===============================================

The bundled ``examples/field_line.csv`` is a Syscal Pro export of a line of 32 electrodes 2 m
apart over a gentle hill, every reading measured again as its reciprocal. It holds what real files
hold: an electrode with a bad contact (x = 24 m), sign flips, readings ten times too large or
small, one with almost no current. The import pairs the reciprocals and fits an error model to
them; the robust inversion then fits the data to those errors.
"""

# %%
# Import with reciprocals
# -----------------------
# The same options as ``quelby-import --reciprocal --max-reciprocal-error 10 --max-deviation 5
# --drop-electrode 24 --min-current 0.001``; the result holds the DC and IP data, the ground, the
# pairs and the error models, and ``write`` puts the command's files in a folder.
import pathlib
import tempfile

import matplotlib.pyplot as plt
import numpy as np

import quelby

try:
    root = pathlib.Path(__file__).resolve().parents[2]
except NameError:  # run by the site's build, from the gallery's folder
    root = pathlib.Path.cwd().resolve().parents[1]
folder = pathlib.Path(tempfile.mkdtemp(prefix="field_line_"))
imported = quelby.import_field_data(root / "examples" / "field_line.csv", reciprocal=True,
                                    max_reciprocal_error=10, max_deviation=5,
                                    drop_electrodes=[24.0], min_current=1e-3)
imported.write(folder)
print(imported.log.split("standard deviations:")[0].rstrip())

# %%
# The error model
# ---------------
# Each pair's error is the difference of its two readings; both models, ``e = a + b |R|`` and
# ``e = a |R|^b``, are fitted over bins of pairs and the better kept. Here the errors grow in
# proportion to ``|R|`` (about 1.6 %), the chargeabilities' stay near 0.34 mV/V.
figure, axes = plt.subplots(1, 2, figsize=(9, 3.6))
quelby.plot_reciprocal_errors(imported, ax=axes[0])
quelby.plot_reciprocal_errors(imported, ax=axes[1], what="chargeability")
figure.tight_layout()
print("kept:", imported.error_model["kept"]["formula"])

# %%
# The section
# -----------
# A robust inversion of DC and IP on the mesh ``quelby-mesh`` makes under the ground the import
# found; the sections are faded where the cumulative sensitivity says the data see little.
ground_file = folder / "topography.topo"
mesh = quelby.mesh_for_survey(imported.data, topography=ground_file)
ground = quelby.read_topography(mesh, ground_file)
result = quelby.invert(mesh=mesh, data=imported.data, ip_data=imported.ip_data,
                       topography=ground, what="both", robust=True)
for name, history in (("DC", result.history), ("IP", result.history_ip)):
    print(f"{name}: misfit {history['misfit'][-1]:.1f} (target {history['target_misfit']:.0f}), "
          f"{history['stop']}")

J, _ = quelby.sensitivity(mesh, result.model, imported.data, topography=ground)
seen = quelby.cumulative_sensitivity(mesh, J, topography=ground,
                                     weights=1 / np.asarray(imported.data.dstd))
figure, axes = plt.subplots(2, 1, figsize=(8, 6))
quelby.plot_model(mesh, result.model, data=imported.data, topography=ground, ax=axes[0],
                  sensitivity=seen, title="recovered resistivity")
quelby.plot_model(mesh, result.eta, data=imported.data, topography=ground, ax=axes[1],
                  what="chargeability", sensitivity=seen, label="chargeability (mV/V)",
                  title="recovered chargeability")
figure.tight_layout()
