#!/usr/bin/env python3
"""The programs in the configuration users have: every PKCS#11 module that
Debian's packages register with p11-kit (OpenSC and SoftHSM2) loaded by
default, with no variable set to avoid them. A module's finalisation may
unload libraries of its own (OpenSC's does), so every path that reached the
tokens is run to its end and must end with its own exit status, never by a
signal. Then every command of `ostrel` is run once in the same
configuration, and none may end by a signal either.

usage: default_tokens_test.py BIN_DIR
Exits 77 (skipped) where OpenSC or SoftHSM2 is not installed.
"""

import base64
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"
REGISTRATIONS = ["/usr/share/p11-kit/modules/opensc-pkcs11.module",
                 "/usr/share/p11-kit/modules/softhsm2.module"]
PIN = "1234"
EXTENSION = "abcdefghijklmnopabcdefghijklmnop"
ORIGIN = "https://bank.example"

failures = []


def fail(what):
    failures.append(what)
    print("FAIL: " + what, file=sys.stderr)


def ended_by_signal(code):
    return code < 0 or code >= 128


class Setup:
    def __init__(self, bin_dir, folder):
        self.bin = bin_dir
        self.ostrel = os.path.join(bin_dir, "ostrel")
        self.home = os.path.join(folder, "home")
        os.makedirs(self.home, mode=0o700)
        self.folder = folder
        softhsm = os.path.join(folder, "softhsm")
        os.makedirs(os.path.join(softhsm, "tokens"))
        self.softhsm_conf = os.path.join(softhsm, "softhsm2.conf")
        with open(self.softhsm_conf, "w") as f:
            f.write("directories.tokendir = %s/tokens\nobjectstore.backend = file\n"
                    "log.level = ERROR\n" % softhsm)
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith("OSTREL_") and k != "SOFTHSM2_CONF"}
        # The tokens are SoftHSM2's own, where its configuration says;
        # which modules are loaded is left to the default.
        self.env.update(OSTREL_HOME=self.home, SOFTHSM2_CONF=self.softhsm_conf,
                        OSTREL_UI="none", QT_QPA_PLATFORM="offscreen")
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)

    def run(self, args, env=None, stdin=None, timeout=120):
        full = dict(self.env)
        full.update(env or {})
        return subprocess.run(args, env=full, input=stdin, capture_output=True,
                              timeout=timeout)

    def must(self, args, **kw):
        r = self.run(args, **kw)
        if r.returncode != 0:
            raise SystemExit("setup step failed: %s\n%s%s" % (
                args, r.stdout.decode(errors="replace"), r.stderr.decode(errors="replace")))
        return r

    def make_token(self):
        """A token "Card" holding an RSA key and its certificate."""
        self.must(["softhsm2-util", "--init-token", "--free", "--label", "Card",
                   "--so-pin", "87654321", "--pin", PIN])
        key = os.path.join(self.folder, "card-key.pem")
        cert = os.path.join(self.folder, "card-cert.pem")
        self.must(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                   "-out", cert, "-days", "30", "-subj", "/CN=Card Holder"])
        pkcs8 = os.path.join(self.folder, "card-key.p8")
        self.must(["openssl", "pkcs8", "-topk8", "-nocrypt", "-in", key, "-out", pkcs8])
        self.must(["softhsm2-util", "--import", pkcs8, "--token", "Card", "--label", "key",
                   "--id", "01", "--pin", PIN])
        der = os.path.join(self.folder, "card-cert.der")
        self.must(["openssl", "x509", "-in", cert, "-outform", "DER", "-out", der])
        self.must(["pkcs11-tool", "--module", SOFTHSM, "--token-label", "Card", "--login",
                   "--pin", PIN, "--write-object", der, "--type", "cert", "--id", "01",
                   "--label", "cert"])
        self.card_cert = cert


def check(setup, name, args, expect=None, **kw):
    """Runs a command; it must end by itself, with `expect` when given."""
    r = setup.run(args, **kw)
    if ended_by_signal(r.returncode):
        fail("%s: ended with %d (a signal)\n%s" % (name, r.returncode,
                                                    r.stderr.decode(errors="replace")))
    elif expect is not None and r.returncode != expect:
        fail("%s: exit %d, expected %d\n%s%s" % (name, r.returncode, expect,
                                                 r.stdout.decode(errors="replace"),
                                                 r.stderr.decode(errors="replace")))
    return r


def verifies(setup, signature, content):
    """Whether openssl accepts the base64 signature text over `content`."""
    der = os.path.join(setup.folder, "sig.der")
    txt = os.path.join(setup.folder, "content.txt")
    try:
        data = base64.b64decode(b"".join(signature.split()), validate=True)
    except ValueError:
        return False
    with open(der, "wb") as f:
        f.write(data)
    with open(txt, "wb") as f:
        f.write(content)
    r = subprocess.run(["openssl", "cms", "-verify", "-noverify", "-binary", "-inform", "DER",
                        "-in", der, "-content", txt, "-out", "/dev/null"], capture_output=True)
    return r.returncode == 0


def frame(message):
    body = json.dumps(message).encode()
    return struct.pack("=I", len(body)) + body


def frames(data):
    out = []
    while len(data) >= 4:
        (n,) = struct.unpack("=I", data[:4])
        if len(data) < 4 + n:
            break
        out.append(json.loads(data[4:4 + n]))
        data = data[4 + n:]
    return out


def token_paths(setup):
    """Signing at the token's position, the chooser, choose, call, the bridge."""
    o = setup.ostrel
    text = b"Pay Ann Lee 100 crowns.\n"
    listing = check(setup, "store list", [o, "store", "list", "--json"], 0)
    rows = json.loads(listing.stdout or b"[]")
    rows = rows.get("certificates", rows) if isinstance(rows, dict) else rows
    card = next((i for i, row in enumerate(rows) if "Card Holder" in json.dumps(row)), None)
    if card is None:
        fail("store list: the token's certificate is not listed: %s" % listing.stdout[:2000])
        return
    check(setup, "store tokens", [o, "store", "tokens"], 0)

    pin = {"OSTREL_UI": "script", "OSTREL_UI_SCRIPT": "type %s; ok" % PIN}
    r = check(setup, "sign --index (token)", [o, "sign", "--index", str(card)], 0, stdin=text,
              env=pin)
    if r.returncode == 0 and not verifies(setup, r.stdout, text):
        fail("sign --index (token): openssl cms -verify refused the signature")
    check(setup, "sign --index past every entry", [o, "sign", "--index", "5"], 1, stdin=text)
    chooser = {"OSTREL_UI": "script",
               "OSTREL_UI_SCRIPT": "select %d; ok; type %s; ok" % (card, PIN)}
    r = check(setup, "sign with the chooser", [o, "sign"], 0, stdin=text, env=chooser)
    if r.returncode == 0 and not verifies(setup, r.stdout, text):
        fail("sign with the chooser: openssl cms -verify refused the signature")
    check(setup, "sign, the chooser cancelled", [o, "sign"], 1, stdin=text)
    r = check(setup, "choose", [o, "choose"], 0,
              env={"OSTREL_UI": "script", "OSTREL_UI_SCRIPT": "select %d; ok" % card})
    if r.stdout.strip() != str(card).encode():
        fail("choose: printed %r, expected %d" % (r.stdout, card))
    check(setup, "choose, cancelled", [o, "choose"], 1)

    check(setup, "register", [o, "register"], 0)
    r = check(setup, "call SignMessage", [o, "call", "SignMessage", "text"], 0, env=chooser)
    if r.returncode == 0 and not verifies(setup, r.stdout.rstrip(b"\n"), b"text"):
        fail("call SignMessage: openssl cms -verify refused the signature")
    check(setup, "call SignMessageNoPrompt", [o, "call", "SignMessageNoPrompt", "text",
                                              str(card)], 0, env=pin)
    check(setup, "call ChooseCertificate", [o, "call", "ChooseCertificate"], 0,
          env={"OSTREL_UI": "script", "OSTREL_UI_SCRIPT": "select %d; ok" % card})

    # The bridge host, started as a browser starts it, with a site allowed
    # to sign without asking; it signs with the token, then the browser
    # goes away (its pipe closes).
    origins = os.path.join(setup.home, "bridge-origins.json")
    with open(os.open(origins, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
        json.dump({"version": 1, "origins": {ORIGIN: {"always": True, "withoutPrompt": True}}},
                  f)
    extensions = os.path.join(setup.home, "bridge-extensions.json")
    with open(os.open(extensions, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
        json.dump({"chromium": [EXTENSION]}, f)
    request = frame({"v": 1, "id": 0, "method": "hello"})
    request += frame({"v": 1, "id": 1, "origin": ORIGIN, "method": "SignMessageNoPrompt",
                      "args": ["text", card]})
    bridge = os.path.join(setup.bin, "ostrel-bridge")
    r = check(setup, "ostrel-bridge", [bridge, "chrome-extension://%s/" % EXTENSION], 0,
              stdin=request, env=pin)
    replies = frames(r.stdout)
    signed = [x for x in replies if x.get("id") == 1 and "result" in x]
    if not signed or not verifies(setup, signed[0]["result"].encode(), b"text"):
        fail("ostrel-bridge: no signature the token made: %s" % replies)


def subcommands(setup, path):
    """The subcommands `ostrel PATH --help` lists."""
    r = setup.run([setup.ostrel] + path + ["--help"])
    text = r.stdout.decode(errors="replace")
    if "Subcommands:" not in text:
        return []
    names = []
    for line in text.split("Subcommands:", 1)[1].splitlines():
        m = re.match(r"^  (\S+)", line)
        if m:
            names.append(m.group(1))
        elif line and not line.startswith(" "):
            break
    return names


def every_command(setup, scratch):
    """Each command run once in the default configuration; a command the
    list does not know fails the test, so that new ones are added here."""
    hexmsg = "3082"
    bad = os.path.join(scratch, "bad.txt")
    with open(bad, "w") as f:
        f.write("not a certificate\n")
    state = os.path.join(scratch, "state.txt")
    runs = {
        "sign": [["sign", "--index", "0"], ["sign", "--index", "9"], ["sign"]],
        "store list": [["store", "list"], ["store", "list", "--json"]],
        "store tokens": [["store", "tokens", "--json"]],
        "store import": [["store", "import", bad]],
        "store remove": [["store", "remove", "99"]],
        "store new-test-cert": [["store", "new-test-cert", "--subject", "/CN=Smoke",
                                 "--serial", "5A"]],
        "verify": [["verify"], ["verify", "--signature", bad, "--content", bad]],
        "subject": [["subject"]],
        "serial": [["serial"]],
        "choose": [["choose"]],
        "typelib": [["typelib"]],
        "draw": [["draw", "--width", "40", "--height", "30", "--out",
                  os.path.join(scratch, "c.png")]],
        "about": [["about"]],
        "properties": [["properties"]],
        "state": [["state", "save", state], ["state", "load", state]],
        "state save": [["state", "save", state]],
        "state load": [["state", "load", state]],
        "register": [["register"], ["register", "--repair"]],
        "unregister": [["unregister"]],
        "call": [["call", "GetSubjectName", hexmsg], ["call", "SignMessageNoPrompt", "x", "0"],
                 ["call", "NoSuchMethod"]],
        "info": [["info"]],
        "bridge install": [["bridge", "install", "--browser", "chromium",
                            "--chromium-user-data-dir", os.path.join(scratch, "chromium")]],
        "bridge uninstall": [["bridge", "uninstall", "--browser", "chromium",
                              "--chromium-user-data-dir", os.path.join(scratch, "chromium")]],
        "bridge status": [["bridge", "status", "--browser", "chromium",
                           "--chromium-user-data-dir", os.path.join(scratch, "chromium")]],
        "bridge origins list": [["bridge", "origins", "list", "--json"]],
        "bridge origins allow": [["bridge", "origins", "allow", "https://smoke.example"]],
        "bridge origins revoke": [["bridge", "origins", "revoke", "https://smoke.example"]],
    }
    seen = set()

    def walk(path):
        subs = subcommands(setup, path)
        if not subs and path:
            seen.add(" ".join(path))
        for s in subs:
            walk(path + [s])
    walk([])
    for name in sorted(seen):
        known = runs.get(name)
        if known is None:
            fail("the smoke does not know the command `ostrel %s`: add it" % name)
            continue
        for args in known:
            check(setup, "ostrel " + " ".join(args), [setup.ostrel] + args,
                  stdin=b"30820102\n")
    check(setup, "ostrel --version", [setup.ostrel, "--version"], 0)


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    bin_dir = os.path.abspath(sys.argv[1])
    missing = [p for p in [SOFTHSM] + REGISTRATIONS if not os.path.exists(p)]
    missing += [t for t in ("softhsm2-util", "pkcs11-tool", "openssl") if not shutil.which(t)]
    if missing:
        print("skipped: not installed: " + ", ".join(missing))
        return 77
    with tempfile.TemporaryDirectory(prefix="ostrel-default-tokens-") as folder:
        setup = Setup(bin_dir, folder)
        setup.make_token()
        setup.must([setup.ostrel, "store", "new-test-cert", "--subject", "/CN=File Entry"])
        token_paths(setup)
        scratch = os.path.join(folder, "scratch")
        os.makedirs(scratch)
        every_command(setup, scratch)
    if failures:
        print("%d failure(s)" % len(failures), file=sys.stderr)
        return 1
    print("every path ended with its own exit status")
    return 0


if __name__ == "__main__":
    sys.exit(main())
