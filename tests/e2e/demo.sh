#!/usr/bin/env bash
# Shows the tool at work on a Chinese PC with the product installed, under
# 64-bit Wine: the product's footprint before, the tool's console report,
# and the footprint after its self-deletion script has finished.
#
#   tests/e2e/demo.sh build/wine64/Kestrovin.exe [scratch-folder]
#
# Needs wine64, x86_64-w64-mingw32-g++, python3 and the zh_CN.UTF-8 locale.
# A scratch folder given on the command line is kept; the default one is
# removed at the end.
set -euo pipefail

tool=${1:?usage: demo.sh path/to/x86_64/Kestrovin.exe [scratch-folder]}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [[ $# -ge 2 ]]; then
  scratch=$2
  mkdir -p "$scratch"
else
  scratch=$(mktemp -d /tmp/kestrovin-demo.XXXXXX)
  trap 'rm -rf "$scratch"' EXIT
fi

helper=$scratch/prefix_helper.exe
x86_64-w64-mingw32-g++ -std=c++17 -O2 -municode -static -o "$helper" "$here/prefix_helper.cpp" -lsetupapi -ladvapi32

python3 -B "$here/demo.py" --tool "$tool" --helper "$helper" --scratch "$scratch"
