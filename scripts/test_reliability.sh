#!/usr/bin/env bash
# The reliability layers (docs/testing.md says what each one catches):
#
#   1. the C++ core tests under AddressSanitizer + UndefinedBehaviorSanitizer;
#   2. the C++ core tests and the fuzz corpus (replayed by the core tests)
#      under valgrind's memcheck;
#   3. the pytest suite on CPython against a sanitized build of the module;
#   4. the libFuzzer targets, a short run of each from the committed corpus.
#
#   scripts/test_reliability.sh           the quick pass (part of scripts/test.sh)
#   scripts/test_reliability.sh --long    long fuzz runs, valgrind over every core
#                                         test, and the pytest suite under Debian's
#                                         debug CPython with a reference-count check
#
# TARNU_FUZZ_SECONDS sets the length of each fuzz run (20, or 600 with --long).
# TARNU_PYTHON is the CPython whose pytest and hypothesis run step 3 (nox's
# reliability session passes its own; by default .venv-cpython, made by
# scripts/setup.sh cpython). Installs its Debian packages.
# Exits non-zero if any layer reports anything.
set -uo pipefail
cd "$(dirname "$0")/.."

long=0
for argument in "$@"; do
  case "$argument" in
    --long) long=1 ;;
    *) echo "test_reliability.sh: unknown argument $argument" >&2; exit 2 ;;
  esac
done
if [ "$long" -eq 1 ]; then fuzz_seconds=${TARNU_FUZZ_SECONDS:-600}; else fuzz_seconds=${TARNU_FUZZ_SECONDS:-20}; fi

bash scripts/debian_packages.sh g++ cmake clang libclang-rt-14-dev valgrind libgtest-dev python3-dbg python3-venv || { echo "apt-get failed"; exit 1; }
python=${TARNU_PYTHON:-.venv-cpython/bin/python}
if [ ! -x "$python" ]; then
  echo "test_reliability.sh: no CPython at $python (set TARNU_PYTHON, or run scripts/setup.sh cpython)"; exit 1
fi
python=$(cd "$(dirname "$python")" && pwd)/$(basename "$python")

out=build/reliability
mkdir -p "$out"
declare -a summary=()
status=0
passed=0
failed=0
result() {  # result NAME EXIT_CODE [DETAIL]
  if [ "$2" -eq 0 ]; then
    passed=$((passed + 1)); summary+=("ok      $1${3:+: $3}")
  else
    failed=$((failed + 1)); status=1; summary+=("FAILED  $1${3:+: $3}")
  fi
}
# Builds quietly; on failure shows the end of the log.
build() {  # build LOG cmake-configure-arguments...
  local log=$1; shift
  local dir
  dir=$(sed -n 's/.*-B \([^ ]*\).*/\1/p' <<<"$*")
  if cmake "$@" >"$log" 2>&1 && cmake --build "$dir" -j2 >>"$log" 2>&1; then return 0; fi
  tail -n 30 "$log"; return 1
}
# A sanitizer report fails a run even when the process managed to exit 0.
clean_of_reports() {  # clean_of_reports LOG
  ! grep -qE "ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:|SUMMARY: UndefinedBehaviorSanitizer" "$1"
}

# The sanitized builds are made at -O1 with line tables only: that halves
# their compile time against -O2 -g (150 against 300 s of CPU for the core
# tests), while the reports keep their file and line, and the tests run about
# as fast.
sanitized_flags=(-DTARNU_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:strict_string_checks=1:check_initialization_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

echo "== 1. C++ core tests under ASan + UBSan"
if build "$out/core-asan.build.log" -S . -B "$out/core-asan" -DTARNU_BUILD_TESTS=ON -DTARNU_BUILD_MODULE=OFF \
     "${sanitized_flags[@]}"; then
  "$out/core-asan/tests/cpp/tarnu_core_tests" --gtest_brief=1 >"$out/core-asan.log" 2>&1
  code=$?
  clean_of_reports "$out/core-asan.log" || code=1
  tail -n 3 "$out/core-asan.log"
  result "core tests under ASan+UBSan" "$code" "$(grep -E '^\[  (PASSED|FAILED)  \]' "$out/core-asan.log" | head -n 2 | tr '\n' ' ')"
else
  result "core tests under ASan+UBSan" 1 "build failed"
fi

echo "== 2. valgrind memcheck: core tests and the fuzz corpus"
# nouserintercepts: test_diff_alloc.cpp replaces operator new and delete with
# plain malloc and free; where g++ inlines that operator new, valgrind would
# see only the delete and report a mismatched free.
valgrind_flags=(-q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite --show-leak-kinds=definite
  --soname-synonyms=somalloc=nouserintercepts)
# The quick pass leaves out the long randomised suites, which run under
# ASan above; --long runs every test under valgrind as well (about 6 minutes).
# The fuzz corpus replay, part of the same binary, gets a run of its own.
corpus_filter='Committed/FuzzCorpus.*'
gtest_filter="-DiffModel.*:FloatTextRoundTrip.*:InnerTable.MillionKeysThenHalfErased:$corpus_filter"
if [ "$long" -eq 1 ]; then gtest_filter="-$corpus_filter"; fi
# build/core-tests is the core session's build (noxfile.py), which
# scripts/test.sh may run at the same time: whichever comes second waits.
exec 9>build/core-tests.lock
flock 9
if build "$out/core.build.log" -S . -B build/core-tests -DTARNU_BUILD_TESTS=ON -DTARNU_BUILD_MODULE=OFF \
     -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
  valgrind "${valgrind_flags[@]}" build/core-tests/tests/cpp/tarnu_core_tests --gtest_brief=1 \
    --gtest_filter="$gtest_filter" >"$out/core-valgrind.log" 2>&1
  code=$?
  tail -n 3 "$out/core-valgrind.log"
  result "core tests under valgrind (filter $gtest_filter)" "$code" "exit $code"
  # Every fuzz target replays its committed corpus (tests/fuzz/test_fuzz_corpus.cpp).
  valgrind "${valgrind_flags[@]}" build/core-tests/tests/cpp/tarnu_core_tests --gtest_brief=1 \
    --gtest_filter="$corpus_filter" >"$out/corpus-valgrind.log" 2>&1
  code=$?
  tail -n 3 "$out/corpus-valgrind.log"
  result "fuzz corpus replayed under valgrind" "$code" "exit $code"
else
  result "core tests under valgrind" 1 "build failed"
  result "fuzz corpus replayed under valgrind" 1 "build failed"
fi
flock -u 9

echo "== 3. pytest on CPython against the module built with ASan + UBSan"
# CPython itself is not instrumented: the ASan runtime is preloaded, the
# interpreter allocates through malloc so that ASan sees its blocks, and leak
# detection is off because the interpreter keeps memory until exit by design.
# Tests that measure memory are left out: resident-memory checks (ASan's
# quarantine keeps freed blocks on purpose) and address-space caps (ASan's
# shadow needs terabytes of it). An allocation too large to make returns NULL,
# as malloc does, so that the tests that ask for terabytes see MemoryError
# rather than ASan's own stop. TARNU_SANITIZED=1 tells tests they run here.
if build "$out/module-asan.build.log" -S . -B "$out/module-asan" -DTARNU_BUILD_MODULE=ON "${sanitized_flags[@]}" \
     -DTARNU_TEST_HOOKS=ON -DPython_EXECUTABLE="$python"; then
  # libstdc++ is preloaded with the ASan runtime: the interpreter does not
  # link it, and ASan, loaded first, must find the real __cxa_throw when it
  # starts, or the module's first C++ exception stops the process.
  sanitized() {
    LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 \
      PYTHONPATH="$out/module-asan" TARNU_EXPECT_TEST_HOOKS=1 TARNU_SANITIZED=1 "$python" "$@"
  }
  # The installed, unsanitized module must not be the one under test.
  loaded=$(sanitized -c "import tarnu_api; print(tarnu_api.__file__)" 2>&1)
  echo "module under test: $loaded"
  sanitized -m pytest -q -p no:cacheprovider tests/python \
    --deselect tests/python/test_module.py::TestClass::test_many_instances_leak_neither_references_nor_memory \
    --deselect tests/python/test_api_leaks.py::test_repeated_calls_leak_nothing \
    >"$out/pytest-asan.log" 2>&1
  code=$?
  clean_of_reports "$out/pytest-asan.log" || code=1
  case "$loaded" in "$PWD/$out/module-asan/"*) ;; *) code=1 ;; esac
  tail -n 2 "$out/pytest-asan.log"
  result "pytest (CPython) against the sanitized module" "$code" "$(tail -n 1 "$out/pytest-asan.log")"
else
  result "pytest against the sanitized module" 1 "build failed"
fi

echo "== 4. libFuzzer targets, ${fuzz_seconds} s each"
if build "$out/fuzz.build.log" -S tests/fuzz -B "$out/fuzz" -DCMAKE_CXX_COMPILER=clang++; then
  fuzz_one() {  # fuzz_one TARGET: one run, its exit code in its .code file
    local target=$1 seeds=tests/fuzz/corpus/diff
    [ "$target" = fuzz_json ] && seeds=tests/fuzz/corpus/json
    [ "$target" = fuzz_from_bytes ] && seeds=tests/fuzz/corpus/from_bytes
    [ "$target" = fuzz_arrow ] && seeds=tests/fuzz/corpus/arrow
    # New inputs go to a scratch corpus; the committed seeds are only read.
    local work="$out/fuzz-work/$target"
    mkdir -p "$work"
    TARNU_FUZZ_STATS=1 "$out/fuzz/$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
      -rss_limit_mb=2048 -timeout=30 -artifact_prefix="$out/fuzz-work/$target-" "$work" "$seeds" \
      >"$out/$target.log" 2>&1
    echo $? >"$out/$target.code"
  }
  # Two targets at a time, one a core: each still has its whole run.
  fuzz_one fuzz_diff & fuzz_one fuzz_encoding & wait
  fuzz_one fuzz_json & fuzz_one fuzz_from_bytes & wait
  fuzz_one fuzz_arrow & fuzz_one fuzz_snapshot & wait
  for target in fuzz_diff fuzz_encoding fuzz_json fuzz_from_bytes fuzz_arrow fuzz_snapshot; do
    code=$(cat "$out/$target.code")
    clean_of_reports "$out/$target.log" || code=1
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$target.log")
    stats=$(grep -E "^$target: " "$out/$target.log" | tail -n 1)
    [ "$code" -ne 0 ] && tail -n 40 "$out/$target.log"
    result "$target (${fuzz_seconds} s)" "$code" "${runs:-?} inputs${stats:+; ${stats#"$target: "}}"
  done
else
  result "libFuzzer targets" 1 "build failed"
fi

if [ "$long" -eq 1 ]; then
  echo "== 5. pytest under Debian's debug CPython with a reference-count check"
  venv="$out/venv-dbg"
  if [ ! -x "$venv/bin/python" ]; then
    /usr/bin/python3-dbg -m venv "$venv" && "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip \
      && "$venv/bin/python" -m pip install -q --disable-pip-version-check --group test
  fi
  # The module for a debug interpreter is built against its own headers
  # (python3.11d) and carries the debug ABI tag. Py_DEBUG is set by hand:
  # Debian's python3.11d/Python.h is a link into python3.11/, whose quoted
  # include of pyconfig.h then finds the release one, and the module would
  # change reference counts without keeping the debug total.
  if build "$out/module-dbg.build.log" -S . -B "$out/module-dbg" -DTARNU_BUILD_MODULE=ON -DTARNU_TEST_HOOKS=ON \
       -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-DPy_DEBUG -DPython_EXECUTABLE=/usr/bin/python3-dbg; then
    # test_null_without_exception makes a C slot return NULL with nothing set,
    # which a debug interpreter stops at with a fatal error by design.
    PYTHONPATH="$out/module-dbg:tests/python" TARNU_EXPECT_TEST_HOOKS=1 \
      "$venv/bin/python" -m pytest -q -p no:cacheprovider -p reliability_refcounts tests/python \
      --deselect tests/python/test_api_conversions.py::test_null_without_exception \
      >"$out/pytest-dbg.log" 2>&1
    code=$?
    grep -E "^reference counts:" "$out/pytest-dbg.log"
    tail -n 2 "$out/pytest-dbg.log"
    result "pytest under python3-dbg with reference counts" "$code" "$(tail -n 1 "$out/pytest-dbg.log")"
  else
    result "pytest under python3-dbg" 1 "build failed"
  fi
fi

echo
echo "== reliability summary"
for line in "${summary[@]}"; do echo "$line"; done
echo "reliability: $passed passed, $failed failed"
exit $status
