#!/usr/bin/env python3
"""Checks every relative link of README.md and docs/*.md: the file it names must exist and, after a
'#', have a heading of that anchor (GitHub's rule: lower case, punctuation dropped, blanks to '-').
Prints each broken link and exits 1 when there is one."""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")


def prose(path):
    """The lines of a markdown file outside fenced code."""
    fenced = False
    for line in path.read_text(encoding="utf-8").splitlines():
        if line.startswith("```"):
            fenced = not fenced
        elif not fenced:
            yield line


def anchors(path):
    return {re.sub(r"[^\w\- ]", "", line.lstrip("#").strip().lower()).replace(" ", "-")
            for line in prose(path) if line.startswith("#")}


broken = []
for page in [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]:
    for line in prose(page):
        for target in LINK.findall(re.sub(r"`[^`]*`", "", line)):
            if re.match(r"[a-z]+:", target):
                continue
            name, _, anchor = target.partition("#")
            file = (page.parent / name).resolve() if name else page
            if not file.exists() or (anchor and anchor not in anchors(file)):
                broken.append(f"{page.relative_to(ROOT)}: {target}")
print("\n".join(broken) if broken else "every relative link resolves")
sys.exit(1 if broken else 0)
