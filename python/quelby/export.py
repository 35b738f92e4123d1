"""Models out to the viewers people use (ParaView and others), written with meshio."""

import os

import numpy as np


def section_points_and_quads(mesh, reference_elevation=0.0):
    """The points (x, reference_elevation - z, 0) of the mesh nodes, z nodes outer and x nodes
    inner, and one quad per cell in cell order (rows outer, columns inner), its corners
    counter-clockwise in the upright section: lower left, lower right, upper right, upper left
    (0-based point numbers)."""
    x_nodes, z_nodes = np.asarray(mesh.x_nodes, float), np.asarray(mesh.z_nodes, float)
    nx, nz = mesh.nx, mesh.nz
    x, z = np.meshgrid(x_nodes, z_nodes)
    points = np.column_stack([x.ravel(), reference_elevation - z.ravel(), np.zeros(x.size)])
    k, i = np.meshgrid(np.arange(nz), np.arange(nx), indexing="ij")
    upper_left = (k * (nx + 1) + i).ravel()
    lower_left = upper_left + nx + 1
    quads = np.column_stack([lower_left, lower_left + 1, upper_left + 1, upper_left])
    return points, quads


def export(path, mesh, cell_data=None, topography=None, file_format=None,
           reference_elevation=None):
    """Writes the section to `path` (str or os.PathLike) with meshio, the format chosen by the
    file's extension (.vtu for ParaView, .xdmf, and whatever else meshio writes) unless
    `file_format` names one.

    Points stand at (x, elevation, 0), so the section is upright in a viewer; every cell is one
    quad, in cell order. The elevation of a node at depth z is reference_elevation - z: by default
    the reference elevation of a Topography read from a file (the elevation of z = 0), else 0, so
    that without a topography file the points stand at (x, -z, 0).
    cell_data: {name: array} with arrays of shape (nz, nx) or nx * nz values in cell order, for
    example {"resistivity": model}. topography: a Topography, the ActiveCells built with it, or nx
    air-cell counts; adds the cell array "air", 1 for the cells above the ground surface and 0
    below. Only a Topography carries a reference elevation; give reference_elevation with the
    others.
    Needs meshio (Debian: python3-meshio); without it raises ImportError.
    """
    try:
        import meshio
    except ImportError as error:
        raise ImportError("quelby.export needs meshio: install the Debian package python3-meshio "
                          "(or `pip install meshio`)") from error
    if reference_elevation is None:
        reference_elevation = float(getattr(topography, "reference_elevation", 0.0))
    points, quads = section_points_and_quads(mesh, reference_elevation)
    arrays = {}
    for name, values in (cell_data or {}).items():
        values = np.asarray(values)
        if values.shape not in ((mesh.nz, mesh.nx), (mesh.nx * mesh.nz,)):
            raise ValueError(f"cell_data[{name!r}]: expected shape ({mesh.nz}, {mesh.nx}) or "
                             f"({mesh.nx * mesh.nz},), got {values.shape}")
        arrays[name] = [np.ascontiguousarray(values.reshape(-1))]
    if topography is not None:
        air_cells = np.asarray(getattr(topography, "air_cells", topography))
        if air_cells.shape != (mesh.nx,):
            raise ValueError(f"topography: expected {mesh.nx} air-cell counts")
        air = np.arange(mesh.nz)[:, None] < air_cells[None, :]
        arrays["air"] = [air.astype(np.int32).ravel()]
    section = meshio.Mesh(points, [("quad", quads)], cell_data=arrays)
    meshio.write(os.fspath(path), section, file_format=file_format)
