#!/usr/bin/env bash
# Line coverage of src/ by the tests: the C++ core tests, then the pytest
# suite under CPython and under PyPy against a module built with gcov
# instrumentation and the test hooks. Prints one summary line per layer
# and the total, and writes build/coverage/coverage.txt (per file).
#
#   scripts/coverage.sh
#
# Not in nox's default sessions: it builds everything a third time at -O0.
# `nox -s coverage` runs it with its interpreters and gcovr; alone, it takes
# TARNU_CPYTHON and TARNU_PYPY (interpreters with the test dependency group,
# by default .venv-cpython and .venv-pypy from scripts/setup.sh --hooks
# cpython pypy) and TARNU_GCOVR (by default one it installs).
set -euo pipefail
cd "$(dirname "$0")/.."

out=build/coverage
rm -rf "$out"
mkdir -p "$out"
flags="-O0 -g --coverage"

gcovr=${TARNU_GCOVR:-build/coverage-tools/bin/gcovr}
if [ ! -x "$gcovr" ]; then
  python3 -m venv build/coverage-tools
  build/coverage-tools/bin/python -m pip install -q --disable-pip-version-check --group coverage
fi

echo "== C++ core tests (instrumented)"
cmake -S . -B "$out/core" -DTARNU_BUILD_TESTS=ON -DTARNU_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$out/core" -j2 >/dev/null
core_status=0
for binary in "$out"/core/tests/cpp/tarnu_*tests; do
  "$binary" --gtest_brief=1 | tail -n 3 || core_status=1
done

for interpreter in cpython pypy; do
  echo "== pytest under $interpreter (instrumented module)"
  python=".venv-$interpreter/bin/python"
  [ "$interpreter" = cpython ] && python=${TARNU_CPYTHON:-$python}
  [ "$interpreter" = pypy ] && python=${TARNU_PYPY:-$python}
  python=$(cd "$(dirname "$python")" && pwd)/$(basename "$python")
  cmake -S . -B "$out/module-$interpreter" -DTARNU_BUILD_MODULE=ON -DTARNU_TEST_HOOKS=ON -DCMAKE_BUILD_TYPE=None \
    -DPython_EXECUTABLE="$python" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS=--coverage \
    -DCMAKE_MODULE_LINKER_FLAGS=--coverage >/dev/null
  cmake --build "$out/module-$interpreter" -j2 >/dev/null
  env=(PYTHONPATH="$PWD/$out/module-$interpreter" TARNU_EXPECT_TEST_HOOKS=1)
  [ "$interpreter" = pypy ] && env+=(PYPY_GC_NURSERY=4MB)
  env "${env[@]}" "$python" -m pytest -q -p no:cacheprovider tests/python 2>&1 | tail -n 1 || true
done

echo "== line coverage of src/"
for layer in core module-cpython module-pypy; do
  "$gcovr" --root . --filter 'src/' --exclude-directories '.*/CompilerIdCXX' --gcov-ignore-errors=source_not_found \
    --json "$out/$layer.json" "$out/$layer" >/dev/null
  printf '%-15s ' "$layer"
  "$gcovr" --add-tracefile "$out/$layer.json" --root . | grep '^TOTAL' | awk '{printf "%.1f%% (%d of %d lines)\n", 100 * $3 / $2, $3, $2}'
done
"$gcovr" --add-tracefile "$out/core.json" --add-tracefile "$out/module-cpython.json" \
  --add-tracefile "$out/module-pypy.json" --root . >"$out/coverage.txt"
printf '%-15s ' "all"
grep '^TOTAL' "$out/coverage.txt" | awk '{printf "%.1f%% (%d of %d lines)\n", 100 * $3 / $2, $3, $2}'
exit $core_status
