// The installed package's web step: the example page (examples/web, with the
// installed /usr/share/ostrel/ostrel.js) signs a text in headless Chromium
// through the installed extension and the system-wide host, as a user of the
// machine would, with no host installed for the user. Chromium is started
// through Debian's `chromium` command, which loads the extensions the
// package names in /usr/share/chromium/extensions, so nothing here loads
// the extension. Run as that user; the signature is written where asked.
//
//   node scripts/package-page.mjs TEXT_FILE SIGNATURE_FILE [chromium|firefox]
//
// Firefox takes the unpacked extension as a temporary add-on.
//
// The scripted user allows the site once and chooses the first certificate.
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { homedir } from "node:os";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";
import { serve } from "../examples/web/serve.mjs";
import { browserAvailable, HOST_NAME, launch, signOnExamplePage } from "../tests/hosts/bridge/browser/harness.mjs";

const [textFile, signatureFile, name = "chromium"] = process.argv.slice(2);
if (!textFile || !signatureFile || !["chromium", "firefox"].includes(name)) {
  console.error("usage: node scripts/package-page.mjs TEXT_FILE SIGNATURE_FILE [chromium|firefox]");
  process.exit(2);
}
const share = process.env.OSTREL_SHARE ?? "/usr/share/ostrel";
if (!browserAvailable(name)) {
  console.error(`package-page: Debian's ${name} is not installed`);
  process.exit(3);
}
const profile = mkdtempSync(join(homedir(), `package-page-${name}-`));
const userManifests = [
  join(profile, "NativeMessagingHosts", `${HOST_NAME}.json`),
  join(homedir(), ".config", "chromium", "NativeMessagingHosts", `${HOST_NAME}.json`),
  join(homedir(), ".mozilla", "native-messaging-hosts", `${HOST_NAME}.json`),
];

const extensionDir = name === "chromium" ? null : join(share, "extension");
console.log(extensionDir === null
  ? `${name}: Debian's chromium command, which loads the extensions in /usr/share/chromium/extensions`
  : `${name}: the unpacked extension, loaded as a user loads it (${extensionDir})`);

const here = dirname(fileURLToPath(import.meta.url));
const server = await serve({
  root: join(here, "..", "examples", "web"),
  mounts: { "/ostrel.js": join(share, "ostrel.js") },
});
const origin = `http://127.0.0.1:${server.address().port}`;
const browser = await launch(name, {
  chromiumProfile: profile,
  chromiumBinary: "/usr/bin/chromium",
  extensionDir,
  env: { ...process.env, OSTREL_UI: "script", OSTREL_UI_SCRIPT: "select 0; ok" },
});
let status = 0;
try {
  const { signature, signed } = await signOnExamplePage(browser, origin, readFileSync(textFile, "utf8"));
  // The browser found the host through the system-wide manifest alone.
  for (const manifest of userManifests) {
    if (existsSync(manifest)) throw new Error(`a per-user host manifest exists: ${manifest}`);
  }
  writeFileSync(textFile + ".page", signed);
  writeFileSync(signatureFile, signature);
} catch (e) {
  console.error(`package-page: ${e.message}`);
  status = 1;
} finally {
  await browser.close();
  server.close();
  rmSync(profile, { recursive: true, force: true });
}
process.exit(status);
