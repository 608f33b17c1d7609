#!/usr/bin/env bash
# Sets up and builds the plug-in and its host.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh" plain
