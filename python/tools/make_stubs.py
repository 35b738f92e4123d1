"""Writes the type stubs of the compiled module, python/quelby/_quelby.pyi, from the signatures that
pybind11 puts first in every docstring. Run after changing a binding:

    PYTHONPATH=build/release/python python3 python/tools/make_stubs.py

python/tests/test_stubs.py checks that the committed stubs are what this writes.
"""

import inspect
import pathlib
import re
import sys

HEADER = '''"""Type stubs of quelby._quelby (written by python/tools/make_stubs.py)."""

import os
from typing import Any, Iterable, Optional, Sequence, Union

import numpy
'''

# The Python methods that quelby/__init__.py gives a class.
EXTRA_METHODS = {
    "ActiveCells": [
        "def to_parameters(self, model: numpy.ndarray) -> numpy.ndarray: ...",
        "def to_model(self, m: numpy.ndarray, fill: Any = ...) -> numpy.ndarray: ...",
    ],
}

STOP_ATTRIBUTES = ["lines: list[str]", "text: str", "status: int", "detail: str", "cause: str"]


def translate(annotation):
    """A pybind11 type description as a stub's annotation."""
    text = annotation.strip().replace("quelby._quelby.", "")
    text = re.sub(r"numpy\.ndarray\[[^\]]*\]", "numpy.ndarray", text)
    text = re.sub(r"List\[(str \| os\.PathLike|float|int)\[\d+\]\]", r"Sequence[\1]", text)
    text = re.sub(r"\b(float|int)\[\d+\]", r"\1", text)
    text = re.sub(r"\bList\[", "Sequence[", text)
    text = re.sub(r"\b(handle|object)\b", "Any", text)
    text = text.replace("os.PathLike", "os.PathLike[str]")
    return text


def split_top_level(text):
    parts, depth, current = [], 0, ""
    for character in text:
        if character in "([{":
            depth += 1
        elif character in ")]}":
            depth -= 1
        if character == "," and depth == 0:
            parts.append(current)
            current = ""
        else:
            current += character
    if current.strip():
        parts.append(current)
    return parts


def signature_line(name, doc, indent=""):
    """The stub line of a function or method from the first line of its pybind11 docstring."""
    first = (doc or "").strip().splitlines()[0] if doc else ""
    match = re.match(r"^\w+\((.*)\)(?: -> (.+))?$", first)
    if not match:
        return f"{indent}def {name}(*args: Any, **kwargs: Any) -> Any: ..."
    arguments = []
    for part in split_top_level(match.group(1)):
        part = part.strip()
        default = ""
        if "=" in part and not part.startswith("*"):
            part, _ = part.split("=", 1)
            default = " = ..."
        if part.startswith("io:"):
            arguments.append(f"io: Optional[Io]{default}")
        elif ":" in part:
            argument, annotation = part.split(":", 1)
            arguments.append(f"{argument.strip()}: {translate(annotation)}{default}"
                             if argument.strip() != "self" else "self")
        else:
            arguments.append(part + default)
    returned = translate(match.group(2) or "None")
    return f"{indent}def {name}({', '.join(arguments)}) -> {returned}: ..."


def class_lines(name, cls):
    lines = [f"class {name}:"]
    for member, value in sorted(vars(cls).items()):
        if isinstance(value, property):
            first = (value.fget.__doc__ or "").strip().splitlines()
            match = re.match(r"^\(\w+: [^)]*\) -> (.+)$", first[0]) if first else None
            kind = translate(match.group(1)) if match else "Any"
            if name == "SurveyData" and kind == "Any":
                kind = "Optional[numpy.ndarray]"  # an array, or None when the reading made none
            lines.append(f"    {member}: {kind}")
        elif inspect.isfunction(value):
            continue  # added in Python: listed from EXTRA_METHODS
        elif member == "__init__" and not (value.__doc__ or "").startswith("__init__("):
            continue  # no constructor bound
        elif member == "__init__" or (callable(value) and not member.startswith("_")):
            lines.append(signature_line(member, value.__doc__, "    "))
    lines += ["    " + line for line in EXTRA_METHODS.get(name, [])]
    return lines


def stubs(module):
    lines = [HEADER]
    exceptions = {name: value for name, value in vars(module).items()
                  if inspect.isclass(value) and issubclass(value, BaseException)}
    for name, value in sorted(exceptions.items(), key=lambda item: len(item[1].__mro__)):
        bases = ", ".join(base.__name__ for base in value.__bases__)
        lines.append(f"class {name}({bases}):")
        lines += [f"    {attribute}" for attribute in STOP_ATTRIBUTES] if name == "Stop" else \
            ["    ..."]
        lines.append("")
    for name, value in sorted(vars(module).items()):
        if name.startswith("_") or name in exceptions:
            continue
        if inspect.isclass(value):
            lines += class_lines(name, value) + [""]
        elif callable(value):
            lines.append(signature_line(name, value.__doc__))
    lines += ["", "__version__: str", ""]
    return "\n".join(lines)


def main():
    import quelby._quelby as module

    target = pathlib.Path(__file__).resolve().parents[1] / "quelby" / "_quelby.pyi"
    target.write_text(stubs(module))
    print(f"wrote {target}")


if __name__ == "__main__":
    sys.exit(main())
