#!/usr/bin/env bash
# Configures (once) and builds the development tree in build/: the engines,
# the extension in build/python/tarvinex beside the package files, and the
# C++ tests.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(pwd)/.venv/bin/python
if ! [ -f build/CMakeCache.txt ] || ! grep -q "^Python_EXECUTABLE:FILEPATH=$python\$" build/CMakeCache.txt; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$python" >/dev/null
fi
cmake --build build -j"$(nproc)"
