"""The documentation site's link check (doc/tools/check_links.py) on a small site with known good
and broken links: it must name every broken one and nothing else."""

import importlib.util


def load_checker(root):
    spec = importlib.util.spec_from_file_location("check_links", root / "doc" / "tools" /
                                                  "check_links.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)


def test_link_check_names_every_broken_link_and_no_good_one(root, tmp_path):
    checker = load_checker(root)
    site = tmp_path / "site"
    write(site / "guide" / "index.html", '<h1 id="top">Guide</h1><p><a name="old">x</a></p>')
    write(site / "cpp" / "files.html", '<div id="details"></div>')
    write(site / "_images" / "section.png", "png")
    good = ['guide/index.html', 'guide/', 'guide/index.html#top', 'guide/index.html#old',
            '#here', '', 'cpp/files.html#details', '_images/section.png',
            'guide/index.html?highlight=x#top', 'https://example.org/missing',
            'mailto:someone@example.org', '//cdn.example.org/x.js', 'guide/%69ndex.html']
    bad = {'guide/missing.html': "no such file",
           'guide/index.html#nowhere': "no id 'nowhere'",
           '#elsewhere': "no id 'elsewhere'",
           '_images/missing.png': "no such file",
           '../outside.html': "outside the site",
           'cpp/': "no such file"}
    links = "".join(f'<a href="{link}">x</a>' for link in good + list(bad))
    write(site / "index.html", f'<p id="here">{links}<img src="_images/section.png"/>'
                               f'<img srcset="_images/missing.png 2x"/></p>')
    broken, external = checker.check(site)
    found = {link: reason for page, link, reason in broken}
    assert set(found) == set(bad) | {"_images/missing.png"}
    for link, reason in bad.items():
        assert found[link].startswith(reason), (link, found[link])
    assert {link for page, link in external} == {'https://example.org/missing',
                                                 'mailto:someone@example.org',
                                                 '//cdn.example.org/x.js'}
    assert checker.main(["check_links.py", str(site)]) == 1

    # The same site mended passes; an empty folder is no site.
    mended = "".join(f'<a href="{link}">x</a>' for link in good)
    write(site / "index.html", f'<p id="here">{mended}</p>')
    assert checker.check(site)[0] == []
    assert checker.main(["check_links.py", str(site)]) == 0
    (tmp_path / "empty").mkdir()
    assert checker.main(["check_links.py", str(tmp_path / "empty")]) == 1
