#!/usr/bin/env bash
# Configures and builds one flavour into build/<flavour>; further arguments
# name the targets to build (default: all).
#   plain    optimised with debug info
#   asan     AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan     ThreadSanitizer
# With --no-tests before the targets the tests and benchmarks are left out of
# the build, which then needs neither GoogleTest nor Google Benchmark:
#   scripts/build.sh plain --no-tests qmhost QuillomatAU
set -euo pipefail
flavour=${1:-plain}
shift || true
tests=ON
if [ "${1:-}" = --no-tests ]; then
  tests=OFF
  shift
fi
top=$(cd "$(dirname "$0")/.." && pwd)
dir="$top/build/$flavour"
case "$flavour" in
  plain) opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan)  opts=(-DCMAKE_BUILD_TYPE=Debug -DQM_SANITIZE=address) ;;
  tsan)  opts=(-DCMAKE_BUILD_TYPE=Debug -DQM_SANITIZE=thread) ;;
  *) echo "unknown build flavour: $flavour" >&2; exit 2 ;;
esac
cmake -S "$top" -B "$dir" -G Ninja "${opts[@]}" -DQM_BUILD_TESTS="$tests" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$dir" "${targets[@]}" -- -j"$(nproc)"
