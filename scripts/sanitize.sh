#!/usr/bin/env bash
# Builds build-sanitize/ with AddressSanitizer and UndefinedBehaviorSanitizer
# (TARVINEX_SANITIZE=ON, -O3 -g) and runs the C++ tests and the Python tests in
# it. Any finding stops the process that made it, so the run fails.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(pwd)/.venv/bin/python
tree=build-sanitize
if ! [ -f "$tree/CMakeCache.txt" ] || ! grep -q "^TARVINEX_SANITIZE:BOOL=ON\$" "$tree/CMakeCache.txt"; then
  cmake -S . -B "$tree" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVINEX_SANITIZE=ON \
    -DPython_EXECUTABLE="$python" >/dev/null
fi
cmake --build "$tree" -j"$(nproc)"

export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
ASAN_OPTIONS="detect_leaks=1" ctest --test-dir "$tree" --output-on-failure -j2

# The interpreter is not instrumented, so the runtime has to be loaded before
# anything else, and libstdc++ with it: the runtime finds the C++ exception
# entry points it wraps only in libraries already loaded when it starts.
# CPython keeps objects until exit by design (leak checks off) and its own
# allocator would hide heap errors from the runtime (PYTHONMALLOC=malloc).
ASAN_OPTIONS="detect_leaks=0" LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
  PYTHONMALLOC=malloc PYTHONPATH="$(pwd)/$tree/python" \
  "$python" -m pytest -q tests/python
