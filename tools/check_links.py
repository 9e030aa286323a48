"""Checks the links of a built HTML site: every relative href or src names a file of the
site, and every #fragment an id (or anchor name) on its page.

    python3 tools/check_links.py docs/_build/html

Prints one line per broken link and exits 1 when there is any; links with a scheme
(https:, mailto:, data:) are left alone, since the site is checked offline.
"""

from __future__ import annotations

import os
import sys
from html.parser import HTMLParser
from urllib.parse import unquote, urlsplit


class _Page(HTMLParser):
    """The ids and the relative links of one page."""

    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.ids: set[str] = set()
        self.links: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        for name, value in attrs:
            if value is None:
                continue
            if name == "id" or (tag == "a" and name == "name"):
                self.ids.add(value)
            elif name in ("href", "src") and not urlsplit(value).scheme and not value.startswith("//"):
                self.links.append(value)


def _read(path: str) -> _Page:
    page = _Page()
    with open(path, encoding="utf-8", errors="replace") as source:
        page.feed(source.read())
    page.close()
    return page


def broken_links(root: str) -> list[str]:
    """``page: link`` for every link of the HTML pages under ``root`` that leads nowhere."""
    pages: dict[str, _Page] = {}

    def page(path: str) -> _Page:
        if path not in pages:
            pages[path] = _read(path)
        return pages[path]

    broken = []
    for folder, _, files in os.walk(root):
        for name in sorted(files):
            if not name.endswith(".html"):
                continue
            source = os.path.join(folder, name)
            for link in page(source).links:
                parts = urlsplit(link)
                target = os.path.normpath(os.path.join(folder, unquote(parts.path))) if parts.path else source
                if os.path.isdir(target):
                    target = os.path.join(target, "index.html")
                fragment = unquote(parts.fragment)
                if not os.path.isfile(target):
                    broken.append(f"{os.path.relpath(source, root)}: {link} (no such file)")
                elif fragment and target.endswith(".html") and fragment not in page(target).ids:
                    broken.append(f"{os.path.relpath(source, root)}: {link} (no such anchor)")
    return broken


def main(argv: list[str]) -> int:
    if len(argv) != 1 or not os.path.isdir(argv[0]):
        print("usage: check_links.py SITE_DIRECTORY", file=sys.stderr)
        return 2
    broken = broken_links(argv[0])
    for line in broken:
        print(line, file=sys.stderr)
    if broken:
        print(f"{len(broken)} broken links", file=sys.stderr)
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
