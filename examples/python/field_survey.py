"""Writes examples/field_line.csv, the field-data walkthrough's input: what a Syscal Pro exports
for a line of 32 electrodes 2 m apart on a gentle hill, Wenner (a = 2 to 12 m) and dipole-dipole
(a = 2 m, n = 1..6; a = 4 m, n = 1..4) readings, each measured again as its reciprocal, over a
two-layer ground with a conductive, chargeable body and a resistive one. The readings are quelby's
own forward model (DC and IP) with what field data hold: noise that grows with the signal, an
electrode with a bad contact (x = 24 m: large stacking deviations and errors), two sign flips, a
reading ten times too large and one ten times too small, and a reading with almost no current.

Usage: python3 examples/python/field_survey.py [OUTPUT]   (default examples/field_line.csv)

The file is the same byte for byte on every run (a test checks it).
"""

import pathlib
import sys
import tempfile

import numpy as np

import quelby

EXAMPLES = pathlib.Path(__file__).resolve().parents[1]
SPACING = 2.0
ELECTRODES = 32
BAD_ELECTRODE = 24.0


def elevation(x):
    """The ground: 100 m, with a hill 3 m high around x = 40 m."""
    return 100.0 + 3.0 * np.exp(-((np.asarray(x, dtype=float) - 40.0) / 12.0) ** 2)


def layout():
    """A, B, M, N (m) of the normal readings: Wenner C1 P1 P2 C2, then dipole-dipole C2 C1 P1 P2."""
    rows = []
    for k in range(1, 7):  # Wenner, a = 2k m
        rows += [(i, i + 3 * k, i + k, i + 2 * k) for i in range(ELECTRODES - 3 * k)]
    for k, levels in ((1, 6), (2, 4)):  # dipole-dipole, a = 2k m
        for n in range(1, levels + 1):
            rows += [(i + k, i, i + k + n * k, i + 2 * k + n * k)
                     for i in range(ELECTRODES - (n + 2) * k)]
    return np.array(rows, dtype=float) * SPACING


def model_on(mesh, topography_file):
    """Resistivity and chargeability per cell: 150 ohm-m over 40 ohm-m below 6 m under the ground,
    an 8 ohm-m body (40 mV/V) at x 17-27 m, 2.5-7 m deep, and a 600 ohm-m body at x 42-50 m,
    1.5-5 m deep; 4 mV/V elsewhere."""
    x, z = np.meshgrid(np.asarray(mesh.x_centres), np.asarray(mesh.z_centres))
    topography = quelby.read_topography(mesh, topography_file)
    surface = np.interp(x, np.asarray(mesh.x_nodes), np.asarray(topography.surface_z))
    depth = z - surface
    rho = np.where(depth > 6.0, 40.0, 150.0)
    conductive = (x > 17) & (x < 27) & (depth > 2.5) & (depth < 7)
    resistive = (x > 42) & (x < 50) & (depth > 1.5) & (depth < 5)
    rho = np.where(conductive, 8.0, np.where(resistive, 600.0, rho))
    eta = np.where(conductive, 40.0, 4.0)
    return rho, eta


def flat_factor(a, b, m, n):
    return 2 * np.pi / (1 / np.abs(a - m) - 1 / np.abs(a - n) - 1 / np.abs(b - m)
                        + 1 / np.abs(b - n))


def main(argv):
    out = pathlib.Path(argv[1]) if len(argv) > 1 else EXAMPLES / "field_line.csv"
    normals = layout()
    # Every reading once as measured, then its reciprocal (M N A B, every other one with the
    # current reversed), as a Syscal sequence with reciprocals measures them.
    reciprocals = normals[:, [2, 3, 0, 1]].copy()
    reciprocals[1::2] = reciprocals[1::2][:, [1, 0, 2, 3]]
    readings = np.vstack([normals, reciprocals])
    a, b, m, n = readings.T
    survey = quelby.survey_from_arrays(a, b, m, n)
    with tempfile.TemporaryDirectory() as folder:
        ground = pathlib.Path(folder) / "ground.topo"
        hill = np.linspace(-100, 160, 131)
        ground.write_text(f"{hill.size} 103\n" + "".join(
            f"{x:.1f} {e:.4f}\n" for x, e in zip(hill, elevation(hill))))
        mesh = quelby.mesh_for_survey(survey, cell=0.5, topography=ground)
        rho, eta = model_on(mesh, ground)
        topography = quelby.read_topography(mesh, ground)
        order = np.asarray(survey.sorted_pos) - 1  # file line j is grouped datum order[j]
        resistance = quelby.forward(mesh, rho, survey, topography=topography)[order]
        chargeability = quelby.forward_ip(mesh, rho, eta, survey, topography=topography)[order]

    rng = np.random.default_rng(26)
    count = len(readings)
    uses_bad = np.any(readings == BAD_ELECTRODE, axis=1)
    # Noise of 1.5 % and 0.2 mOhm; the bad contact adds 20 %.
    noise = 0.015 * rng.standard_normal(count) + np.where(uses_bad, 0.2, 0.0) * \
        rng.standard_normal(count)
    observed = resistance * (1 + noise) + 2e-4 * rng.standard_normal(count)
    deviation = np.abs(0.1 + 0.2 * rng.standard_normal(count)) + np.where(uses_bad, 12.0, 0.0) * \
        rng.random(count)
    current = 80 + 220 * rng.random(count)  # mA
    ip = chargeability + 0.3 * rng.standard_normal(count) + np.where(uses_bad, 4.0, 0.0) * \
        rng.standard_normal(count)
    # Spoiled readings among the normals that do not use the bad electrode.
    clean = np.flatnonzero(~uses_bad[: len(normals)])
    observed[clean[[40, 170]]] *= -1   # sign flips
    observed[clean[95]] *= 10.0        # ten times too large
    observed[clean[260]] *= 0.1        # ten times too small
    current[clean[300]] = 0.4          # almost no current

    k = flat_factor(a, b, m, n)
    lines = ["El-array,xA (m),xB (m),xM (m),xN (m),zA (m),zB (m),zM (m),zN (m),Rho (Ohm.m),"
             "Dev. Rho (%),M (mV/V),SP (mV),VMN (mV),IAB (mA)"]
    names = np.where(np.arange(count) % len(normals) < 129, "Wenner Alpha", "Dipole-Dipole")
    for j in range(count):
        z = [elevation(v) for v in (a[j], b[j], m[j], n[j])]
        lines.append(f"{names[j]},{a[j]:.2f},{b[j]:.2f},{m[j]:.2f},{n[j]:.2f},"
                     f"{z[0]:.2f},{z[1]:.2f},{z[2]:.2f},{z[3]:.2f},{k[j] * observed[j]:.3f},"
                     f"{deviation[j]:.2f},{ip[j]:.2f},{rng.normal(0, 20):.2f},"
                     f"{observed[j] * current[j]:.4f},{current[j]:.3f}")
    out.write_text("\n".join(lines) + "\n")
    print(f"{count} readings ({len(normals)} normal and reciprocal pairs) written to {out}")


if __name__ == "__main__":
    main(sys.argv)
