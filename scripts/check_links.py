"""Checks every internal link of the built documentation site: the page or file it names exists,
and so does the anchor after '#'. Links to other sites are left alone (the build fetches nothing).

    python scripts/check_links.py build/docs
"""

from __future__ import annotations

import sys
from html.parser import HTMLParser
from pathlib import Path
from urllib.parse import unquote, urlsplit


class _Page(HTMLParser):
    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.links: list[str] = []
        self.anchors: set[str] = set()

    def handle_starttag(self, tag: str, attrs: list) -> None:
        values = dict(attrs)
        for name in ("id", "name") if tag == "a" else ("id",):
            if values.get(name):
                self.anchors.add(values[name])
        for name in ("href", "src"):
            if values.get(name) and not (tag == "link" and values.get("rel") in ("preconnect", "dns-prefetch")):
                self.links.append(values[name])


def _read(path: Path) -> _Page:
    page = _Page()
    page.feed(path.read_text(encoding="utf-8"))
    return page


def broken_links(site: Path) -> list[str]:
    """One line per broken link: the page, the link and what is missing."""
    pages = {path.resolve(): _read(path) for path in site.rglob("*.html")}
    broken = []
    for path, page in sorted(pages.items()):
        for link in page.links:
            parts = urlsplit(link)
            if parts.scheme or parts.netloc or link.startswith(("mailto:", "javascript:", "data:")):
                continue
            target = (path.parent / unquote(parts.path)).resolve() if parts.path else path
            where = f"{path.relative_to(site.resolve())}: {link}"
            if target.is_dir():
                target = target / "index.html"
            if not target.exists():
                broken.append(f"{where}: no such file")
            elif parts.fragment and target in pages and unquote(parts.fragment) not in pages[target].anchors:
                broken.append(f"{where}: no anchor '{parts.fragment}'")
    return broken


def main(argv: list[str]) -> int:
    site = Path(argv[1] if len(argv) > 1 else "build/docs")
    broken = broken_links(site)
    for line in broken:
        print(f"broken link: {line}", file=sys.stderr)
    print(f"check_links: {sum(1 for _ in site.rglob('*.html'))} pages, {len(broken)} broken links")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
