#!/usr/bin/env bash
# Runs every test: the C++ core tests, then pytest under CPython 3.9 to 3.13
# and PyPy 3.9 (one nox session each), then one quick pass of the benchmarks
# so that they cannot rot, the package checks and the reliability layers.
# Installs what it needs first. Exits non-zero if anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --hooks cpython pypy || { echo "setup failed"; exit 1; }

declare -a summary=()
status=0
passed=0
failed=0
note() { summary+=("$1"); }

echo "== C++ core tests"
if cmake -S . -B build/core-tests -DTARNU_BUILD_TESTS=ON -DTARNU_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null \
   && cmake --build build/core-tests -j2 >/dev/null; then
  build/core-tests/tests/cpp/tarnu_core_tests --gtest_brief=1 | tee build/core-tests.log
  if [ "${PIPESTATUS[0]}" -ne 0 ]; then status=1; fi
  gtest_passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\./\1/p' build/core-tests.log | tail -n 1)
  gtest_failed=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\?, listed below:/\1/p' build/core-tests.log | tail -n 1)
  passed=$((passed + ${gtest_passed:-0})); failed=$((failed + ${gtest_failed:-0}))
  note "C++ core (GoogleTest): ${gtest_passed:-0} passed, ${gtest_failed:-0} failed"
else
  cmake --build build/core-tests -j2 2>&1 | tail -n 30
  status=1; failed=$((failed + 1)); note "C++ core: BUILD FAILED"
fi

# nox runs the pytest suite once per interpreter (noxfile.py), each in its
# own environment with the module built with the test hooks; an interpreter
# that is not installed is skipped and named below.
echo "== pytest under every interpreter (nox)"
if [ ! -x .venv-nox/bin/nox ]; then
  rm -rf .venv-nox
  python3 -m venv .venv-nox && .venv-nox/bin/python -m pip install -q --disable-pip-version-check "nox>=2025.5.1" \
    || { status=1; failed=$((failed + 1)); note "nox: could not be installed"; }
fi
rm -f build/nox-report.json build/pytest-*.log
if [ -x .venv-nox/bin/nox ]; then
  .venv-nox/bin/nox --report build/nox-report.json --no-error-on-missing-interpreters -s tests || status=1
  # One line per interpreter: its name and what nox made of its session.
  while read -r interpreter result; do
    log="build/pytest-$interpreter.log"
    if [ "$result" = skipped ]; then
      note "pytest $interpreter: SKIPPED, interpreter not found (pyenv versions, PATH)"
    elif [ ! -s "$log" ]; then
      status=1; failed=$((failed + 1)); note "pytest $interpreter: FAILED before pytest ran (nox: $result)"
    else
      last=$(tail -n 1 "$log")
      py_passed=$(grep -o '[0-9]* passed' <<<"$last" | grep -o '[0-9]*' || true)
      py_failed=0
      for count in $(grep -oE '[0-9]+ (failed|errors?)' <<<"$last" | grep -oE '^[0-9]+' || true); do
        py_failed=$((py_failed + count))
      done
      passed=$((passed + ${py_passed:-0})); failed=$((failed + ${py_failed:-0}))
      note "pytest $interpreter: $last"
    fi
  done < <(.venv-nox/bin/python -c '
import json, sys
for session in json.load(open(sys.argv[1]))["sessions"]:
    for signature in session["signatures"]:
        print(signature.split("-", 1)[1], session["result"])
' build/nox-report.json)
  [ -s build/nox-report.json ] || { status=1; failed=$((failed + 1)); note "nox: FAILED, no report"; }
fi

if [ -f bench/run.py ]; then
  for interpreter in cpython pypy; do
    echo "== quick benchmark pass under $interpreter"
    if ! ".venv-$interpreter/bin/python" bench/run.py --quick >"build/bench-quick-$interpreter.log" 2>&1; then
      tail -n 20 "build/bench-quick-$interpreter.log"; status=1; note "bench --quick $interpreter: FAILED"
    else
      note "bench --quick $interpreter: ran"
    fi
  done
fi

echo "== package checks"; bash scripts/test_package.sh | tee build/package.log; [ "${PIPESTATUS[0]}" -eq 0 ] || status=1; pkg=$(tail -n 1 build/package.log); [[ $pkg =~ ^package:\ ([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]] && { passed=$((passed + BASH_REMATCH[1])); failed=$((failed + BASH_REMATCH[2])); }; note "$pkg"
echo "== reliability"; bash scripts/test_reliability.sh | tee build/reliability.log; [ "${PIPESTATUS[0]}" -eq 0 ] || status=1; rel=$(tail -n 1 build/reliability.log); [[ $rel =~ ^reliability:\ ([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]] && { passed=$((passed + BASH_REMATCH[1])); failed=$((failed + BASH_REMATCH[2])); }; note "$rel"
echo
echo "== summary"
for line in "${summary[@]}"; do echo "$line"; done
if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ]; then failed=1; fi
echo "total: $passed passed, $failed failed"
exit $status
