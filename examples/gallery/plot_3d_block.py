"""
A small 3-D survey over a block
===============================

16 electrodes on a 4 x 4 grid 2 m apart, dipole-dipole along both directions and short
pole-dipoles (126 readings) over a 10 ohm-m block in 100 ohm-m. The 3-D forward model makes the
data on a fine mesh, the inversion recovers the block on a coarser one, and the model is shown as
slices and as maps at chosen depths.
"""

# %%
# The survey and its data
# -----------------------
# ``Survey3D`` takes the electrodes (x, y, z) and the 0-based electrode numbers of A, B, M and N;
# ``survey_mesh3d`` makes the mesh ``quelby-mesh`` makes for it, within a budget of cells.
import matplotlib.pyplot as plt
import numpy as np

import quelby

spacing = 2.0
electrodes = np.array([(i * spacing, j * spacing, 0.0) for j in range(4) for i in range(4)])
rows = []
for j in range(4):
    for i in range(4):
        for di, dj in ((1, 0), (0, 1)):
            points = [(i + s * di, j + s * dj) for s in range(4)]
            if all(p < 4 and q < 4 for p, q in points):
                rows.append([q * 4 + p for p, q in points])
for a in range(16):
    for m in range(15):
        if m % 4 != 3 and a not in (m, m + 1) and np.linalg.norm(electrodes[a] - electrodes[m]) < 5:
            rows.append([a, a, m, m + 1])
a, b, m, n = np.array(rows).T
layout = quelby.Survey3D(electrodes, a, b, m, n)

fine = quelby.survey_mesh3d(layout, cell_budget=15000)
z, y, x = np.meshgrid(fine.z_centres, fine.y_centres, fine.x_centres, indexing="ij")
block = (np.abs(x - 3) < 1.5) & (np.abs(y - 3) < 1.5) & (z > 0.5) & (z < 2.0)
clean = quelby.ForwardModel3D(fine, layout).data(np.where(block, 10.0, 100.0))
noisy = clean * (1 + 0.01 * np.random.default_rng(0).standard_normal(clean.size))
survey = quelby.Survey3D(electrodes, a, b, m, n, dobs=noisy, dstd=0.03 * np.abs(noisy))
print(f"{survey.ndat} readings; the data's mesh {fine.nx} x {fine.ny} x {fine.nz} cells")

# %%
# The inversion
# -------------
# A 3-D survey inverts as a line does; ``cell_budget`` keeps the forward mesh small. The model
# comes back on the parameter grid as an array of shape (nz, ny, nx), NaN where a cell is no
# parameter.
result = quelby.invert(data=survey, cell_budget=6000)
history = result.history
print(f"misfit {history['misfit'][-1]:.1f} for a target of {history['target_misfit']:.0f}: "
      f"{history['stop']}")

# %%
# Slices and depth maps
# ---------------------
# A vertical slice through the block along x, and maps at three depths; the block's true outline
# is dashed on the slice.
ax = quelby.plot_model3d(result.mesh, result.model, axis="y", position=3.0, survey=survey)
ax.plot([1.5, 4.5, 4.5, 1.5, 1.5], [0.5, 0.5, 2.0, 2.0, 0.5], "k--", linewidth=1)
figure = quelby.plot_depth_maps(result.mesh, result.model, depths=[0.5, 1.25, 3.0],
                                survey=survey)

# %%
# How well each reading is fitted
# -------------------------------
figure = quelby.plot_misfit3d(survey, result.observed, result.predicted, result.std)
plt.show()
