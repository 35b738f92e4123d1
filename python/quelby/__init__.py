"""quelby: 2-D and 3-D earth models on rectangular tensor meshes.

Mesh, model, topography and survey data files, smoothing, active cells, cell weights, dipping
zones, the model objective function of a regularised inversion and the reports of its progress,
the 2.5-D DC/IP forward model of a survey (data, sensitivities, IP responses, geometric factors,
meshes for a survey), the import of field data files (quelby.import_field_data: instrument exports
and the field's exchange formats, filters, reciprocal error models) and the inversion
(quelby.invert), from Python; time-lapse inversions (quelby.invert_timelapse) and many inversions on
Dask's distributed scheduler (quelby.invert_many); pictures of sections, pseudosections, reciprocal
errors and an inversion's results (matplotlib) and export to viewers (meshio).

Conventions
  * Models are numpy arrays of shape (nz, nx), x fastest as in the files; a flat vector of nx * nz
    values in cell order (rows outer, columns inner) is taken too.
  * 3-D (Mesh3D, Survey3D, ForwardModel3D, quelby.invert of a 3-D survey): models are arrays of
    shape (nz, ny, nx), x fastest, exactly the library's order: element [k, j, i] is the 0-based
    cell (k * ny + j) * nx + i, the files' 1-based cell (i + 1, j + 1, k + 1).
  * Parameter vectors hold the active cells in cell order: parameter number p (1-based, as
    ActiveCells.cell_idx shows it) is element p - 1 (cells.to_parameters, cells.to_model).
  * Matrices are scipy.sparse.csr_matrix, 0-based.
  * Store fields that show numbers to users keep them 1-based (cell_idx, idat_idx, sorted_pos,
    zone numbers); every docstring says which.
  * Data are numpy arrays in the survey store's grouped order (element i is datum i, 0-based);
    sorted_pos leads from a file's lines to it. DC data are in ohms (V/A for a unit current),
    resistivities in ohm-m, sensitivities d d_i / d ln rho in ohms.
  * File names are str or any os.PathLike (pathlib.Path).
  * Modes may be given by number or by name (set_alpha: 'mesh', 'given', 'lengths';
    weight_input: 'ones', 'file', 'files'; dip_input: 'none', 'file').

Messages
  Every reader writes its messages to an Io (console, error stream, run log). Without one the
  console and error lines go to the logging logger "quelby" (INFO records: nothing is printed
  unless logging is configured) and the run log is kept in memory (quelby.run_log()). A reader
  that meets bad input raises quelby.Stop with the message `lines`, the `status`, a `detail` line
  and its `cause`; a missing file is also a FileNotFoundError, bad content also a ValueError, a
  failed allocation also a MemoryError.
"""

import numpy as _np

from ._quelby import *  # noqa: F401,F403
from ._quelby import (ActiveCells, Io, Mesh, Stop, __version__, default_io,  # noqa: F401
                      run_log)
from .campaign import RunFailed, invert_many, invert_timelapse  # noqa: F401
from .export import export  # noqa: F401
from .history import read_iteration_history  # noqa: F401
from .plot import (core_extent, cumulative_sensitivity, plot_data_misfit,  # noqa: F401
                   plot_history, plot_model, plot_reciprocal_errors)
from .plot3d import plot_depth_maps, plot_misfit3d, plot_model3d  # noqa: F401
from .sensitivity_file import read_sensitivity  # noqa: F401
from .survey import (apparent_resistivity, geometric_factor, median_depth,  # noqa: F401
                     pseudosection)
from .timelapse_plot import (plot_changes, plot_step_misfits,  # noqa: F401
                             read_timelapse_summary)

_compiled_invert = invert  # noqa: F405


def invert(*args, report=False, **options):
    out = options.get("out")
    if report and out is None:
        raise ValueError("invert: report=True needs out, the folder the report is written into")
    try:
        result = _compiled_invert(*args, **options)
    except Stop:
        if report:
            _write_report_after_stop(out)
        raise
    if report:
        _compiled.report(out)
    return result


def _write_report_after_stop(out):
    """The report of a run that stopped says why; a report that cannot be made leaves the run's
    own error to be raised."""
    try:
        _compiled.report(out)
    except Stop:
        pass


invert.__doc__ = (_compiled_invert.__doc__ or "") + """

    report: True writes out/report.html at the end of the run (also after a run that stopped,
    whose error is then raised), the page quelby.report(out) writes; it needs out."""


def _to_parameters(self, model):
    """cells.to_parameters(model) -> array (npar,)

    The values of the active cells of `model` (shape (nz, nx) or nx * nz values in cell order) in
    parameter order, as the objective takes them: element p - 1 is the cell whose cell_idx is p.
    """
    values = _np.asarray(model, dtype=float)
    if values.shape not in ((self.nz, self.nx), (self.nx * self.nz,)):
        raise ValueError(f"model: expected shape ({self.nz}, {self.nx}), got {values.shape}")
    index = _np.asarray(self.cell_idx).ravel()
    parameters = _np.empty(self.npar)
    active = index > 0
    parameters[index[active] - 1] = values.ravel()[active]
    return parameters


def _to_model(self, m, fill=_np.nan):
    """cells.to_model(m, fill=nan) -> array (nz, nx)

    The parameter vector `m` (npar values) back on the mesh: the cell whose cell_idx is p takes
    m[p - 1]; every other cell (inactive, influence, air) takes `fill`, a number or an (nz, nx)
    array such as the starting model.
    """
    values = _np.asarray(m, dtype=float)
    if values.shape != (self.npar,):
        raise ValueError(f"m: expected {self.npar} values, got shape {values.shape}")
    index = _np.asarray(self.cell_idx).reshape(self.nz, self.nx)
    model = _np.empty((self.nz, self.nx))
    model[...] = fill
    active = index > 0
    model[active] = values[index[active] - 1]
    return model


ActiveCells.to_parameters = _to_parameters
ActiveCells.to_model = _to_model


def plot_section(mesh, array, ax=None, log=True, **kwargs):
    """Draws a model on its mesh and returns the axes; see quelby.plot.plot_section for the
    arguments (topography, cells, xlim, zlim, aspect, colours, labels)."""
    from .plot import plot_section as draw

    return draw(mesh, array, ax=ax, log=log, **kwargs)


def plot_pseudosection(data, values=None, ax=None, log=None, **kwargs):
    """Draws survey data as a pseudosection and returns the axes; see
    quelby.plot.plot_pseudosection."""
    from .plot import plot_pseudosection as draw

    return draw(data, values=values, ax=ax, log=log, **kwargs)


# help(quelby) and `from quelby import *` list the compiled module's classes and functions with the
# Python ones.
from . import _quelby as _compiled  # noqa: E402,F811

__all__ = sorted([name for name in vars(_compiled) if not name.startswith("_")] + [
    "RunFailed", "apparent_resistivity", "core_extent", "cumulative_sensitivity", "export",
    "geometric_factor", "invert_many", "invert_timelapse", "median_depth", "plot_changes",
    "plot_data_misfit", "plot_depth_maps", "plot_history", "plot_misfit3d", "plot_model",
    "plot_model3d", "plot_pseudosection",
    "plot_reciprocal_errors", "plot_section", "plot_step_misfits", "pseudosection",
    "read_iteration_history", "read_sensitivity", "read_timelapse_summary"])
