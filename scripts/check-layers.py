#!/usr/bin/env python3
"""Holds every include of the code to the layer map in docs/architecture.md.

The map is the fenced block marked `layers`, one line per layer:

    name: folder folder ... -> layer layer ...   (or "-" for none)

A source file belongs to the layer whose folder is the longest prefix of its
path. A file may include its own layer and the layers its line names; an
include of a project file that belongs to no layer, or to a layer not named,
is reported with the file and line. Files outside every layer (tests, fuzz
targets, benchmarks) are not checked. Exit 0 when every include is allowed,
1 when one is not, 2 when the map cannot be read.

Usage: scripts/check-layers.py [SOURCE_ROOT]
"""

import re
import sys
from pathlib import Path

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def read_map(doc):
    text = doc.read_text(encoding="utf-8")
    block = re.search(r"^```layers\n(.*?)^```", text, re.S | re.M)
    if not block:
        raise ValueError(f"{doc}: no ```layers block")
    layers = {}
    for n, line in enumerate(block.group(1).splitlines(), 1):
        if not line.strip():
            continue
        m = re.fullmatch(r"\s*([\w-]+):\s*(.*?)\s*->\s*(.*?)\s*", line)
        if not m:
            raise ValueError(f"{doc}: layers line {n} is not 'name: folders -> layers'")
        name, folders, uses = m.group(1), m.group(2).split(), m.group(3).split()
        if not folders:
            raise ValueError(f"{doc}: layer {name} has no folder")
        layers[name] = (folders, [] if uses == ["-"] else uses)
    for name, (_, uses) in layers.items():
        for used in uses:
            if used not in layers:
                raise ValueError(f"{doc}: layer {name} uses {used}, which is not in the map")
    return layers


def layer_of(path, folders):
    best = None
    for folder, name in folders:
        if path == folder or path.startswith(folder + "/"):
            if best is None or len(folder) > len(best[0]):
                best = (folder, name)
    return best[1] if best else None


def main():
    root = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent)
    try:
        layers = read_map(root / "docs" / "architecture.md")
    except (OSError, ValueError) as e:
        print(f"check-layers: {e}", file=sys.stderr)
        return 2
    folders = [(f.rstrip("/"), name) for name, (fs, _) in layers.items() for f in fs]
    tops = {f.split("/")[0] for f, _ in folders}

    files = {str(p.relative_to(root)) for f, _ in folders
             for p in (root / f).rglob("*") if p.suffix in (".cpp", ".h") and p.is_file()}

    faults = 0
    checked = 0
    for path in sorted(files):
        own = layer_of(path, folders)
        if own is None:
            continue
        checked += 1
        allowed = {own, *layers[own][1]}
        text = (root / path).read_text(encoding="utf-8", errors="replace")
        for n, line in enumerate(text.splitlines(), 1):
            m = INCLUDE.match(line)
            if not m or m.group(1).split("/")[0] not in tops:
                continue  # a file beside this one, or a generated one
            target = layer_of(m.group(1), folders)
            if target not in allowed:
                where = f"layer {target}" if target else "no layer"
                print(f"{path}:{n}: layer {own} includes {m.group(1)} ({where}); "
                      f"{own} may use: {' '.join(sorted(allowed - {own})) or 'nothing'}",
                      file=sys.stderr)
                faults += 1
    if faults:
        print(f"check-layers: {faults} include(s) against the map in docs/architecture.md",
              file=sys.stderr)
        return 1
    print(f"check-layers: {checked} files hold to the map of {len(layers)} layers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
