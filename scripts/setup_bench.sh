#!/usr/bin/env bash
# The benchmark environment .venv-bench: CPython 3.13 with the peer libraries
# of requirements-bench.txt. Kept apart from .venv so no peer ever reaches the
# test run. Installs only what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(readlink -f .venv/bin/python)
if ! [ -x .venv-bench/bin/python ]; then
  "$python" -m venv .venv-bench
fi
stamp=.venv-bench/.requirements-bench.sha256
wanted=$(sha256sum requirements-bench.txt | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
  # A peer that does not build on this Python is reported by the benchmark, not fatal here.
  .venv-bench/bin/python -m pip install --quiet -r requirements-bench.txt || \
    .venv-bench/bin/python -m pip install --quiet numpy
  echo "$wanted" > "$stamp"
fi
