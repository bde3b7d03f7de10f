#!/usr/bin/env bash
# One command from a fresh Debian 12 machine to a mounted volume: installs what is
# missing, builds, and mounts ROOT at "$HOME/Lyrebox" ("$HOME/Lyrebox N" when taken).
# lyrebox goes to the background once the volume is mounted.
#   scripts/run.sh ROOT [LYREBOX OPTIONS...]   (see build/src/cli/lyrebox --help)
#   BUILD_DIR=...   build folder (default: build)
set -euo pipefail
if [ $# -lt 1 ]; then
  echo "usage: scripts/run.sh ROOT [LYREBOX OPTIONS...]" >&2
  exit 2
fi
root=$(realpath -- "$1")
shift
cd "$(dirname "$0")/.."
scripts/deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target lyrebox man
exec "$build/src/cli/lyrebox" "$@" "$root"
