// ostrel.js: what a web page imports to sign and check texts with the
// certificates of the user's personal store, through the ostrel extension.
//
//   import { ostrel } from "./ostrel.js";
//   const { extension, host } = await ostrel.ready();
//   const signature = await ostrel.SignMessage("text");   // base64, detached
//   const cades = await ostrel.sign("text", { certificate: "choose", digest: "SHA-256",
//                                             format: "CAdES-B" });
//
// Every method returns a promise. A failure rejects with an OstrelError that
// carries `code` (ERR_NO_EXTENSION, ERR_NO_HOST, ERR_ARGS, ERR_CONSENT,
// ERR_CANCELLED, ERR_TIMEOUT, ERR_BUSY, ERR_CALL, ...), `message`, and for
// ERR_CALL the control's result code as `hresult` ("0x80090006"). ERR_BUSY:
// too many of the site's requests are waiting (64, or 64 MiB of arguments);
// ask again once they are answered; or another site's question is open and
// stayed open too long.

const PROTOCOL = 1;
// How long the extension has to say that it is there.
const EXTENSION_WAIT_MS = 1500;
const LONG_MIN = -2147483648;
const LONG_MAX = 2147483647;

export class OstrelError extends Error {
  constructor(code, message, hresult) {
    super(message);
    this.name = "OstrelError";
    this.code = code;
    if (hresult !== undefined) this.hresult = hresult;
  }
}

// Ids of this copy of the library, apart from any other script on the page
// that speaks to the extension.
const idPrefix = `ostrel-${Math.random().toString(36).slice(2)}-`;
let nextId = 1;
const pending = new Map(); // id -> {resolve, reject}
let presence = null; // the extension's versions, once it has answered
let announced = null;

window.addEventListener("message", (event) => {
  if (event.source !== window) return;
  const data = event.data;
  if (data === null || typeof data !== "object") return;
  if (data.type === "ostrel-ready" && typeof data.extension === "string") {
    if (announced) announced({ extension: data.extension, protocol: data.protocol });
    return;
  }
  if (data.type !== "ostrel-response" || !pending.has(data.id)) return;
  const { resolve, reject } = pending.get(data.id);
  pending.delete(data.id);
  const error = data.error;
  if (error !== undefined) {
    reject(new OstrelError(String(error?.code ?? "ERR_CALL"), String(error?.message ?? ""),
      error?.hresult));
  } else {
    resolve(data.result);
  }
});

// The extension's versions, or ERR_NO_EXTENSION when it does not answer.
function extension() {
  if (presence === null) {
    presence = new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        announced = null;
        presence = null; // asked again on the next call
        const why = window.isSecureContext
          ? "the ostrel extension did not answer; is it installed and enabled in this browser?"
          : "ostrel works on https pages (and http on this computer) only";
        reject(new OstrelError("ERR_NO_EXTENSION", why));
      }, EXTENSION_WAIT_MS);
      announced = (versions) => {
        clearTimeout(timer);
        announced = null;
        resolve(versions);
      };
      window.postMessage({ type: "ostrel-ready" }, window.location.origin);
    });
  }
  return presence;
}

async function request(method, args) {
  // A sandboxed page has an opaque origin: it proves no site, and the
  // extension serves none.
  if (window.origin !== window.location.origin) {
    throw new OstrelError("ERR_ORIGIN", "a sandboxed page has no origin of its own and may not use ostrel");
  }
  await extension();
  return new Promise((resolve, reject) => {
    const id = idPrefix + nextId++;
    pending.set(id, { resolve, reject });
    window.postMessage({ type: "ostrel-request", id, method, args }, window.location.origin);
  });
}

function text(method, position, value) {
  if (typeof value !== "string") {
    throw new OstrelError("ERR_ARGS", `argument ${position} of ${method} must be a string`);
  }
  if (value.includes("\0")) {
    throw new OstrelError("ERR_ARGS", `argument ${position} of ${method} must not contain NUL`);
  }
  return value;
}

function long(method, position, value) {
  if (!Number.isInteger(value) || value < LONG_MIN || value > LONG_MAX) {
    throw new OstrelError("ERR_ARGS",
      `argument ${position} of ${method} must be an integer from ${LONG_MIN} to ${LONG_MAX}`);
  }
  return value;
}

// Options for the signer: an object (sent as its JSON text), the JSON text
// itself, or nothing ({}). The signer judges what they say.
function options(method, position, value) {
  if (value === undefined || value === null) return "{}";
  if (typeof value === "string") return text(method, position, value);
  if (typeof value !== "object" || Array.isArray(value)) {
    throw new OstrelError("ERR_ARGS", `argument ${position} of ${method} must be an object of options`);
  }
  let json;
  try {
    json = JSON.stringify(value);
  } catch (e) {
    throw new OstrelError("ERR_ARGS", `argument ${position} of ${method} cannot be written as JSON: ${e.message}`);
  }
  return text(method, position, json);
}

// The control's methods as pages may call them, with the kinds of their
// arguments; the arguments are checked here before anything is sent.
// BEGIN methods: the host's list (Methods() in hosts/bridge/Protocol.cpp), held to it by hosts_bridge_test
const methods = {
  SignMessage: [text],
  SignMessageNoPrompt: [text, long],
  ChooseCertificate: [],
  VerifyMessage: [text],
  GetSubjectName: [text],
  GetSerialNumber: [text],
  "Signer.Sign": [text, options],
  "Signer.ChooseCertificate": [options],
};
// END methods

function method(name, kinds) {
  return (...args) => {
    let values;
    try {
      // Options, the last argument where a method takes them, may be left out.
      const optional = kinds.length > 0 && kinds[kinds.length - 1] === options ? 1 : 0;
      if (args.length > kinds.length || args.length < kinds.length - optional) {
        throw new OstrelError("ERR_ARGS",
          `${name} takes ${kinds.length} argument${kinds.length === 1 ? "" : "s"}`);
      }
      values = kinds.map((kind, i) => kind(name, i + 1, args[i]));
    } catch (e) {
      return Promise.reject(e);
    }
    return request(name, values);
  };
}

const calls = Object.fromEntries(Object.entries(methods).map(([name, kinds]) => [name, method(name, kinds)]));

export const ostrel = Object.freeze({
  // The versions of the extension and of the host, asked of the host each
  // time: it starts the host when it is not running, and tells whether it
  // answers (ERR_NO_HOST when it cannot be started).
  ready: () => request("hello", []),

  // SignMessage(text) -> base64 of a detached signature; the user picks the
  // certificate. SignMessageNoPrompt(text, index) signs with the certificate
  // at that position of the store. ChooseCertificate() -> the position the
  // user picked, or -1. VerifyMessage(hex) -> whether the signed message
  // (with its content, as hexadecimal text) holds; GetSubjectName(hex) and
  // GetSerialNumber(hex) tell who signed it.
  ...Object.fromEntries(Object.entries(calls).filter(([name]) => !name.includes("."))),

  // sign(text, options) -> base64 of a signature made by the signer
  // (OSTREL.Signer.1): options { certificate: position or "choose", digest:
  // "SHA-256" | "SHA-384" | "SHA-512", padding: "PKCS1" | "PSS", format:
  // "CMS" | "CAdES-B" | "CAdES-T", detached: true | false, tsa: URL }.
  // Options the signer refuses reject with ERR_ARGS and its words.
  sign: calls["Signer.Sign"],
  // chooseCertificate(options) -> the store position of the certificate the
  // user picked among those the filter lets through ({ filter: { validNow,
  // keyUsage, issuer } }), or what ChooseCertificate gives when none is.
  chooseCertificate: calls["Signer.ChooseCertificate"],
  protocol: PROTOCOL,
});
