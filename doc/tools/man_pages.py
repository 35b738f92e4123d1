"""Renders the commands' manual pages (doc/*.1.in) into pages of the documentation site.

Usage: man_pages.py DOC_DIR OUT_DIR

Every doc/NAME.1.in gets the values CMake's configure_file(... @ONLY) puts in (the project's
version from CMakeLists.txt), goes through `mandoc -T html -O fragment`, and becomes
OUT_DIR/NAME.html (the fragment) and OUT_DIR/NAME.md (a page that includes it). A reference to
another command's page, `quelby-invert(1)`, becomes a link to it. mandoc's warnings fail the
run, except that it cannot parse a month-and-year date (it shows the date as written, which is
what we want).
"""

import pathlib
import re
import subprocess
import sys


def cmake_values(root):
    """The variables the pages may use, as CMake's project() sets them."""
    text = (root / "CMakeLists.txt").read_text()
    match = re.search(r"project\((\w+) VERSION (\d+)\.(\d+)\.(\d+)", text)
    if not match:
        raise SystemExit("man_pages.py: no project(NAME VERSION X.Y.Z) in CMakeLists.txt")
    name, major, minor, patch = match.groups()
    version = f"{major}.{minor}.{patch}"
    return {"PROJECT_NAME": name, "PROJECT_VERSION": version, "PROJECT_VERSION_MAJOR": major,
            "PROJECT_VERSION_MINOR": minor, "PROJECT_VERSION_PATCH": patch,
            "CMAKE_PROJECT_VERSION": version}


def configure(text, values, source):
    """@NAME@ replaced as configure_file(@ONLY) does; a name CMake would leave empty is refused."""
    def replace(match):
        if match.group(1) not in values:
            raise SystemExit(f"man_pages.py: {source}: @{match.group(1)}@ has no value here")
        return values[match.group(1)]

    return re.sub(r"@([A-Za-z_][A-Za-z0-9_]*)@", replace, text)


def render(text, source):
    run = subprocess.run(["mandoc", "-T", "html", "-O", "fragment", "-W", "warning"],
                         input=text, capture_output=True, text=True)
    warnings = [line for line in run.stderr.splitlines()
                if line.strip() and "cannot parse date" not in line
                and "see above the output" not in line]
    if run.returncode > 2 or warnings or not run.stdout.strip():
        sys.stderr.write("\n".join(warnings) + "\n")
        raise SystemExit(f"man_pages.py: mandoc failed on {source} (status {run.returncode})")
    return run.stdout


def link_pages(html, names):
    """<b>quelby-invert</b>(1) -> a link to that page, for the pages that exist."""
    def replace(match):
        name = match.group(1)
        if name not in names:
            return match.group(0)
        return f'<a href="{name}.html"><b>{name}</b>(1)</a>'

    return re.sub(r"<b>([A-Za-z0-9_.-]+)</b>\s*\(1\)", replace, html)


def main(argv):
    if len(argv) != 3:
        raise SystemExit(__doc__)
    doc, out = pathlib.Path(argv[1]).resolve(), pathlib.Path(argv[2])
    values = cmake_values(doc.parent)
    sources = sorted(doc.glob("*.1.in"))
    if not sources:
        raise SystemExit(f"man_pages.py: no *.1.in in {doc}")
    names = {source.name[: -len(".1.in")] for source in sources}
    out.mkdir(parents=True, exist_ok=True)
    for stale in list(out.glob("*.html")) + [p for p in out.glob("*.md") if p.name != "index.md"]:
        stale.unlink()
    for source in sources:
        name = source.name[: -len(".1.in")]
        html = render(configure(source.read_text(), values, source), source)
        # The page has its own title: mandoc's sections become its second level.
        html = re.sub(r"<(/?)h1\b", r"<\1h2", html)
        html = link_pages(html, names - {name})
        (out / f"{name}.html").write_text(html)
        (out / f"{name}.md").write_text(
            f"# {name}(1)\n\n```{{raw}} html\n:file: {name}.html\n```\n")
    print(f"man_pages.py: {len(sources)} pages: {', '.join(sorted(names))}")


if __name__ == "__main__":
    main(sys.argv)
