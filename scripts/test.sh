#!/usr/bin/env bash
# The whole test run on a fresh Debian machine: dependencies, all builds, CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh
scripts/build.sh
ctest --preset host -j "$(nproc)"
