#!/usr/bin/env bash
# Configures and builds into the folder given (default: build). Further
# arguments go to CMake's configure step. Warnings are errors here (OSTREL_WERROR).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREL_WERROR=ON "$@"
cmake --build "$dir" -j"$(nproc)"
