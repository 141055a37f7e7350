#!/usr/bin/env bash
# Builds Pelorin and runs every test. Installs the Debian packages it needs
# first. Window-system tests run on a private Xvfb display with openbox;
# keyring tests run in a private D-Bus session with a throw-away gnome-keyring.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${PELORIN_BUILD_DIR:-$root/build}
jobs=$(nproc)

bash "$root/scripts/deps.sh"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELORIN_WERROR=ON
cmake --build "$build" -j"$jobs"

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A private X server with a window manager, on the first free display.
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do [ -s "$work/display" ] && break; sleep 0.1; done
if [ ! -s "$work/display" ]; then
  echo "Xvfb did not start:" >&2; cat "$work/xvfb.log" >&2; exit 1
fi
export DISPLAY=":$(head -n1 "$work/display")"
openbox >"$work/openbox.log" 2>&1 &
pids+=($!)

export PELORIN_TEST_WORK="$work"
dbus-run-session -- bash "$root/scripts/session-tests.sh" "$build"

# The Debian package: lintian, the desktop entry and metadata, install, run, remove.
bash "$root/scripts/package-tests.sh" "$build"

# Sanitizer build of the suite, then each fuzz mode of the RFB client for 30 s
# (PELORIN_FUZZ_SECONDS sets a longer run).
bash "$root/scripts/sanitizer-fuzz-tests.sh"

# Cross build for Windows; its tests, the screenshot and the zip run under wine, their encrypted
# sessions against this build's demo panels.
PELORIN_BUILD_DIR="$build" bash "$root/scripts/windows-tests.sh"
