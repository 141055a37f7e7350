#!/usr/bin/env bash
# Part of the test command (scripts/test.sh runs it after the main suite, as
# root on the test machine): builds the Debian package from the given build dir,
# checks it with lintian, validates the desktop entry and the AppStream metadata,
# installs it with dpkg, runs the installed program in screenshot mode against
# private settings, and removes the package again.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
appid=org.example.pelorin

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

tmp=$(mktemp -d)
installed=0
cleanup() {
  if [ "$installed" = 1 ]; then $SUDO dpkg -r pelorin >/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "package-tests: $*" >&2; exit 1; }

# The stage removes the package at the end: never take away a real installation.
if dpkg-query -W -f='${Status}' pelorin 2>/dev/null | grep -q 'installed'; then
  fail "pelorin is installed on this machine already; remove it first"
fi

echo "== Debian package"
cmake --build "$build" --target pelorin pelorin_desktop_files
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
(cd "$build" && cpack -G DEB -B "$tmp/out" >"$tmp/cpack.log") || { cat "$tmp/cpack.log" >&2; fail "cpack failed"; }
deb="$tmp/out/pelorin_${version}_${arch}.deb"
[ -f "$deb" ] || fail "cpack did not write $(basename "$deb"): $(ls "$tmp/out")"
dpkg-deb --field "$deb"

echo "== lintian"
lintian --info --display-info --fail-on error "$deb" || fail "lintian reports errors"

dpkg-deb -x "$deb" "$tmp/tree"
echo "== desktop-file-validate"
desktop-file-validate "$tmp/tree/usr/share/applications/$appid.desktop"
echo "== appstreamcli validate"
# No network on the test machine: the screenshot address is checked below instead.
appstreamcli validate --no-net --pedantic "$tmp/tree/usr/share/metainfo/$appid.metainfo.xml"
appstreamcli validate-tree --no-net "$tmp/tree"

# The pieces that no validator ties together.
metainfo="$tmp/tree/usr/share/metainfo/$appid.metainfo.xml"
grep -q "<release version=\"$version\"" "$metainfo" || fail "metainfo has no release $version"
zcat "$tmp/tree/usr/share/doc/pelorin/changelog.gz" | head -n1 | grep -qF "pelorin ($version)" \
  || fail "the changelog does not start with $version"
shot=$(sed -n 's|.*<image[^>]*>.*/raw/[^/]*/\(.*\)</image>.*|\1|p' "$metainfo")
[ -n "$shot" ] && [ -f "$root/$shot" ] || fail "the metainfo screenshot '$shot' is not in the repository"
file -b "$root/$shot" | grep -q "^PNG image data, $(sed -n 's|.*<image[^>]*width="\([0-9]*\)" height="\([0-9]*\)".*|\1 x \2|p' "$metainfo")," \
  || fail "the metainfo gives other dimensions than $shot has"
for dir in "$tmp"/tree/usr/share/icons/hicolor/*x*; do
  size=${dir##*/}
  file -b "$dir/apps/$appid.png" | grep -q "^PNG image data, ${size/x/ x }," || fail "icon in $size has another size"
done
# Every library the program links is named in the component notice.
libs=$(readelf -d "$tmp/tree/usr/bin/pelorin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
[ -n "$libs" ] || fail "readelf found no libraries in usr/bin/pelorin"
for lib in $libs; do
  grep -qF "\`$lib\`" "$tmp/tree/usr/share/doc/pelorin/THIRD_PARTY.md" || fail "THIRD_PARTY.md does not name $lib"
done

echo "== dpkg -i, installed program, dpkg -r"
installed=1
$SUDO dpkg -i "$deb"
home="$tmp/home"
mkdir -p "$home" "$tmp/runtime"
chmod 700 "$tmp/runtime"
# Only the private folders reach the program: no session bus, no display. The window fits
# the screen it opens on, so the offscreen platform gets one the published size fits in
# (its own is 800 x 800).
echo '{"screens": [{"name": "s", "width": 1600, "height": 1000}]}' >"$tmp/screen.json"
env -i PATH=/usr/bin:/bin HOME="$home" XDG_CONFIG_HOME="$home/.config" \
  XDG_DATA_HOME="$home/.local/share" XDG_CACHE_HOME="$home/.cache" XDG_RUNTIME_DIR="$tmp/runtime" \
  QT_QPA_PLATFORM="offscreen:configfile=$tmp/screen.json" /usr/bin/pelorin --screenshot "$tmp/shot.png" \
  || fail "the installed program failed in screenshot mode"
info=$(file -b "$tmp/shot.png")
echo "screenshot: $info"
[[ $info =~ ^PNG\ image\ data,\ [0-9]+\ x\ [0-9]+, ]] || fail "no PNG written"
# The published screenshot is this same capture; a new window size means re-rendering it.
[ "${info%%, 8-bit*}" = "$(file -b "$root/$shot" | sed 's/, 8-bit.*//')" ] \
  || fail "the window is now ${info%%, 8-bit*}: re-render $shot with the installed program"
$SUDO dpkg -r pelorin
installed=0
[ ! -e /usr/bin/pelorin ] || fail "/usr/bin/pelorin is still there after dpkg -r"
[ ! -e "/usr/share/applications/$appid.desktop" ] || fail "the desktop entry is still there after dpkg -r"
echo "package tests passed"
