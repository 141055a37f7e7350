#!/usr/bin/env bash
# Builds Pelorin and starts it. Installs the Debian packages it needs first.
# Arguments are passed to the program (for example: --screenshot out.png).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${PELORIN_BUILD_DIR:-$root/build}

bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)" --target pelorin
exec "$build/pelorin" "$@"
