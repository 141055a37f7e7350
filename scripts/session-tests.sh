#!/usr/bin/env bash
# Runs inside the private D-Bus session of test.sh: unlocks a throw-away
# keyring whose files live in a temporary folder, then runs CTest.
set -euo pipefail
build=$1
work=${PELORIN_TEST_WORK:-$(mktemp -d)}

export XDG_DATA_HOME="$work/data"
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
# A non-empty password: with an empty one the daemon waits for a prompt.
eval "$(echo -n pelorin-test-keyring | gnome-keyring-daemon --unlock --components=secrets)"
export GNOME_KEYRING_CONTROL

cd "$build"
ctest --output-on-failure -j2
