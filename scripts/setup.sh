#!/usr/bin/env bash
# Installs what the build and the tests need, and only what is missing, so a
# second run returns at once: Debian packages, then a CPython 3.13 virtual
# environment in .venv with the Python packages of requirements-dev.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

apt_packages=(g++ cmake make binutils pkg-config libtbb-dev libopenblas-dev libgtest-dev)
missing=()
for package in "${apt_packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

is_python313() {
  "$1" -c 'import sys, venv; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1
}

find_python313() {
  # A pyenv shim named python3.13 can exist and still refuse to run, so every
  # candidate is tried, not just looked up.
  local candidate
  for candidate in python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13; do
    if is_python313 "$candidate"; then echo "$candidate"; return 0; fi
  done
  local root="${PYENV_ROOT:-$HOME/.pyenv}"
  if command -v pyenv >/dev/null 2>&1; then
    root=$(pyenv root)
  fi
  for candidate in $(ls -d "$root"/versions/3.13*/bin/python3.13 2>/dev/null | sort -rV); do
    if is_python313 "$candidate"; then echo "$candidate"; return 0; fi
  done
  return 1
}

if ! [ -x .venv/bin/python ] || ! is_python313 .venv/bin/python; then
  python=$(find_python313) || {
    echo "setup: CPython 3.13 not found (looked for python3.13 on PATH and under pyenv's versions)" >&2
    exit 1
  }
  echo "setup: creating .venv with $python"
  rm -rf .venv
  "$python" -m venv .venv
fi

stamp=.venv/.requirements-dev.sha256
wanted=$(sha256sum requirements-dev.txt | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
  echo "setup: installing Python packages"
  .venv/bin/python -m pip install --quiet --upgrade pip
  .venv/bin/python -m pip install --quiet -r requirements-dev.txt
  echo "$wanted" > "$stamp"
fi
