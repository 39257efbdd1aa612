#!/usr/bin/env bash
# Installs what the project needs on a fresh Debian machine (run as root):
# the Debian packages, then one virtual environment per interpreter with
# tarnu_api built into it, for working by hand (the test command does not need
# them: nox makes its own, noxfile.py).
#
#   scripts/setup.sh [--hooks] INTERPRETER...
#
# INTERPRETER is cpython or pypy. The environments are .venv-cpython and
# .venv-pypy at the top of the checkout. --hooks builds the module with the
# test-only failure hooks (the test command does); without it the module is
# the released build.
set -euo pipefail
cd "$(dirname "$0")/.."

hooks=OFF
interpreters=()
for argument in "$@"; do
  case "$argument" in
    --hooks) hooks=ON ;;
    cpython|pypy) interpreters+=("$argument") ;;
    *) echo "setup.sh: unknown argument $argument (usage: scripts/setup.sh [--hooks] cpython|pypy...;" \
         "without --hooks it builds the released module)" >&2; exit 2 ;;
  esac
done

bash scripts/debian_packages.sh g++ cmake make libgtest-dev python3-dev python3-venv pypy3 pypy3-dev pypy3-venv

for interpreter in "${interpreters[@]}"; do
  venv=".venv-$interpreter"
  # The dependency groups of pyproject.toml (pip 25.1 or newer reads them).
  case "$interpreter" in
    cpython) base=python3; extra=(--group numpy --group bench) ;;
    pypy) base=pypy3; extra=() ;;
  esac
  if [ ! -x "$venv/bin/python" ]; then
    echo "== creating $venv"
    "$base" -m venv "$venv"
    # Debian's PyPy ships an old pip that lacks --config-settings.
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
  fi
  "$venv/bin/python" -m pip install -q --disable-pip-version-check \
    --group test --group build cmake "${extra[@]}"
  if [ "$interpreter" = pypy ]; then
    # numpy has no source build that PyPy's C-API layer can compile here; its
    # binary wheel installs, and the bulk-method tests read numpy buffers.
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: --group numpy
  fi
  # Arrow producers for the Arrow tests and the demo's load from Arrow UUID
  # text (pyarrow), binary wheels only, one by one: pyarrow, polars and pandas
  # have none for PyPy, whose tests use arro3-core.
  for producer in pyarrow polars pandas duckdb nanoarrow arro3-core; do
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: "$producer" \
      || echo "setup.sh: no $producer wheel for $interpreter; its Arrow tests will skip"
  done
  echo "== building tarnu_api for $interpreter (test hooks $hooks)"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps \
    -C "build-dir=build/{wheel_tag}-hooks-$hooks" \
    -C "cmake.define.TARNU_TEST_HOOKS=$hooks" .
  if [ -f bench/floor/pyproject.toml ]; then
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps \
      -C "build-dir=build/{wheel_tag}-floor" bench/floor
  fi
done
