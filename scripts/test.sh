#!/usr/bin/env bash
# One command from a fresh Debian 12 machine to a full test run:
# installs what is missing, builds, and runs every test (unit and end-to-end, the
# desktop shell under Xvfb and the volume shared through Samba).
# End-to-end tests mount FUSE volumes and therefore need root (or /dev/fuse access).
#   BUILD_DIR=...   build folder (default: build)
#   SANITIZE=1      build with AddressSanitizer and UndefinedBehaviorSanitizer
#   TSAN=1          build with ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --tray --tray-test --share-test
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLYREBOX_SANITIZE="${SANITIZE:-OFF}" \
  -DLYREBOX_TSAN="${TSAN:-OFF}" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure --timeout 600
