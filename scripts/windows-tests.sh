#!/usr/bin/env bash
# Part of the test command (scripts/test.sh runs it as its Windows stage):
#  1. extracts the shared Qt for Windows (cross-built with mingw-w64) into the build folder;
#  2. cross-compiles pelorin.exe and the tests that make sense on Windows;
#  3. runs those tests (CTest names ending in -win) under wine64 in a private wine prefix
#     made for this run, so the Credential Manager and the registry they use are throw-away;
#     the Linux build's pelorin-demo-panel --tls serves their encrypted sessions (wine's
#     Schannel can be a TLS client only), its ports in PELORIN_TLS_DEMO_PORTS;
#  4. checks that pelorin.exe --screenshot writes the 1400 x 900 picture;
#  5. makes pelorin-<version>-win64.zip, extracts it into a second, untouched prefix with no
#     Qt or compiler on the DLL path and starts it there with --screenshot, on the real
#     "windows" platform plugin under a private X server: proof that nothing is missing; then
#     the encrypted-session cases of tst_demopanel.exe run from a copy of that folder (only
#     Qt6Test.dll added), so the zip's tls\qschannelbackend.dll is the TLS they have, and fail
#     once it is taken away;
#  6. builds pelorin-<version>-win64.msi and, in a third untouched prefix, installs a copy of
#     a lower version quietly and upgrades it with the package, refuses the downgrade, checks
#     the installed files against the zip, the shortcut and the Apps & features entry, runs
#     the installed program (screenshot, a second start on the same settings, a close that
#     saves the settings), uninstalls quietly and checks that the files went and the settings
#     stayed.
# Environment: PELORIN_QT_MINGW_DIR, the folder holding qt-6.4.2-mingw-w64.tar.xz (default
# ../shared/qt6-mingw next to the repository); PELORIN_WINDOWS_BUILD_DIR (default build-win);
# PELORIN_BUILD_DIR, the Linux build whose pelorin-demo-panel serves TLS (default build; the
# target is built there when missing).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${PELORIN_WINDOWS_BUILD_DIR:-$root/build-win}
linux_build=${PELORIN_BUILD_DIR:-$root/build}
jobs=$(nproc)
began=$(date +%s)
timings=()
lap() { timings+=("$1 $(($(date +%s) - began)) s"); }

bash "$root/scripts/deps.sh" mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine64 \
  wixl msitools libz-mingw-w64-dev

# The shared Qt sits next to the repository; a git worktree also looks next to its main checkout.
qtdir=${PELORIN_QT_MINGW_DIR:-}
if [ -z "$qtdir" ]; then
  qtdir=$root/../shared/qt6-mingw
  common=$(git -C "$root" rev-parse --path-format=absolute --git-common-dir 2>/dev/null || true)
  if [ ! -d "$qtdir" ] && [ -n "$common" ]; then
    qtdir=$(dirname "$common")/../shared/qt6-mingw
  fi
fi
tarball=$qtdir/qt-6.4.2-mingw-w64.tar.xz
if [ ! -f "$tarball" ]; then
  echo "Windows stage: the cross-built Qt is missing ($tarball)." >&2
  echo "Set PELORIN_QT_MINGW_DIR to the folder that holds qt-6.4.2-mingw-w64.tar.xz." >&2
  exit 1
fi

mkdir -p "$build"
qt=$build/qt-6.4.2-mingw-w64
if [ ! -f "$qt/.extracted" ] || [ "$tarball" -nt "$qt/.extracted" ]; then
  echo "== Extracting $tarball"
  rm -rf "$qt"
  tar -C "$build" -xJf "$tarball"
  touch "$qt/.extracted"
fi
lap extract

echo "== Cross build for Windows ($build)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$qt/toolchain-mingw-w64.cmake" -DCMAKE_PREFIX_PATH="$qt" \
  -DQT_HOST_PATH=/usr -DPELORIN_WERROR=ON -DPELORIN_BENCH=OFF >/dev/null
cmake --build "$build" -j"$jobs"
cmake --build "$build" --target pelorin_msi
lap build

if [ ! -f "$linux_build/CMakeCache.txt" ]; then
  echo "Windows stage: no Linux build in $linux_build for pelorin-demo-panel --tls (set PELORIN_BUILD_DIR)." >&2
  exit 1
fi
cmake --build "$linux_build" --target pelorin-demo-panel
lap demo

work=$(mktemp -d)
xvfb=
tlsdemo=
cleanup() {
  [ -n "$tlsdemo" ] && kill "$tlsdemo" 2>/dev/null || true
  for prefix in "$work/prefix" "$work/fresh" "$work/msi"; do
    [ -d "$prefix" ] && WINEPREFIX=$prefix /usr/lib/wine/wineserver -k 2>/dev/null || true
  done
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

export WINEDEBUG=-all
# No Mono or Gecko installer, no desktop menu entries.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wine=/usr/lib/wine/wine64
# Wine hands QT_<name> to a Windows program only when it is set as WINEQT_<name>.
export WINEQT_FORCE_STDERR_LOGGING=1 # QtTest's log on stderr, not OutputDebugString
export WINEQT_QPA_FONTDIR=Z:/usr/share/fonts/truetype/dejavu

# No X display until the zip's run: a Windows program that crashed must not wait at wine's
# crash dialog.
unset DISPLAY

echo "== Creating a private wine prefix"
export WINEPREFIX=$work/prefix
"$wine" wineboot --init 2>/dev/null && /usr/lib/wine/wineserver -w
"$wine" winecfg -v win10 && /usr/lib/wine/wineserver -w
# Wine links the profile's Documents, Pictures, Desktop... to the Linux home folder; the tests
# write snapshots there, so the prefix gets folders of its own.
for link in "$WINEPREFIX"/drive_c/users/*/*; do
  if [ -L "$link" ]; then rm "$link" && mkdir "$link"; fi
done
# Copies nobody has run anything in yet, for the zip and for the installer.
cp -a "$WINEPREFIX" "$work/fresh"
cp -a "$WINEPREFIX" "$work/msi"
lap prefix

# Qt's DLLs, the compiler's runtime DLLs and zlib's for what runs from the build folder.
cxx=x86_64-w64-mingw32-g++-posix
runtime() { dirname "$("$cxx" -print-file-name="$1")"; }
zlib=$(dirname "$(sed -n 's/^PELORIN_ZLIB_DLL:FILEPATH=//p' "$build/CMakeCache.txt")")
export WINEPATH="Z:$qt/bin;Z:$(runtime libstdc++-6.dll);Z:$(runtime libwinpthread-1.dll);Z:$zlib"

# The panels that the Windows client reaches over TLS: four lines of panels (port last), then
# the certificate's.
"$linux_build/pelorin-demo-panel" --tls --base-port 0 >"$work/tlsdemo.lines" 2>"$work/tlsdemo.log" &
tlsdemo=$!
for _ in $(seq 1 100); do [ "$(wc -l <"$work/tlsdemo.lines")" -ge 5 ] && break; sleep 0.1; done
if [ "$(wc -l <"$work/tlsdemo.lines")" -lt 5 ]; then
  echo "pelorin-demo-panel --tls did not start:" >&2
  cat "$work/tlsdemo.log" >&2
  exit 1
fi
PELORIN_TLS_DEMO_PORTS=$(head -n4 "$work/tlsdemo.lines" | awk '{ printf "%s%s", sep, $NF; sep = " " }')
export PELORIN_TLS_DEMO_PORTS

status=0
echo "== Tests under wine"
(cd "$build" && ctest --output-on-failure -j2) || status=1
lap tests

# A PNG's size is in its IHDR chunk: bytes 16-23, two big-endian 32-bit numbers.
png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{print $1*16777216+$2*65536+$3*256+$4 "x" $5*16777216+$6*65536+$7*256+$8}'; }
check_shot() { # <label> <png>
  local size
  size=$([ -s "$2" ] && png_size "$2" || echo none)
  if [ "$size" = 1400x900 ]; then
    echo "$1: 1400 x 900 picture written"
  else
    echo "$1: expected a 1400 x 900 PNG, got $size" >&2
    status=1
  fi
}

echo "== pelorin.exe --screenshot (offscreen)"
# The window fits the screen it opens on; Qt's offscreen screen is 800 x 800 unless told
# otherwise. A relative path: the platform argument is split at colons, drive letters too.
echo '{"screens": [{"name": "s", "width": 1600, "height": 1000}]}' >"$work/screen.json"
(cd "$work" && WINEQT_QPA_PLATFORM=offscreen:configfile=screen.json timeout 60 "$wine" \
  "$build/pelorin.exe" --screenshot shot.png) || { echo "pelorin.exe --screenshot failed" >&2; status=1; }
check_shot "build folder" "$work/shot.png"

# One private X server for the programs that run on the real "windows" platform plugin.
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 1 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "Xvfb did not start:" >&2; cat "$work/xvfb.log" >&2; exit 1; }
display=":$(head -n1 "$work/display")"

echo "== Windows package"
(cd "$build" && cpack -G ZIP >/dev/null)
zip=$(ls "$build"/pelorin-*-win64.zip)
echo "$zip"
app=$work/fresh/drive_c/Pelorin
mkdir -p "$app"
(cd "$app" && cmake -E tar xf "$zip")
exe=$(ls "$app"/*/pelorin.exe)
# Nothing from the build machine on the DLL path, the real platform plugin, a private X server.
inprefix() { # <prefix> <command...>
  local prefix=$1
  shift
  env -u WINEPATH -u WINEQT_QPA_FONTDIR WINEPREFIX="$prefix" DISPLAY="$display" "$@"
}
inprefix "$work/fresh" timeout 60 "$wine" "$exe" --screenshot 'C:\shot.png' \
  || { echo "the packaged pelorin.exe did not run from a fresh prefix" >&2; status=1; }
check_shot "zip in a fresh prefix" "$work/fresh/drive_c/shot.png"
lap package

echo "== Encrypted sessions with the zip's Qt and TLS plugin"
if [ -f "$(dirname "$exe")/tls/qschannelbackend.dll" ]; then
  echo "zip: tls\qschannelbackend.dll"
else
  echo "the zip holds no tls\qschannelbackend.dll" >&2
  status=1
fi
# A copy, so the folder the installer is compared with stays the zip's.
tlscheck=$work/fresh/drive_c/TlsCheck
cp -a "$(dirname "$exe")" "$tlscheck"
cp "$build/tst_demopanel.exe" "$qt/bin/Qt6Test.dll" "$tlscheck/"
tls_cases() { # <expected exit: 0 or failure>
  local rc=0
  inprefix "$work/fresh" timeout 120 "$wine" 'C:\TlsCheck\tst_demopanel.exe' tlsDemoProgram \
    >"$work/tlscheck.log" 2>&1 || rc=$?
  grep -aE '^(PASS|FAIL|SKIP|Totals)' "$work/tlscheck.log" | sed 's/^/  /'
  if [ "$1" = 0 ] && { [ $rc -ne 0 ] || ! grep -aq '^Totals: .* 0 failed, 0 skipped' "$work/tlscheck.log"; }; then
    echo "the TLS cases failed from the zip's folder" >&2
    status=1
  elif [ "$1" != 0 ] && [ $rc -eq 0 ]; then
    echo "the TLS cases passed without tls\qschannelbackend.dll: the plugin came from elsewhere" >&2
    status=1
  fi
}
tls_cases 0
rm -r "$tlscheck/tls"
echo "without tls\:"
tls_cases failure
lap tls

bash "$root/scripts/windows-installer-tests.sh" "$build" "$work" "$display" "$(dirname "$exe")" || status=1
lap installer

echo "== Windows stage times (cumulative): ${timings[*]}"
exit $status
