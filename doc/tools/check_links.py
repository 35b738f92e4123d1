"""Checks the internal links of a built site: every relative href and src of every HTML page must
name a file of the site, and its #fragment an id (or a name) in that file.

Usage: check_links.py SITE_DIR [--list-external]

Covers every *.html under SITE_DIR, the Sphinx pages, the Doxygen and manual pages and the
reports alike. A link to a folder is taken as its index.html. External links (a scheme such as
http:, mailto:, data:, or //host) are counted, and listed with --list-external, but never fetched.
Exits 1 after listing every broken link as PAGE: TARGET (what is wrong), 0 when there is none.
"""

import html.parser
import pathlib
import sys
import urllib.parse


class Page(html.parser.HTMLParser):
    """The links and the ids of one HTML file."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.links = []
        self.ids = set()

    def handle_starttag(self, tag, attrs):
        attributes = dict(attrs)
        for name in ("id",):
            if attributes.get(name):
                self.ids.add(attributes[name])
        if tag == "a" and attributes.get("name"):
            self.ids.add(attributes["name"])
        for name in ("href", "src"):
            value = attributes.get(name)
            if value is not None and not (tag == "link" and attributes.get("rel") in
                                          ("preconnect", "dns-prefetch")):
                self.links.append(value.strip())
        if tag in ("img", "source") and attributes.get("srcset"):
            for item in attributes["srcset"].split(","):
                if item.strip():
                    self.links.append(item.split()[0])


def is_external(link):
    parsed = urllib.parse.urlsplit(link)
    return bool(parsed.scheme) or link.startswith("//")


def read_page(path, pages):
    if path not in pages:
        parser = Page()
        parser.feed(path.read_text(encoding="utf-8", errors="replace"))
        pages[path] = parser
    return pages[path]


def check(site):
    """(broken, external): lists of (page, link, reason) and of (page, link)."""
    site = pathlib.Path(site).resolve()
    pages = {}
    broken, external = [], []
    files = sorted(site.rglob("*.html"))
    if not files:
        return [(site, "", "no HTML pages here")], []
    for page in files:
        for link in read_page(page, pages).links:
            if not link or link.startswith("javascript:"):
                continue
            if is_external(link):
                external.append((page, link))
                continue
            parsed = urllib.parse.urlsplit(link)
            if parsed.path:
                target = (page.parent / urllib.parse.unquote(parsed.path)).resolve()
            else:
                target = page
            if site != target and site not in target.parents:
                broken.append((page, link, "outside the site"))
                continue
            if target.is_dir():
                target = target / "index.html"
            if not target.is_file():
                broken.append((page, link, "no such file"))
                continue
            fragment = urllib.parse.unquote(parsed.fragment)
            if fragment and target.suffix == ".html" and \
                    fragment not in read_page(target, pages).ids:
                broken.append((page, link, f"no id {fragment!r} in {target.relative_to(site)}"))
    return broken, external


def main(argv):
    arguments = [argument for argument in argv[1:] if not argument.startswith("--")]
    if len(arguments) != 1:
        sys.stderr.write(__doc__)
        return 2
    site = pathlib.Path(arguments[0]).resolve()
    broken, external = check(site)
    pages = len(list(site.rglob("*.html")))
    if "--list-external" in argv:
        for page, link in sorted(set(external)):
            print(f"external (not fetched): {page.relative_to(site)}: {link}")
    print(f"check_links.py: {pages} pages, {len(set(external))} external links (not fetched), "
          f"{len(broken)} broken internal links")
    for page, link, reason in broken:
        where = page.relative_to(site) if site in page.parents or page == site else page
        print(f"broken: {where}: {link} ({reason})")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
