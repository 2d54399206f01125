#!/usr/bin/env python3
"""The layer checker against a scratch project: a map in the form of
docs/architecture.md, a few files in its layers' folders, objects compiled by
the build's own compiler and the compile commands that name them. A lower
layer reaching a higher one through a relative include, an include in angle
brackets, an include root of its own, or a declaration of its own and a call
is reported, with both layers; the same code used downwards is not.

    layers_test.py CHECKER CXX NM
"""
import json
import os
import shlex
import subprocess
import sys
import tempfile
from pathlib import Path

checker, cxx, nm = sys.argv[1:4]

MAP = """# Architecture

```layers
base:             base -> -
native (windows): native -> base
low:              low  -> base
high:             high -> low base
```
"""

FILES = {
    "base/Base.h": "#pragma once\nint Base();\n",
    "base/Base.cpp": '#include "base/Base.h"\nint Base() { return 1; }\n',
    "low/Low.h": "#pragma once\nint Low();\n",
    "high/Shown.h": "#pragma once\nint Shown();\n",
    # The higher layer uses the lower ones: allowed.
    "high/Shown.cpp": '#include "high/Shown.h"\n#include "low/Low.h"\n'
                      "int Shown() { return Low() + 1; }\n",
    # A layer only one platform builds: held to the map everywhere, built here never.
    "native/Native.cpp": '#include "base/Base.h"\nint Native() { return Base(); }\n',
}

LOW = {
    "clean": '#include "low/Low.h"\n#include "base/Base.h"\nint Low() { return Base(); }\n',
    "quoted": '#include "low/Low.h"\n#include "../high/Shown.h"\nint Low() { return Shown(); }\n',
    "angle": '#include "low/Low.h"\n#include <high/Shown.h>\nint Low() { return Shown(); }\n',
    "root": '#include "low/Low.h"\n#include "Shown.h"\nint Low() { return Shown(); }\n',
    "declared": '#include "low/Low.h"\nint Shown();\nint Low() { return Shown(); }\n',
}

failures = []
work = Path(tempfile.mkdtemp(prefix="ostrel-layers-"))


def scratch(variant, extra_root=None, name=None):
    """A source tree and a built build folder with low/Low.cpp as `variant` has it."""
    src, build = work / (name or variant) / "src", work / (name or variant) / "build"
    for path, text in {**FILES, "low/Low.cpp": LOW[variant]}.items():
        (src / path).parent.mkdir(parents=True, exist_ok=True)
        (src / path).write_text(text)
    (src / "docs").mkdir()
    (src / "docs/architecture.md").write_text(MAP)
    build.mkdir()
    commands = []
    for source in ("base/Base.cpp", "low/Low.cpp", "high/Shown.cpp"):
        output = f"objects/{source}.o"
        (build / output).parent.mkdir(parents=True, exist_ok=True)
        roots = [f"-I{src}"] + ([f"-I{src / extra_root}"] if extra_root else [])
        args = [cxx, *roots, "-c", str(src / source), "-o", output]
        subprocess.run(args, cwd=build, check=True)
        commands.append({"directory": str(build), "file": str(src / source),
                         "command": shlex.join(args)})
    (build / "compile_commands.json").write_text(json.dumps(commands))
    return src, build


def check(variant, src, build=None, status=None, expected=()):
    args = [sys.executable, checker, str(src)]
    if build:
        args += ["--build", str(build), "--nm", nm, "--stamp", str(build / "checked")]
    run = subprocess.run(args, capture_output=True, text=True)
    mode = "with the build" if build else "on the sources"
    if run.returncode != status:
        failures.append(f"{variant} {mode}: exit {run.returncode}, expected {status}\n"
                        f"{run.stdout}{run.stderr}")
    for text in expected:
        if text not in run.stderr:
            failures.append(f"{variant} {mode}: no {text!r} in\n{run.stderr}")
    if build and (build / "checked").exists() != (status == 0):
        failures.append(f"{variant} {mode}: the stamp does not follow the result")
    return run


# The clean tree passes both checks.
src, build = scratch("clean")
check("clean", src, build, 0)

# The three ways down from low to high, each with both layers named.
may = "low may use: base"
src, build = scratch("quoted")
check("quoted", src, None, 1,
      ["low/Low.cpp:2: layer low includes ../high/Shown.h (high/Shown.h, layer high)", may])
src, build = scratch("angle")
check("angle", src, None, 1, ["low/Low.cpp:2: layer low includes high/Shown.h (layer high)", may])
src, build = scratch("declared")
check("declared", src, None, 0)  # no include shows it: only the objects do
check("declared", src, build, 1,
      ["low/Low.cpp: layer low uses Shown(), defined in high/Shown.cpp (layer high)", may])

# An include root of the build's that opens a higher layer's folder.
src, build = scratch("root", extra_root="high")
check("root", src, build, 1,
      ["low/Low.cpp:2: layer low includes Shown.h (high/Shown.h, layer high)",
       "low/Low.cpp: layer low uses Shown()"])

# A layer that only another platform builds is still held to the map.
src, _ = scratch("clean", name="native")
(src / "native/Native.cpp").write_text('#include "low/Low.h"\nint Native() { return Low(); }\n')
check("native", src, None, 1, ["native/Native.cpp:1: layer native includes low/Low.h (layer low)"])

# A map that does not parse stops the check instead of passing it.
(src / "docs/architecture.md").write_text(MAP.replace("native (windows)", "native ()"))
check("map", src, None, 2, ["layer native names no platform"])

if failures:
    print("\n\n".join(failures), file=sys.stderr)
    sys.exit(1)
print("layers: every forbidden use reported, the clean tree passes")
