#!/usr/bin/env python3
"""Holds a manual page's source (scdoc) to the program's own --help.

    check-manual.py PROGRAM MANUAL.scd

Walks PROGRAM --help and the --help of every command and subcommand it lists.
The manual must have a section "## COMMAND PATH" for every command (such as
"## store new-test-cert"), describing in it each option of that command in an
entry of its own (a line starting with *--option*) and naming each argument as
_NAME_; the program's own options belong in
"# OPTIONS". A section or an option entry of the manual that the program no
longer has is reported as well, so the manual cannot go stale either way.
Exit code 0 when everything matches, 1 otherwise (each problem on a line).
"""
import re
import subprocess
import sys

HEADINGS = ("Options", "Positionals", "Subcommands")


def run_help(program, path):
    done = subprocess.run([program, *path, "--help"], capture_output=True, text=True,
                          timeout=30)
    if done.returncode != 0:
        raise SystemExit(f"{' '.join([program, *path])} --help failed ({done.returncode}): "
                         f"{done.stderr.strip()}")
    return done.stdout


def parse_help(text):
    """The options (long names, else short), arguments and subcommands a help lists."""
    found = {heading: [] for heading in HEADINGS}
    found["Takes a value"] = []
    current = None
    for line in text.splitlines():
        heading = line.rstrip().rstrip(":")
        if line.endswith(":") and heading in HEADINGS:
            current = heading
            continue
        if not line.strip():
            continue
        if not line.startswith("  ") or line.startswith("   ") or current is None:
            # A description carried over to its own lines, or the usage.
            if not line.startswith(" "):
                current = None
            continue
        words = line.split()
        if current == "Options":
            names = words[0].split(",")
            long = [n for n in names if n.startswith("--")]
            found["Options"].append(long[0] if long else names[0])
            # "--in FILE", "--bits INT:INT in [...]": the option takes a value.
            if len(words) > 1 and re.match(r"^[A-Z][A-Z0-9_]*(?::|$)", words[1]):
                found["Takes a value"].append(found["Options"][-1])
        elif current == "Positionals":
            kind = words[1] if len(words) > 1 and words[1].isupper() else ""
            found["Positionals"].append((words[0], kind))
        else:
            found["Subcommands"].append(words[0])
    return found


def manual_sections(source):
    """Top-level sections and command sections of the manual, with their text."""
    top, commands = {}, {}
    name, kind, lines = None, None, []

    def close():
        if name is not None:
            (top if kind == 1 else commands)[name] = "\n".join(lines)

    for line in source.splitlines():
        m = re.match(r"^(#{1,2}) (.+?)\s*$", line)
        if m:
            close()
            kind, name, lines = len(m.group(1)), m.group(2), []
        else:
            lines.append(line)
    close()
    return top, commands


def entries(text):
    """The options the entries of a section define: lines starting with *--option*
    (or *-h*, *--help*)."""
    found = set()
    for line in text.splitlines():
        if line.startswith("*-"):
            found.update(re.findall(r"\*(--?[A-Za-z0-9][\w-]*)\*", line))
    return found


def mentions_argument(text, name, kind):
    forms = {name.upper()} | ({kind} if kind and kind not in ("TEXT", "INT") else set())
    return any(f"_{form}_" in text for form in forms)


def check(program, manual_path):
    with open(manual_path, encoding="utf-8") as f:
        top, commands = manual_sections(f.read())
    problems, seen, options = [], set(), 0
    program_name = program.rsplit("/", 1)[-1]

    def walk(path):
        nonlocal options
        found = parse_help(run_help(program, path))
        shown = " ".join([program_name, *path])
        if path:
            key = " ".join(path)
            seen.add(key)
            if key not in commands:
                problems.append(f"`{shown}` has no section \"## {key}\"")
                text = ""
            else:
                text = commands[key]
            listed = [o for o in found["Options"] if o not in ("--help", "-h")]
        else:
            text = top.get("OPTIONS", "")
            listed = found["Options"]
        where = f"section \"## {' '.join(path)}\"" if path else "section \"# OPTIONS\""
        described = entries(text)
        for option in listed:
            options += 1
            if option not in described:
                problems.append(f"undocumented option {option} of `{shown}` (in {where})")
        for name, kind in found["Positionals"]:
            if not mentions_argument(text, name, kind):
                problems.append(f"undocumented argument {name} of `{shown}` (in {where}, "
                                f"as _{name.upper()}_)")
        for option in sorted(described):
            if option not in listed and option not in ("--help", "-h"):
                problems.append(f"{where} describes {option}, which `{shown}` does not have")
        for sub in found["Subcommands"]:
            walk([*path, sub])

    walk([])
    for key in sorted(set(commands) - seen):
        problems.append(f"section \"## {key}\" describes a command `{program_name}` does not have")
    for problem in problems:
        print(f"{manual_path}: {problem}")
    if not problems:
        print(f"{manual_path}: covers {len(seen)} commands and {options} options of "
              f"{program_name}")
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(check(sys.argv[1], sys.argv[2]))
