// The extension's service worker on its own, with the browser's API played
// by the test: which senders it serves and how much a page may make wait.
// Run by CTest through `node --test`.
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { dirname, join } from "node:path";
import { test } from "node:test";
import { fileURLToPath } from "node:url";
import vm from "node:vm";

const here = dirname(fileURLToPath(import.meta.url));
const source = readFileSync(join(here, "../../../hosts/bridge/extension/background.js"), "utf8");

// A fresh service worker whose native host answers the handshake and holds
// every other request until the test answers it.
function worker() {
  let listener = null;
  const ports = [];
  const chrome = {
    runtime: {
      id: "ostrel",
      getManifest: () => ({ version: "1.1.0" }),
      onMessage: { addListener: (f) => (listener = f) },
      connectNative() {
        const port = {
          sent: [],
          onMessage: { addListener: (f) => (port.deliver = f) },
          onDisconnect: { addListener: () => {} },
          disconnect() {},
          postMessage(message) {
            port.sent.push(message);
            if (message.method === "hello") {
              queueMicrotask(() => port.deliver({ id: message.id, result: { host: "1.1.0", protocol: 1 } }));
            }
          },
          // Answers the oldest request not answered yet.
          answer(result) {
            const message = port.sent.find((m) => m.method !== "hello" && !m.answered);
            message.answered = true;
            port.deliver({ id: message.id, result });
          },
        };
        ports.push(port);
        return port;
      },
    },
  };
  // Timers that never keep the test's process alive.
  const setTimer = (f, ms) => setTimeout(f, ms).unref();
  vm.runInNewContext(source, { chrome, setTimeout: setTimer, clearTimeout, URL, console });
  // The answer as plain data of this realm, as the page would be given it.
  const ask = (message, sender) =>
    new Promise((resolve) => {
      listener(message, { id: "ostrel", tab: {}, frameId: 0, ...sender },
        (answer) => resolve(JSON.parse(JSON.stringify(answer))));
    });
  return { ask, ports };
}

const page = "http://127.0.0.1:8000";

test("a document with an opaque origin is refused, never taken for its address", async () => {
  const { ask, ports } = worker();
  const request = { method: "VerifyMessage", args: ["00"] };
  // Chromium states the origin: "null" for a sandboxed page.
  const stated = await ask(request, { origin: "null", url: `${page}/sandboxed.html` });
  assert.equal(stated.error?.code, "ERR_ORIGIN");
  // A browser that states none: the content script's word, if the address agrees.
  for (const seen of ["null", undefined, "https://bank.example"]) {
    const answer = await ask({ ...request, origin: seen }, { url: `${page}/sandboxed.html` });
    assert.equal(answer.error?.code, "ERR_ORIGIN", String(seen));
  }
  assert.equal(ports.length, 0, "no host was started for them");

  const served = ask({ ...request, origin: page }, { url: `${page}/index.html` });
  await new Promise((done) => setTimeout(done, 10));
  assert.equal(ports.length, 1);
  ports[0].answer(true);
  assert.deepEqual(await served, { result: true });
  assert.equal(ports[0].sent.at(-1).origin, page);
});

test("a site that floods requests is refused with ERR_BUSY, other sites are not", async () => {
  const { ask, ports } = worker();
  const sender = { origin: "https://a.example" };
  const call = (args = ["00"]) => ask({ method: "VerifyMessage", args }, sender);
  // One served (held by the host), 64 waiting behind it.
  const held = Array.from({ length: 65 }, () => call());
  const refused = await call();
  assert.equal(refused.error?.code, "ERR_BUSY");
  assert.match(refused.error.message, /64 requests waiting/);

  const other = ask({ method: "VerifyMessage", args: ["00"] }, { origin: "https://b.example" });
  await new Promise((done) => setTimeout(done, 10));
  ports[1].answer(true);
  assert.deepEqual(await other, { result: true });

  // Once answered, the site may ask again.
  for (let i = 0; i < 65; i++) {
    await new Promise((done) => setTimeout(done, 0));
    ports[0].answer(i);
  }
  assert.deepEqual(await Promise.all(held), Array.from({ length: 65 }, (_, i) => ({ result: i })));
  const again = call();
  await new Promise((done) => setTimeout(done, 0));
  ports[0].answer(true);
  assert.deepEqual(await again, { result: true });
});

test("what waits may carry 64 MiB of arguments in all", async () => {
  const { ask, ports } = worker();
  const sender = { origin: "https://a.example" };
  const call = (text) => ask({ method: "VerifyMessage", args: [text] }, sender);
  const first = call("00");
  const big = call("a".repeat(40 << 20));
  const refused = await call("b".repeat(30 << 20));
  assert.equal(refused.error?.code, "ERR_BUSY");
  // A small one still fits beside the big one.
  const small = call("c".repeat(1 << 20));
  for (const result of [1, 2, 3]) {
    await new Promise((done) => setTimeout(done, 0));
    ports[0].answer(result);
  }
  assert.deepEqual(await Promise.all([first, big, small]), [{ result: 1 }, { result: 2 }, { result: 3 }]);
  // Nothing is left counted once the queue is empty.
  const last = call("d".repeat(60 << 20));
  const behind = call("e".repeat(60 << 20));
  await new Promise((done) => setTimeout(done, 0));
  ports[0].answer(4);
  await new Promise((done) => setTimeout(done, 0));
  ports[0].answer(5);
  assert.deepEqual(await Promise.all([last, behind]), [{ result: 4 }, { result: 5 }]);
});
