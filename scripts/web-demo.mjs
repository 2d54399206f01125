// The main job's web step: the example page (examples/web) signs a text
// through the ostrel extension and ostrel-bridge in headless Chromium, as a
// user's browser would, and the signature is written where the caller asks.
//
//   node scripts/web-demo.mjs BUILD_DIR TEXT_FILE SIGNATURE_FILE
//
// It uses the ostrel home of the environment (OSTREL_HOME), installs the
// native host for a Chromium profile of its own under BUILD_DIR, and answers
// the consent question ("Allow once") and the certificate chooser (the first
// certificate) as a scripted user.
import { execFileSync } from "node:child_process";
import { mkdirSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { join, resolve } from "node:path";
import { serveExample } from "../examples/web/serve.mjs";

const [buildDir = "build", textFile, signatureFile] = process.argv.slice(2);
if (!textFile || !signatureFile) {
  console.error("usage: node scripts/web-demo.mjs BUILD_DIR TEXT_FILE SIGNATURE_FILE");
  process.exit(2);
}
process.env.OSTREL_BIN = resolve(buildDir, "bin");
// The browser is started as the browser tests start it.
const { bin, browserAvailable, launch, signOnExamplePage } = await import(
  "../tests/hosts/bridge/browser/harness.mjs"
);
const profile = resolve(buildDir, "demo-chromium");
if (!browserAvailable("chromium")) {
  console.error("web-demo: Debian's chromium is not installed (apt-get install chromium)");
  process.exit(3);
}

rmSync(profile, { recursive: true, force: true });
mkdirSync(profile, { recursive: true });
execFileSync(join(bin, "ostrel"), ["bridge", "install", "--browser", "chromium", "--chromium-user-data-dir", profile], {
  stdio: "inherit",
});

const server = await serveExample();
const origin = `http://127.0.0.1:${server.address().port}`;
// The host the browser starts inherits this environment: "ok" allows the
// site once, "select 0; ok" chooses the first certificate.
const browser = await launch("chromium", {
  chromiumProfile: profile,
  env: { ...process.env, OSTREL_UI: "script", OSTREL_UI_SCRIPT: "select 0; ok" },
});
let status = 0;
try {
  const { signature, signed } = await signOnExamplePage(browser, origin, readFileSync(textFile, "utf8"));
  writeFileSync(textFile + ".page", signed);
  writeFileSync(signatureFile, signature);
  console.log(signature.trimEnd());
} catch (e) {
  console.error(`web-demo: ${e.message}`);
  status = 1;
} finally {
  await browser.close();
  server.close();
}
process.exit(status);
