#!/usr/bin/env python3
"""Fails when a relative link of README.md or docs/*.md leads nowhere.

Usage: check_links.py SOURCE_DIR

Every Markdown link `[text](target)` that is not a URL must name a file or
directory that exists, relative to the page it is on; a `#fragment` on a
Markdown page (the page itself when the target is only a fragment) must be
the anchor of one of its headings, as the rendered page makes them."""
import pathlib
import re
import sys

LINK = re.compile(r"\[(?:[^\]\[]|\n)*\]\(([^()\s]+)\)")
HEADING = re.compile(r"^#{1,6} +(.+?) *#*$", re.MULTILINE)
FENCE = re.compile(r"^```.*?^```", re.MULTILINE | re.DOTALL)
INDENTED = re.compile(r"^(?: {4}|\t).*$", re.MULTILINE)


def prose(text):
    """The text without fenced or indented code, where brackets are not links."""
    return INDENTED.sub("", FENCE.sub("", text))


def anchors(page):
    """The anchors a Markdown renderer gives the page's headings: lower case,
    punctuation but '-' and '_' dropped, spaces made '-', repeats numbered."""
    seen = {}
    result = set()
    for heading in HEADING.findall(prose(page.read_text())):
        slug = re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        result.add(slug if count == 0 else f"{slug}-{count}")
    return result


def broken_links(root):
    pages = [root / "README.md"] + sorted((root / "docs").glob("*.md"))
    checked = 0
    for page in pages:
        for target in LINK.findall(prose(page.read_text())):
            if re.match(r"[a-z][a-z0-9+.-]*:", target):
                continue
            checked += 1
            path, _, fragment = target.partition("#")
            destination = (page.parent / path).resolve() if path else page
            where = f"{page.relative_to(root)}: link to {target}"
            if not destination.exists():
                yield f"{where}: {path} does not exist"
            elif fragment and destination.suffix == ".md" and fragment not in anchors(destination):
                yield f"{where}: {destination.relative_to(root)} has no heading #{fragment}"
    if checked < 10:
        yield f"only {checked} relative links found in {len(pages)} pages; is the link pattern right?"


def main():
    root = pathlib.Path(sys.argv[1]).resolve()
    faults = list(broken_links(root))
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
