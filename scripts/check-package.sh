#!/usr/bin/env bash
# Makes the Debian package from a Release build directory and checks it as a user's machine would
# see it: lintian (errors fail), the desktop entry and AppStream file as installed, whether dpkg
# would install it here, and the extracted programs starting on the system's libraries alone.
#
#   check-package.sh BUILD_DIRECTORY
set -euo pipefail
build="$(cd "$1" && pwd)"
work="$(mktemp -d /tmp/tessaral-package-XXXXXX)"
trap 'rm -rf "$work"' EXIT

rm -f "$build"/tessaral_*.deb
(cd "$build" && cpack -G DEB >"$work/cpack.log") || { cat "$work/cpack.log"; exit 1; }
debs=("$build"/tessaral_*.deb)
deb=${debs[0]}
version="$(dpkg-deb -f "$deb" Version)"
echo "$(basename "$deb"): Depends: $(dpkg-deb -f "$deb" Depends)"

lintian --fail-on error --info "$deb"
echo "lintian: no errors"

dpkg-deb -x "$deb" "$work/root"
desktop-file-validate "$work/root/usr/share/applications/org.tessaral.Tessaral.desktop"
appstreamcli validate --no-net \
    "$work/root/usr/share/metainfo/org.tessaral.Tessaral.metainfo.xml"
echo "desktop entry and AppStream file: valid"

# Every dependency must be satisfiable from Debian's packages; here they are all installed.
sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
$sudo dpkg --dry-run -i "$deb" >"$work/dpkg.log" || { cat "$work/dpkg.log"; exit 1; }

printed="$(env -u LD_LIBRARY_PATH "$work/root/usr/bin/tessaral" --version)"
[[ $printed == "tessaral $version" ]] || { echo "tessaral --version printed: $printed"; exit 1; }
status=0
env -u LD_LIBRARY_PATH "$work/root/usr/bin/tessaral-snapshot" >"$work/snapshot.log" 2>&1 ||
    status=$?
grep -q '^usage: tessaral-snapshot' "$work/snapshot.log" && ((status == 2)) ||
    { cat "$work/snapshot.log"; exit 1; }
echo "extracted package: $printed; tessaral-snapshot starts"
