#!/usr/bin/env bash
# Builds the MIDI parser fuzz target with clang and libFuzzer (outside the
# CMake flavours) into build/fuzz and runs it.
#   scripts/fuzz.sh [seconds]    default 20; the corpus stays in build/fuzz
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-20}
out="$top/build/fuzz"
mkdir -p "$out/corpus" "$out/seeds"

sources=()
for f in "$top"/libs/midi++/*.cc; do
  case "$(basename "$f")" in coremidi*) continue ;; esac
  sources+=("$f")
done
sources+=("$top/libs/kvo/transmitter.cc" "$top/libs/kvo/basename.cc" "$top/libs/kvo/pathscanner.cc")

# shellcheck disable=SC2046
clang++ -std=c++17 -g -O1 -Wall -Wextra \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$top/libs/kvo" -I"$top/libs/midi++" $(pkg-config --cflags sigc++-2.0) \
  "$top/tests/fuzz/midi_parser_fuzz.cc" "${sources[@]}" \
  $(pkg-config --libs sigc++-2.0) -o "$out/midi_parser_fuzz"

# A few typical streams to start from: notes under running status, sysex
# with a clock inside, machine control, full-frame and quarter-frame time code.
printf '\x00\x90\x3c\x40\x3e\x40\xb0\x07\x64\xf8\xe0\x00\x40' >"$out/seeds/notes"
printf '\x01\xf0\x43\xf8\x12\xf7\xc0\x05' >"$out/seeds/sysex"
printf '\x10\xf0\x7f\x7f\x06\x41\x04\x4f\x01\x03\x01\x47\x03\x41\x40\x00\xf7' >"$out/seeds/mmc"
printf '\x20\xf0\x7f\x7f\x01\x01\x61\x02\x03\x04\xf7\xf1\x10\xf1\x20\xf1\x30\xf1\x40' >"$out/seeds/mtc"

log="$out/last_run.log"
if ! (cd "$out" && ./midi_parser_fuzz -max_total_time="$secs" -print_final_stats=1 corpus seeds) >"$log" 2>&1; then
  tail -n 60 "$log"
  echo "fuzzing found a fault; the input is saved in $out (crash-*, leak-*, timeout-*)" >&2
  exit 1
fi
grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec)' "$log"
