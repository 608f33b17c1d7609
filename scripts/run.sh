#!/usr/bin/env bash
# Sets up and builds only what running needs (the host qmhost and the
# plug-in), then runs the plug-in with its default loop in real time until
# Ctrl-C. The first line on standard output is the engine's OSC port
# ("OSC port: 10051", or the next free one); the set-up's and the build's
# output go to build/run.log. Further arguments go to the host:
# scripts/run.sh -i in.wav -d 600 -o out.wav (see qmhost --help).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$top/build"
log="$top/build/run.log"
echo "run.sh: setting up and building the host and the plug-in (output in $log)" >&2
if ! { "$top/scripts/setup.sh" run && "$top/scripts/build.sh" plain --no-tests qmhost QuillomatAU; } >"$log" 2>&1
then
  echo "run.sh: the set-up or the build failed; its output is in $log, which ends:" >&2
  tail -n 25 "$log" >&2
  exit 1
fi
exec "$top/build/plain/tools/qmhost/qmhost" "$@"
