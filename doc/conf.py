"""The documentation site: Markdown pages (MyST), the Python API from the built module's docstrings,
the commands' manual pages and the C++ API (both made by scripts/docs.sh before Sphinx runs), and a
gallery of examples that the build runs.

scripts/docs.sh is the way to build it; the settings below read what it made from QUELBY_DOCS_BUILD
(default build/docs) and the module from PYTHONPATH (build/release/python).
"""

import os
import pathlib
import re

here = pathlib.Path(__file__).resolve().parent
root = here.parent
docs_build = pathlib.Path(os.environ.get("QUELBY_DOCS_BUILD", root / "build" / "docs"))

import quelby  # noqa: E402  (the built module: its docstrings are the Python API's pages)
from sphinx_gallery.sorting import FileNameSortKey  # noqa: E402

project = "quelby"
author = "the quelby developers"
copyright = "2026, " + author
version = release = re.search(r"project\(quelby VERSION ([0-9.]+)",
                              (root / "CMakeLists.txt").read_text()).group(1)
if quelby.__version__ != release:
    raise RuntimeError(f"the module is quelby {quelby.__version__}, the tree {release}: rebuild it")

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx_gallery.gen_gallery",
]

source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
# _generated holds the pieces scripts/docs.sh makes for pages to include, not pages of their own.
exclude_patterns = ["_build", "_generated", "tools", "gallery/sg_execution_times.rst"]
root_doc = "index"

# GitHub-style anchors on headings down to the fourth level, so that links such as
# formats.md#inversion-control-file work on GitHub and in the site alike.
myst_heading_anchors = 4
myst_enable_extensions = ["colon_fence", "deflist"]


# Python API: the compiled module's functions carry their signature as the docstring's first line.
autodoc_docstring_signature = True
autodoc_default_options = {"members": True, "undoc-members": True, "member-order": "alphabetical"}
autodoc_typehints = "signature"

# Cross-references must resolve (nitpicky), with three kinds of exception: the types of other
# projects (numpy, scipy, matplotlib, Dask), which have no pages here; pybind11's `handle`, its
# spelling of "any Python object" in the compiled functions' signatures; and the plain words some
# docstrings' signatures return ("axes", "list of dicts").
nitpicky = True
nitpick_ignore_regex = [
    (r"py:.*", r"(numpy|scipy|matplotlib|distributed|dask|pathlib|os|typing)\b.*"),
    (r"py:class", r"handle|axes|list of dicts"),
]


html_theme = "furo"
html_title = f"quelby {release}"
html_static_path = ["_static"]
html_css_files = ["manual.css"]
# What scripts/docs.sh made outside the sources: the C++ API (Doxygen, under cpp/) and the example
# reports (under reports/), copied into the site as they are.
html_extra_path = [str(path) for path in [docs_build / "extra"] if path.is_dir()]

sphinx_gallery_conf = {
    "examples_dirs": str(root / "examples" / "gallery"),
    "gallery_dirs": "gallery",
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "abort_on_example_error": True,
    "only_warn_on_example_error": False,
    "plot_gallery": "True",
    "min_reported_time": 1,
    "within_subsection_order": FileNameSortKey,
}


def plain_text_docstring(app, what, name, obj, options, lines):
    """The docstrings are plain text, laid out for help(): shown as they are written (a literal
    block), not read as reStructuredText, whose markup (`*` of products and **kwargs, `|`, the
    indentation of continued lines) they do not follow."""
    while lines and not lines[-1].strip():
        lines.pop()
    if any(line.strip() for line in lines):
        lines[:] = [".. code-block:: text", "   :class: docstring", ""] + \
            ["   " + line if line.strip() else "" for line in lines] + [""]


def setup(app):
    app.connect("autodoc-process-docstring", plain_text_docstring)
