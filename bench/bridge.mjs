// What a web page pays for a call through the bridge, beside the same call
// made to the host over a pipe (the browser and extension left out) and made
// in-process (ostrel_bench). One headless Chromium, one page, one run:
//
//   node bench/bridge.mjs [BUILD_DIR] [CALLS]
//
// Calls: the handshake round trip (ostrel.ready(): page -> extension -> host
// and back), SignMessageNoPrompt of a 2 KiB text by a site allowed to sign
// without asking, and VerifyMessage of a 2 KiB message signed with its
// content. Prints the median and the 90th percentile of each in ms, and the
// ratios page / pipe and page / in-process. Also the first call of a new
// site: VerifyMessage (the host started for it), and SignMessage with the
// scripted user's consent and choice.
import { execFileSync, spawn } from "node:child_process";
import { endianness } from "node:os";
import { join, resolve } from "node:path";

process.env.OSTREL_BIN = resolve(process.argv[2] ?? "build", "bin");
const calls = Number(process.argv[3] ?? 200);
const { CHROMIUM_ID, bin, call, launch, makeWorld, openPage } =
  await import("../tests/hosts/bridge/browser/harness.mjs");

function stats(times) {
  const sorted = [...times].sort((a, b) => a - b);
  const at = (q) => sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
  return { median: at(0.5), p90: at(0.9) };
}

// The host alone: ostrel-bridge started as Chromium starts it, the same
// messages written to its pipe, each answer awaited before the next.
async function overPipe(world, origin, runs) {
  const host = spawn(join(bin, "ostrel-bridge"), [`chrome-extension://${CHROMIUM_ID}/`], {
    env: { ...world.env, OSTREL_UI: "none" },
    stdio: ["pipe", "pipe", "inherit"],
  });
  const little = endianness() === "LE";
  let buffer = Buffer.alloc(0);
  let waiting = null;
  host.stdout.on("data", (chunk) => {
    buffer = Buffer.concat([buffer, chunk]);
    const size = () => (little ? buffer.readUInt32LE(0) : buffer.readUInt32BE(0));
    while (buffer.length >= 4 && buffer.length >= 4 + size()) {
      const n = size();
      const message = JSON.parse(buffer.subarray(4, 4 + n).toString("utf8"));
      buffer = buffer.subarray(4 + n);
      waiting?.(message);
    }
  });
  let id = 0;
  const ask = (method, args) => new Promise((done) => {
    waiting = done;
    const body = Buffer.from(JSON.stringify({ v: 1, id: ++id, origin, method, args }));
    const length = Buffer.alloc(4);
    if (little) length.writeUInt32LE(body.length);
    else length.writeUInt32BE(body.length);
    host.stdin.write(Buffer.concat([length, body]));
  });
  const out = {};
  await ask("hello", []);
  for (const [name, method, args] of runs) {
    const first = await ask(method, args);
    if (first.error) {
      out[name] = null;
      continue;
    }
    const times = [];
    for (let i = 0; i < calls; i++) {
      const start = process.hrtime.bigint();
      await ask(method, args);
      times.push(Number(process.hrtime.bigint() - start) / 1e6);
    }
    out[name] = stats(times);
  }
  host.stdin.end();
  return out;
}

// The same calls in-process, as ostrel_bench times them (median of 5 runs).
function inProcess() {
  const filter = "BM_SignMessageNoPrompt_Index0_Of10|BM_VerifyMessage_RepeatedSigner/2048$";
  const json = JSON.parse(execFileSync(join(bin, "ostrel_bench"), [
    `--benchmark_filter=${filter}`, "--benchmark_format=json", "--benchmark_repetitions=5",
    "--benchmark_report_aggregates_only=true",
  ], { encoding: "utf8", stdio: ["ignore", "pipe", "ignore"] }));
  const median = (name) => {
    const row = json.benchmarks.find((b) => b.run_name === name && b.aggregate_name === "median");
    return row ? row.real_time / 1000 : null; // µs -> ms
  };
  return { sign: median("BM_SignMessageNoPrompt_Index0_Of10"), verify: median("BM_VerifyMessage_RepeatedSigner/2048") };
}

const world = await makeWorld();
let browser;
try {
  const text = Array.from({ length: 2048 }, (_, i) => String.fromCharCode(97 + (i % 26))).join("");
  const signed = world.signAttached("bench", text, world.certPem, world.keyPem);
  // Only https on this computer may be allowed to sign without a question.
  const origin = await world.secureOrigin();
  world.ostrel("bridge", "origins", "allow", origin, "--without-prompt");

  const runs = [
    ["echo (handshake round trip)", "hello", []],
    ["SignMessageNoPrompt, 2 KiB", "SignMessageNoPrompt", [text, 0]],
    ["VerifyMessage, 2 KiB", "VerifyMessage", [signed.hex]],
  ];

  browser = await launch("chromium", world);
  const page = await openPage(browser, origin);
  const inPage = {};
  for (const [name, method, args] of runs) {
    const pageMethod = method === "hello" ? "ready" : method;
    const first = await call(page, pageMethod, ...args);
    if (first.error) {
      inPage[name] = null;
      console.log(`${name}: ${first.error.code}: ${first.error.message}`);
      continue;
    }
    const times = await page.evaluate(async (m, a, n) => {
      const out = [];
      for (let i = 0; i < n; i++) {
        const start = performance.now();
        await window.ostrel[m](...a);
        out.push(performance.now() - start);
      }
      return out;
    }, pageMethod, args, calls);
    inPage[name] = stats(times);
  }

  // The first call of sites the browser has not served yet.
  const firstOf = async (method, args, script) => {
    const fresh = await openPage(browser, await world.origin());
    world.userScript(script);
    const start = Date.now();
    const answer = await call(fresh, method, ...args);
    const took = Date.now() - start;
    await fresh.close();
    return answer.error ? `${answer.error.code}` : `${took} ms`;
  };
  const firstVerify = await firstOf("VerifyMessage", [signed.hex], "");
  // "Allow once" (ok), then the chooser's first certificate.
  const firstSign = await firstOf("SignMessage", [text], "select 0; ok");
  await browser.close();
  browser = null;

  const piped = await overPipe(world, origin, runs);
  const local = inProcess();
  const inProc = { [runs[1][0]]: local.sign, [runs[2][0]]: local.verify };

  const ms = (v) => (v == null ? "n/a" : v.toFixed(3));
  const ratio = (a, b) => (a == null || b == null ? "n/a" : `${(a / b).toFixed(1)}x`);
  console.log(`${calls} calls each; ms; page and pipe: median / p90; in-process: median`);
  console.log(`${"call".padEnd(30)} ${"page".padStart(17)} ${"pipe".padStart(17)} ${"in-process".padStart(10)}` +
    `  page/pipe  page/in-process`);
  for (const [name] of runs) {
    const p = inPage[name];
    const q = piped[name];
    const l = inProc[name];
    console.log(`${name.padEnd(30)} ${`${ms(p?.median)} / ${ms(p?.p90)}`.padStart(17)} ` +
      `${`${ms(q?.median)} / ${ms(q?.p90)}`.padStart(17)} ${ms(l).padStart(10)}  ` +
      `${ratio(p?.median, q?.median).padStart(9)}  ${ratio(p?.median, l).padStart(15)}`);
  }
  console.log("(in-process signing times a 60-byte text; the RSA signature dominates either way)");
  console.log(`first VerifyMessage of a new site (host started): ${firstVerify}`);
  console.log(`first SignMessage of a new site (scripted consent and choice): ${firstSign}`);
} finally {
  await browser?.close();
  await world.close();
}
