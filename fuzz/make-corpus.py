#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Each corpus holds a handful of small, sound inputs and a few damaged ones, so
that a fuzzer starts from every form a parser reads. Inputs kept from findings
(regression-*, crash-*) are left in place. Certificates and keys are
made afresh with the openssl command (so the bytes differ from run to run);
everything else is written here. The type-library seeds are taken from a
build's Ostrel.tlb, named as the first argument (default build/bin/Ostrel.tlb);
without one, the type-library corpus is left as it is.

Usage: fuzz/make-corpus.py [PATH/TO/Ostrel.tlb]
"""

import os
import struct
import subprocess
import sys
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
PASSWORD = "fuzz"  # the password file the import target hands over holds this


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def clear(target):
    """Removes the seeds made here before; inputs that findings left
    (regression-*, crash-*) stay."""
    folder = os.path.join(CORPUS, target)
    if not os.path.isdir(folder):
        return
    for entry in os.listdir(folder):
        if not entry.startswith(("regression-", "crash-")):
            os.remove(os.path.join(folder, entry))


def openssl(*args, data=None):
    return subprocess.run(["openssl", *args], input=data, check=True,
                          capture_output=True).stdout


# ----- DER, for names --------------------------------------------------------

def der(tag, body):
    n = len(body)
    if n < 0x80:
        head = bytes([n])
    else:
        octets = n.to_bytes((n.bit_length() + 7) // 8, "big")
        head = bytes([0x80 | len(octets)]) + octets
    return bytes([tag]) + head + body


def oid(text):
    parts = [int(p) for p in text.split(".")]
    body = bytes([40 * parts[0] + parts[1]])
    for p in parts[2:]:
        chunk = [p & 0x7F]
        p >>= 7
        while p:
            chunk.append(0x80 | (p & 0x7F))
            p >>= 7
        body += bytes(reversed(chunk))
    return der(0x06, body)


def attr(oid_text, tag, value):
    return der(0x30, oid(oid_text) + der(tag, value))


def name(*rdns):
    return der(0x30, b"".join(der(0x31, b"".join(rdn)) for rdn in rdns))


CN, O, C, E, OU = "2.5.4.3", "2.5.4.10", "2.5.4.6", "1.2.840.113549.1.9.1", "2.5.4.11"
UTF8, PRINTABLE, IA5, T61, BMP, UNIVERSAL = 0x0C, 0x13, 0x16, 0x14, 0x1E, 0x1C


def names():
    plain = name([attr(C, PRINTABLE, b"DE")], [attr(O, UTF8, b"Ostrel Test")],
                 [attr(CN, UTF8, "Jürgen Müller".encode())])
    return {
        "plain.der": plain,
        "multivalued.der": name([attr(CN, UTF8, b"a"), attr(OU, UTF8, b"b")],
                                [attr(E, IA5, b"someone@example.org")]),
        "quoted.der": name([attr(CN, PRINTABLE, b" spaced, \"quoted\" ")]),
        "bmp.der": name([attr(CN, BMP, "Zoë 😀".encode("utf-16-be"))]),
        "bmp-odd.der": name([attr(CN, BMP, b"\x00A\x00")]),
        "t61-latin1.der": name([attr(CN, T61, b"Caf\xe9")]),
        "universal.der": name([attr(CN, UNIVERSAL, "Ω".encode("utf-32-be"))]),
        "unknown-oid.der": name([attr("1.3.6.1.4.1.99999.1", 0x04, b"\x01\x02")]),
        "empty.der": name(),
        "truncated.der": plain[:-5],
        "not-a-set.der": der(0x30, der(0x30, attr(CN, UTF8, b"x"))),
    }


# ----- certificates and keys ---------------------------------------------------

def credentials(tmp):
    def path(n):
        return os.path.join(tmp, n)
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", path("ec.key"), "-out", path("ec.pem"), "-days", "3650",
            "-subj", "/C=DE/O=Ostrel Test/CN=EC Signer/emailAddress=ec@example.org")
    openssl("req", "-x509", "-newkey", "rsa:1024", "-nodes", "-keyout", path("rsa.key"),
            "-out", path("rsa.pem"), "-days", "3650", "-subj", "/CN=RSA Signer")
    files = {n: open(path(n), "rb").read() for n in ("ec.key", "ec.pem", "rsa.key", "rsa.pem")}
    files["ec.der"] = openssl("x509", "-in", path("ec.pem"), "-outform", "DER")
    files["ec.enc.key"] = openssl("pkey", "-in", path("ec.key"), "-aes128",
                                  "-passout", "pass:" + PASSWORD)
    files["ec.rsa-style.key"] = openssl("pkey", "-in", path("ec.key"), "-traditional")
    common = ["pkcs12", "-export", "-inkey", path("ec.key"), "-in", path("ec.pem")]
    files["fast.p12"] = openssl(*common, "-passout", "pass:" + PASSWORD, "-iter", "1",
                                "-maciter", "-macalg", "sha256")
    files["nomac.p12"] = openssl(*common, "-passout", "pass:", "-nomac", "-iter", "1",
                                 "-keypbe", "NONE", "-certpbe", "NONE")
    files["legacy.p12"] = openssl(*common, "-passout", "pass:" + PASSWORD, "-legacy",
                                  "-iter", "1")
    files["signed.der"] = openssl("cms", "-sign", "-binary", "-md", "sha256",
                                  "-signer", path("rsa.pem"), "-inkey", path("rsa.key"),
                                  "-outform", "DER", data=b"Hello, ostrel")
    return files


# ----- saved control state -----------------------------------------------------

def state(props, version=1, flags=0, count=None, crc=True):
    payload = b""
    for pname, vt, value in props:
        payload += bytes([len(pname)]) + pname.encode() + struct.pack("<H", vt)
        if vt in (2, 11):
            payload += struct.pack("<H", value)
        elif vt in (3, 19):
            payload += struct.pack("<I", value)
        else:
            payload += struct.pack("<I", len(value)) + value.encode()
    head = b"OCST" + struct.pack("<HHII", version, flags,
                                 len(props) if count is None else count, len(payload))
    body = head + payload
    return body + struct.pack("<I", zlib.crc32(body) if crc else 0)


# ----- module files --------------------------------------------------------------

def utf16z(text):
    return text.encode("utf-16-le") + b"\0\0"


def pad4(b):
    return b + b"\0" * (-len(b) % 4)


def node(key, value=b"", value_length=0, vtype=0, children=b""):
    head = struct.pack("<HHH", 0, value_length, vtype) + utf16z(key)
    body = pad4(head) + value
    body = pad4(body) + children if children else body
    return struct.pack("<H", len(body)) + body[2:]


def version_block():
    fixed = struct.pack("<13I", 0xFEEF04BD, 0x00010000, 0x00010001, 0, 0x00010001, 0, 0x3F, 0,
                        4, 2, 0, 0, 0)
    strings = b""
    for key, value in (("CompanyName", "Ostrel"), ("FileVersion", "1, 1, 0, 0"),
                       ("ProductName", "Ostrel Control")):
        strings += pad4(node(key, utf16z(value), len(value) + 1, 1))
    table = node("040904b0", vtype=1, children=strings)
    sfi = node("StringFileInfo", vtype=1, children=pad4(table))
    var = node("Translation", struct.pack("<HH", 0x0409, 1200), 4, 0)
    vfi = node("VarFileInfo", vtype=1, children=pad4(var))
    return node("VS_VERSION_INFO", fixed, len(fixed), 0, pad4(sfi) + pad4(vfi))


def resource_directory(entries):
    table = 8 + 4 + 32 * len(entries)
    out = bytearray(table + (-table % 8))
    out[0:8] = b"OSRSRC1\0"
    out[8:12] = struct.pack("<I", len(entries))
    at = 12
    for rtype, rid, lang, data in entries:
        offset = len(out)
        out += data + b"\0" * (-len(data) % 8)
        out[at:at + 16] = rtype.encode().ljust(16, b"\0")
        out[at + 16:at + 32] = struct.pack("<IIII", rid, lang, offset, len(data))
        at += 32
    return bytes(out)


def module(tmp, directory):
    source = os.path.join(tmp, "m.c")
    with open(source, "w") as f:
        f.write("int DllGetClassObject(void) { return 0; }\n"
                "int DllCanUnloadNow(void) { return 1; }\n")
    plain = os.path.join(tmp, "m.so")
    subprocess.run(["cc", "-shared", "-nostdlib", "-Os", "-s", "-fPIC",
                    "-Wl,-z,max-page-size=16", "-Wl,-z,noseparate-code", "-Wl,--hash-style=gnu",
                    "-o", plain, source], check=True)
    section = os.path.join(tmp, "rsrc.bin")
    with open(section, "wb") as f:
        f.write(directory)
    withres = os.path.join(tmp, "mr.so")
    subprocess.run(["objcopy", "--add-section", ".ostrel_rsrc=" + section,
                    "--set-section-flags", ".ostrel_rsrc=alloc,readonly,data",
                    plain, withres], check=True)
    return open(plain, "rb").read(), open(withres, "rb").read()


def main():
    tlb = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build", "bin",
                                                              "Ostrel.tlb")
    for target in ("inspect", "registry", "store_entry", "import", "state_text", "state_binary",
                   "name", "subject", "module"):
        clear(target)

    with tempfile.TemporaryDirectory() as tmp:
        files = credentials(tmp)
        directory = resource_directory([("#16", 1, 0x0409, version_block()),
                                        ("#6", 1, 0x0409, utf16z("Ostrel")),
                                        ("TYPELIB", 1, 0x0409, b"OSTRLTLB\1\0\0\0")])
        plain_so, res_so = module(tmp, directory)

    # Inspection: a signed message as the methods take it (hex), and as bytes.
    write("inspect", "signed.hex", files["signed.der"].hex().upper())
    write("inspect", "signed.der", files["signed.der"])
    write("inspect", "name.der", names()["plain.der"])
    write("inspect", "odd.hex", "ABC")

    header = "Windows Registry Editor Version 5.00\r\n\r\n"
    write("registry", "registration.reg", header +
          "[HKEY_CURRENT_USER\\Software\\Classes\\OSTREL.OstrelCtrl.1]\r\n"
          "@=\"Ostrel Control\"\r\n\r\n"
          "[HKEY_CURRENT_USER\\Software\\Classes\\OSTREL.OstrelCtrl.1\\CLSID]\r\n"
          "@=\"{00000000-1111-2222-3333-444444444444}\"\r\n\r\n"
          "[HKEY_CURRENT_USER\\Software\\Classes\\CLSID\\{00000000-1111-2222-3333-444444444444}"
          "\\InprocServer32]\r\n@=\"/opt/ostrel/OSTREL.OCX\"\r\n\"ThreadingModel\"=\"Apartment\"\r\n")
    write("registry", "types.reg", header +
          "[HKEY_CURRENT_USER\\Software\\Test]\n\"Text\"=\"a \\\"quoted\\\" \\\\ value\"\n"
          "\"Count\"=dword:0000002a\n\"Blob\"=hex:01,02,ff\n"
          "\"Expand\"=hex(2):25,00,48,00,00,00\n\"Multi\"=hex(7):61,00,00,00,\\\n"
          "  62,00,00,00,00,00\n\"None\"=hex(0):\n")
    write("registry", "utf8-bom.reg", "\ufeff" + header + "[HKEY_CURRENT_USER\\Ünïcödé]\n@=\"ü\"\n")
    write("registry", "empty.reg", header)
    write("registry", "no-header.reg", "[HKEY_CURRENT_USER\\X]\n")
    write("registry", "unterminated.reg", header + "[HKEY_CURRENT_USER\\X\n")
    write("registry", "value-first.reg", header + "\"a\"=\"b\"\n")
    write("registry", "cut-hex.reg", header + "[HKEY_CURRENT_USER\\X]\n\"b\"=hex:01,\\\n")

    write("store_entry", "ec-with-key.pem", files["ec.pem"] + files["ec.key"])
    write("store_entry", "rsa-with-key.pem", files["rsa.pem"] + files["rsa.key"])
    write("store_entry", "cert-only.pem", files["ec.pem"])
    write("store_entry", "traditional-key.pem", files["ec.pem"] + files["ec.rsa-style.key"])
    write("store_entry", "wrong-key.pem", files["ec.pem"] + files["rsa.key"])
    write("store_entry", "truncated.pem", (files["ec.pem"] + files["ec.key"])[:300])
    write("store_entry", "key-only.pem", files["ec.key"])
    # Taken for a certificate's DER and written as its PEM block.
    write("store_entry", "cert.der", files["ec.der"])
    write("store_entry", "cert-trailing.der", files["ec.der"] + b"\0")

    write("import", "fast.p12", files["fast.p12"])
    write("import", "nomac.p12", files["nomac.p12"])
    write("import", "legacy.p12", files["legacy.p12"])
    write("import", "cert-and-key.pem", files["rsa.key"] + files["rsa.pem"])
    write("import", "encrypted-key.pem", files["ec.pem"] + files["ec.enc.key"])
    write("import", "cert.der", files["ec.der"])
    write("import", "two-keys.pem", files["ec.pem"] + files["ec.key"] + files["rsa.key"])
    write("import", "truncated.p12", files["fast.p12"][:200])

    if os.path.exists(tlb):
        image = open(tlb, "rb").read()
        clear("typelib")
        write("typelib", "Ostrel.tlb", image)
        write("typelib", "truncated.tlb", image[:len(image) // 2])
        flipped = bytearray(image)
        flipped[40] ^= 0x01
        write("typelib", "bad-checksum.tlb", bytes(flipped))
        write("typelib", "newer.tlb", image[:8] + b"\2\0" + image[10:])

    write("state_text", "saved.txt",
          "# Ostrel Control\n_Version=65537\n_ExtentX=2646\n_ExtentY=1323\n_StockProps=0\n")
    write("state_text", "escapes.txt", "Caption=two\\nlines\\tand \\\\ \\x01\r\nNote=é\n")
    write("state_text", "bad-types.txt", "_ExtentX=wide\n_Version=-1\n_StockProps=99999999999\n")
    write("state_text", "twice.txt", "a=1\nA=2\n")
    write("state_text", "no-equals.txt", "just text\n")
    write("state_text", "bad-escape.txt", "a=\\q\n")

    saved = [("_Version", 3, 0x00010001), ("_ExtentX", 3, 2646), ("_ExtentY", 3, 1323),
             ("_StockProps", 3, 0)]
    write("state_binary", "saved.bin", state(saved))
    write("state_binary", "all-types.bin",
          state([("short", 2, 0xFFFE), ("flag", 11, 0xFFFF), ("long", 3, 7), ("ulong", 19, 9),
                 ("text", 8, "Grüße")]))
    write("state_binary", "empty.bin", state([]))
    write("state_binary", "bad-crc.bin", state(saved, crc=False))
    write("state_binary", "newer.bin", state(saved, version=2))
    write("state_binary", "short-count.bin", state(saved, count=9))
    write("state_binary", "truncated.bin", state(saved)[:20])

    for n, data in names().items():
        write("name", n, data)

    write("subject", "plain.txt", "/C=DE/O=Ostrel Test/CN=Test Signer/emailAddress=t@example.org")
    write("subject", "escapes.txt", "/CN=a\\/b\\\\c/OU=x/E=e@example.org/S=Bavaria")
    write("subject", "many.txt", "/DC=org/DC=example/UID=u1/title=Dr/GN=Ann/SN=Lee/initials=AL"
                                 "/serialNumber=42/street=Main 1/postalCode=12345/name=n"
                                 "/description=d/pseudonym=p/generationQualifier=Jr"
                                 "/dnQualifier=q/businessCategory=b/L=Town")
    write("subject", "day.txt", "2024-02-29")
    write("subject", "bad-day.txt", "2023-02-29")
    write("subject", "bad-country.txt", "/C=DEU")
    write("subject", "unknown-key.txt", "/XX=1")
    write("subject", "no-slash.txt", "CN=x")

    write("module", "with-resources.so", res_so)
    write("module", "plain.so", plain_so)
    write("module", "truncated.so", res_so[:len(res_so) // 3])
    write("module", "directory.bin", directory)
    write("module", "version.bin", version_block())
    write("module", "not-elf.txt", "MZ not a module")


if __name__ == "__main__":
    main()
