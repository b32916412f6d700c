#!/usr/bin/env bash
# The habits CI holds the tree to: every C++ file as .clang-format writes it,
# and a build of everything (engines, extension, tests, benchmarks) without a
# single compiler warning, in build-werror/.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang-format >/dev/null 2>&1; then
  echo "lint: installing clang-format"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends clang-format >/dev/null
fi
mapfile -t sources < <(git ls-files '*.cpp' '*.hpp' '*.h')
clang-format --dry-run -Werror "${sources[@]}"
echo "lint: ${#sources[@]} files formatted as .clang-format says"

python=$(pwd)/.venv/bin/python
tree=build-werror
if ! [ -f "$tree/CMakeCache.txt" ]; then
  cmake -S . -B "$tree" -DCMAKE_BUILD_TYPE=Release -DTARVINEX_WERROR=ON -DTARVINEX_BUILD_BENCH=ON \
    -DPython_EXECUTABLE="$python" >/dev/null
fi
cmake --build "$tree" -j"$(nproc)"
echo "lint: the build has no warnings"
