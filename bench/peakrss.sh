#!/usr/bin/env bash
# Measures the memory a signature of a large text costs: the peak resident
# size of `ostrel sign` over the size of the text, for a file and for a pipe,
# beside OpenSSL's own command making the same detached signature.
#
#   bash bench/peakrss.sh [BUILD_DIR] [MIB...]
#
# Default sizes: 100 and 300 MiB of ASCII text. The string the control is
# called with holds the text in UTF-16 (2x) and the control signs its 8-bit
# form (1x), so the floor is 3x plus the program's few fixed megabytes.
# Needs /usr/bin/time (Debian package "time").
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(100 300)
ostrel=$(realpath "$build/bin/ostrel")
[ -x "$ostrel" ] || { echo "peakrss: $ostrel not built" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "peakrss: /usr/bin/time is missing (apt-get install time)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export OSTREL_HOME=$work/home OSTREL_UI=none
"$ostrel" store new-test-cert --subject "/CN=Bench Signer" >/dev/null
entry=$(ls "$OSTREL_HOME"/stores/MY/*.pem | head -n1)
openssl x509 -in "$entry" -out "$work/cert.pem"
openssl pkey -in "$entry" -out "$work/key.pem"

# Peak resident size in KiB of a shell command line.
peak() { /usr/bin/time -f %M -o "$work/rss" sh -c "$1" >/dev/null && cat "$work/rss"; }

printf '%-40s %10s %12s %8s\n' "command" "text MiB" "peak MiB" "ratio"
for mib in "${sizes[@]}"; do
    text=$work/text.txt
    { yes 'The quick brown fox jumps over the lazy dog 0123456789.' || true; } | head -c "$((mib << 20))" >"$text"
    for name in file pipe openssl; do
        case $name in
            file) cmd="'$ostrel' sign --index 0 --in '$text' --out '$work/sig'" ;;
            pipe) cmd="cat '$text' | '$ostrel' sign --index 0 --out '$work/sig'" ;;
            openssl) cmd="openssl cms -sign -md md5 -binary -signer '$work/cert.pem' -inkey '$work/key.pem' -in '$text' -outform PEM -out '$work/sig'" ;;
        esac
        kib=$(peak "$cmd")
        label="ostrel sign ($name)"
        [ "$name" = openssl ] && label="openssl cms -sign -md md5 (detached)"
        printf '%-40s %10d %12.1f %7.2fx\n' "$label" "$mib" "$(awk -v k="$kib" 'BEGIN { print k / 1024 }')" \
            "$(awk -v k="$kib" -v m="$mib" 'BEGIN { print k / 1024 / m }')"
    done
    rm -f "$text"
done
