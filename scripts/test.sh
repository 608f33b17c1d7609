#!/usr/bin/env bash
# Sets up, builds and runs the whole suite: a plain build, then the same tests
# under AddressSanitizer + UndefinedBehaviorSanitizer, then the threaded tests
# under ThreadSanitizer.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

jobs=$(nproc)
for flavour in asan tsan plain; do
  echo "== $flavour build =="
  "$top/scripts/build.sh" "$flavour"
  label=()
  [ "$flavour" = tsan ] && label=(-L threaded)
  (cd "$top/build/$flavour" && ctest --output-on-failure -j"$jobs" "${label[@]}")
done
