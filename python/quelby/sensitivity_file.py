"""The sensitivity file that quelby-forward --sensitivity writes, read into numpy.

Layout (all integers and values little-endian):
    bytes 0-7    b"QUELBYJ\\0"
    bytes 8-11   uint32, the format's version (1)
    bytes 12-15  uint32 ndat
    bytes 16-19  uint32 npar
    bytes 20-23  uint32 0 (keeps the values 8-byte aligned)
    then         ndat * npar float64, row by row: row i (0-based, the order of the data file the
                 command wrote) holds d d_i / d ln rho_p for the parameters p = 1..npar, in ohms.
"""

import numpy as np

MAGIC = b"QUELBYJ\0"
VERSION = 1
HEADER_BYTES = 24


def read_sensitivity(path, mmap=False):
    """read_sensitivity(path, mmap=False) -> numpy.ndarray of shape (ndat, npar)

    The sensitivities of a file written by quelby-forward --sensitivity: row i is the datum on
    the i-th data line of the command's output file (0-based), column p - 1 parameter p (1-based,
    the active cells in cell order), in ohms per unit of ln(resistivity). With mmap the array is a
    read-only view of the file (numpy.memmap) instead of a copy in memory. Raises ValueError for a
    file that is not such a file or is cut short.
    """
    with open(path, "rb") as file:
        header = file.read(HEADER_BYTES)
    if len(header) < HEADER_BYTES or header[:8] != MAGIC:
        raise ValueError(f"{path}: not a quelby sensitivity file")
    version, ndat, npar, _ = np.frombuffer(header, dtype="<u4", offset=8, count=4)
    if version != VERSION:
        raise ValueError(f"{path}: sensitivity file version {version}, this reader knows {VERSION}")
    import os

    expected = HEADER_BYTES + 8 * int(ndat) * int(npar)
    size = os.path.getsize(path)
    if size != expected:
        raise ValueError(f"{path}: {size} bytes, {expected} expected for {ndat} x {npar} values")
    shape = (int(ndat), int(npar))
    if mmap:
        return np.memmap(path, dtype="<f8", mode="r", offset=HEADER_BYTES, shape=shape)
    values = np.fromfile(path, dtype="<f8", offset=HEADER_BYTES, count=shape[0] * shape[1])
    return values.astype(np.float64, copy=False).reshape(shape)
