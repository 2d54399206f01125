// What the browser tests stand on: a home of their own with a demo
// certificate and signed messages made by OpenSSL, the bridge installed for
// both browsers, test pages served on as many loopback origins as a test
// wants, and the browsers themselves, headless, with the extension loaded.
//
// The browsers start the bridge through a small wrapper that takes the
// scripted user's actions (and, for the failure cases, a misbehaving host)
// from files the running test writes, since a browser hands every host it
// starts the environment it was started with.
import { execFileSync } from "node:child_process";
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join, resolve } from "node:path";
import { fileURLToPath } from "node:url";

import puppeteer from "puppeteer-core";

import { serve, serveExample } from "../../../../examples/web/serve.mjs";

const here = dirname(fileURLToPath(import.meta.url));
export const repo = resolve(here, "../../../..");
export const extensionDir = join(repo, "hosts/bridge/extension");
export const bin = resolve(process.env.OSTREL_BIN ?? join(repo, "build/bin"));

export const HOST_NAME = "org.ostrel.bridge";
export const CHROMIUM_ID = "amjognmoflajiapjipcbekmikmkbdpkl";
export const SIGNER = "/C=US/O=Demo Org/CN=Ann Lee/emailAddress=ann.lee@example.org";

function run(file, args, options = {}) {
  return execFileSync(file, args, { encoding: "utf8", stdio: ["pipe", "pipe", "pipe"], ...options });
}

// The first program of `names` that exists.
function firstOf(...names) {
  return names.find((name) => name && existsSync(name));
}

export class World {
  constructor() {
    this.dir = mkdtempSync(join(tmpdir(), "ostrel-browser-"));
    this.home = join(this.dir, "home");
    this.ostrelHome = join(this.dir, "ostrel-home");
    this.configHome = join(this.home, ".config");
    this.state = join(this.dir, "host-state");
    this.files = join(this.dir, "files");
    for (const d of [this.home, this.ostrelHome, this.configHome, this.state, this.files]) {
      mkdirSync(d, { recursive: true, mode: 0o700 });
    }
    this.env = {
      ...process.env,
      HOME: this.home,
      XDG_CONFIG_HOME: this.configHome,
      OSTREL_HOME: this.ostrelHome,
      OSTREL_UI: "script",
    };
    // Headless: nothing may reach a display of the machine running the tests.
    for (const name of ["DISPLAY", "WAYLAND_DISPLAY", "OSTREL_UI_SCRIPT", "OSTREL_UI_LOG"]) {
      delete this.env[name];
    }
    this.servers = [];
    this.logCount = 0;
  }

  ostrel(...args) {
    return run(join(bin, "ostrel"), args, { env: this.env });
  }

  file(name, content) {
    const path = join(this.files, name);
    if (content !== undefined) writeFileSync(path, content);
    return path;
  }

  // The demo certificate in the store, and messages signed by OpenSSL with
  // their content ("attached"), as DER and as the hexadecimal text the
  // control's checks take: one by the store's certificate, one by a second
  // signer that is not in the store, and one whose content was altered.
  makeStore() {
    this.ostrel("store", "new-test-cert", "--subject", SIGNER);
    const entry = run("sh", ["-c", 'ls "$1"/stores/MY/*.pem | head -n1', "sh", this.ostrelHome]).trim();
    this.certPem = this.file("cert.pem");
    this.keyPem = this.file("key.pem");
    run("openssl", ["x509", "-in", entry, "-out", this.certPem]);
    run("openssl", ["pkey", "-in", entry, "-out", this.keyPem]);
    const otherKey = this.file("other-key.pem");
    const otherCert = this.file("other-cert.pem");
    run("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", otherKey, "-out", otherCert,
      "-days", "30", "-subj", "/C=DE/O=Other Org/CN=Bo Berg"]);

    this.text = "I, Ann Lee, agree to the terms of 7 December 2026.\n";
    this.attached = this.signAttached("attached", this.text, this.certPem, this.keyPem);
    this.otherAttached = this.signAttached("other", "Bo Berg's text", otherCert, otherKey);
    // The content "I, Ann" becomes "X, Ann": the signature no longer holds.
    const i = this.attached.hex.indexOf(Buffer.from("I, Ann").toString("hex"));
    this.tamperedHex = `${this.attached.hex.slice(0, i)}58${this.attached.hex.slice(i + 2)}`;
  }

  signAttached(name, text, cert, key) {
    const textFile = this.file(`${name}.txt`, text);
    const der = this.file(`${name}.der`);
    run("openssl", ["cms", "-sign", "-binary", "-nodetach", "-md", "sha256", "-signer", cert, "-inkey", key,
      "-in", textFile, "-outform", "DER", "-out", der]);
    const hex = readFileSync(der).toString("hex").toUpperCase();
    const hexFile = this.file(`${name}.hex`, hex);
    // What the same checks say when the command runs them in-process.
    return {
      hex,
      subject: this.ostrel("subject", "--in", hexFile).trim(),
      serial: this.ostrel("serial", "--in", hexFile).trim(),
    };
  }

  // Whether OpenSSL accepts `base64` as a detached signature of `text`.
  verifyDetached(text, base64) {
    const textFile = this.file("checked.txt", text);
    const der = this.file("checked.der", Buffer.from(base64, "base64"));
    try {
      run("openssl", ["cms", "-verify", "-binary", "-noverify", "-inform", "DER", "-in", der,
        "-content", textFile, "-out", "/dev/null"]);
      return true;
    } catch {
      return false;
    }
  }

  // Whether OpenSSL accepts `base64` as a CAdES signature of `text`
  // (`openssl cms -verify -cades`): beside the text, or with `attached`
  // carrying exactly that text itself. CAdES checks need the signer's
  // certificate trusted: the one the message carries is, once its signature
  // holds.
  verifyCades(text, base64, { attached = false } = {}) {
    const textFile = this.file("cades.txt", text);
    const der = this.file("cades.der", Buffer.from(base64, "base64"));
    const signer = this.file("cades-signer.pem", "");
    const out = this.file("cades.out", "");
    const common = ["-binary", "-inform", "DER", "-in", der, ...(attached ? [] : ["-content", textFile])];
    try {
      run("openssl", ["cms", "-verify", "-noverify", ...common, "-signer", signer, "-out", "/dev/null"]);
      run("openssl", ["cms", "-verify", "-cades", "-CAfile", signer, "-partial_chain", "-purpose", "any",
        ...common, "-out", out]);
    } catch {
      return false;
    }
    return !attached || readFileSync(out).equals(Buffer.from(text));
  }

  // What `ostrel verify --signature --json` reports of `base64`, a signature
  // of `text` (carried inside it with `attached`).
  report(text, base64, { attached = false } = {}) {
    const signature = this.file("report.sig", base64);
    const content = attached ? [] : ["--content", this.file("report.txt", text)];
    return JSON.parse(this.ostrel("verify", "--json", "--signature", signature, ...content));
  }

  // The bridge installed for both browsers by `ostrel bridge install`, its
  // manifests then pointed at the wrapper, which starts the same host.
  installHost() {
    this.wrapper = join(this.state, "ostrel-bridge");
    const quote = (s) => `'${s.replaceAll("'", "'\\''")}'`;
    writeFileSync(this.wrapper, `#!/bin/sh
# The bridge as the browser starts it, with what the running test asked for.
state=${quote(this.state)}
OSTREL_UI_SCRIPT=$(cat "$state/ui-script" 2>/dev/null)
OSTREL_UI_LOG=$(cat "$state/ui-log" 2>/dev/null)
export OSTREL_UI_SCRIPT OSTREL_UI_LOG
mode=$(cat "$state/mode" 2>/dev/null)
# Logged once the above is read: a test may change it from then on.
echo "$$ $*" >> "$state/starts"
if [ -n "$mode" ]; then
  exec ${quote(process.execPath)} ${quote(join(here, "fake-host.mjs"))} "$mode"
fi
exec ${quote(join(bin, "ostrel-bridge"))} "$@"
`, { mode: 0o700 });
    this.hostMode("");
    this.userScript("");

    // Chromium reads the hosts of the user data folder it runs with; run
    // with the default one, that is where the install puts them.
    this.chromiumProfile = join(this.configHome, "chromium");
    this.manifests = {
      chromium: join(this.chromiumProfile, "NativeMessagingHosts", `${HOST_NAME}.json`),
      firefox: join(this.home, ".mozilla", "native-messaging-hosts", `${HOST_NAME}.json`),
    };
    for (const [browser, path] of Object.entries(this.manifests)) {
      this.ostrel("bridge", "install", "--browser", browser);
      const manifest = JSON.parse(readFileSync(path, "utf8"));
      if (manifest.path !== join(bin, "ostrel-bridge")) {
        throw new Error(`${path} names ${manifest.path}, not the built host`);
      }
      this.writeManifest(browser, { ...manifest, path: this.wrapper });
    }
  }

  writeManifest(browser, manifest) {
    const path = this.manifests[browser];
    mkdirSync(dirname(path), { recursive: true });
    writeFileSync(path, JSON.stringify(manifest, null, 2));
  }

  // The host the next started bridge is: "" for the real one, else a mode
  // of fake-host.mjs.
  hostMode(mode) {
    writeFileSync(join(this.state, "mode"), mode);
  }

  // The scripted user's actions for the next started bridge, and a fresh log
  // of what it saw; returns a function that reads that log.
  userScript(script) {
    writeFileSync(join(this.state, "ui-script"), script);
    const log = join(this.state, `ui-${++this.logCount}.log`);
    writeFileSync(join(this.state, "ui-log"), log);
    return () => (existsSync(log) ? readFileSync(log, "utf8").trim().split("\n").filter(Boolean).map(JSON.parse) : []);
  }

  // The bridges the browsers have started so far: "PID ARGS" each.
  hosts() {
    const file = join(this.state, "starts");
    return existsSync(file) ? readFileSync(file, "utf8").trim().split("\n").filter(Boolean) : [];
  }

  hostStarts() {
    return this.hosts().length;
  }

  // The process of the bridge started last.
  lastHost() {
    return Number(this.hosts().at(-1)?.split(" ")[0]);
  }

  // A new origin serving the test pages: http://127.0.0.1:PORT, or with
  // `name` "localhost" or "[::1]" (listening on the IPv6 loopback) those.
  async origin(name = "127.0.0.1") {
    const server = await serve({
      root: join(here, "pages"),
      mounts: { "/ostrel.js": join(repo, "hosts/bridge/page/ostrel.js") },
      host: name === "[::1]" ? "::1" : "127.0.0.1",
    });
    this.servers.push(server);
    return `http://${name}:${server.address().port}`;
  }

  // A new origin serving the test pages over https on 127.0.0.1, with a
  // throwaway certificate the browsers are launched to accept: the loopback
  // over http can be served by any user of the computer, so only https
  // there may hold a grant that spares the question.
  async secureOrigin() {
    if (!this.tls) {
      const key = this.file("tls-key.pem");
      const cert = this.file("tls-cert.pem");
      run("openssl", ["req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
        "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1",
        "-addext", "subjectAltName=IP:127.0.0.1"]);
      this.tls = { key: readFileSync(key), cert: readFileSync(cert) };
    }
    const server = await serve({
      root: join(here, "pages"),
      mounts: { "/ostrel.js": join(repo, "hosts/bridge/page/ostrel.js") },
      tls: this.tls,
    });
    this.servers.push(server);
    return `https://127.0.0.1:${server.address().port}`;
  }

  // The example page's origin.
  async exampleOrigin() {
    const server = await serveExample();
    this.servers.push(server);
    return `http://127.0.0.1:${server.address().port}`;
  }

  async close() {
    await Promise.all(this.servers.map((s) => new Promise((done) => s.close(done))));
    rmSync(this.dir, { recursive: true, force: true });
  }
}

export async function makeWorld() {
  const world = new World();
  world.makeStore();
  world.installHost();
  return world;
}

const chromiumBinary = () =>
  firstOf(process.env.CHROMIUM, "/usr/lib/chromium/chromium", "/usr/bin/chromium", "/usr/bin/chromium-browser");
const firefoxBinary = () =>
  firstOf(process.env.FIREFOX, "/usr/lib/firefox-esr/firefox-esr", "/usr/bin/firefox-esr", "/usr/bin/firefox");

export function browserAvailable(name) {
  return Boolean(name === "chromium" ? chromiumBinary() : firefoxBinary());
}

// The browser, headless, with the extension loaded (the world's own copy
// when it names one, such as an installed package's; none when it says null,
// for a Chromium whose command loads it itself, like Debian's `chromium`
// with a package's extension; `chromiumBinary` names that command) and the
// world's home.
// `protocolTimeout`: how long one call into the page may take.
export async function launch(name, world, { protocolTimeout = 120_000 } = {}) {
  const extension = world.extensionDir === undefined ? extensionDir : world.extensionDir;
  if (name === "chromium") {
    const args = [
      "--headless",
      `--user-data-dir=${world.chromiumProfile}`,
      ...(extension ? [`--load-extension=${extension}`, `--disable-extensions-except=${extension}`] : []),
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
      "--no-first-run",
      "--no-default-browser-check",
      "--disable-dev-shm-usage",
      // The pages of World.secureOrigin() carry a throwaway certificate.
      "--ignore-certificate-errors",
      "about:blank",
    ];
    if (process.getuid?.() === 0) args.unshift("--no-sandbox");
    return puppeteer.launch({
      executablePath: world.chromiumBinary ?? chromiumBinary(),
      ignoreDefaultArgs: true,
      pipe: true,
      args,
      env: world.env,
      protocolTimeout,
    });
  }
  const browser = await puppeteer.launch({
    browser: "firefox",
    executablePath: firefoxBinary(),
    headless: true,
    env: world.env,
    protocolTimeout,
    // The pages of World.secureOrigin() carry a throwaway certificate.
    acceptInsecureCerts: true,
  });
  if (extension) await browser.installExtension(extension);
  return browser;
}

// A tab showing the test page of `origin`, with its library loaded.
export async function openPage(browser, origin, path = "/") {
  const page = await browser.newPage();
  await page.goto(origin + path);
  await page.waitForFunction(() => window.pageLoaded === true);
  return page;
}

// The example page (examples/web) at `origin` signs `text` as its user
// would: it waits for the page to find the extension, types the text and
// presses Sign. Gives the signature text and what the page signed (the box's
// text, whose line breaks are LF); each status the page shows goes to `say`.
export async function signOnExamplePage(browser, origin, text, say = console.log) {
  const page = await browser.newPage();
  await page.goto(`${origin}/`);
  // The page's status has class ok once the extension answered, or error.
  const settled = () => /\b(ok|error)\b/.test(document.getElementById("status").className);
  const tell = async () => say(`${origin}/ says: ${await page.$eval("#status", (s) => s.textContent)}`);
  await page.waitForFunction(settled, { timeout: 15_000 });
  await tell();
  await page.$eval("#text", (box, value) => (box.value = value), text);
  await page.click("#sign-form button[type=submit]");
  await page.waitForFunction(settled, { timeout: 60_000 });
  await tell();
  const signature = await page.$eval("#signature", (s) => s.textContent);
  if (!signature.includes("BEGIN PKCS7")) throw new Error("the page shows no signature");
  return { signature, signed: await page.$eval("#text", (box) => box.value) };
}

// A method of ostrel.js called in the page: {result} or {error: {code, ...}}.
export function call(page, method, ...args) {
  return page.evaluate((m, a) => window.callOstrel(m, a), method, args);
}

// A message posted to the page's window as it is, and the response to it.
export function postRaw(page, message, ms) {
  return page.evaluate((m, t) => window.postRaw(m, t), message, ms);
}
