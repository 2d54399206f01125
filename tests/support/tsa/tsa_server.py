#!/usr/bin/env python3
"""A time-stamping authority for tests, on 127.0.0.1.

It answers RFC 3161 requests (POST, application/timestamp-query) with
`openssl ts -reply`, signed by a TSA certificate (extendedKeyUsage
timeStamping, critical) that its own CA issued. The keys and certificates are
made once, into the folder given with --dir, and reused by every later start
with the same folder.

How to start it from a test:

  C++ (GoogleTest, links ostrel_test_support):
      #include "tests/support/TestTsa.h"
      const auto& tsa = ostrel::test::TestTsa::Shared();  // one per process
      std::wstring url = tsa.WideUrl("good");             // or tsa.Url("good")
      // tsa.CaCert(), tsa.TsaCert(): PEM files for `openssl ts -verify`
  The process's authority runs until the process ends; its folder (keys,
  certificates, openssl's serial file) is removed then.

  Shell:
      python3 tests/support/tsa/tsa_server.py --dir "$tmp/tsa" --url-file "$tmp/tsa.url" &
      while [ ! -s "$tmp/tsa.url" ]; do sleep 0.05; done
      url=$(cat "$tmp/tsa.url")          # http://127.0.0.1:PORT/
      ostrel sign ... --tsa "${url}good"
      kill %1

  Python:
      import tsa_server
      server = tsa_server.start("/tmp/some-folder")  # runs in a thread
      url = server.url                                # http://127.0.0.1:PORT/
      server.shutdown()

  Node (browser suites): spawn python3 with --dir, read the first line of its
  standard output, which is the URL.

The first line it prints on standard output is its base URL. The mode is the
path of the URL the request is sent to:

  good           a granted reply over the request as sent
  wrong-imprint  a granted reply over another message imprint
  wrong-nonce    a granted reply with another nonce
  reject         status rejection (badAlg), no token
  garbage        bytes that are not a time-stamp reply
  huge           a 5 MiB body with its Content-Length
  huge-stream    a 5 MiB body without a Content-Length (ends with the connection)
  silent         no answer: the request is held for --silent-seconds
  error500       HTTP 500

GET /last gives the body of the last POST (and its Content-Type in the
X-Query-Content-Type header), for tests of what a client sends.
"""

import argparse
import http.server
import os
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

MODES = ("good", "wrong-imprint", "wrong-nonce", "reject", "garbage", "huge",
         "huge-stream", "silent", "error500")
HUGE = 5 * 1024 * 1024
POLICY = "1.3.6.1.4.1.55555.1.1"

CONFIG = """\
[ tsa ]
default_tsa = test_tsa

[ test_tsa ]
serial = {dir}/serial
crypto_device = builtin
signer_cert = {dir}/tsa.pem
certs = {dir}/ca.pem
signer_key = {dir}/tsa.key
signer_digest = sha256
default_policy = {policy}
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ordering = no
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256

[ tsa_ext ]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature, nonRepudiation
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid

[ ca_ext ]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
"""


def _openssl(*args, stdin=None):
    return subprocess.run(["openssl", *args], input=stdin, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, check=True).stdout


def make_keys(folder):
    """Makes the CA, the TSA certificate and the openssl configuration in
    `folder` unless a previous start made them already."""
    os.makedirs(folder, mode=0o700, exist_ok=True)
    config = os.path.join(folder, "tsa.cnf")
    done = os.path.join(folder, "ready")
    if os.path.exists(done):
        return config
    with open(config, "w") as f:
        f.write(CONFIG.format(dir=folder, policy=POLICY))
    with open(os.path.join(folder, "serial"), "w") as f:
        f.write("01\n")
    p = lambda name: os.path.join(folder, name)
    # EC keys: made in milliseconds, which keeps a test run's start quick.
    _openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
             "-nodes", "-keyout", p("ca.key"), "-out", p("ca.pem"), "-days", "3650",
             "-subj", "/O=ostrel tests/CN=Test Time-Stamping CA", "-config", config,
             "-extensions", "ca_ext")
    _openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
             "-nodes", "-keyout", p("tsa.key"), "-out", p("tsa.csr"),
             "-subj", "/O=ostrel tests/CN=Test Time-Stamping Authority", "-config", config)
    _openssl("x509", "-req", "-in", p("tsa.csr"), "-CA", p("ca.pem"), "-CAkey", p("ca.key"),
             "-set_serial", "0x7154", "-days", "3650", "-out", p("tsa.pem"),
             "-extfile", config, "-extensions", "tsa_ext")
    open(done, "w").close()
    return config


# Just enough DER to find the message imprint and the nonce of a request.
def _tlv(data, at):
    tag = data[at]
    length = data[at + 1]
    at += 2
    if length & 0x80:
        count = length & 0x7F
        length = int.from_bytes(data[at:at + count], "big")
        at += count
    return tag, at, length  # tag, where the contents start, their length


def _children(data, start, length):
    at = start
    while at < start + length:
        tag, body, size = _tlv(data, at)
        yield tag, body, size
        at = body + size


def _patched(query, what):
    """The request with the last byte of its hashed message ("imprint") or of
    its nonce ("nonce") changed; lengths stay as they were."""
    query = bytearray(query)
    _, body, size = _tlv(query, 0)
    fields = list(_children(query, body, size))
    if what == "imprint":
        _, imprint, imprint_size = fields[1]
        _, alg_body, alg_size = _tlv(query, imprint)
        _, digest, digest_size = _tlv(query, alg_body + alg_size)
        query[digest + digest_size - 1] ^= 0x01
    else:
        nonces = [f for f in fields[2:] if f[0] == 0x02]
        if nonces:
            _, nonce, nonce_size = nonces[0]
            query[nonce + nonce_size - 1] ^= 0x01
    return bytes(query)


REJECTION = bytes.fromhex(
    # TimeStampResp { status { rejection, "...", badAlg } }
    "3021" "301f" "020102" "3016" "0c14") + b"rejected by the test" + bytes.fromhex("03020780")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write("tsa: " + fmt % args + "\n")

    def _send(self, code, body, content_type="application/timestamp-reply", length=True):
        self.send_response(code)
        self.send_header("Content-Type", content_type)
        if length:
            self.send_header("Content-Length", str(len(body)))
        else:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        try:
            self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def do_GET(self):
        if urllib.parse.urlsplit(self.path).path != "/last":
            self._send(404, b"", "text/plain")
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("X-Query-Content-Type", self.server.last[0])
        self.send_header("Content-Length", str(len(self.server.last[1])))
        self.end_headers()
        self.wfile.write(self.server.last[1])

    def do_POST(self):
        size = int(self.headers.get("Content-Length", "0"))
        query = self.rfile.read(size) if 0 < size <= 65536 else b""
        self.server.last = (self.headers.get("Content-Type", ""), query)
        # A request through a proxy names the whole URL.
        mode = urllib.parse.urlsplit(self.path).path.strip("/")
        if mode not in MODES:
            self._send(404, b"", "text/plain")
        elif mode == "error500":
            self._send(500, b"the test authority fails on purpose\n", "text/plain")
        elif mode == "garbage":
            self._send(200, b"this is not a time-stamp reply\n" * 4)
        elif mode == "huge":
            self._send(200, b"\x30" * HUGE)
        elif mode == "huge-stream":
            self._send(200, b"\x30" * HUGE, length=False)
        elif mode == "silent":
            time.sleep(self.server.silent_seconds)
            self.close_connection = True
        elif mode == "reject":
            self._send(200, REJECTION)
        else:
            if mode == "wrong-imprint":
                query = _patched(query, "imprint")
            elif mode == "wrong-nonce":
                query = _patched(query, "nonce")
            try:
                self._send(200, self.server.reply(query))
            except subprocess.CalledProcessError as e:
                self._send(400, e.stderr, "text/plain")


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, folder, silent_seconds=30, verbose=False):
        super().__init__(("127.0.0.1", 0), Handler)
        self.folder = folder
        self.config = make_keys(folder)
        self.silent_seconds = silent_seconds
        self.verbose = verbose
        self.last = ("", b"")
        self.lock = threading.Lock()  # openssl ts keeps its serial number in a file
        self.url = "http://127.0.0.1:%d/" % self.server_address[1]

    def reply(self, query):
        with self.lock:
            return _openssl("ts", "-reply", "-config", self.config, "-queryfile", "/dev/stdin",
                            "-chain", os.path.join(self.folder, "ca.pem"), stdin=query)


def start(folder, silent_seconds=30):
    """Starts an authority in a thread of this process; returns the server
    (its `url`, `shutdown()`)."""
    server = Server(folder, silent_seconds)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", help="where the keys are kept (made on the first start); "
                        "a temporary folder when not given")
    parser.add_argument("--url-file", help="also write the URL to this file once listening")
    parser.add_argument("--silent-seconds", type=float, default=30)
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()
    folder = args.dir or tempfile.mkdtemp(prefix="ostrel-tsa-")
    server = Server(os.path.abspath(folder), args.silent_seconds, args.verbose)
    print(server.url, flush=True)
    if args.url_file:
        with open(args.url_file + ".tmp", "w") as f:
            f.write(server.url)
        os.replace(args.url_file + ".tmp", args.url_file)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
