#!/usr/bin/env python3
"""The bash completion of ostrel, as bash itself runs it (complete -p, the
completion function, compgen), against the program's own --help and a store
with three certificates.

    completion_test.py BIN COMPLETION_FILE CHECK_MANUAL_SCRIPT
"""
import os
import runpy
import shlex
import subprocess
import sys
import tempfile
import types

bin_dir, completion, check_manual = sys.argv[1:4]
ostrel = os.path.join(bin_dir, "ostrel")
# The manual checker's reading of --help, so that both hold to one view of
# the commands and options.
manual = types.SimpleNamespace(**runpy.run_path(check_manual))

failures = []


def expect(what, actual, expected):
    if actual != expected:
        failures.append(f"{what}: got {sorted(actual) if isinstance(actual, set) else actual!r}, "
                        f"expected {sorted(expected) if isinstance(expected, set) else expected!r}")


work = tempfile.mkdtemp(prefix="ostrel-completion-")
env = {
    "PATH": f"{bin_dir}:/usr/bin:/bin",
    "HOME": work,
    "OSTREL_HOME": os.path.join(work, "ostrel-home"),
    "OSTREL_UI": "none",
    "OSTREL_PKCS11_MODULES": "none",
    "LC_ALL": "C",
}
for name in ("Ann Lee", "Bo Berg", "Cy Dunn"):
    subprocess.run([ostrel, "store", "new-test-cert", "--subject", f"/CN={name}", "--bits", "1024"],
                   env=env, check=True, capture_output=True)
open(os.path.join(work, "text.txt"), "w").close()
os.mkdir(os.path.join(work, "profile"))

queries = []


def ask(line):
    """What completing the last word of `line` (typed after "ostrel ") offers."""
    queries.append(line)
    return len(queries) - 1


def run_queries():
    script = [f"source {shlex.quote(completion)}", "complete -p ostrel", "echo '=='"]
    for line in queries:
        words = ["ostrel", *shlex.split(line)]
        if line.endswith(" ") or line == "":
            words.append("")
        script += [
            "COMP_WORDS=(" + " ".join(shlex.quote(w) for w in words) + ")",
            f"COMP_CWORD={len(words) - 1}",
            "COMPREPLY=()",
            "_ostrel",
            "printf '%s\\n' \"${COMPREPLY[@]}\"",
            "echo '=='",
        ]
    done = subprocess.run(["bash", "--norc", "--noprofile", "-c", "\n".join(script)], cwd=work,
                          env=env, capture_output=True, text=True, timeout=120)
    if done.returncode != 0 or done.stderr:
        sys.exit(f"bash failed ({done.returncode}): {done.stderr}")
    parts = done.stdout.split("==\n")
    return parts[0].strip(), [set(filter(None, p.split("\n"))) for p in parts[1:-1]]


def value_kind(option):
    """What the completion takes an option's value to be ("" for a flag)."""
    done = subprocess.run(["bash", "--norc", "--noprofile", "-c",
                           f"source {shlex.quote(completion)}; echo \"${{_ostrel_values[{option}]:-}}\""],
                          env=env, capture_output=True, text=True, check=True)
    return done.stdout.strip()


# Every command of the program's --help: its subcommands, its options, and
# whether each option takes a value, as the completion knows them.
checks = []


def walk(path):
    found = manual.parse_help(manual.run_help(ostrel, path))
    prefix = " ".join(path) + (" " if path else "")
    if found["Subcommands"]:
        checks.append((f"ostrel {prefix}<Tab>", ask(prefix), set(found["Subcommands"])))
    options = set(found["Options"]) - {"-h"} | {"--help"}
    checks.append((f"ostrel {prefix}--<Tab>", ask(prefix + "--"), options))
    for option in found["Options"]:
        takes = option in found["Takes a value"]
        kind = value_kind(option)
        if takes != bool(kind):
            failures.append(f"ostrel {prefix}{option}: the completion takes it for "
                            f"{'an option with a value' if kind else 'a flag'}, --help does not")
    for sub in found["Subcommands"]:
        walk([*path, sub])


walk([])
specific = [
    ("ostrel s<Tab>", ask("s"), {"sign", "store", "subject", "serial", "state"}),
    ("ostrel st<Tab>", ask("st"), {"store", "state"}),
    ("ostrel store re<Tab>", ask("store re"), {"remove"}),
    ("ostrel bridge origins a<Tab>", ask("bridge origins a"), {"allow"}),
    ("ostrel sign --index <Tab>", ask("sign --index "), {"0", "1", "2"}),
    ("ostrel sign --in text.txt --index <Tab>", ask("sign --in text.txt --index "), {"0", "1", "2"}),
    ("ostrel store remove <Tab>", ask("store remove "), {"0", "1", "2"}),
    ("ostrel store remove 1<Tab>", ask("store remove 1"), {"1"}),
    ("ostrel store remove 1 <Tab>", ask("store remove 1 "), set()),
    ("ostrel call SignMessageNoPrompt @text.txt <Tab>", ask("call SignMessageNoPrompt @text.txt "),
     {"0", "1", "2"}),
    ("ostrel call Sign<Tab>", ask("call Sign"), {"SignMessage", "SignMessageNoPrompt"}),
    ("ostrel call --json Get<Tab>", ask("call --json Get"), {"GetSubjectName", "GetSerialNumber"}),
    ("ostrel bridge install --browser <Tab>", ask("bridge install --browser "),
     {"chromium", "chrome", "firefox", "all"}),
    ("ostrel bridge status --browser f<Tab>", ask("bridge status --browser f"), {"firefox"}),
    ("ostrel sign --in te<Tab>", ask("sign --in te"), {"text.txt"}),
    ("ostrel bridge install --chromium-user-data-dir pro<Tab>",
     ask("bridge install --chromium-user-data-dir pro"), {"profile"}),
    ("ostrel store import te<Tab>", ask("store import te"), {"text.txt"}),
    # A value is not taken for a command: "sign" here is the text's file.
    ("ostrel verify --in sign --<Tab>", ask("verify --in sign --"),
     {"--in", "--exact", "--signature", "--content", "--json", "--help"}),
    ("ostrel --<Tab>", ask("--"), {"--help", "--version"}),
    ("ostrel sign --index 0 <Tab>", ask("sign --index 0 "), set()),
]
registered, answers = run_queries()
expect("complete -p ostrel", registered, "complete -F _ostrel ostrel")
for what, index, expected in checks + specific:
    expect(what, answers[index], expected)

# An empty store offers no position, and the completion says nothing on the
# terminal when the store cannot be read.
env["OSTREL_HOME"] = os.path.join(work, "empty-home")
queries.clear()
ask("sign --index ")
ask("store remove ")
_, answers = run_queries()
expect("ostrel sign --index <Tab> with an empty store", answers[0], set())
expect("ostrel store remove <Tab> with an empty store", answers[1], set())

subprocess.run(["rm", "-rf", work], check=True)
for failure in failures:
    print(failure)
print(f"{len(checks) + len(specific) + 3 - len(failures)} checks passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
