"""quelby: 2-D earth models on a rectangular tensor mesh.

Mesh, model, topography and survey data files, smoothing, active cells, cell weights, dipping
zones and the model objective function of a regularised inversion, from Python. Models are numpy
arrays of shape (nz, nx), x fastest as in the files; matrices are scipy.sparse.csr_matrix.

Every reader writes its messages to an Io (console, error stream, run log). Without one, the
console is sys.stdout, the error stream sys.stderr and the run log is kept in memory
(quelby.run_log()). A reader that meets bad input writes its message and raises quelby.Stop,
whose `lines` are the message as written and whose `status` is the command's exit status.
"""

from ._quelby import *  # noqa: F401,F403
from ._quelby import Stop, Io, Mesh, default_io, run_log  # noqa: F401


def plot_section(mesh, array, ax=None, log=True, **kwargs):
    """Draws the model on its mesh; see quelby.plot.plot_section."""
    from .plot import plot_section as draw

    return draw(mesh, array, ax=ax, log=log, **kwargs)
