#!/usr/bin/env bash
# Sets up, builds and runs the whole suite: every test under AddressSanitizer +
# UndefinedBehaviorSanitizer, the threaded tests under ThreadSanitizer (the
# plug-in's cycles ten times over), each with a short stress run and a storm
# of requests against the plug-in, then every test again in the plain
# optimised build.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh" test

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$top/tests/tsan.supp

jobs=$(nproc)
# Only the tests that drive real threads are built for ThreadSanitizer.
threaded=()
while IFS= read -r f; do threaded+=("$(basename "$f" .cc)"); done \
  < <(find "$top/tests" -name '*_mt_test.cc' | sort)

for flavour in asan tsan plain; do
  echo "== $flavour build =="
  if [ "$flavour" = tsan ]; then
    [ ${#threaded[@]} -gt 0 ] || continue
    "$top/scripts/build.sh" tsan "${threaded[@]}" qmstress QuillomatAU
    (cd "$top/build/tsan" && ctest --output-on-failure -j"$jobs" -L threaded)
    # The plug-in's cycles again and again, so that a rare interleaving shows.
    (cd "$top/build/tsan" && ctest --output-on-failure -j"$jobs" -R '^PluginCycles\.' --repeat until-fail:10)
  else
    "$top/scripts/build.sh" "$flavour"
    (cd "$top/build/$flavour" && ctest --output-on-failure -j"$jobs")
  fi
  if [ "$flavour" != plain ]; then
    # The plug-in opened, run and closed over and over under random OSC and
    # MIDI (a longer run: build/<flavour>/tools/qmstress/qmstress 1000).
    cycles=40
    [ "$flavour" = tsan ] && cycles=100
    if ! "$top/build/$flavour/tools/qmstress/qmstress" "$cycles" 2> "$top/build/$flavour/qmstress.log"; then
      tail -n 40 "$top/build/$flavour/qmstress.log"
      exit 1
    fi
    # One plug-in in real time under a storm of ordinary requests and
    # restored states (a longer one: qmstress --storm 120).
    if ! "$top/build/$flavour/tools/qmstress/qmstress" --storm 15 2> "$top/build/$flavour/qmstorm.log"; then
      tail -n 60 "$top/build/$flavour/qmstorm.log"
      exit 1
    fi
  fi
done

# A short run of every fuzz target (a longer one: scripts/fuzz.sh 600 <target>).
"$top/scripts/fuzz.sh" 10
