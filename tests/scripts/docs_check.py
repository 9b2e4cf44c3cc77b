#!/usr/bin/python3
"""Checks of the manual against the repository and the programs' outputs:
relative links and their #anchors resolve, README.md stays short, the
version in CITATION.cff is the project's, and docs/formats.md names every
key of the JSON documents given on the command line and every column of
bvscreen's table.

usage: docs_check.py SOURCE_DIR [JSON ...]
Prints one line per fault; exit status 1 when there is any.
"""
import json
import os
import re
import sys

# Pages that other parts of the toolkit add: a link to them may precede them.
ADDED_ELSEWHERE = {"docs/python.md"}
LINK = re.compile(r"\]\(([^)\s]+)\)")


def slug(heading):
    """The anchor a Markdown renderer gives a heading (GitHub's rule)."""
    text = heading.strip().lower().replace("`", "")
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def anchors(path):
    with open(path, encoding="utf-8") as f:
        text = re.sub(r"```.*?```", "", f.read(), flags=re.S)
    return {slug(m.group(1)) for m in re.finditer(r"^#+ (.*)$", text, re.M)}


def check_links(root, page, faults):
    with open(os.path.join(root, page), encoding="utf-8") as f:
        text = re.sub(r"```.*?```", "", f.read(), flags=re.S)
    for target in LINK.findall(text):
        if re.match(r"[a-z]+:", target):
            continue
        path, _, anchor = target.partition("#")
        where = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
        if where in ADDED_ELSEWHERE:
            continue
        full = os.path.join(root, where)
        if not os.path.exists(full):
            faults.append("%s: link to a missing file %s" % (page, target))
        elif anchor and full.endswith(".md") and anchor not in anchors(full):
            faults.append("%s: link to a missing heading %s" % (page, target))


def keys(value, out):
    """Every key of a JSON document, at any depth (the species of a
    composition are data, not keys of the format)."""
    if isinstance(value, dict):
        for k, v in value.items():
            out.add(k)
            if k != "composition":
                keys(v, out)
    elif isinstance(value, list):
        for v in value:
            keys(v, out)
    return out


def main(root, documents):
    faults = []
    pages = ["README.md", "bin/README.md"] + sorted(
        os.path.relpath(os.path.join(d, f), root)
        for d, _, files in os.walk(os.path.join(root, "docs")) for f in files
        if f.endswith(".md"))
    for page in pages:
        check_links(root, page, faults)
    with open(os.path.join(root, "README.md"), encoding="utf-8") as f:
        lines = len(f.read().splitlines())
    if lines >= 200:
        faults.append("README.md has %d lines; keep it under 200" % lines)
    with open(os.path.join(root, "CMakeLists.txt")) as f:
        version = re.search(r"project\(\S+ VERSION (\S+)", f.read()).group(1)
    with open(os.path.join(root, "CITATION.cff")) as f:
        cited = re.search(r'^version: "?([^"\n]+)"?$', f.read(), re.M)
    if not cited or cited.group(1) != version:
        faults.append("CITATION.cff version %s, project version %s"
                      % (cited.group(1) if cited else None, version))
    with open(os.path.join(root, "docs", "formats.md"), encoding="utf-8") as f:
        formats = f.read()
    sys.path.insert(0, os.path.join(root, "tools"))
    from bvscreen_lib import rows
    named = set(rows.COLUMNS) - {"%s_%s" % (e, s) for e in rows.ENERGIES
                                 for s in rows.STATISTICS}
    for document in documents:
        with open(document) as f:
            named |= keys(json.load(f), set())
    for key in sorted(named):
        if "`%s`" % key not in formats:
            faults.append("docs/formats.md does not describe `%s`" % key)
    for fault in faults:
        print("FAIL:", fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2:]))
