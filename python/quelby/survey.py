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


def _depths(data):
    """The A, B, M and N z positions of every datum, in grouped order: the survey's (buried
    electrodes, has_z), else 0 (the surface)."""
    if not data.has_z:
        return tuple(np.zeros(data.ndat) for _ in range(4))
    per_pair = np.diff(np.asarray(data.idat_idx))
    return (np.repeat(np.asarray(data.za_cur, dtype=float), per_pair),
            np.repeat(np.asarray(data.zb_cur, dtype=float), per_pair),
            np.asarray(data.zm, dtype=float), np.asarray(data.zn, dtype=float))


def _pole_pole_terms(a, b, m, n):
    """The distances and signs of the pole-pole terms of every datum (AM +, BM -, AN -, BN +),
    with the mask of the terms present (a pole's missing electrode, B = A or N = M, has none)."""
    current_dipole = a != b
    potential_dipole = m != n
    distances = np.stack([np.abs(a - m), np.abs(b - m), np.abs(a - n), np.abs(b - n)])
    present = np.stack([np.ones_like(a, dtype=bool), current_dipole, potential_dipole,
                        current_dipole & potential_dipole])
    signs = np.array([1.0, -1.0, -1.0, 1.0])[:, None]
    return distances, signs, present


def median_depth(a, b, m, n):
    """The median depth of investigation (Edwards 1977) of four surface electrodes at x positions
    a, b, m, n (arrays; b = a and n = m for poles), NaN where it is undefined.

    Over a uniform half-space the contribution of a thin layer at depth z to the datum of a pole
    pair at distance r is 8 pi z / (r^2 + 4 z^2)^(3/2) (the layer integral of the sensitivity
    grad(1/r_A) . grad(1/r_M)); its integral from 0 to Z is 1/r - 1/sqrt(r^2 + 4 Z^2), up to that
    constant, and a four-electrode datum sums the pole-pole terms with their signs. The median
    depth is the smallest Z at which that sum reaches half its total, the geometric sum 2 pi / K:
    0.519 a for Wenner, 0.867 a for pole-pole, 0.416 a for dipole-dipole n = 1 (Edwards' table).
    """
    a, b, m, n = (np.atleast_1d(np.asarray(v, dtype=float)) for v in (a, b, m, n))
    distances, signs, present = _pole_pole_terms(a, b, m, n)
    with np.errstate(divide="ignore", invalid="ignore"):
        inverse = np.where(present, signs / np.where(distances > 0, distances, np.nan), 0.0)
        total = inverse.sum(axis=0)
        defined = np.isfinite(total) & (total != 0) & ~np.any(present & (distances == 0), axis=0)

        def reached(depth):
            # sign(total) * (cumulative(depth) - total / 2), one column per datum
            tail = np.where(present, signs / np.sqrt(distances ** 2 + 4 * depth ** 2), 0.0)
            return np.sign(total) * ((total - tail.sum(axis=0)) - total / 2)

        scale = np.where(present, distances, 0.0).max(axis=0)
        scale = np.where(defined & (scale > 0), scale, 1.0)
        # A grid of depths from 1e-4 to 1e3 times the largest distance: the first depth reached
        # brackets the smallest crossing, then bisection narrows it.
        grid = np.geomspace(1e-4, 1e3, 160)[:, None] * scale[None, :]
        values = np.array([reached(depth) for depth in grid])
        first = np.argmax(values >= 0, axis=0)
        low = np.where(first > 0, grid[np.maximum(first - 1, 0), np.arange(scale.size)], 0.0)
        high = grid[first, np.arange(scale.size)]
        for _ in range(60):
            middle = 0.5 * (low + high)
            below = reached(middle) < 0
            low = np.where(below, middle, low)
            high = np.where(below, high, middle)
    depth = 0.5 * (low + high)
    depth[~defined] = np.nan
    return depth


def pseudosection(data):
    """Returns (x, depth) of every datum of a SurveyData, in grouped order.

    x is midway between the centre of the current pair and the centre of the potential pair (the
    centre of a pole pair is its one position); depth, the pseudo-depth, is the median depth of
    investigation of the four electrodes on a flat surface (quelby.survey.median_depth, Edwards
    1977): never 0, also for centred arrays such as Wenner and Schlumberger; NaN where coinciding
    electrodes leave it undefined. In a survey with z positions (has_z) a datum with an electrode
    below z = 0 stands at the mean z of its four electrodes instead.
    """
    a, b, m, n = _electrodes(data)
    current = (a + b) * 0.5
    potential = (m + n) * 0.5
    depth = median_depth(a, b, m, n)
    if data.has_z:
        # A datum with a buried electrode stands at its electrodes' mean depth: its x positions
        # alone tell neither its dipoles (a borehole's electrodes share x) nor its depth.
        depths = np.array(_depths(data))
        depth = np.where((depths == 0).all(axis=0), depth, depths.mean(axis=0))
    return (current + potential) * 0.5, depth


def geometric_factor(data, mesh=None, topography=None, wavenumbers=0):
    """The geometric factor K of every datum, in grouped order: an apparent resistivity is K times
    the datum in ohms.

    Without a mesh, the formula of surface electrodes on flat ground,
    K = 2 pi / (1/AM - 1/BM - 1/AN + 1/BN), leaving out the terms of a pole's missing electrode (B
    when A = B, N when M = N); for a survey with z positions (has_z) that of electrodes buried in a
    half-space, each term 1/r + 1/r' with r' the distance from the source's image above z = 0
    (K = 4 pi / the sum); NaN where K is infinite or undefined (coinciding electrodes, a zero
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
    if data.has_z:
        return _buried_factor(a, b, m, n, *_depths(data))
    distances, signs, present = _pole_pole_terms(a, b, m, n)
    with np.errstate(divide="ignore", invalid="ignore"):
        undefined = np.any(present & (distances == 0), axis=0)
        terms = np.where(present, signs / np.where(distances == 0, 1.0, distances), 0.0)
        k = 2 * np.pi / terms.sum(axis=0)
    k[undefined | ~np.isfinite(k)] = np.nan
    return k


def _buried_factor(a, b, m, n, za, zb, zm, zn):
    """K = 4 pi / sum of +-(1/r + 1/r') over the pole pairs of electrodes in a half-space below
    z = 0, r' the distance from the source's image above the surface: on the surface it is the
    flat formula's 2 pi / sum of +-1/r."""
    current_dipole = (a != b) | (za != zb)
    potential_dipole = (m != n) | (zm != zn)
    pairs = [(a, za, m, zm, 1.0, np.ones_like(a, dtype=bool)),
             (b, zb, m, zm, -1.0, current_dipole),
             (a, za, n, zn, -1.0, potential_dipole),
             (b, zb, n, zn, 1.0, current_dipole & potential_dipole)]
    total = np.zeros_like(a)
    undefined = np.zeros_like(a, dtype=bool)
    with np.errstate(divide="ignore", invalid="ignore"):
        for xs, zs, xr, zr, sign, present in pairs:
            r = np.hypot(xs - xr, zs - zr)
            image = np.hypot(xs - xr, zs + zr)
            undefined |= present & (r == 0)
            total += np.where(present & (r > 0), sign * (1 / np.where(r > 0, r, 1.0) + 1 / image),
                              0.0)
        k = 4 * np.pi / total
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
