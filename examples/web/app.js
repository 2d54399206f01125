// The example page: signs the form's text through the ostrel extension and
// shows the signature with what can be checked of it.
import { ostrel } from "./ostrel.js";

const $ = (id) => document.getElementById(id);

function show(element, text, kind = "") {
  element.textContent = text;
  element.className = `status ${kind}`;
}

function explain(error) {
  switch (error.code) {
    case "ERR_NO_EXTENSION":
      return "The ostrel extension is not installed in this browser (or not enabled).";
    case "ERR_NO_HOST":
      return `The extension cannot start ostrel: ${error.message}`;
    case "ERR_CONSENT":
      return `This site may not use your certificates: ${error.message}`;
    case "ERR_CANCELLED":
      return "Cancelled.";
    case "ERR_CALL":
      return `ostrel could not do it: ${error.message}${error.hresult ? ` (${error.hresult})` : ""}`;
    default:
      return `${error.code ?? "Error"}: ${error.message}`;
  }
}

// Base64 in lines of 64, between the PEM markers OpenSSL reads.
function pem(base64) {
  const lines = base64.replace(/\s+/g, "").match(/.{1,64}/g) ?? [];
  return ["-----BEGIN PKCS7-----", ...lines, "-----END PKCS7-----", ""].join("\n");
}

function download(link, text, type) {
  URL.revokeObjectURL(link.href);
  link.href = URL.createObjectURL(new Blob([text], { type }));
}

ostrel.ready().then(
  (v) => show($("status"), `Ready: extension ${v.extension}, ostrel ${v.host}.`, "ok"),
  (e) => show($("status"), explain(e), "error"),
);

$("sign-form").addEventListener("submit", async (event) => {
  event.preventDefault();
  // The text as the box holds it (line breaks are LF); what is signed is its
  // UTF-8 bytes, which is also what the saved text.txt holds.
  const text = $("text").value;
  show($("status"), "Waiting for you to choose a certificate…");
  try {
    const signature = pem(await ostrel.SignMessage(text));
    $("signature").textContent = signature;
    download($("save-text"), text, "text/plain;charset=utf-8");
    download($("save-signature"), signature, "application/x-pem-file");
    $("command").textContent =
      "openssl cms -verify -binary -noverify -inform PEM -in signature.pem -content text.txt -out /dev/null";
    $("signed").hidden = false;
    show($("status"), "Signed.", "ok");
  } catch (e) {
    show($("status"), explain(e), "error");
  }
});

$("check-form").addEventListener("submit", async (event) => {
  event.preventDefault();
  const hex = $("hex").value.replace(/\s+/g, "");
  const out = $("checks");
  out.hidden = false;
  out.textContent = "Checking…";
  try {
    const [valid, subject, serial] = await Promise.all([
      ostrel.VerifyMessage(hex),
      ostrel.GetSubjectName(hex),
      ostrel.GetSerialNumber(hex),
    ]);
    out.textContent = [
      `Signature over its text: ${valid ? "holds" : "DOES NOT hold"}`,
      `Signed by:               ${subject}`,
      `Serial number:           ${serial} (least significant byte first)`,
    ].join("\n");
  } catch (e) {
    out.textContent = explain(e);
  }
});
