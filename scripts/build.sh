#!/usr/bin/env bash
# Configures and builds the three builds: the release exe, the 64-bit exe the
# Wine tests run, and the host tests.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
for preset in release wine64 host; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
