#!/usr/bin/env python3
"""Checks that every link of a Markdown file resolves inside a folder: each relative link names a file or
folder there, each #anchor a heading of the file it points into; absolute paths are refused.

Usage: check_links.py MARKDOWN_FILE ROOT_FOLDER
"""

import pathlib
import re
import sys


def anchors(markdown: str) -> set[str]:
    found = set()
    for heading in re.findall(r"^#+\s+(.*?)\s*$", markdown, flags=re.MULTILINE):
        slug = re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")
        found.add(slug)
    return found


def main() -> None:
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    page = pathlib.Path(sys.argv[1]).resolve()
    root = pathlib.Path(sys.argv[2]).resolve()
    text = page.read_text()
    # Links outside code spans and blocks.
    prose = re.sub(r"```.*?```", "", text, flags=re.DOTALL)
    prose = re.sub(r"`[^`\n]*`", "``", prose)
    dead = []
    links = re.findall(r"\]\(([^)\s]*)\)", prose)
    for link in links:
        if re.match(r"^[a-z][a-z0-9+.-]*:", link):
            dead.append(f"{link}: points outside the folder")
            continue
        target, _, anchor = link.partition("#")
        if target.startswith("/"):
            dead.append(f"{link}: an absolute path")
            continue
        path = (page.parent / target).resolve() if target else page
        if root != path and root not in path.parents:
            dead.append(f"{link}: points outside {root.name}")
        elif not path.exists():
            dead.append(f"{link}: no such file")
        elif anchor and (path.suffix != ".md" or anchor not in anchors(path.read_text())):
            dead.append(f"{link}: no heading #{anchor}")
    if dead:
        sys.exit(f"{page.name}: dead links:\n  " + "\n  ".join(dead))
    print(f"{page.name}: {len(links)} links, all inside {root.name}")


if __name__ == "__main__":
    main()
