#!/usr/bin/env bash
# Installs the Debian packages that building and testing need. Skips the
# package manager when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libssl-dev openssl libcurl4-openssl-dev
  qt6-base-dev libgl-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libcli11-dev nlohmann-json3-dev
  libpsl-dev publicsuffix
  clang-format xvfb xauth time python3
  chromium firefox-esr
  libp11-kit-dev p11-kit softhsm2 opensc
  scdoc dpkg-dev lintian
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Node.js and npm drive the browser tests. A machine may have them from
# elsewhere (a nodejs package that carries its own npm conflicts with
# Debian's npm), so only what is missing as a command is installed.
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
[ ${#missing[@]} -eq 0 ] && exit 0

run() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
echo "Installing: ${missing[*]}"
run apt-get update
DEBIAN_FRONTEND=noninteractive run apt-get install -y --no-install-recommends "${missing[@]}"
