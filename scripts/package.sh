#!/usr/bin/env bash
# Builds the Debian packages ostrel_VERSION_amd64.deb and ostrel-qt_VERSION_amd64.deb
# into OUT_DIR (default: build-package/out): a Release build of its own
# (BUILD_DIR, default build-package) for the system's paths (/usr, the
# private folder /usr/lib/ostrel), with Debian's hardening flags, the manual
# pages and the system-wide bridge, packaged by CPack.
#
#   bash scripts/package.sh [OUT_DIR] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build-package/out}
build=${2:-build-package}
bash scripts/deps.sh

# Debian's flags for packages (stack protector, fortified functions, full
# RELRO), without debugging information, which the package strips anyway.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
flags() { dpkg-buildflags --get "$1" | sed 's/\(^\| \)-g\( \|$\)/\1/'; }
cppflags=$(flags CPPFLAGS)
ldflags=$(flags LDFLAGS)
cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_FLAGS="$(flags CFLAGS) $cppflags" \
  -DCMAKE_CXX_FLAGS="$(flags CXXFLAGS) $cppflags" \
  -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
  -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR=lib \
  -DOSTREL_SYSTEM_BRIDGE=ON -DOSTREL_MANUALS=ON \
  -DOSTREL_BUILD_TESTS=OFF -DOSTREL_BUILD_BENCH=OFF \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
# What the packages hold, not the fuzz targets and tools beside them.
targets=(ostrel ostrel-bridge ostrel_ocx ostrel_manuals ostrel_system_manifests
         ostrel_package_changelog)
if grep -q '^ostrel_ui_qt:' <(cmake --build "$build" --target help); then
  targets+=(ostrel_ui_qt)
fi
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB >/dev/null)
mkdir -p "$out"
cp "$build"/packages/*.deb "$out"/
for deb in "$build"/packages/*.deb; do
  echo "$out/$(basename "$deb")"
done
