#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer into
# build/fuzz and runs each for the given seconds (default 60), on a corpus
# kept under build/fuzz/corpus/<target>, seeded from seeds/<target> beside
# the target's source. Without target names, every *_fuzz target runs.
#   scripts/fuzz.sh [seconds] [target...]
set -euo pipefail
seconds=${1:-60}
shift || true
top=$(cd "$(dirname "$0")/.." && pwd)
dir="$top/build/fuzz"
mapfile -t sources < <(cd "$top" && git ls-files -- '*_fuzz.cc' 2>/dev/null || find . -name '*_fuzz.cc')
declare -A src_of
for s in "${sources[@]}"; do src_of[$(basename "$s" .cc)]=$s; done
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${!src_of[@]}")
CC=clang CXX=clang++ cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQM_SANITIZE=address \
  -DQM_FUZZ=ON >/dev/null
cmake --build "$dir" $(printf -- '--target %s ' "${targets[@]}") -- -j"$(nproc)" >/dev/null
for t in "${targets[@]}"; do
  src=${src_of[$t]:?no fuzz target named $t}
  seeds="$top/$(dirname "$src")/seeds/$t"
  corpus="$dir/corpus/$t"
  mkdir -p "$corpus"
  exe=$(find "$dir" -type f -name "$t" -perm -u+x | head -n 1)
  echo "== $t =="
  # Crash files land in build/fuzz; the target's own messages are muted.
  (cd "$dir" && "$exe" -max_total_time="$seconds" -max_len=4096 -close_fd_mask=2 "$corpus" \
    $( [ -d "$seeds" ] && echo "$seeds" ) 2>&1 | tail -n 3)
done
