#!/usr/bin/env bash
# Builds the Debian packages lyrebox (the command, its man page and systemd unit) and
# lyrebox-tray (the desktop shell) into the build folder:
#   scripts/package.sh
#   sudo apt-get install ./build/lyrebox_*.deb ./build/lyrebox-tray_*.deb
#   BUILD_DIR=...   build folder (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --tray --package
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target lyrebox lyrebox-tray man
(cd "$build" && cpack -G DEB)
