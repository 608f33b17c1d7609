#!/usr/bin/env bash
# Installs the Debian packages that one use of the tree needs. Safe to run
# again: only what is missing is installed.
#   scripts/setup.sh run    building and running the host and the plug-in,
#                           and liblo's command-line OSC tools
#   scripts/setup.sh test   all that, and the test suite's needs: GoogleTest,
#                           Google Benchmark, clang with its sanitizer and
#                           fuzzer runtime, a comma-decimal locale (the default)
set -euo pipefail
purpose=${1:-test}

packages=(
  build-essential cmake ninja-build pkg-config
  libsndfile1-dev liblo-dev libsigc++-2.0-dev libxml2-dev zlib1g-dev ladspa-sdk
  liblo-tools
)
case "$purpose" in
  run) ;;
  test) packages+=(googletest libgtest-dev libbenchmark-dev locales clang libclang-rt-dev) ;;
  *) echo "setup.sh: run or test, not \"$purpose\"" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# A comma-decimal locale, so the tests can prove that state files are written
# with a full stop whatever the host's locale.
if [ "$purpose" = test ] && ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  $SUDO localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
