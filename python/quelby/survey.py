"""Survey data seen as a pseudosection: where each datum is drawn and its apparent resistivity.

Positions and values are numpy arrays in the store's grouped order (datum i is element i, 0-based).
"""

import numpy as np


def _electrodes(data):
    """The A, B, M and N x positions of every datum, in grouped order."""
    idat_idx = np.asarray(data.idat_idx)  # 1-based: pair k holds data idat_idx[k]-1 .. idat_idx[k+1]-2
    per_pair = np.diff(idat_idx)
    a = np.repeat(np.asarray(data.xa_cur, dtype=float), per_pair)
    b = np.repeat(np.asarray(data.xb_cur, dtype=float), per_pair)
    return a, b, np.asarray(data.xm, dtype=float), np.asarray(data.xn, dtype=float)


def pseudosection(data):
    """Returns (x, depth) of every datum of a SurveyData, in grouped order.

    x is midway between the centre of the current pair and the centre of the potential pair (the
    centre of a pole pair is its one position); depth, the pseudo-depth, is half the distance
    between those two centres.
    """
    a, b, m, n = _electrodes(data)
    current = (a + b) * 0.5
    potential = (m + n) * 0.5
    return (current + potential) * 0.5, np.abs(potential - current) * 0.5


def geometric_factor(data, mesh=None, topography=None, wavenumbers=0):
    """The geometric factor K of every datum, in grouped order: an apparent resistivity is K times
    the datum in ohms.

    Without a mesh, the formula of surface electrodes on flat ground,
    K = 2 pi / (1/AM - 1/BM - 1/AN + 1/BN), leaving out the terms of a pole's missing electrode (B
    when A = B, N when M = N); NaN where K is infinite or undefined (coinciding electrodes, a zero
    denominator). With a mesh, K = 1 / d of the forward model of a uniform 1 ohm-m earth on that
    mesh below `topography` (a Topography, or None for flat ground), so that apparent resistivities
    over topography and buried electrodes are honest and the mesh's own error cancels
    (quelby.geometric_factors); wavenumbers as quelby.forward takes them.
    """
    if mesh is not None:
        from ._quelby import geometric_factors

        return geometric_factors(mesh, data, air_cells=topography, wavenumbers=wavenumbers)
    if topography is not None:
        raise ValueError("geometric_factor: a topography needs the mesh it was read for")
    a, b, m, n = _electrodes(data)
    current_dipole = a != b
    potential_dipole = m != n
    distances = [np.abs(a - m), np.abs(b - m), np.abs(a - n), np.abs(b - n)]
    kept = [np.ones_like(a, dtype=bool), current_dipole, potential_dipole,
            current_dipole & potential_dipole]
    signs = [1.0, -1.0, -1.0, 1.0]
    with np.errstate(divide="ignore", invalid="ignore"):
        denominator = np.zeros_like(a)
        undefined = np.zeros_like(a, dtype=bool)
        for distance, keep, sign in zip(distances, kept, signs):
            undefined |= keep & (distance == 0)
            denominator += np.where(keep, sign / np.where(distance == 0, 1.0, distance), 0.0)
        k = 2 * np.pi / denominator
    k[undefined | ~np.isfinite(k)] = np.nan
    return k


def apparent_resistivity(data, values=None, mesh=None, topography=None):
    """K * v for every datum: v the data's dobs unless `values` (ndat values, grouped order) are
    given; K the geometric factor (see geometric_factor: of surface electrodes on flat ground, or
    numerical on `mesh` below `topography`), NaN where K is infinite or undefined."""
    if values is None and data.dobs is None:
        raise ValueError("apparent_resistivity: the data were read without values "
                         "(locations_only); give the values")
    v = np.asarray(data.dobs if values is None else values, dtype=float)
    if v.shape != (data.ndat,):
        raise ValueError(f"values: expected {data.ndat} values, got shape {v.shape}")
    return geometric_factor(data, mesh=mesh, topography=topography) * v
