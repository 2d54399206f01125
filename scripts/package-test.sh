#!/usr/bin/env bash
# The Debian packages as a person installs and uses them, on this machine, as
# root (as CI runs it): builds them (scripts/package.sh), has lintian check
# them, installs ostrel with `apt-get install ./ostrel_*.deb`, and as a new
# unprivileged user runs the main job from the installed program: a store in
# the user's home, a signature `openssl cms -verify` accepts (the module found
# with no `ostrel register`), `ostrel bridge status` showing the system-wide
# host, and the example page signing in headless Chromium and Firefox
# through the installed extension and the system-wide host with no `ostrel
# bridge install`; then registration names the installed module. ostrel-qt is added
# and its Qt named by `ostrel --version`. Last, both are removed and purged:
# no file of theirs may remain, and the user's data must.
#
#   bash scripts/package-test.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build-package.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-package}
start=$SECONDS
if [ "$(id -u)" -ne 0 ]; then
  echo "package-test: run as root: it installs packages and adds a user" >&2
  exit 1
fi
for package in ostrel ostrel-qt; do
  if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "installed"; then
    echo "package-test: $package is installed on this machine; remove it first" >&2
    exit 1
  fi
done

fail() { echo "package-test: FAILED: $*" >&2; exit 1; }
export DEBIAN_FRONTEND=noninteractive
work=$(mktemp -d /tmp/ostrel-package-test.XXXXXX)
chmod 755 "$work"
user=ostrel-pt$$
home=/home/$user
cleanup() {
  set +e
  for package in ostrel-qt ostrel; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "installed" &&
      apt-get purge -y -qq "$package" >/dev/null 2>&1
  done
  if id "$user" >/dev/null 2>&1; then
    # A browser the test user still runs after a failure: ended by its id.
    ps -o pid= -u "$user" | xargs -r kill -KILL 2>/dev/null
    userdel -r "$user" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== Building the packages"
bash scripts/package.sh "$work/debs" "$build"
deb=$(echo "$work"/debs/ostrel_*_amd64.deb)
qtdeb=$(echo "$work"/debs/ostrel-qt_*_amd64.deb)
[ -f "$deb" ] && [ -f "$qtdeb" ] || fail "package.sh made no ostrel_*_amd64.deb and ostrel-qt_*_amd64.deb"
version=$(dpkg-deb -f "$deb" Version)
echo "ostrel $version: $(dpkg-deb -f "$deb" Depends)"
echo "  Recommends: $(dpkg-deb -f "$deb" Recommends); Suggests: $(dpkg-deb -f "$deb" Suggests)"
echo "ostrel-qt $version: $(dpkg-deb -f "$qtdeb" Depends)"
dpkg-deb -f "$deb" Depends | grep -qi qt && fail "ostrel depends on Qt: a server install would pull it in"
dpkg-deb -f "$qtdeb" Depends | grep -q "libqt6widgets6" || fail "ostrel-qt does not depend on Qt's widgets"
dpkg-deb -f "$deb" Depends | grep -q "libcurl4" || fail "ostrel does not depend on libcurl, which fetches time stamps"

echo "== lintian"
lintian --tag-display-limit 0 "$deb" "$qtdeb" > "$work/lintian.txt" 2>&1 || true
cat "$work/lintian.txt"
errors=$(grep -c '^E:' "$work/lintian.txt" || true)
warnings=$(grep -c '^W:' "$work/lintian.txt" || true)
echo "lintian: $errors errors, $warnings warnings"
[ "$errors" -eq 0 ] || fail "lintian reports errors"

echo "== apt-get install ./$(basename "$deb")"
(cd "$work/debs" && apt-get install -y -qq ./ostrel_*_amd64.deb >/dev/null)
dpkg -L ostrel > "$work/files-ostrel"
echo "$(wc -l < "$work/files-ostrel") paths; the program: $(command -v ostrel) -> $(readlink -f "$(command -v ostrel)")"

echo "== A new user, with no ostrel set up"
useradd --create-home --shell /bin/bash "$user"
# The browser test's driver and the example page, where the user can read them.
mkdir -p "$work/page/tests/hosts/bridge" "$work/page/scripts"
if [ ! -f node_modules/.package-lock.json ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
  npm ci --no-audit --no-fund --loglevel=error
fi
cp -r node_modules package.json examples "$work/page/"
cp -r tests/hosts/bridge/browser "$work/page/tests/hosts/bridge/"
cp scripts/package-page.mjs "$work/page/scripts/"
chmod -R a+rX "$work/page"

as_user() {
  runuser -u "$user" -- env -i HOME="$home" USER="$user" LOGNAME="$user" SHELL=/bin/bash \
    PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 PAGE="$work/page" "$@"
}
as_user bash -euo pipefail -c '
cd "$HOME"
export OSTREL_UI=none
echo "-- ostrel --version"
ostrel --version | tee version.txt
grep -q "^Qt: not available" version.txt || { echo "a server install names a Qt"; exit 1; }
echo "-- ostrel store new-test-cert"
ostrel store new-test-cert --subject "/C=US/O=Demo Org/CN=Ann Lee/emailAddress=ann.lee@example.org"
ostrel store list
printf "I, Ann Lee, agree to the terms of 7 December 2026.\n" > text.txt
echo "-- ostrel sign --index 0 (no registration: the installed module)"
[ ! -e .config/ostrel/registry.reg ] || { echo "a registry exists before any registration"; exit 1; }
ostrel sign --index 0 --in text.txt --out text.sig
tr -d "\r\n" < text.sig | base64 -d > text.der
openssl cms -verify -binary -noverify -inform DER -in text.der -content text.txt -out /dev/null
echo "-- man ostrel, man ostrel-bridge, and completion of the store positions"
man -w ostrel ostrel-bridge
MANWIDTH=80 man ostrel 2>/dev/null | grep -q "bridge origins allow" || { echo "man ostrel shows no command list"; exit 1; }
source /usr/share/bash-completion/completions/ostrel
COMP_WORDS=(ostrel sign --index ""); COMP_CWORD=3; _ostrel
[ "${COMPREPLY[*]}" = "0" ] || { echo "ostrel sign --index <Tab> offers \"${COMPREPLY[*]}\", not 0"; exit 1; }
echo "-- ostrel bridge status"
ostrel bridge status | tee status.txt
grep -q "system-wide manifest /etc/chromium/native-messaging-hosts/org.ostrel.bridge.json: ready; the host /usr/lib/ostrel/ostrel-bridge answers" status.txt ||
  { echo "Chromium: the system-wide host is not shown ready"; exit 1; }
grep -q "system-wide manifest /usr/lib/mozilla/native-messaging-hosts/org.ostrel.bridge.json: ready" status.txt ||
  { echo "Firefox: the system-wide host is not shown ready"; exit 1; }
[ "$(grep -c "=> ready (system-wide install)" status.txt)" -eq 2 ] ||
  { echo "Chromium and Firefox are not both ready through the system-wide install"; exit 1; }
for browser in chromium firefox; do
  echo "-- The example page signs in headless $browser (no ostrel bridge install)"
  node "$PAGE/scripts/package-page.mjs" text.txt page-$browser.pem $browser
  openssl cms -verify -binary -noverify -inform PEM -in page-$browser.pem -content text.txt.page -out /dev/null
done
echo "-- ostrel register: the installed module"
ostrel register
grep -q "/usr/lib/ostrel/OSTREL.OCX" .config/ostrel/registry.reg ||
  { echo "the registry does not name /usr/lib/ostrel/OSTREL.OCX"; exit 1; }
ostrel call SignMessageNoPrompt @text.txt 0 > call.sig
tr -d "\r\n" < call.sig | base64 -d > call.der
openssl cms -verify -binary -noverify -inform DER -in call.der -content text.txt -out /dev/null
ostrel bridge origins allow https://example.org
'

echo "== apt-get install ./$(basename "$qtdeb") (the Qt user interface)"
(cd "$work/debs" && apt-get install -y -qq ./ostrel-qt_*_amd64.deb >/dev/null)
dpkg -L ostrel-qt > "$work/files-ostrel-qt"
as_user bash -euo pipefail -c '
ostrel --version | tee "$HOME/version-qt.txt"
grep -Eq "^Qt 6\.[0-9]+\.[0-9]+ \(user interface /usr/lib/ostrel/libostrel_ui_qt\.so\)$" "$HOME/version-qt.txt" ||
  { echo "ostrel --version does not name the installed Qt interface"; exit 1; }
'

# The user's data, which neither removing nor purging may touch.
data=(.local/share/ostrel/stores/MY .config/ostrel/registry.reg
      .local/share/ostrel/bridge-origins.json text.sig)
(cd "$home" && find "${data[@]}" -type f -exec sha256sum {} + | sort) > "$work/data-before"
[ "$(wc -l < "$work/data-before")" -ge 4 ] || fail "the user's data is not where expected"

# Every path a package listed is gone, but for folders other packages own.
check_gone() {
  local list=$1 left=0 path
  while IFS= read -r path; do
    [ "$path" = "/." ] && continue
    if [ -e "$path" ] || [ -L "$path" ]; then
      if [ -d "$path" ] && [ ! -L "$path" ] && dpkg -S "$path" >/dev/null 2>&1; then continue; fi
      echo "left behind: $path"
      left=1
    fi
  done < "$list"
  return $left
}
check_data() {
  (cd "$home" && find "${data[@]}" -type f -exec sha256sum {} + | sort) > "$work/data-after"
  diff "$work/data-before" "$work/data-after" || fail "the user's data changed ($1)"
}

echo "== apt-get remove ostrel ostrel-qt"
apt-get remove -y -qq ostrel ostrel-qt >/dev/null
check_gone "$work/files-ostrel" || fail "files of ostrel remain after remove"
check_gone "$work/files-ostrel-qt" || fail "files of ostrel-qt remain after remove"
check_data "remove"
echo "== apt-get purge ostrel ostrel-qt"
# The packages hold no configuration files, so removing them leaves nothing
# for dpkg to purge; anything it still knows of is purged now.
known=()
for package in ostrel ostrel-qt; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -qv "not-installed" && known+=("$package")
done
if [ ${#known[@]} -gt 0 ]; then
  echo "dpkg still knows ${known[*]} after removal: purging"
  apt-get purge -y -qq "${known[@]}" >/dev/null
else
  echo "nothing left to purge: removal took everything"
fi
for package in ostrel ostrel-qt; do
  if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -qv "not-installed"; then
    fail "$package is still known to dpkg: $(dpkg-query -W -f='${Status}' "$package")"
  fi
done
check_gone "$work/files-ostrel" || fail "files of ostrel remain after purge"
check_data "purge"
echo "Nothing of the packages remains; the user's $(wc -l < "$work/data-after") files are unchanged"
echo "== package-test passed in $((SECONDS - start)) s"
