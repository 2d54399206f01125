#!/usr/bin/env bash
# Times whole processes, the way a script or a web page's helper pays for
# them: one signature or one verification per process, each against OpenSSL's
# own command doing the same work on the same key and text, in the same run.
#
#   bash bench/percall.sh [BUILD_DIR] [RUNS]
#
# Prints the mean wall time per process of each command and the ratios
# (ostrel time / openssl time; lower is better).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-60}
ostrel=$(realpath "$build/bin/ostrel")
[ -x "$ostrel" ] || { echo "percall: $ostrel not built" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export OSTREL_HOME=$work/home OSTREL_UI=none
"$ostrel" store new-test-cert --subject "/CN=Bench Signer/emailAddress=bench@example.org" >/dev/null
"$ostrel" register >/dev/null
entry=$(ls "$OSTREL_HOME"/stores/MY/*.pem | head -n1)
openssl x509 -in "$entry" -out "$work/cert.pem"
openssl pkey -in "$entry" -out "$work/key.pem"
printf 'Pay 100 EUR to account 12-3456-789 on 2026-12-31.' >"$work/text.txt"

# The signed message with its content, as hexadecimal text for the control
# and as DER for OpenSSL.
openssl cms -sign -md md5 -binary -nodetach -signer "$work/cert.pem" -inkey "$work/key.pem" \
    -in "$work/text.txt" -outform DER -out "$work/signed.der"
od -An -v -tx1 "$work/signed.der" | tr -d ' \n' >"$work/signed.hex"

# The commands compared, each run once per round; rounds alternate between
# them so that a busy moment of the machine weighs on all alike.
names=(call_sign cli_sign ossl_sign call_verify cli_verify ossl_verify)
commands=(
    "$ostrel call SignMessageNoPrompt @$work/text.txt 0"
    "$ostrel sign --index 0 --in $work/text.txt"
    "openssl cms -sign -md md5 -binary -signer $work/cert.pem -inkey $work/key.pem -in $work/text.txt -outform PEM"
    "$ostrel call VerifyMessage @$work/signed.hex"
    "$ostrel verify --in $work/signed.hex"
    "openssl cms -verify -noverify -binary -inform DER -in $work/signed.der"
)
declare -A total
for i in "${!names[@]}"; do
    # shellcheck disable=SC2086
    ${commands[$i]} >/dev/null 2>&1 || { echo "percall: failed: ${commands[$i]}" >&2; exit 1; }
    total[${names[$i]}]=0
done
for ((round = 0; round < runs; round++)); do
    for i in "${!names[@]}"; do
        start=${EPOCHREALTIME/./}
        # shellcheck disable=SC2086
        ${commands[$i]} >/dev/null 2>&1
        end=${EPOCHREALTIME/./}
        total[${names[$i]}]=$((total[${names[$i]}] + end - start))
    done
done
ms() { awk -v t="${total[$1]}" -v n="$runs" 'BEGIN { printf "%.3f", t / n / 1000 }'; }
sign_call=$(ms call_sign) sign_cli=$(ms cli_sign) sign_ossl=$(ms ossl_sign)
verify_call=$(ms call_verify) verify_cli=$(ms cli_verify) verify_ossl=$(ms ossl_verify)

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
printf '%-48s %8s ms\n' \
    "ostrel call SignMessageNoPrompt" "$sign_call" \
    "ostrel sign --index 0" "$sign_cli" \
    "openssl cms -sign -md md5" "$sign_ossl" \
    "ostrel call VerifyMessage" "$verify_call" \
    "ostrel verify" "$verify_cli" \
    "openssl cms -verify -noverify" "$verify_ossl"
echo
printf '%-48s %6sx (target <= 1.0)\n' "sign per process, call / openssl" "$(ratio "$sign_call" "$sign_ossl")"
printf '%-48s %6sx\n' "sign per process, sign / openssl" "$(ratio "$sign_cli" "$sign_ossl")"
printf '%-48s %6sx (target <= 0.3)\n' "verify per process, call / openssl" "$(ratio "$verify_call" "$verify_ossl")"
printf '%-48s %6sx\n' "verify per process, verify / openssl" "$(ratio "$verify_cli" "$verify_ossl")"
