// The page's side of the extension: takes requests the page posts to its own
// window, hands them to the service worker, and posts the answers back. It
// serves only the top frame of a secure page, and passes on nothing of a
// request but its method and arguments: which site asks is for the browser
// to say, not the page (the document's origin as this script sees it goes
// along, for a browser that does not say).
"use strict";

(() => {
  const PROTOCOL = 1;
  const MAX_ID = 256; // characters of a string id
  const MAX_METHOD = 64;
  // What the arguments may take of a message to the host, leaving room for
  // the envelope around them.
  const MAX_MESSAGE = 64 * 1024 * 1024 - 4096;

  // https anywhere; http only on the loopback, as browsers count those secure.
  function isSecurePage(loc) {
    if (loc.protocol === "https:") return true;
    if (loc.protocol !== "http:") return false;
    const host = loc.hostname;
    if (host === "localhost" || host === "[::1]") return true;
    return /^127\.(\d{1,3})\.(\d{1,3})\.(\d{1,3})$/.test(host) &&
      host.split(".").every((part) => Number(part) <= 255);
  }

  if (window.top !== window || !isSecurePage(window.location)) return;

  const extension = chrome.runtime.getManifest().version;
  // The document's own origin: "null" when it is opaque (a page served
  // sandboxed), whatever its address says. Such a page is told it may not
  // use ostrel, and is told so with "*": nothing else reaches an opaque
  // origin, and the message goes to this very window only.
  const origin = window.origin;
  const opaque = origin !== window.location.origin;

  function post(message) {
    window.postMessage(message, opaque ? "*" : window.location.origin);
  }

  function announce() {
    post({ type: "ostrel-ready", extension, protocol: PROTOCOL });
  }

  function validId(id) {
    return (typeof id === "number" && Number.isSafeInteger(id)) ||
      (typeof id === "string" && id.length > 0 && id.length <= MAX_ID);
  }

  function refuse(id, code, message) {
    post({ type: "ostrel-response", id, error: { code, message } });
  }

  window.addEventListener("message", (event) => {
    if (event.source !== window) return;
    const data = event.data;
    if (data === null || typeof data !== "object" || Array.isArray(data)) return;

    // The page asking whether the extension is there; the answer carries the
    // versions, and is itself an "ostrel-ready" with them, so it is skipped
    // here when it comes back.
    if (data.type === "ostrel-ready") {
      if (!("extension" in data)) announce();
      return;
    }
    if (data.type !== "ostrel-request") return;

    const id = data.id;
    if (!validId(id)) return; // nothing to answer to
    const method = data.method;
    if (typeof method !== "string" || method.length === 0 || method.length > MAX_METHOD) {
      refuse(id, "ERR_ARGS", "\"method\" must be a method name");
      return;
    }
    if (opaque) {
      refuse(id, "ERR_ORIGIN", "a sandboxed page has no origin of its own and may not use ostrel");
      return;
    }
    const args = data.args === undefined ? [] : data.args;
    if (!Array.isArray(args)) {
      refuse(id, "ERR_ARGS", "\"args\" must be an array");
      return;
    }

    // The host takes messages of up to 64 MiB of UTF-8; a text is only
    // encoded to count it when its JSON could come near that.
    let json;
    try {
      json = JSON.stringify(args);
    } catch {
      refuse(id, "ERR_ARGS", "the arguments must be JSON values");
      return;
    }
    if (json.length > MAX_MESSAGE / 3 && new TextEncoder().encode(json).length > MAX_MESSAGE) {
      refuse(id, "ERR_TOO_LARGE", "the arguments are larger than the 64 MiB a request may carry");
      return;
    }

    let reply;
    try {
      // The document's origin goes along for a browser that does not state it.
      reply = chrome.runtime.sendMessage({ method, args, origin });
    } catch (e) {
      // The extension was reloaded or removed under this page.
      refuse(id, "ERR_NO_EXTENSION", `the ostrel extension cannot be reached: ${e.message}`);
      return;
    }
    reply.then(
      (answer) => {
        if (answer && typeof answer === "object" && "error" in answer) {
          post({ type: "ostrel-response", id, error: answer.error });
        } else if (answer && typeof answer === "object" && "result" in answer) {
          post({ type: "ostrel-response", id, result: answer.result });
        } else {
          refuse(id, "ERR_NO_EXTENSION", "the ostrel extension gave no answer");
        }
      },
      (e) => refuse(id, "ERR_NO_EXTENSION", `the ostrel extension cannot be reached: ${e.message}`),
    );
  });

  announce();
})();
