// The bridge end to end in one browser: a page's calls through ostrel.js, the
// content script, the service worker and the native host to the control and
// back. Each test takes origins of its own, so that it starts its own host
// and what it asks of the scripted user stays its own.
import assert from "node:assert/strict";
import { readFileSync, renameSync, writeFileSync } from "node:fs";
import { after, before, describe, test } from "node:test";

import { browserAvailable, call, launch, makeWorld, openPage, postRaw } from "./harness.mjs";

// The consent dialogs' buttons, as the scripted user clicks them; the
// answers that let a call go ahead are "ok", as in the chooser after them.
const ALWAYS = 1102;
const DENY = 1103;
const DONT_SIGN = 1202;
const BLOCK = 1104;
const CONSENT_ORIGIN = 1110; // the text that names the asking site
const CONFIRM_ORIGIN = 1210;

// Whether the process `pid` still runs (and is not a zombie left unreaped).
function hostRunning(pid) {
  try {
    return !/^\S+ \(.*\) Z/.test(readFileSync(`/proc/${pid}/stat`, "utf8"));
  } catch {
    return false;
  }
}

export function defineSuite(name) {
  describe(name, { skip: !browserAvailable(name) && `${name} is not installed` }, () => {
    let world;
    let browser;
    // A site that calls once at the start and then stays quiet, and its host.
    let quiet;
    let slow;

    before(async () => {
      world = await makeWorld();
      browser = await launch(name, world);
      const page = await openPage(browser, await world.origin());
      assert.deepEqual(await call(page, "VerifyMessage", world.attached.hex), { result: true });
      quiet = { page, host: world.lastHost(), since: Date.now() };
      assert.ok(hostRunning(quiet.host), "the host runs after the call");
      // Calls to hosts that take 40 s to answer, left running meanwhile.
      slow = {
        check: await startSlowCall("VerifyMessage", world.attached.hex),
        dialog: await startSlowCall("SignMessage", "text"),
      };
    });

    // A call whose host answers after 40 s: the page, when the call began,
    // and the answer to come with the time it took.
    async function startSlowCall(method, ...args) {
      const page = await openPage(browser, await world.origin());
      const starts = world.hostStarts();
      world.hostMode("slow-40");
      const began = Date.now();
      const answer = call(page, method, ...args).then(
        (a) => ({ ...a, took: Date.now() - began }),
        (e) => ({ failed: e.message }), // the browser closed first, when the test was left out
      );
      while (world.hostStarts() === starts) await new Promise((done) => setTimeout(done, 20));
      world.hostMode("");
      return { page, answer };
    }

    after(async () => {
      await browser?.close();
      await world?.close();
    });

    test("ready() tells the extension's and the host's versions, both the release's", async () => {
      const page = await openPage(browser, await world.origin());
      const { result } = await call(page, "ready");
      const release = world.ostrel("--version").split("\n")[0].replace(/^ostrel /, "");
      assert.match(release, /^\d+\.\d+\.\d+$/);
      assert.equal(result.extension, release);
      assert.equal(result.host, release);
      assert.equal(result.protocol, 1);
      await page.close();
    });

    test("checks a message OpenSSL signed with its content", async () => {
      const page = await openPage(browser, await world.origin());
      const { attached, otherAttached } = world;
      assert.deepEqual(await call(page, "VerifyMessage", attached.hex), { result: true });
      assert.deepEqual(await call(page, "GetSubjectName", attached.hex), { result: attached.subject });
      assert.match(attached.subject, /Ann Lee/);
      assert.deepEqual(await call(page, "GetSerialNumber", attached.hex), { result: attached.serial });
      assert.deepEqual(await call(page, "GetSubjectName", otherAttached.hex), { result: otherAttached.subject });
      // Lower-case hexadecimal is the same message.
      assert.deepEqual(await call(page, "VerifyMessage", attached.hex.toLowerCase()), { result: true });
      await page.close();
    });

    test("a message whose content was altered does not verify", async () => {
      const page = await openPage(browser, await world.origin());
      const answer = await call(page, "VerifyMessage", world.tamperedHex);
      assert.notDeepEqual(answer, { result: true });
      if (answer.error) {
        assert.equal(answer.error.code, "ERR_CALL");
        assert.match(answer.error.hresult, /^0x[0-9A-F]{8}$/);
      }
      // Text that is not hexadecimal at all is the control's failure too.
      const garbage = await call(page, "VerifyMessage", "not hex");
      assert.notDeepEqual(garbage, { result: true });
      await page.close();
    });

    test("refuses unknown methods and arguments of the wrong kind", async () => {
      const page = await openPage(browser, await world.origin());
      const starts = world.hostStarts();
      // ostrel.js checks before anything is sent.
      for (const [method, args] of [
        ["VerifyMessage", [42]],
        ["VerifyMessage", []],
        ["VerifyMessage", ["ab", "cd"]],
        ["SignMessageNoPrompt", ["text", "0"]],
        ["SignMessageNoPrompt", ["text", 1.5]],
        ["SignMessageNoPrompt", ["text", 2 ** 31]],
        ["SignMessage", ["a\0b"]],
      ]) {
        const { error } = await call(page, method, ...args);
        assert.equal(error?.code, "ERR_ARGS", `${method}(${JSON.stringify(args)})`);
        assert.ok(error.isError, "rejects with an Error");
      }
      assert.equal(world.hostStarts(), starts, "nothing reached the host");

      // A page that posts its own requests meets the same checks further on.
      const raw = (id, method, args) => postRaw(page, { type: "ostrel-request", id, method, args });
      assert.equal((await raw(1, "Shutdown", [])).error.code, "ERR_METHOD");
      assert.equal((await raw(2, "verifymessage", [world.attached.hex])).error.code, "ERR_METHOD");
      assert.equal((await raw(3, "VerifyMessage", [42])).error.code, "ERR_ARGS");
      assert.equal((await raw(4, "SignMessageNoPrompt", ["t", 1.5])).error.code, "ERR_ARGS");
      assert.equal((await raw(5, "VerifyMessage", "not a list")).error.code, "ERR_ARGS");
      assert.equal((await raw(6, "", [])).error.code, "ERR_ARGS");
      assert.equal((await raw("seven", "GetSubjectName", [world.attached.hex])).result, world.attached.subject);
      // Without an id there is nothing to answer to.
      assert.deepEqual(await postRaw(page, { type: "ostrel-request", method: "VerifyMessage", args: [] }, 1000),
        { silent: true });
      await page.close();
    });

    test("a request over the host's 64 MiB is refused before it is sent: ERR_TOO_LARGE", async () => {
      const page = await openPage(browser, await world.origin());
      const starts = world.hostStarts();
      // 22.4 million characters of three bytes each in UTF-8: 64.1 MiB.
      const answer = await page.evaluate(() =>
        window.postRaw({ type: "ostrel-request", id: 1, method: "VerifyMessage", args: ["\u20ac".repeat(22_400_000)] }, 60_000));
      assert.equal(answer.error?.code, "ERR_TOO_LARGE", JSON.stringify(answer).slice(0, 300));
      assert.equal(world.hostStarts(), starts, "nothing reached the host");
      await page.close();
    });

    test("the origin is the browser's, whatever the page writes in its message", async () => {
      const origin = await world.origin();
      const page = await openPage(browser, origin);
      // Were the page's field passed on, the host would refuse it as no origin.
      const answer = await postRaw(page, {
        type: "ostrel-request", id: 1, method: "VerifyMessage", args: [world.attached.hex], origin: "not an origin",
      });
      assert.deepEqual(answer, { type: "ostrel-response", id: 1, result: true });
      await page.close();
    });

    test("two tabs of two origins calling at once each get their own answers", async () => {
      const [a, b] = await Promise.all([
        world.origin().then((o) => openPage(browser, o)),
        world.origin("localhost").then((o) => openPage(browser, o)),
      ]);
      const starts = world.hostStarts();
      const ask = (page, message) =>
        Promise.all(Array.from({ length: 8 }, (_, i) =>
          // The same ids in both tabs: each must still get its own answer.
          postRaw(page, { type: "ostrel-request", id: i, method: "GetSubjectName", args: [message.hex] }, 60_000)));
      const [fromA, fromB] = await Promise.all([ask(a, world.attached), ask(b, world.otherAttached)]);
      fromA.forEach((answer, i) => assert.deepEqual(answer, { type: "ostrel-response", id: i, result: world.attached.subject }));
      fromB.forEach((answer, i) => assert.deepEqual(answer, { type: "ostrel-response", id: i, result: world.otherAttached.subject }));
      // One host per origin, for all of its calls.
      assert.equal(world.hostStarts() - starts, 2);
      await Promise.all([a.close(), b.close()]);
    });

    test("a page on the IPv6 loopback is served", async (t) => {
      let origin;
      try {
        origin = await world.origin("[::1]");
      } catch (e) {
        t.skip(`no IPv6 loopback here (${e.code})`);
        return;
      }
      const page = await openPage(browser, origin);
      assert.deepEqual(await call(page, "VerifyMessage", world.attached.hex), { result: true });
      await page.close();
    });

    test("a frame inside the page is not served", async () => {
      const page = await openPage(browser, await world.origin());
      const answer = await page.evaluate(async () => {
        const frame = document.createElement("iframe");
        frame.src = "/";
        document.body.append(frame);
        await new Promise((done) => frame.addEventListener("load", done));
        while (!frame.contentWindow.pageLoaded) await new Promise((done) => setTimeout(done, 20));
        return frame.contentWindow.callOstrel("VerifyMessage", ["00"]);
      });
      assert.equal(answer.error.code, "ERR_NO_EXTENSION");
      await page.close();
    });

    test("without the host installed: ERR_NO_HOST, saying how to install it", async () => {
      const page = await openPage(browser, await world.origin());
      const manifest = world.manifests[name];
      renameSync(manifest, `${manifest}.away`);
      try {
        const { error } = await call(page, "VerifyMessage", world.attached.hex);
        assert.equal(error?.code, "ERR_NO_HOST");
        assert.match(error.message, /run `ostrel bridge install`/);
        assert.equal((await call(page, "ready")).error?.code, "ERR_NO_HOST");
      } finally {
        renameSync(`${manifest}.away`, manifest);
      }
      // Once installed, the same page is served.
      assert.deepEqual(await call(page, "VerifyMessage", world.attached.hex), { result: true });
      await page.close();
    });

    describe("hosts that misbehave", () => {
      after(() => world.hostMode(""));

      test("a host that never answers the handshake: ERR_TIMEOUT after 5 s", async () => {
        const page = await openPage(browser, await world.origin());
        world.hostMode("silent");
        const started = Date.now();
        const { error } = await call(page, "VerifyMessage", world.attached.hex);
        const took = Date.now() - started;
        assert.equal(error?.code, "ERR_TIMEOUT");
        assert.ok(took >= 4500 && took < 15_000, `answered after ${took} ms`);
        await page.close();
      });

      test("a host that goes away during a call: an error, and the next call starts a new one", async () => {
        const page = await openPage(browser, await world.origin());
        world.hostMode("die-after-hello");
        const [first, second] = await Promise.all([
          call(page, "VerifyMessage", world.attached.hex),
          call(page, "GetSubjectName", world.attached.hex),
        ]);
        assert.equal(first.error?.code, "ERR_CALL");
        assert.match(first.error.message, /ended before it answered/);
        assert.equal(second.error?.code, "ERR_CALL", "the request queued behind it is answered too");
        world.hostMode("");
        assert.deepEqual(await call(page, "VerifyMessage", world.attached.hex), { result: true });
        await page.close();
      });

      test("a host that refuses the extension: its reason, or ERR_NO_HOST, with how to put it right", async () => {
        const page = await openPage(browser, await world.origin());
        world.hostMode("refuse");
        const { error } = await call(page, "VerifyMessage", world.attached.hex);
        // The host writes why and ends without reading the handshake; a
        // browser that finds the pipe closed while writing it may drop that
        // answer and report the host as gone.
        assert.ok(["ERR_ORIGIN", "ERR_NO_HOST"].includes(error?.code), JSON.stringify(error));
        if (error.code === "ERR_ORIGIN") assert.match(error.message, /not allowed to use this host/);
        assert.match(error.message, /ostrel bridge install/);
        await page.close();
      });

      test("a host of another protocol: ERR_VERSION", async () => {
        const page = await openPage(browser, await world.origin());
        world.hostMode("protocol-2");
        const { error } = await call(page, "ready");
        assert.equal(error?.code, "ERR_VERSION");
        await page.close();
      });
    });

    test("the example page finds the extension, checks a signed message and signs", async () => {
      // "Allow once" and the first certificate, for when it signs below.
      world.userScript("select 0; ok");
      const page = await browser.newPage();
      await page.goto(`${await world.exampleOrigin()}/`);
      await page.waitForFunction(() => /Ready:/.test(document.getElementById("status").textContent));
      await page.$eval("#hex", (box, hex) => { box.value = hex; }, world.attached.hex);
      await page.click("#check-form button");
      await page.waitForFunction(() => /Serial/.test(document.getElementById("checks").textContent));
      const checks = await page.$eval("#checks", (out) => out.textContent);
      assert.match(checks, /Signature over its text: holds/);
      assert.ok(checks.includes(world.attached.subject), checks);
      assert.ok(checks.includes(world.attached.serial), checks);

      await page.click("#sign-form button");
      await page.waitForFunction(() => !document.getElementById("signed").hidden);
      const text = await page.$eval("#text", (box) => box.value);
      const signature = await page.$eval("#signature", (out) => out.textContent);
      const base64 = signature.replace(/-----[A-Z0-9 ]+-----|\s/g, "");
      assert.ok(world.verifyDetached(text, base64), "openssl accepts the page's signature");
      await page.close();
    });

    // Last, so that the 30 s pass while the other tests run.
    test("the host of a site quiet for 30 s is closed, and started again when needed", { timeout: 60_000 }, async () => {
      const wait = quiet.since + 30_000 + 3_000 - Date.now();
      if (wait > 0) await new Promise((done) => setTimeout(done, wait));
      assert.ok(!hostRunning(quiet.host), "the host has ended");
      const starts = world.hostStarts();
      assert.deepEqual(await call(quiet.page, "VerifyMessage", world.attached.hex), { result: true });
      assert.equal(world.hostStarts(), starts + 1);
      await quiet.page.close();
    });

    test("calls that cannot show a dialog time out after 30 s, the others wait longer", { timeout: 60_000 }, async () => {
      const check = await slow.check.answer;
      assert.equal(check.error?.code, "ERR_TIMEOUT");
      assert.ok(check.took >= 29_000 && check.took < 39_000, `timed out after ${check.took} ms`);
      const dialog = await slow.dialog.answer;
      assert.deepEqual(dialog.result, "late");
      assert.ok(dialog.took >= 39_000, `answered after ${dialog.took} ms`);
      await Promise.all([slow.check.page.close(), slow.dialog.page.close()]);
    });

    describe("consent", () => {
      test("SignMessage asks, then signs with the chosen certificate", async () => {
        const origin = await world.origin();
        const page = await openPage(browser, origin);
        const log = world.userScript("select 0; ok");
        const text = "Pay 100 EUR to account 12-3456-789.\n";
        const { result, error } = await call(page, "SignMessage", text);
        assert.equal(error, undefined, JSON.stringify(error));
        assert.ok(world.verifyDetached(text, result), "openssl cms -verify accepts it");
        assert.ok(!world.verifyDetached(`${text}!`, result), "and only for its own text");
        const asked = log().find((line) => line.event !== "end" && line.controls?.some((c) => c.id === CONSENT_ORIGIN));
        assert.equal(asked?.controls.find((c) => c.id === CONSENT_ORIGIN).text, origin);
        await page.close();
      });

      test("SignMessageNoPrompt signs without a dialog for a site allowed to", async () => {
        const origin = await world.secureOrigin();
        world.ostrel("bridge", "origins", "allow", origin, "--without-prompt");
        const page = await openPage(browser, origin);
        const log = world.userScript("");
        const text = "Ünïcödé, tabs\tand\r\nline breaks";
        const { result, error } = await call(page, "SignMessageNoPrompt", text, 0);
        assert.equal(error, undefined, JSON.stringify(error));
        assert.ok(world.verifyDetached(text, result), "openssl cms -verify accepts it");
        assert.deepEqual(log(), [], "no dialog was shown");
        await page.close();
      });

      test("a site the user does not allow is refused: ERR_CONSENT", async () => {
        const page = await openPage(browser, await world.origin());
        world.userScript(`click ${DENY}`);
        assert.equal((await call(page, "SignMessage", "text")).error?.code, "ERR_CONSENT");
        await page.close();
        const other = await openPage(browser, await world.origin());
        world.userScript(`click ${DONT_SIGN}`);
        assert.equal((await call(other, "SignMessageNoPrompt", "text", 0)).error?.code, "ERR_CONSENT");
        await other.close();
      });

      test("\"Always allow\" is kept: the site is not asked again", async () => {
        const origin = await world.secureOrigin();
        const page = await openPage(browser, origin);
        const log = world.userScript(`click ${ALWAYS}; select 0; ok`);
        const first = await call(page, "SignMessage", "first");
        assert.ok(world.verifyDetached("first", first.result), JSON.stringify(first));
        const questions = () => log().filter((line) => line.event !== "end" && line.controls?.some((c) => c.id === CONSENT_ORIGIN));
        assert.equal(questions().length, 1);
        assert.match(world.ostrel("bridge", "origins", "list"), new RegExp(origin.replaceAll(".", "\\.")));
        assert.deepEqual(await call(page, "ChooseCertificate"), { result: 0 });
        const second = await call(page, "SignMessage", "second");
        assert.ok(world.verifyDetached("second", second.result), JSON.stringify(second));
        assert.equal(questions().length, 1, "asked only the first time");
        await page.close();
      });

      test("a question closed without an answer: ERR_CANCELLED", async () => {
        const page = await openPage(browser, await world.origin());
        world.userScript("escape");
        assert.equal((await call(page, "SignMessage", "text")).error?.code, "ERR_CANCELLED");
        await page.close();
      });

      test("a page naming an allowed site in its message is still judged as itself", async () => {
        const allowed = await world.secureOrigin();
        world.ostrel("bridge", "origins", "allow", allowed, "--without-prompt");
        const origin = await world.origin();
        const page = await openPage(browser, origin);
        const log = world.userScript(`click ${DONT_SIGN}`);
        const answer = await postRaw(page, {
          type: "ostrel-request", id: 1, method: "SignMessageNoPrompt", args: ["text", 0], origin: allowed,
        });
        assert.equal(answer.error?.code, "ERR_CONSENT");
        const asked = log().find((line) => line.controls?.some((c) => c.id === CONFIRM_ORIGIN));
        assert.equal(asked?.controls.find((c) => c.id === CONFIRM_ORIGIN).text, origin);
        await page.close();
      });
    });

    // What a person meets: pages served over http on this computer are
    // asked every time, a blocked site is not asked at all, and a "no" is
    // not followed by the same question at once.
    describe("consent, as a person meets it", () => {
      const CONFIRM_TEXT = 1212;
      const opened = (log) => log().filter((line) => line.event === "open");

      test("http on this computer is asked every time, whatever the grants file says", async () => {
        const origin = await world.origin();
        assert.throws(() => world.ostrel("bridge", "origins", "allow", origin, "--without-prompt"),
          (e) => e.status === 2 && /any user of this computer/.test(e.stderr));
        // As an older release could have stored it.
        const file = `${world.ostrelHome}/bridge-origins.json`;
        let grants = { version: 1, origins: {} };
        try {
          grants = JSON.parse(readFileSync(file, "utf8"));
        } catch {
          // none yet
        }
        grants.origins[origin] = { always: true, withoutPrompt: true };
        writeFileSync(file, JSON.stringify(grants), { mode: 0o600 });
        const page = await openPage(browser, origin);
        const log = world.userScript("ok");
        const text = "Pay    100 EUR\u202Eto 12-3456";
        const { result, error } = await call(page, "SignMessageNoPrompt", text, 0);
        assert.equal(error, undefined, JSON.stringify(error));
        assert.ok(world.verifyDetached(text, result), "openssl cms -verify accepts it");
        const asked = opened(log);
        assert.equal(asked.length, 1, "the confirmation was shown");
        const shown = asked[0].controls.find((c) => c.id === CONFIRM_TEXT).text;
        assert.equal(shown, "Pay\u2423\u2423\u2423\u2423100 EUR\u27E8U+202E\u27E9to 12-3456");
        await page.close();
      });

      test("a blocked site is refused without a question until revoked", async () => {
        const origin = await world.secureOrigin();
        const page = await openPage(browser, origin);
        // The host keeps the script it started with: "select 0; ok" serves
        // the question after the revoke, and the chooser after it.
        const log = world.userScript(`click ${BLOCK}; select 0; ok`);
        const first = await call(page, "SignMessage", "text");
        assert.equal(first.error?.code, "ERR_CONSENT");
        assert.match(first.error.message, /ostrel bridge origins revoke/);
        assert.doesNotMatch(first.error.message, new RegExp(world.ostrelHome));
        assert.equal((await call(page, "ChooseCertificate")).error?.code, "ERR_CONSENT");
        assert.equal(opened(log).length, 1, "asked only the once");
        assert.match(world.ostrel("bridge", "origins", "list"), new RegExp(`${origin.replaceAll(".", "\\.")} blocked`));
        world.ostrel("bridge", "origins", "revoke", origin);
        assert.deepEqual(await call(page, "ChooseCertificate"), { result: 0 });
        await page.close();
      });

      test("after a no, the same site is refused without a question for a while", async () => {
        const origin = await world.origin();
        const page = await openPage(browser, origin);
        const log = world.userScript(`click ${DENY}`);
        assert.equal((await call(page, "SignMessage", "text")).error?.code, "ERR_CONSENT");
        const again = await Promise.all(Array.from({ length: 10 }, () => call(page, "ChooseCertificate")));
        for (const answer of again) {
          assert.equal(answer.error?.code, "ERR_CONSENT");
          assert.match(answer.error.message, /may ask again in \d+ s/);
        }
        assert.equal(opened(log).length, 1, "one dialog for eleven calls");
        await page.close();
      });
    });

    // The signer (OSTREL.Signer.1) as pages reach it: ostrel.sign and
    // ostrel.chooseCertificate, asked as SignMessage and ChooseCertificate are.
    describe("the signer", () => {
      const CERT_LIST = 201; // the chooser's list

      test("ostrel.sign with \"choose\" asks, then makes a CAdES-B OpenSSL accepts", async () => {
        const origin = await world.origin();
        const page = await openPage(browser, origin);
        const log = world.userScript("select 0; ok");
        const text = "Pay 250 EUR to account 98-7654-321.\r\nÜberweisung, Ärger\n";
        const { result, error } = await call(page, "sign", text,
          { certificate: "choose", digest: "SHA-256", format: "CAdES-B" });
        assert.equal(error, undefined, JSON.stringify(error));
        assert.ok(world.verifyCades(text, result), "openssl cms -verify -cades accepts it");
        assert.ok(!world.verifyCades(`${text}!`, result), "and only for its own text");
        const report = world.report(text, result);
        assert.equal(report.verified, true);
        assert.equal(report.detached, true);
        assert.equal(report.digest, "SHA-256");
        assert.equal(report.signatureAlgorithm, "RSA-PKCS1");
        assert.equal(report.format, "CAdES-B");
        assert.match(report.signingTime, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/);
        assert.match(report.subject, /Ann Lee/);
        // The site was named in the question, and the chooser came after it.
        const opened = log().filter((line) => line.event === "open");
        assert.equal(opened[0]?.controls.find((c) => c.id === CONSENT_ORIGIN)?.text, origin);
        assert.ok(opened.some((line) => line.controls.some((c) => c.id === CERT_LIST)), "the chooser was shown");
        await page.close();
      });

      test("ostrel.sign by position: silent with the grant, confirmed without it", async () => {
        const text = "Invoice 2026-117: 1 234,50 EUR\tdue 31 Dec\n";
        const granted = await world.secureOrigin();
        world.ostrel("bridge", "origins", "allow", granted, "--without-prompt");
        const page = await openPage(browser, granted);
        let log = world.userScript("");
        // Attached, SHA-384 with RSA-PSS.
        const pss = await call(page, "sign", text,
          { certificate: 0, digest: "SHA-384", padding: "PSS", format: "CAdES-B", detached: false });
        assert.equal(pss.error, undefined, JSON.stringify(pss.error));
        assert.ok(world.verifyCades(text, pss.result, { attached: true }), "openssl accepts the attached one");
        const report = world.report(text, pss.result, { attached: true });
        assert.deepEqual([report.verified, report.detached, report.digest, report.signatureAlgorithm, report.format],
          [true, false, "SHA-384", "RSA-PSS", "CAdES-B"]);
        // The options as JSON text; the format left to its default, CMS.
        const cms = await call(page, "sign", text, '{"certificate": 0, "digest": "SHA-512"}');
        assert.equal(cms.error, undefined, JSON.stringify(cms.error));
        assert.ok(world.verifyDetached(text, cms.result), "openssl cms -verify accepts it");
        const cmsReport = world.report(text, cms.result);
        assert.deepEqual([cmsReport.digest, cmsReport.format], ["SHA-512", "CMS"]);
        assert.deepEqual(log(), [], "no dialog was shown");
        await page.close();

        // A site without the grant confirms the text and the certificate first.
        const origin = await world.origin();
        const asked = await openPage(browser, origin);
        log = world.userScript("ok");
        const confirmed = await call(asked, "sign", text, { certificate: 0, format: "CAdES-B" });
        assert.equal(confirmed.error, undefined, JSON.stringify(confirmed.error));
        assert.ok(world.verifyCades(text, confirmed.result), "openssl accepts the confirmed one");
        const confirm = log().find((line) => line.event === "open");
        assert.equal(confirm?.controls.find((c) => c.id === CONFIRM_ORIGIN)?.text, origin);
        await asked.close();
        const refused = await openPage(browser, await world.origin());
        world.userScript(`click ${DONT_SIGN}`);
        assert.equal((await call(refused, "sign", text, { certificate: 0 })).error?.code, "ERR_CONSENT");
        await refused.close();
      });

      test("bad options are ERR_ARGS with the signer's words, and nothing is signed", async () => {
        const origin = await world.secureOrigin();
        world.ostrel("bridge", "origins", "allow", origin, "--without-prompt");
        const page = await openPage(browser, origin);
        const log = world.userScript("");
        for (const [options, said] of [
          [{ certificate: 0, digest: "MD5" }, /MD5/],
          [{ certificate: 0, digest: "SHA-1" }, /SHA-1/],
          [{ certificate: 0, colour: "blue" }, /colour/],
          [{ certificate: 0, detached: "yes" }, /detached/],
          [{ certificate: 0, format: "PAdES" }, /PAdES/],
          [{ certificate: 7 }, /7/],
          [{ certificate: "first" }, /certificate/],
          ['{"certificate": 0,', /JSON/],
        ]) {
          const { result, error } = await call(page, "sign", "text", options);
          assert.equal(result, undefined, JSON.stringify(options));
          assert.equal(error?.code, "ERR_ARGS", `${JSON.stringify(options)}: ${JSON.stringify(error)}`);
          assert.match(error.message, said, JSON.stringify(options));
        }
        assert.deepEqual(log(), [], "no dialog was shown");
        // ostrel.js refuses what is not options before anything is sent.
        const starts = world.hostStarts();
        for (const args of [["text", 42], ["text", [1]], ["text", {}, 1], [42, {}]]) {
          const { error } = await call(page, "sign", ...args);
          assert.equal(error?.code, "ERR_ARGS", JSON.stringify(args));
          assert.ok(error.isError);
        }
        assert.equal((await call(page, "chooseCertificate", "x", "y")).error?.code, "ERR_ARGS");
        assert.equal(world.hostStarts(), starts, "nothing reached the host");
        await page.close();
      });

      test("an EC key: chosen through the chooser's filter, signs with ECDSA, refuses PSS", async () => {
        const position = Number(world.ostrel("store", "new-test-cert", "--subject", "/O=Curve Org/CN=Eve Curve",
          "--issuer-subject", "/O=Curve Issuing CA/CN=Curve CA", "--key", "ec-p384").trim());
        assert.ok(position > 0, "added after the demo certificate");
        try {
          const origin = await world.secureOrigin();
          world.ostrel("bridge", "origins", "allow", origin);
          const page = await openPage(browser, origin);
          // Only the certificate the filter lets through is listed; what comes
          // back is its position in the store, not in the list.
          let log = world.userScript("select 0; ok");
          const chosen = await call(page, "chooseCertificate", { filter: { issuer: "Curve Issuing", validNow: true } });
          assert.deepEqual(chosen, { result: position });
          const list = log().find((line) => line.event === "open")?.controls.find((c) => c.id === CERT_LIST);
          assert.equal(list?.rows?.length, 1, JSON.stringify(list));
          assert.match(JSON.stringify(list.rows), /Eve Curve/);
          const unknown = await call(page, "chooseCertificate", { filter: { colour: "blue" } });
          assert.equal(unknown.error?.code, "ERR_ARGS");
          assert.match(unknown.error.message, /colour/);

          world.ostrel("bridge", "origins", "allow", origin, "--without-prompt");
          log = world.userScript("");
          const text = "Signed with a curve.\n";
          const { result, error } = await call(page, "sign", text,
            { certificate: position, digest: "SHA-384", format: "CAdES-B" });
          assert.equal(error, undefined, JSON.stringify(error));
          assert.ok(world.verifyCades(text, result), "openssl accepts the ECDSA signature");
          const report = world.report(text, result);
          assert.deepEqual([report.digest, report.signatureAlgorithm, report.format], ["SHA-384", "ECDSA", "CAdES-B"]);
          const pss = await call(page, "sign", text, { certificate: position, padding: "PSS" });
          assert.equal(pss.error?.code, "ERR_ARGS");
          assert.match(pss.error.message, /PSS/);
          assert.deepEqual(log(), [], "no dialog was shown");
          await page.close();
        } finally {
          world.ostrel("store", "remove", String(position));
        }
      });
    });
  });
}
