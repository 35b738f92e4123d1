"""
Robust inversion of a survey with spoiled readings
==================================================

Field files hold readings that are simply wrong: a sign flip, a value ten times too large or too
small. Least squares lets each of them pull the model as hard as it likes; ``robust=True`` (the
command's ``--robust``) gives every reading a bounded pull, Huber's weights reweighted every
iteration, so that a handful of spoiled readings cannot bend the section.
"""

# %%
# A clean survey, then three spoiled readings
# -------------------------------------------
# Wenner and dipole-dipole readings of 24 electrodes 4 m apart over a 10 ohm-m block in 100 ohm-m,
# with 2 % noise; then three readings are spoiled.
import matplotlib.pyplot as plt
import numpy as np

import quelby

rows = [(i, i + 3 * s, i + s, i + 2 * s) for s in range(1, 8) for i in range(24 - 3 * s)]
rows += [(i, i + 1, i + 1 + n, i + 2 + n) for n in range(1, 7) for i in range(22 - n)]
a, b, m, n = (np.array([row[k] for row in rows]) * 4.0 for k in range(4))
layout = quelby.survey_from_arrays(a, b, m, n)
fine = quelby.mesh_for_survey(layout, cell=1.0)
x, z = np.meshgrid(np.asarray(fine.x_centres), np.asarray(fine.z_centres))
true_model = np.where((x > 38) & (x < 54) & (z > 3) & (z < 9), 10.0, 100.0)
values = quelby.forward(fine, true_model, layout)[np.asarray(layout.sorted_pos) - 1]
values *= 1 + 0.02 * np.random.default_rng(3).standard_normal(values.size)
spoiled = {10: -1.0, 60: -1.0, 150: 3.0}  # two sign flips, one reading three times too large
for index, factor in spoiled.items():
    values[index] *= factor
data = quelby.survey_from_arrays(a, b, m, n, values=values, stds=0.02 * np.abs(values))
print(f"{data.ndat} readings, {len(spoiled)} of them spoiled")

# %%
# Least squares and robust, side by side
# --------------------------------------
# Both on the same mesh and parameter grid; the least-squares run is cut at 8 iterations, since
# it cannot reach its target with the spoiled readings in. The models live on the mesh's cells.
mesh = quelby.mesh_for_survey(data)
plain = quelby.invert(mesh=mesh, data=data, max_iterations=8)
robust = quelby.invert(mesh=mesh, data=data, robust=True)
for name, run in (("least squares", plain), ("robust", robust)):
    history = run.history
    print(f"{name}: misfit {history['misfit'][-1]:.3g} for a target of "
          f"{history['target_misfit']:.0f}, {history['stop']}")

figure, axes = plt.subplots(2, 1, figsize=(8, 6))
for ax, run, title in ((axes[0], plain, "least squares"), (axes[1], robust, "robust")):
    quelby.plot_model(mesh, run.model, data=data, ax=ax, vmin=8, vmax=130, title=title)
    ax.plot([38, 54, 54, 38, 38], [3, 3, 9, 9, 3], "k--", linewidth=1)
figure.tight_layout()

# %%
# Which readings the robust misfit weighed down
# ---------------------------------------------
# The normalised misfit of every reading under the robust model: the spoiled ones stand out, the
# rest are fitted to their errors.
quelby.plot_data_misfit(data, robust.predicted)
plt.show()
