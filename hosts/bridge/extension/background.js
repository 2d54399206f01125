// The extension's service worker: one native port per web origin, opened with
// the handshake, one request at a time per origin, each answered exactly once
// (with the host's answer, or an error when the host cannot be started, does
// not answer in time or goes away), and the port closed when the origin has
// been quiet for a while.
//
// Which origin asks is taken from the browser's own account of the sender;
// nothing a page writes into its message can change it.
//
// A page may flood its origin's queue: at most MAX_WAITING requests wait
// behind the one being served, holding at most MAX_WAITING_BYTES of
// arguments between them; past that, requests are refused with ERR_BUSY at
// once. A page that checks a list of signatures at once stays far below.
"use strict";

const HOST = "org.ostrel.bridge";
const PROTOCOL = 1;
const HANDSHAKE_MS = 5_000;
const QUICK_MS = 30_000; // calls that never show a dialog
const DIALOG_MS = 5 * 60_000; // calls that may wait for the user
const IDLE_MS = 30_000;
const INSTALL_HINT = "run `ostrel bridge install` to install it for this browser";
const MAX_WAITING = 64;
const MAX_WAITING_BYTES = 64 * 1024 * 1024; // of arguments as JSON text

// The methods that never show a dialog.
// BEGIN methods: the host's list (Methods() in hosts/bridge/Protocol.cpp), held to it by hosts_bridge_test
const QUICK = new Set([
  "VerifyMessage",
  "GetSubjectName",
  "GetSerialNumber",
]);
// END methods

const EXTENSION_VERSION = chrome.runtime.getManifest().version;

// The host's request ids; the pages' own ids never reach it, so two pages can
// never be given each other's answers.
let nextId = 1;

function failure(code, message, hresult) {
  const error = { code, message };
  if (hresult !== undefined) error.hresult = hresult;
  return { error };
}

// An origin pages may reach the host from: https, or http on the loopback.
function webOrigin(text) {
  let url;
  try {
    url = new URL(text);
  } catch {
    return null;
  }
  if (url.origin === "null") return null;
  if (url.protocol === "https:") return url.origin;
  if (url.protocol !== "http:") return null;
  const host = url.hostname;
  if (host === "localhost" || host === "[::1]" || /^127(\.\d{1,3}){3}$/.test(host)) return url.origin;
  return null;
}

// The origin of the document that asks, as the browser states it. An opaque
// one ("null": a sandboxed page) proves no site, so it is refused; the
// document's address is no stand-in for it, being the address of a site
// whose rights the sandbox took away. A browser that does not state the
// origin has the content script's word on what the document's origin is,
// taken only when it is the address's own.
function senderOrigin(sender, seen) {
  if (typeof sender.origin === "string") return webOrigin(sender.origin);
  if (typeof seen !== "string" || typeof sender.url !== "string") return null;
  const origin = webOrigin(sender.url);
  return origin !== null && origin === seen ? origin : null;
}

// The host's answer as the page is given it.
function readReply(message) {
  if (message !== null && typeof message === "object") {
    const error = message.error;
    if (error !== null && typeof error === "object" && typeof error.code === "string") {
      return failure(error.code, String(error.message ?? ""),
        typeof error.hresult === "string" ? error.hresult : undefined);
    }
    if ("result" in message) return { result: message.result };
  }
  return failure("ERR_CALL", "the ostrel host gave an answer that could not be read");
}

class Connection {
  constructor(origin) {
    this.origin = origin;
    this.port = null;
    this.hostVersion = null;
    this.queue = [];
    this.waitingBytes = 0;
    this.running = false;
    this.pending = null; // {id, finish}
    this.handshaking = false; // a port that fails now could not be started
    this.idle = null;
  }

  // The answer to one request, once those before it are answered; ERR_BUSY
  // when the origin already has as many waiting as it may.
  request(method, args) {
    let size = 0;
    if (this.running || this.queue.length > 0) {
      if (this.queue.length >= MAX_WAITING) {
        return Promise.resolve(failure("ERR_BUSY",
          `this site already has ${MAX_WAITING} requests waiting; ask again once they are answered`));
      }
      size = JSON.stringify(args).length;
      if (this.waitingBytes + size > MAX_WAITING_BYTES) {
        return Promise.resolve(failure("ERR_BUSY",
          "this site's waiting requests already carry as much as they may; ask again once they are answered"));
      }
    }
    this.waitingBytes += size;
    return new Promise((resolve) => {
      this.queue.push({ method, args, size, resolve });
      if (!this.running) this.run();
    });
  }

  async run() {
    this.running = true;
    clearTimeout(this.idle);
    while (this.queue.length > 0) {
      const job = this.queue.shift();
      this.waitingBytes -= job.size;
      let answer;
      try {
        answer = await this.serve(job.method, job.args);
      } catch (e) {
        answer = failure("ERR_CALL", `the extension failed: ${e.message}`);
      }
      job.resolve(answer);
    }
    this.running = false;
    this.idle = setTimeout(() => {
      if (this.running || this.queue.length > 0) return;
      this.close();
      if (connections.get(this.origin) === this) connections.delete(this.origin);
    }, IDLE_MS);
  }

  async serve(method, args) {
    if (this.port === null) {
      const opened = await this.open();
      if (opened.error) return opened;
    }
    if (method === "hello") {
      // The page asking for the versions: asked of the host anew each time,
      // so that it tells whether the host still answers.
      const hello = await this.send("hello", [], HANDSHAKE_MS);
      if (hello.error) return hello;
      return { result: { extension: EXTENSION_VERSION, host: hello.result?.host ?? null, protocol: PROTOCOL } };
    }
    return this.send(method, args, QUICK.has(method) ? QUICK_MS : DIALOG_MS);
  }

  async open() {
    let port;
    try {
      port = chrome.runtime.connectNative(HOST);
    } catch (e) {
      return failure("ERR_NO_HOST", `could not start the ostrel host (${e.message}); ${INSTALL_HINT}`);
    }
    this.port = port;
    this.handshaking = true;
    port.onMessage.addListener((message) => this.onMessage(port, message));
    port.onDisconnect.addListener(() => this.onDisconnect(port));
    const hello = await this.send("hello", [], HANDSHAKE_MS);
    this.handshaking = false;
    if (!hello.error && hello.result?.protocol !== PROTOCOL) {
      this.close();
      return failure("ERR_VERSION", `the ostrel host speaks protocol ${hello.result?.protocol}, ` +
        `this extension ${PROTOCOL}; install matching versions`);
    }
    if (hello.error) {
      this.close();
      return hello;
    }
    this.hostVersion = hello.result.host;
    return hello;
  }

  send(method, args, ms) {
    const port = this.port;
    if (port === null) return Promise.resolve(this.gone("the port is closed"));
    const id = nextId++;
    return new Promise((resolve) => {
      const timer = setTimeout(() => {
        // The host may still be busy with it (a dialog left open): it is
        // stopped, so that the next request starts on a fresh one.
        finish(failure("ERR_TIMEOUT", `${method} had no answer within ${ms / 1000} s`));
        this.close();
      }, ms);
      const finish = (answer) => {
        if (this.pending?.id !== id) return;
        clearTimeout(timer);
        this.pending = null;
        resolve(answer);
      };
      this.pending = { id, finish };
      try {
        port.postMessage({ v: PROTOCOL, id, origin: this.origin, method, args });
      } catch (e) {
        finish(this.gone(e.message));
        this.close();
      }
    });
  }

  onMessage(port, message) {
    if (port !== this.port || this.pending === null) return;
    // An answer without an id is the host refusing the whole connection.
    const id = message?.id;
    if (id === this.pending.id || id === null) this.pending.finish(readReply(message));
  }

  onDisconnect(port) {
    // Reading lastError here also keeps Chromium from logging it as unchecked.
    const why = chrome.runtime.lastError?.message ?? port.error?.message ?? "it closed the connection";
    if (port !== this.port) return;
    this.port = null;
    if (this.pending !== null) this.pending.finish(this.gone(why));
  }

  // The error for a request whose host went away.
  gone(why) {
    if (this.handshaking) {
      return failure("ERR_NO_HOST", `could not start the ostrel host (${why}); ${INSTALL_HINT}`);
    }
    return failure("ERR_CALL", `the ostrel host ended before it answered (${why})`);
  }

  close() {
    const port = this.port;
    this.port = null;
    this.handshaking = false;
    if (port !== null) {
      try {
        port.disconnect();
      } catch {
        // already gone
      }
    }
  }
}

const connections = new Map(); // origin -> Connection

chrome.runtime.onMessage.addListener((message, sender, sendResponse) => {
  // Only this extension's content script in the top frame of a tab.
  if (sender.id !== chrome.runtime.id || !sender.tab || sender.frameId !== 0) return false;
  const origin = senderOrigin(sender, message?.origin);
  if (origin === null) {
    sendResponse(failure("ERR_ORIGIN",
      "only secure pages (https, or http on this computer) with an origin of their own may use ostrel"));
    return false;
  }
  if (message === null || typeof message !== "object" || typeof message.method !== "string" ||
      !Array.isArray(message.args)) {
    sendResponse(failure("ERR_ARGS", "a request needs a method and a list of arguments"));
    return false;
  }
  let connection = connections.get(origin);
  if (connection === undefined) {
    connection = new Connection(origin);
    connections.set(origin, connection);
  }
  connection.request(message.method, message.args).then(sendResponse);
  return true;
});
