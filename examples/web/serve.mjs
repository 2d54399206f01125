// A small static server for the example page (and the browser tests): files
// of one folder, plus single files mounted at fixed paths, on the loopback
// only. Pages served from http://127.0.0.1 count as secure, so the extension
// serves them.
//
//   node examples/web/serve.mjs [PORT]     # then open http://127.0.0.1:PORT/
import { createServer } from "node:http";
import { createServer as createSecureServer } from "node:https";
import { readFile, realpath } from "node:fs/promises";
import { dirname, extname, join, resolve, sep } from "node:path";
import { fileURLToPath } from "node:url";

const TYPES = {
  ".html": "text/html; charset=utf-8",
  ".js": "text/javascript; charset=utf-8",
  ".mjs": "text/javascript; charset=utf-8",
  ".css": "text/css; charset=utf-8",
  ".json": "application/json",
  ".txt": "text/plain; charset=utf-8",
};

// The file a request path names: a mounted file, or one inside `root`
// (after symbolic links are followed); nothing otherwise.
async function locate(root, mounts, urlPath) {
  if (Object.hasOwn(mounts, urlPath)) return mounts[urlPath];
  let path;
  try {
    path = decodeURIComponent(urlPath);
  } catch {
    return null;
  }
  if (path.includes("\0")) return null;
  if (path.endsWith("/")) path += "index.html";
  const file = resolve(root, "." + path);
  try {
    const real = await realpath(file);
    const realRoot = await realpath(root);
    return real.startsWith(realRoot + sep) ? real : null;
  } catch {
    return null;
  }
}

// Listens on `host`:`port` (0: any free port); resolves to the server once it
// listens. `mounts` maps request paths to files outside the root. With `tls`
// ({ key, cert }, PEM), it serves https.
export function serve({ root, mounts = {}, host = "127.0.0.1", port = 0, tls = null }) {
  const handler = async (request, response) => {
    const url = new URL(request.url, "http://localhost");
    const file = request.method === "GET" || request.method === "HEAD"
      ? await locate(root, mounts, url.pathname)
      : null;
    let body = null;
    if (file !== null) body = await readFile(file).catch(() => null);
    if (body === null) {
      response.writeHead(404, { "content-type": "text/plain; charset=utf-8" });
      response.end("not found\n");
      return;
    }
    response.writeHead(200, {
      "content-type": TYPES[extname(file)] ?? "application/octet-stream",
      "cache-control": "no-store",
    });
    response.end(request.method === "HEAD" ? undefined : body);
  };
  const server = tls ? createSecureServer(tls, handler) : createServer(handler);
  return new Promise((done, fail) => {
    server.once("error", fail);
    server.listen(port, host, () => done(server));
  });
}

const here = dirname(fileURLToPath(import.meta.url));

// The example page with the library beside it.
export function serveExample(port = 0) {
  return serve({
    root: here,
    mounts: { "/ostrel.js": join(here, "..", "..", "hosts", "bridge", "page", "ostrel.js") },
    port,
  });
}

if (process.argv[1] && resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  const server = await serveExample(Number(process.argv[2] ?? 8080));
  console.log(`Serving ${here} on http://127.0.0.1:${server.address().port}/ (Ctrl+C ends it)`);
}
