#!/usr/bin/env bash
# Builds fuzz/<name>_fuzz.cc with clang and libFuzzer (and AddressSanitizer
# and UndefinedBehaviorSanitizer) against the program's sources and the MIDI
# port library, then runs it for the given seconds (default 60) on a corpus
# kept under build/fuzz/<name>/, starting from fuzz/<name>_seeds/. The
# target's own messages on standard error are muted; libFuzzer's report is not.
#   scripts/fuzz.sh midi_bindings [seconds]
#   scripts/fuzz.sh midi_parser [seconds]
set -euo pipefail
name=${1:?usage: fuzz.sh NAME [seconds]}
secs=${2:-60}
top=$(cd "$(dirname "$0")/.." && pwd)
out="$top/build/fuzz"
mkdir -p "$out/$name"
# The MIDI port library without its CoreMIDI port, which needs the stand-ins.
midipp=()
for f in "$top"/libs/midi++/*.cc; do
  case "$(basename "$f")" in coremidi*) ;; *) midipp+=("$f") ;; esac
done
# shellcheck disable=SC2046
clang++ -std=c++17 -g -O1 -Wall -Wextra -fsanitize=fuzzer,address,undefined \
  -fno-sanitize-recover=undefined \
  -I"$top/src" -I"$top/libs/kvo" -I"$top/libs/midi++" \
  $(pkg-config --cflags sndfile samplerate liblo sigc++-2.0 libxml-2.0) \
  "$top/fuzz/${name}_fuzz.cc" "$top"/src/*.cc "$top"/libs/kvo/*.cc "${midipp[@]}" \
  $(pkg-config --libs sndfile samplerate liblo sigc++-2.0 libxml-2.0) -lpthread -lm \
  -o "$out/${name}_fuzz"
"$out/${name}_fuzz" -max_total_time="$secs" -max_len=4096 -close_fd_mask=2 "$out/$name" "$top/fuzz/${name}_seeds" 2>&1 | tail -n 5
