"""
A dipole-dipole line over a block
=================================

The whole loop on a synthetic survey: a conductive block in a uniform ground, the dipole-dipole
data the forward model gives for it with 2 % noise, the inversion of those data back into a
section, and the depth of investigation, which says down to where the section is the data's and
not the reference model's.
"""

# %%
# The survey and the true ground
# ------------------------------
# 24 electrodes 4 m apart, dipoles of one spacing, n = 1 to 6. ``survey_from_arrays`` takes the
# x of A, B, M and N; ``mesh_for_survey`` makes the mesh ``quelby-mesh`` would make for it, and the
# true model is a 10 ohm-m block, 16 m wide and 3 to 9 m deep, in 100 ohm-m.
import matplotlib.pyplot as plt
import numpy as np

import quelby

spacing, electrodes, n_max = 4.0, 24, 6
rows = [(i, i + 1, i + 1 + n, i + 2 + n) for n in range(1, n_max + 1)
        for i in range(electrodes - 2 - n)]
a, b, m, n = (np.array([row[k] for row in rows]) * spacing for k in range(4))
survey = quelby.survey_from_arrays(a, b, m, n)
fine = quelby.mesh_for_survey(survey, cell=1.0)
x, z = np.meshgrid(np.asarray(fine.x_centres), np.asarray(fine.z_centres))
block = (x > 38) & (x < 54) & (z > 3) & (z < 9)
true_model = np.where(block, 10.0, 100.0)
print(f"{survey.ndat} data, a mesh of {fine.nx} x {fine.nz} cells")

# %%
# Data with noise
# ---------------
# ``quelby.forward`` gives the resistances (ohms) in the survey's grouped order; 2 % Gaussian
# noise, and a standard deviation of 2 % for every datum.
clean = quelby.forward(fine, true_model, survey)
noisy = clean * (1 + 0.02 * np.random.default_rng(7).standard_normal(clean.size))
order = np.asarray(survey.sorted_pos) - 1           # from the arrays' order to the grouped one
data = quelby.survey_from_arrays(a, b, m, n, values=noisy[order], stds=0.02 * np.abs(noisy[order]))
apparent = quelby.apparent_resistivity(data, np.asarray(data.dobs), mesh=fine)
ax = quelby.plot_pseudosection(data, values=apparent, title="apparent resistivity (ohm-m)")
ax.figure.set_size_inches(8, 3)

# %%
# The inversion, with its depth of investigation
# ----------------------------------------------
# The inversion's mesh is the one ``quelby-mesh`` makes for the data (coarser than the one the
# data were made on); ``doi=True`` inverts twice more from references 10 times apart and returns
# the index (near 0 where the data decide, near 1 where the reference does).
mesh = quelby.mesh_for_survey(data)
result = quelby.invert(mesh=mesh, data=data, doi=True)
history = result.history
print(f"misfit {history['misfit'][-1]:.1f} for a target of {history['target_misfit']:.0f}, "
      f"{len(history['misfit']) - 1} iterations: {history['stop']}")

figure, axes = plt.subplots(2, 1, figsize=(8, 6))
quelby.plot_section(fine, true_model, ax=axes[0], xlim=(-4, 96), zlim=(0, 25), vmin=8,
                    vmax=130, title="the true ground")
quelby.plot_model(mesh, result.model, data=data, ax=axes[1], vmin=8, vmax=130,
                  doi_index=result.doi, doi_threshold=0.2,
                  title="recovered, faded where the depth-of-investigation index passes 0.2")
for axis in axes:
    axis.plot([38, 54, 54, 38, 38], [3, 3, 9, 9, 3], "k--", linewidth=1)
figure.tight_layout()
