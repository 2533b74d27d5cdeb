#!/usr/bin/env bash
# Builds the tool and runs a cleanup of a demo install under Wine, showing the
# product's footprint before and after.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh
for preset in release wine64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
done
echo "Release artefact: build/release/Kestrovin.exe"
exec bash tests/e2e/demo.sh build/wine64/Kestrovin.exe
