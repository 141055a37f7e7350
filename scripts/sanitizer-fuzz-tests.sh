#!/usr/bin/env bash
# Part of the test command (scripts/test.sh runs it after the main suite, with the
# private X display and DISPLAY already set up):
#  1. builds the whole suite with AddressSanitizer and UndefinedBehaviorSanitizer in a
#     second build dir and runs it there, in its own D-Bus session and keyring;
#  2. builds the libFuzzer targets with clang in a third build dir and runs each mode
#     (the RFB client's, then the loaders of files and settings) for a bounded time from
#     its seed corpus in fuzz/corpus/<mode>; the executable of a mode is
#     fuzz/fuzz_<unit>_<mode>, so a new mode joins by its name in the list below.
# New corpus units and any crash input go to a temporary folder, never into the tree;
# a crash prints the input as hex and fails the run.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
san=${PELORIN_SANITIZE_BUILD_DIR:-$root/build-asan}
fuzzbuild=${PELORIN_FUZZ_BUILD_DIR:-$root/build-fuzz}
fuzzseconds=${PELORIN_FUZZ_SECONDS:-30}
jobs=$(nproc)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Leaks and undefined behaviour fail the tests; a report names the line.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

echo "== Sanitizer build of the test suite ($san)"
# -O1 as the sanitizers' authors advise; -g1 keeps the line tables a report needs and
# builds the suite in two thirds of the time -O2 -g takes.
cmake -S "$root" -B "$san" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
  -DPELORIN_SANITIZE=ON -DPELORIN_BENCH=OFF
cmake --build "$san" -j"$jobs"
mkdir -p "$tmp/session"
status=0
# A failure here still lets the fuzzing run; the script fails at the end.
PELORIN_TEST_WORK="$tmp/session" dbus-run-session -- bash "$root/scripts/session-tests.sh" "$san" \
  || status=1

fuzzmodes=(handshake session zrle hextile vencrypt exchangefile profiles workspace journal settingsfile)
echo "== Fuzzing (${fuzzseconds} s per mode: ${fuzzmodes[*]}; $fuzzbuild)"
CC=clang CXX=clang++ cmake -S "$root" -B "$fuzzbuild" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPELORIN_FUZZ=ON -DPELORIN_TESTS=OFF -DPELORIN_BENCH=OFF
cmake --build "$fuzzbuild" -j"$jobs" --target fuzz_targets
# One mode: its output goes to $tmp/<mode>.log, its verdict to $tmp/<mode>.status.
fuzzmode() {
  local mode=$1 targets
  targets=("$fuzzbuild"/fuzz/fuzz_*_"$mode")
  if [ "${#targets[@]}" != 1 ] || [ ! -x "${targets[0]}" ]; then
    echo "expected one executable fuzz/fuzz_*_$mode, found: ${targets[*]}" >"$tmp/$mode.log"
    echo 1 >"$tmp/$mode.status"
    return
  fi
  mkdir -p "$tmp/$mode"
  # Reading a settings file, Qt reserves whatever length a damaged "@Variant(...)" announces, up
  # to 4 GiB, before it finds the bytes missing; that memory is never touched. Such a single
  # reservation is allowed there; what is resident stays limited in every mode.
  local extra=()
  [ "$mode" = settingsfile ] && extra=(-malloc_limit_mb=8192)
  # The first folder takes new units; the seeds are only read.
  if "${targets[0]}" -max_total_time="$fuzzseconds" -print_final_stats=1 "${extra[@]}" \
      -rss_limit_mb=3072 -timeout=30 -artifact_prefix="$tmp/$mode-" \
      "$tmp/$mode" "$root/fuzz/corpus/$mode" >"$tmp/$mode.log" 2>&1; then
    echo 0 >"$tmp/$mode.status"
  else
    echo 1 >"$tmp/$mode.status"
  fi
}
# As many modes at once as there are cores (each one is single-threaded); reports in list order.
for ((i = 0; i < ${#fuzzmodes[@]}; i += jobs)); do
  batch=("${fuzzmodes[@]:i:jobs}")
  for mode in "${batch[@]}"; do fuzzmode "$mode" & done
  wait
  for mode in "${batch[@]}"; do
    echo "fuzz mode $mode:"
    if [ "$(cat "$tmp/$mode.status")" != 0 ]; then
      status=1
      echo "fuzz mode $mode found a fault:" >&2
      grep -v -E '^#[0-9]+' "$tmp/$mode.log" | tail -n 60 >&2
      for crash in "$tmp/$mode"-*; do
        [ -e "$crash" ] || continue
        echo "input $(basename "$crash"):" >&2
        od -An -tx1 -v "$crash" | head -n 64 >&2
      done
    else
      grep -E '^stat::|DONE' "$tmp/$mode.log" || true
    fi
  done
done
exit $status
