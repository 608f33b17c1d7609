#!/usr/bin/env bash
# Configures and builds one flavour into build/<flavour>.
#   plain    optimised with debug info
#   asan     AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan     ThreadSanitizer
set -euo pipefail
flavour=${1:-plain}
top=$(cd "$(dirname "$0")/.." && pwd)
dir="$top/build/$flavour"
case "$flavour" in
  plain) opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan)  opts=(-DCMAKE_BUILD_TYPE=Debug -DQM_SANITIZE=address) ;;
  tsan)  opts=(-DCMAKE_BUILD_TYPE=Debug -DQM_SANITIZE=thread) ;;
  *) echo "unknown build flavour: $flavour" >&2; exit 2 ;;
esac
cmake -S "$top" -B "$dir" -G Ninja "${opts[@]}" >/dev/null
cmake --build "$dir" -- -j"$(nproc)"
