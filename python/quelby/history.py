"""The iteration history file read back: the data misfit, model norm and beta of every iteration,
the target misfit and the number of data, as write_iteration_history writes them."""

import os
import re

import numpy as np

# An exponent written without its letter (three digits: 1.00000+105) gets it back.
_BARE_EXPONENT = re.compile(r"^([+-]?\d*\.?\d+)([+-]\d+)$")


def _number(text):
    if set(text) == {"*"}:
        return np.nan  # too wide for its field
    bare = _BARE_EXPONENT.match(text)
    return float(f"{bare.group(1)}E{bare.group(2)}" if bare else text)


def read_iteration_history(path):
    """read_iteration_history(path) -> dict

    Reads an iteration history file (str or os.PathLike) into {"iterations": 0..niter,
    "misfit": phi_d, "norm": phi_m, "beta": beta (numpy arrays, element i for iteration i),
    "target_misfit": float, "ndat": int}. The file holds 6 significant digits. A file that is not
    an iteration history raises ValueError naming the line.
    """
    name = os.fspath(path)
    with open(name, encoding="ascii", errors="replace") as file:
        lines = [line.rstrip("\n") for line in file]

    def refuse(number, what):
        raise ValueError(f"{name}:{number}: {what}")

    if not lines or not re.match(r"^\s*-?\d+\s+iter\b", lines[0]):
        refuse(1, "expected the header 'niter  iter    data misfit ...'")
    niter = int(lines[0].split()[0])
    rows = max(niter + 1, 0)
    if len(lines) < rows + 3:
        refuse(len(lines) + 1,
               f"the file ends before its {rows} iteration rows, the target misfit and ndat")
    values = np.empty((rows, 3))
    for i in range(rows):
        fields = lines[1 + i].split()
        try:
            if len(fields) != 4 or int(fields[0]) != i:
                raise ValueError
            values[i] = [_number(field) for field in fields[1:]]
        except ValueError:
            refuse(2 + i, f"expected iteration {i} and three values")
    target, count = lines[1 + rows], lines[2 + rows]
    try:
        if not (target.endswith(" target misfit") and count.endswith(" number of data")):
            raise ValueError
        target_misfit = _number(target[:-len(" target misfit")].strip())
        ndat = int(count[:-len(" number of data")])
    except ValueError:
        refuse(2 + rows, "expected the target misfit and the number of data lines")
    return {"iterations": np.arange(rows), "misfit": values[:, 0], "norm": values[:, 1],
            "beta": values[:, 2], "target_misfit": target_misfit, "ndat": ndat}
