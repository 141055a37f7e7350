#!/usr/bin/env bash
# Soak run: the real pelorin against the four demo panels for N minutes (default 10), the link
# to one panel cut every few seconds; prints the program's memory, descriptors and threads at
# start, after a 2-minute warm-up and at the end, and fails when memory grows by more than
# 10 % after the warm-up or descriptors grow at all (bench/soak.py does the work).
#
#   bench/soak.sh [minutes]
#
# Needs the program and the demo panels built (cmake --build build --target pelorin
# pelorin-demo-panel; PELORIN_BUILD_DIR picks another build dir). Runs on the display DISPLAY
# names, or on a private Xvfb with openbox when DISPLAY is not set; always in a private D-Bus
# session with private settings. The test command does not run it.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${PELORIN_BUILD_DIR:-$root/build}
minutes=${1:-10}

for program in pelorin pelorin-demo-panel; do
  if [ ! -x "$build/$program" ]; then
    echo "$build/$program is missing: build it first." >&2
    exit 2
  fi
done

work=$(mktemp -d)
pids=()
status=0
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  # A failed run keeps its folder: the program's output, its settings, a screenshot.
  if [ "$status" = 0 ]; then rm -rf "$work"; else echo "kept for inspection: $work" >&2; fi
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
  Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 1 100); do [ -s "$work/display" ] && break; sleep 0.1; done
  if [ ! -s "$work/display" ]; then
    echo "Xvfb did not start:" >&2; cat "$work/xvfb.log" >&2; exit 2
  fi
  export DISPLAY=":$(head -n1 "$work/display")"
  openbox >"$work/openbox.log" 2>&1 &
  pids+=($!)
fi

export XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
dbus-run-session -- /usr/bin/python3 "$root/bench/soak.py" "$build/pelorin" "$build/pelorin-demo-panel" \
  "$work" "$minutes" || status=$?
exit $status
