// What the tests reach from the page: the library, and a way to post a
// request of any shape, as a page that does not use the library would.
import { ostrel } from "/ostrel.js";

window.ostrel = ostrel;

// Calls a method of the library; the answer as {result} or {error}.
window.callOstrel = (method, args) =>
  Promise.resolve()
    .then(() => ostrel[method](...args))
    .then(
      (result) => ({ result }),
      (e) => ({ error: { code: e.code, message: e.message, hresult: e.hresult, isError: e instanceof Error } }),
    );

// Posts `message` to the page's own window and gives the response that
// carries its id, or {silent: true} when none came within `ms`.
window.postRaw = (message, ms = 10_000) =>
  new Promise((resolve) => {
    const timer = setTimeout(() => {
      window.removeEventListener("message", listen);
      resolve({ silent: true });
    }, ms);
    function listen(event) {
      const data = event.data;
      if (event.source !== window || data?.type !== "ostrel-response" || data.id !== message.id) return;
      clearTimeout(timer);
      window.removeEventListener("message", listen);
      resolve(data);
    }
    window.addEventListener("message", listen);
    window.postMessage(message, window.location.origin);
  });

window.pageLoaded = true;
