#!/usr/bin/env python3
"""Holds the code to the layer map in docs/architecture.md.

The map is the fenced block marked `layers`, one line per layer:

    name: folder folder ... -> layer layer ...   (or "-" for none)
    name (platform ...): folder ... -> layer ...  (a layer only those platforms build)

A file belongs to the layer whose folder is the longest prefix of its path; a
file the build generates belongs to the layer of the folder it is generated
in, under the build folder. A layer may use itself and the layers its line
names. Files outside every layer (tests, fuzz targets, benchmarks) are not
held to the map.

Two checks, each reporting every use the map does not allow:

- Includes. Every #include of a layer's file is resolved the way the compiler
  resolves it: a quoted name beside the including file first, then in each
  include root, a name in angle brackets only in the include roots. The roots
  are the source folder and, with --build, every folder under it that the
  build's compile commands name with -I, -iquote or -isystem. A name that
  resolves to a project file of a layer not allowed, or of no layer, is
  reported with the file and line; a name that resolves to no file of the
  source folder is the system's or the build's, and is left alone.
- Symbols (with --build, after the build). The build's compile commands
  (compile_commands.json) say which source each object was compiled from, so
  which layer it belongs to. Every symbol an object of a layer leaves
  undefined that objects of other layers define must be defined by one the
  layer may use. This catches what no include shows: a declaration written
  by hand and a call. Symbols only the system's libraries define are left
  alone.

Exit 0 when every use is allowed (and touch --stamp), 1 when one is not, 2
when the map, the compile commands or the objects cannot be read.

Usage: scripts/check-layers.py [SOURCE_ROOT] [--build BUILD_DIR] [--nm NM] [--stamp FILE]
"""

import argparse
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')
SOURCES = {".c", ".cc", ".cpp", ".cxx", ".h", ".hh", ".hpp", ".hxx", ".inl", ".ipp"}
LINE = re.compile(r"\s*([\w-]+)(?:\s*\(([^)]*)\))?:\s*(.*?)\s*->\s*(.*?)\s*")


class Layer:
    def __init__(self, name, platforms, folders, uses):
        self.name = name
        self.platforms = platforms  # empty: every platform
        self.folders = folders
        self.uses = uses


def read_map(doc):
    text = doc.read_text(encoding="utf-8")
    block = re.search(r"^```layers\n(.*?)^```", text, re.S | re.M)
    if not block:
        raise ValueError(f"{doc}: no ```layers block")
    layers = {}
    for n, line in enumerate(block.group(1).splitlines(), 1):
        if not line.strip():
            continue
        m = LINE.fullmatch(line)
        if not m:
            raise ValueError(f"{doc}: layers line {n} is not 'name: folders -> layers' "
                             f"or 'name (platforms): folders -> layers'")
        name, platforms = m.group(1), (m.group(2) or "").replace(",", " ").split()
        folders, uses = m.group(3).split(), m.group(4).split()
        if m.group(2) is not None and not platforms:
            raise ValueError(f"{doc}: layer {name} names no platform in its parentheses")
        if not folders:
            raise ValueError(f"{doc}: layer {name} has no folder")
        if name in layers:
            raise ValueError(f"{doc}: layer {name} is in the map twice")
        layers[name] = Layer(name, platforms, [f.rstrip("/") for f in folders],
                             [] if uses == ["-"] else uses)
    for layer in layers.values():
        for used in layer.uses:
            if used not in layers:
                raise ValueError(f"{doc}: layer {layer.name} uses {used}, which is not in the map")
    return layers


class Map:
    def __init__(self, layers):
        self.layers = layers
        self.folders = [(f, name) for name, layer in layers.items() for f in layer.folders]

    def layer_of(self, path):
        """The layer of a path relative to the source folder, or None."""
        best = None
        for folder, name in self.folders:
            if path == folder or path.startswith(folder + "/"):
                if best is None or len(folder) > len(best[0]):
                    best = (folder, name)
        return best[1] if best else None

    def allowed(self, name):
        return {name, *self.layers[name].uses}

    def may_use(self, name):
        return " ".join(sorted(self.allowed(name) - {name})) or "nothing"


def relative(path, root):
    """path (absolute, normalised) relative to root, or None outside it."""
    try:
        return Path(path).relative_to(root).as_posix()
    except ValueError:
        return None


def project_path(path, root, build):
    """A file's path for the map: under the build folder (generated), else under the source."""
    path = os.path.normpath(path)
    if build is not None:
        rel = relative(path, build)
        if rel is not None:
            return rel, True
    return relative(path, root), False


def read_compile_commands(build):
    path = build / "compile_commands.json"
    try:
        return json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError) as e:
        raise ValueError(f"{path}: {e} (configure with CMAKE_EXPORT_COMPILE_COMMANDS=ON)")


def command_args(entry):
    if "arguments" in entry:
        return entry["arguments"]
    return shlex.split(entry.get("command", ""))


def command_output(entry):
    """The object a compile command writes ("output", or its -o before CMake 3.27)."""
    if "output" in entry:
        return entry["output"]
    args = command_args(entry)
    for i, arg in enumerate(args):
        if arg == "-o" and i + 1 < len(args):
            return args[i + 1]
        if arg.startswith("-o") and len(arg) > 2:
            return arg[2:]
    return None


def include_roots(root, build, commands):
    """The source folder, then every folder in the source tree the compile commands search."""
    roots = [root]
    for entry in commands:
        args = command_args(entry)
        for i, arg in enumerate(args):
            for flag in ("-I", "-iquote", "-isystem", "-idirafter"):
                if arg == flag and i + 1 < len(args):
                    value = args[i + 1]
                elif arg.startswith(flag) and len(arg) > len(flag):
                    value = arg[len(flag):]
                else:
                    continue
                folder = Path(os.path.normpath(Path(entry["directory"]) / value))
                inside = relative(folder, root) is not None
                generated = build is not None and relative(folder, build) is not None
                if inside and not generated and folder not in roots:
                    roots.append(folder)
    return roots


def resolve(including, delimiter, name, roots):
    """The file an include names, as the compiler finds it, or None."""
    candidates = [including.parent] if delimiter == '"' else []
    for folder in candidates + roots:
        path = Path(os.path.normpath(folder / name))
        if path.is_file():
            return path
    return None


def check_includes(root, build, mp, roots, report):
    files = set()
    for folder, _ in mp.folders:
        base = root / folder
        if base.is_dir():
            files.update(p for p in base.rglob("*") if p.suffix in SOURCES and p.is_file()
                         and (build is None or relative(p, build) is None))
    checked = 0
    for path in sorted(files):
        rel = path.relative_to(root).as_posix()
        own = mp.layer_of(rel)
        checked += 1
        allowed = mp.allowed(own)
        text = path.read_text(encoding="utf-8", errors="replace")
        for n, line in enumerate(text.splitlines(), 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            target = resolve(path, m.group(1), m.group(2), roots)
            if target is None:
                continue  # the system's, or generated by the build
            target_rel, generated = project_path(target, root, build)
            if target_rel is None or generated:
                continue
            layer = mp.layer_of(target_rel)
            if layer in allowed:
                continue
            spelled = m.group(2)
            where = f"layer {layer}" if layer else "no layer"
            if spelled != target_rel:
                where = f"{target_rel}, {where}"
            report(f"{rel}:{n}: layer {own} includes {spelled} ({where}); "
                   f"{own} may use: {mp.may_use(own)}")
    return checked


def read_symbols(nm, build, objects):
    """{object: (defined, undefined)} of the global symbols of each object, mangled."""
    symbols = {o: (set(), set()) for o in objects}
    names = sorted(objects)
    for start in range(0, len(names), 200):
        batch = names[start:start + 200]
        run = subprocess.run([nm, "-A", "-P", *batch], cwd=build, capture_output=True,
                             text=True, errors="replace")
        if run.returncode != 0:
            raise ValueError(f"{nm}: {run.stderr.strip()}")
        for line in run.stdout.splitlines():
            owner, sep, rest = line.partition(": ")
            if not sep or owner not in symbols:
                continue
            fields = rest.split()
            if len(fields) < 2:
                continue
            name, kind = fields[0], fields[1]
            defined, undefined = symbols[owner]
            if kind in ("U", "w", "v"):
                undefined.add(name)
            elif kind.isupper() or kind in ("u", "i"):
                defined.add(name)
    return symbols


def demangle(names, nm):
    filt = shutil.which("c++filt", path=os.path.dirname(nm) or None) or shutil.which("c++filt")
    if not filt or not names:
        return {n: n for n in names}
    run = subprocess.run([filt], input="\n".join(names), capture_output=True, text=True)
    lines = run.stdout.splitlines()
    if run.returncode != 0 or len(lines) != len(names):
        return {n: n for n in names}
    return dict(zip(names, lines))


def check_symbols(root, build, mp, commands, nm, report):
    layer_of_object = {}
    source_of_object = {}
    for entry in commands:
        source = Path(entry["directory"]) / entry["file"]
        rel, _ = project_path(source, root, build)
        layer = mp.layer_of(rel) if rel is not None else None
        output = command_output(entry)
        if layer is None or output is None:
            continue
        obj = relative(os.path.normpath(Path(entry["directory"]) / output), build)
        if obj is None or not (build / obj).is_file():
            continue  # not built in this build
        layer_of_object[obj] = layer
        source_of_object[obj] = rel
    symbols = read_symbols(nm, build, layer_of_object)

    definers = {}  # symbol -> {layer: first object defining it}
    for obj, (defined, _) in symbols.items():
        for name in defined:
            definers.setdefault(name, {}).setdefault(layer_of_object[obj], obj)

    faults = []
    for obj in sorted(symbols):
        own = layer_of_object[obj]
        allowed = mp.allowed(own)
        for name in sorted(symbols[obj][1]):
            layers = definers.get(name)
            if not layers or allowed & layers.keys():
                continue
            faults.append((obj, own, name, layers))
    readable = demangle(sorted({f[2] for f in faults}), nm)
    seen = set()
    for obj, own, name, layers in faults:
        key = (source_of_object[obj], name)
        if key in seen:
            continue  # one source built into more than one target
        seen.add(key)
        target = re.search(r"CMakeFiles/([^/]+)\.dir/", obj)
        archive = f" [{target.group(1)}]" if target else ""
        where = ", ".join(f"{source_of_object[o]} (layer {layer})"
                          for layer, o in sorted(layers.items()))
        report(f"{source_of_object[obj]}{archive}: layer {own} uses {readable[name]}, "
               f"defined in {where}; {own} may use: {mp.may_use(own)}")
    return len(symbols)


def main():
    parser = argparse.ArgumentParser(description="Holds the code to the layer map.")
    parser.add_argument("root", nargs="?", default=Path(__file__).resolve().parent.parent)
    parser.add_argument("--build", help="build folder: check its objects' symbols too")
    parser.add_argument("--nm", default="nm", help="the nm of the toolchain that built them")
    parser.add_argument("--stamp", help="file to touch when everything holds to the map")
    args = parser.parse_args()
    root = Path(os.path.normpath(Path(args.root).absolute()))
    build = Path(os.path.normpath(Path(args.build).absolute())) if args.build else None

    faults = []

    def report(message):
        faults.append(message)
        print(message, file=sys.stderr)

    try:
        mp = Map(read_map(root / "docs" / "architecture.md"))
        commands = read_compile_commands(build) if build else []
        roots = include_roots(root, build, commands)
        files = check_includes(root, build, mp, roots, report)
        objects = check_symbols(root, build, mp, commands, args.nm, report) if build else 0
    except (OSError, ValueError) as e:
        print(f"check-layers: {e}", file=sys.stderr)
        return 2
    if faults:
        print(f"check-layers: {len(faults)} use(s) against the map in docs/architecture.md",
              file=sys.stderr)
        if args.stamp:
            Path(args.stamp).unlink(missing_ok=True)
        return 1
    summary = f"check-layers: {files} files"
    if build:
        summary += f" and {objects} objects"
    print(f"{summary} hold to the map of {len(mp.layers)} layers")
    if args.stamp:
        Path(args.stamp).touch()
    return 0


if __name__ == "__main__":
    sys.exit(main())
