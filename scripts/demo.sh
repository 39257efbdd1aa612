#!/usr/bin/env bash
# The main job: build tarnu_api (released build) and run the demo, which
# records a realistic diff and encodes it. It installs only what the demo
# runs: the compiler and CPython's headers (Debian packages), and in its own
# environment, .venv-demo, the module's build requirements, the module and
# pyarrow, for the demo's load from Arrow UUID text where pyarrow has a wheel.
# The test tools come with scripts/setup.sh and scripts/test.sh.
#
#   bash scripts/demo.sh [DEMO ARGUMENTS...]    e.g. --edges 100000
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/debian_packages.sh g++ cmake make python3-dev python3-venv

venv=.venv-demo
pip=("$venv/bin/python" -m pip install -q --disable-pip-version-check)
if [ ! -x "$venv/bin/python" ]; then
  echo "== creating $venv"
  python3 -m venv "$venv"
  # pip 25.1 or newer reads pyproject.toml's dependency groups.
  "${pip[@]}" --upgrade pip
fi
# scikit-build-core and ninja (the build group) go into the environment, so
# that the build uses the machine's CMake and a rebuild reuses build/.
"${pip[@]}" --group build
"${pip[@]}" --only-binary=:all: pyarrow \
  || echo "demo.sh: no pyarrow wheel here; the demo skips its load from Arrow UUID text"
echo "== building tarnu_api (30 to 50 s on 2 cores)"
"${pip[@]}" --no-build-isolation --force-reinstall --no-deps -C "build-dir=build/{wheel_tag}-hooks-OFF" .
exec "$venv/bin/python" examples/demo.py "$@"
