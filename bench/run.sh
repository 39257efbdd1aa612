#!/usr/bin/env bash
# The benchmark command: builds release environments of its own, runs
# bench/run.py under CPython and PyPy, and draws the plot.
#
#   bash bench/run.sh [--quick] [--publish]
#
# Environments: .venv-bench-cpython and .venv-bench-pypy at the top of the
# checkout, made on first use (Debian packages and pip packages installed as
# needed, so a fresh machine works), with tarnu_api and the floor extension
# rebuilt in release mode on every run. Results go to bench/results/ (not
# committed): cpython.json, pypy.json, the printed tables, bench.png, and the
# output of the C++ benchmarks of bench/cpp (cpp.txt).
# --publish also copies the figures and the plot to docs/bench/ and writes the
# two tables of docs/performance.md between their marker lines (bench.report
# --into); the README's summary table is chosen from them by hand.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=()
publish=0
for argument in "$@"; do
  case "$argument" in
    --quick) quick=(--quick) ;;
    --publish) publish=1 ;;
    *) echo "run.sh: unknown argument $argument" >&2; exit 2 ;;
  esac
done

python_base=${PYTHON:-python3}
pypy_base=${PYPY:-pypy3}

bash scripts/debian_packages.sh g++ python3-dev python3-venv pypy3 pypy3-dev pypy3-venv

pip_install() {
  "$1/bin/python" -m pip install -q --disable-pip-version-check "${@:2}"
}

mkdir -p bench/results
for interpreter in cpython pypy; do
  venv=".venv-bench-$interpreter"
  case "$interpreter" in
    cpython) base=$python_base; extra=(matplotlib numpy pyarrow) ;;
    pypy) base=$pypy_base; extra=(numpy arro3-core) ;;
  esac
  if [ ! -x "$venv/bin/python" ]; then
    echo "== creating $venv"
    "$base" -m venv "$venv"
  fi
  pip_install "$venv" "scikit-build-core>=0.10" cmake ninja "${extra[@]}"
  # --config-settings, not -C: PyPy's bundled pip predates the short form.
  echo "== building tarnu_api and the floor extension (release) for $interpreter"
  pip_install "$venv" --no-build-isolation --force-reinstall --no-deps \
    --config-settings=build-dir="build/bench-{wheel_tag}" \
    --config-settings=cmake.build-type=Release .
  pip_install "$venv" --no-build-isolation --force-reinstall --no-deps \
    --config-settings=build-dir="build/bench-{wheel_tag}" bench/floor

  echo "== benchmarks under $interpreter"
  "$venv/bin/python" -m bench.run "${quick[@]}" --json "bench/results/$interpreter.json" \
    | tee "bench/results/$interpreter.txt"
  # Arrow rows (bench/arrow.py): pyarrow where it has a wheel, arro3-core
  # otherwise (PyPy); skipped when neither installs.
  for producer in pyarrow arro3-core; do
    pip_install "$venv" --only-binary=:all: "$producer" || true
  done
  if "$venv/bin/python" -c "import importlib.util as u, sys; sys.exit(not (u.find_spec('pyarrow') or u.find_spec('arro3')))"; then
    "$venv/bin/python" bench/arrow.py | tee "bench/results/arrow-$interpreter.json"
  fi
done

echo "== C++ core and encoder benchmarks (bench/cpp)"
: >bench/results/cpp.txt
if compgen -G "bench/cpp/bench_*.cpp" >/dev/null; then
  (
    export PATH="$PWD/.venv-bench-cpython/bin:$PATH"
    cmake -S . -B build/bench-cpp -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DTARNU_BUILD_BENCH=ON -DTARNU_BUILD_MODULE=OFF >/dev/null
    cmake --build build/bench-cpp -j2 >/dev/null
  )
  for program in build/bench-cpp/bench/cpp/bench_*; do
    [ -x "$program" ] || continue
    echo "-- $(basename "$program")" | tee -a bench/results/cpp.txt
    "$program" | tee -a bench/results/cpp.txt
  done
fi

echo "== plot"
.venv-bench-cpython/bin/python bench/plot.py bench/results/cpython.json bench/results/pypy.json \
  --output bench/results/bench.png
.venv-bench-cpython/bin/python -m bench.report bench/results/cpython.json bench/results/pypy.json \
  >bench/results/tables.md

if [ "$publish" = 1 ]; then
  mkdir -p docs/bench
  cp bench/results/cpython.json bench/results/pypy.json bench/results/bench.png \
    bench/results/tables.md bench/results/cpp.txt docs/bench/
  .venv-bench-cpython/bin/python -m bench.report --into docs/performance.md \
    docs/bench/cpython.json docs/bench/pypy.json
  echo "== figures copied to docs/bench/, tables written into docs/performance.md"
fi
echo "== done: bench/results/"
