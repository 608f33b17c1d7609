#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer into
# build/fuzz and runs each for a while (seconds, default 60).
#   scripts/fuzz.sh [seconds]
set -euo pipefail
seconds=${1:-60}
top=$(cd "$(dirname "$0")/.." && pwd)
dir="$top/build/fuzz"
targets=(plist_fuzz midi_file_fuzz)
CC=clang CXX=clang++ cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQM_SANITIZE=address \
  -DQM_FUZZ=ON >/dev/null
cmake --build "$dir" $(printf -- '--target %s ' "${targets[@]}") -- -j"$(nproc)"
for t in "${targets[@]}"; do
  corpus="$dir/corpus/$t"
  mkdir -p "$corpus"
  echo "== $t =="
  cd "$dir"  # crash files land here
  "$dir/tools/qmhost/$t" -max_total_time="$seconds" -max_len=4096 "$corpus" "$top/tools/qmhost/fuzz/seeds/$t"
done
