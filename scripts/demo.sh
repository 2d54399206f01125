#!/usr/bin/env bash
# Installs what is needed, builds, and runs the main job: on first use it makes
# a demo certificate in a demo home, then signs a sample text by position with
# `ostrel sign`, prints the signature text, and has OpenSSL verify it; then
# registers the module and signs once more late-bound with `ostrel call`, as
# any automation host would; and last has the example web page sign it in
# headless Chromium through the browser extension and ostrel-bridge.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build >/dev/null
ostrel=build/bin/ostrel
export OSTREL_HOME=${OSTREL_HOME:-$PWD/build/demo-home}
export OSTREL_UI=${OSTREL_UI:-none}
if [ -z "$("$ostrel" store list --json | tr -d '[:space:][]')" ]; then
  echo "== Making a demo certificate in $OSTREL_HOME"
  "$ostrel" store new-test-cert --subject "/C=US/O=Demo Org/CN=Ann Lee/emailAddress=ann.lee@example.org"
fi
sample=build/demo-sample.txt
printf 'I, Ann Lee, agree to the terms of 7 December 2026.\n' > "$sample"
echo "== The personal store"
"$ostrel" store list
echo "== Signature of $sample with the certificate at position 0"
"$ostrel" sign --index 0 --in "$sample" --out build/demo-signature.txt
cat build/demo-signature.txt; echo
echo "== openssl cms -verify on it"
tr -d '\r\n' < build/demo-signature.txt | base64 -d > build/demo-signature.der
openssl cms -verify -binary -noverify -inform DER -in build/demo-signature.der \
  -content "$sample" -out /dev/null
echo "== Registering the module and signing through activation"
"$ostrel" register
"$ostrel" call SignMessageNoPrompt "@$sample" 0 > build/demo-signature-call.txt
tr -d '\r\n' < build/demo-signature-call.txt | base64 -d > build/demo-signature-call.der
openssl cms -verify -binary -noverify -inform DER -in build/demo-signature-call.der \
  -content "$sample" -out /dev/null
echo "== A web page signs the same text through the browser bridge (examples/web, headless Chromium)"
if [ ! -f node_modules/.package-lock.json ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
  npm ci --no-audit --no-fund --loglevel=error
fi
node scripts/web-demo.mjs build "$sample" build/demo-signature-page.pem
echo "== openssl cms -verify on the page's signature"
openssl cms -verify -binary -noverify -inform PEM -in build/demo-signature-page.pem \
  -content "$sample.page" -out /dev/null
echo "Try the page in your own browser: load hosts/bridge/extension unpacked, run"
echo "'ostrel bridge install', then 'node examples/web/serve.mjs 8080' and open http://127.0.0.1:8080/"
