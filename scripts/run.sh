#!/usr/bin/env bash
# Sets up and builds the plug-in and its host, then runs the plug-in with its
# default loop in real time until Ctrl-C. The host prints the engine's OSC
# port ("OSC port: 10051", or the next free one). Further arguments go to the
# host: scripts/run.sh -i in.wav -d 600 -o out.wav (see qmhost --help).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh" plain
exec "$top/build/plain/tools/qmhost/qmhost" "$@"
