// What a hostile page can make of the bridge's intake, in one browser: a
// sandboxed page (whose origin is opaque), a request built to make the host
// spend memory, and a flood of requests. A world and a browser of its own,
// apart from the main suite.
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { createServer } from "node:http";
import { after, before, describe, test } from "node:test";

import { browserAvailable, launch, makeWorld, openPage, postRaw } from "./harness.mjs";

// A page served sandboxed: its origin is opaque ("null") though its address
// is http://127.0.0.1. It posts one request as soon as it runs, as a page
// that does not use ostrel.js would, and keeps the answer.
const SANDBOXED = `<!doctype html>
<meta charset="utf-8">
<title>sandboxed</title>
<script>
  window.answer = new Promise((resolve) => {
    addEventListener("message", (event) => {
      if (event.data?.type === "ostrel-response" && event.data.id === 1) resolve(event.data);
    });
    setTimeout(() => resolve({ silent: true }), 10000);
  });
  window.postMessage({ type: "ostrel-request", id: 1, method: "VerifyMessage", args: ["00"] }, "*");
</script>
<p>A sandboxed page.</p>`;

function serveSandboxed() {
  const server = createServer((request, response) => {
    response.writeHead(200, {
      "content-type": "text/html; charset=utf-8",
      "content-security-policy": "sandbox allow-scripts",
      "cache-control": "no-store",
    });
    response.end(SANDBOXED);
  });
  return new Promise((done) => server.listen(0, "127.0.0.1", () => done(server)));
}

// How large the hostile request is, in MiB: the most a request may carry.
// Firefox's content process takes gigabytes and many minutes to hand a page's
// 22 million objects to the extension (it did not finish 64 MiB in 12), so
// it sends 8 MiB unless OSTREL_INTAKE_MIB says otherwise; the host's work
// per byte is the same.
const mibFor = (name) => Number(process.env.OSTREL_INTAKE_MIB ?? (name === "firefox" ? 8 : 64));

// The most memory the process `pid` has held (VmHWM), in KiB.
function peakKiB(pid) {
  const line = readFileSync(`/proc/${pid}/status`, "utf8").split("\n").find((l) => l.startsWith("VmHWM:"));
  return Number(line.split(/\s+/)[1]);
}

export function defineIntakeSuite(name) {
  describe(`${name}: the intake from pages`, { skip: !browserAvailable(name) && `${name} is not installed` }, () => {
    let world;
    let browser;
    let sandboxServer;

    before(async () => {
      world = await makeWorld();
      browser = await launch(name, world, { protocolTimeout: 600_000 });
      sandboxServer = await serveSandboxed();
    });

    after(async () => {
      await browser?.close();
      await new Promise((done) => (sandboxServer ? sandboxServer.close(done) : done()));
      await world?.close();
    });

    test("a sandboxed page is refused with ERR_ORIGIN, and no host is started for it", async () => {
      const starts = world.hostStarts();
      const page = await browser.newPage();
      await page.goto(`http://127.0.0.1:${sandboxServer.address().port}/sandboxed.html`);
      assert.equal(await page.evaluate(() => window.origin), "null");
      const answer = await page.evaluate(() => window.answer);
      assert.equal(answer.error?.code, "ERR_ORIGIN", JSON.stringify(answer));
      assert.equal(world.hostStarts(), starts);
      await page.close();
    });

    const MIB = mibFor(name);
    test(`a request of ${MIB} MiB of empty objects is refused, the host within 3x its size + 32 MiB`, { timeout: 600_000 }, async () => {
      const page = await openPage(browser, await world.origin());
      const starts = world.hostStarts();
      // As many "{}," as fit the 64 MiB a request may carry.
      const started = Date.now();
      const answer = await page.evaluate((mib) => {
        const count = Math.floor((mib * 1024 * 1024 - 4096 - 2) / 3);
        const args = Array.from({ length: count }, () => ({}));
        return window.postRaw({ type: "ostrel-request", id: 1, method: "VerifyMessage", args }, 580_000);
      }, MIB);
      console.log(`${name}: ${MIB} MiB of empty objects answered in ${Date.now() - started} ms`);
      assert.equal(answer.error?.code, "ERR_ARGS", JSON.stringify(answer).slice(0, 300));
      assert.equal(world.hostStarts(), starts + 1);
      const peak = peakKiB(world.lastHost());
      console.log(`${name}: the host's peak after a ${MIB} MiB request: ${peak} KiB`);
      assert.ok(peak <= 3 * MIB * 1024 + 32 * 1024, `${peak} KiB`);
      // The host still serves the page.
      const hex = world.attached.hex;
      const next = await postRaw(page, { type: "ostrel-request", id: 2, method: "VerifyMessage", args: [hex] }, 60_000);
      assert.equal(next.result, true, JSON.stringify(next));
      await page.close();
    });

    test("a flood of requests is answered, the excess with ERR_BUSY at once", { timeout: 120_000 }, async () => {
      const page = await openPage(browser, await world.origin());
      const answers = await page.evaluate((hex) =>
        Promise.all(Array.from({ length: 400 }, (_, id) =>
          window.postRaw({ type: "ostrel-request", id, method: "GetSerialNumber", args: [hex] }, 60_000))),
      world.attached.hex);
      const codes = answers.map((a) => a.error?.code ?? (a.silent ? "silent" : "result"));
      const count = (code) => codes.filter((c) => c === code).length;
      assert.equal(count("result") + count("ERR_BUSY"), 400, JSON.stringify([...new Set(codes)]));
      assert.ok(count("ERR_BUSY") > 0, "some were refused");
      assert.ok(count("result") >= 65, `${count("result")} answered`);
      answers.filter((a) => a.result !== undefined).forEach((a) => assert.equal(a.result, world.attached.serial));
      await page.close();
    });
  });
}
