#!/usr/bin/env bash
# Configures and builds one flavour into build/<flavour>; further arguments
# name the targets to build (default: all).
#   plain    optimised with debug info
#   asan     AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan     ThreadSanitizer
set -euo pipefail
flavour=${1:-plain}
shift || true
top=$(cd "$(dirname "$0")/.." && pwd)
dir="$top/build/$flavour"
case "$flavour" in
  plain) opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan)  opts=(-DCMAKE_BUILD_TYPE=Debug -DQM_SANITIZE=address) ;;
  tsan)  opts=(-DCMAKE_BUILD_TYPE=Debug -DQM_SANITIZE=thread) ;;
  *) echo "unknown build flavour: $flavour" >&2; exit 2 ;;
esac
cmake -S "$top" -B "$dir" -G Ninja "${opts[@]}" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$dir" "${targets[@]}" -- -j"$(nproc)"
