#!/usr/bin/env bash
# Builds Pelorin and starts it. Installs the Debian packages it needs first.
# Arguments are passed to the program (for example: --screenshot out.png).
#
# --demo (first argument): also starts four simulated operator panels on free loopback ports
# and runs the program on a private settings folder under the build tree, seeded with the
# group "Демо" and a four-cell workspace; the user's own address book is never touched (the
# demo refuses to replace an address book it did not write). The panels stop when the program
# exits.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${PELORIN_BUILD_DIR:-$root/build}

demo=0
if [ "${1:-}" = "--demo" ]; then
  demo=1
  shift
fi

bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ "$demo" = 0 ]; then
  cmake --build "$build" -j"$(nproc)" --target pelorin
  exec "$build/pelorin" "$@"
fi

cmake --build "$build" -j"$(nproc)" --target pelorin pelorin-demo-panel
settings="$build/demo-settings"
mkdir -p "$settings"
lines=$(mktemp)
"$build/pelorin-demo-panel" --base-port 0 --seed-settings "$settings" >"$lines" &
panels=$!
trap 'kill "$panels" 2>/dev/null || true; wait "$panels" 2>/dev/null || true; rm -f "$lines"' EXIT

# The panels print one line each (name first, port last) once they listen and the settings
# are written.
for _ in $(seq 100); do
  [ "$(wc -l <"$lines")" -ge 4 ] && break
  if ! kill -0 "$panels" 2>/dev/null; then
    # Exit code 2: the settings folder holds an address book the demo did not write.
    status=0
    wait "$panels" || status=$?
    echo "The demo panels did not start (exit code $status)." >&2
    exit "$status"
  fi
  sleep 0.1
done
[ "$(wc -l <"$lines")" -ge 4 ] || { echo "The demo panels did not start in time." >&2; exit 1; }
echo "Demo panels (group «Демо»; the second one asks for the password «demo»):"
sed 's/^/  /' "$lines"

XDG_CONFIG_HOME="$settings" "$build/pelorin" "$@"
