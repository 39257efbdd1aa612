"""Every test layer, one nox session each. `bash scripts/test.sh` installs nox
and runs the default sessions; `nox -l` lists them all, `nox -s NAME` runs one.

    core              the C++ core tests (GoogleTest), built against the checked core
    tests-3.9 ...     pytest under every interpreter of the classifiers, and PyPy 3.9
    bench-3.11 ...    one quick pass of the benchmarks, so that they cannot rot
    package           the package checks (scripts/test_package.sh)
    reliability       the reliability layers' quick pass (scripts/test_reliability.sh)
    lint              ruff
    coverage          line coverage of src/ (scripts/coverage.sh), not by default
    long              long fuzz runs and the debug CPython (--long), not by default

The interpreters are the "Programming Language :: Python :: 3.X" classifiers
of pyproject.toml, looked up as scripts/interpreters.py does: pyenv's
installed versions first, then the PATH. One that is found nowhere is skipped,
and nox's summary names it. The test dependencies are the dependency groups of
pyproject.toml.

Each counting session writes build/results/<session>.json, {"passed": N,
"failed": N} from the runner's own report (GoogleTest's JSON, pytest's JUnit
XML, the scripts' last line); scripts/test.sh adds them up.
"""

import contextlib
import fcntl
import json
import os
import re
import shutil
import sys
import xml.etree.ElementTree as ElementTree

import nox

ROOT = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(ROOT, "build", "results")
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import interpreters  # noqa: E402

PYPROJECT = nox.project.load_toml(os.path.join(ROOT, "pyproject.toml"))
CPYTHONS = nox.project.python_versions(PYPROJECT)
PYTHONS = CPYTHONS + interpreters.PYPYS
# The CPython that runs the sanitized module, the benchmarks and the lint: the
# one Debian's debug CPython matches, so that one venv serves them all.
MAIN_CPYTHON = "3.11"
BENCH_PYTHONS = [MAIN_CPYTHON] + interpreters.PYPYS

nox.options.sessions = ["lint", "core", "tests", "bench", "package", "reliability"]
nox.options.reuse_venv = "yes"
# uv makes the environments and installs into them in a fraction of pip's time
# (under PyPy pip alone took minutes of the test command); plain virtualenv
# and pip where uv is not installed.
nox.options.default_venv_backend = "uv|virtualenv"
# Only interpreters that are installed: nothing is downloaded.
nox.options.download_python = "never"
nox.options.error_on_missing_interpreters = False

# pyenv's versions go ahead of the PATH, as scripts/interpreters.py finds them.
os.environ["PATH"] = interpreters.search_path()


def groups(*names):
    return [requirement for name in names for requirement in nox.project.dependency_groups(PYPROJECT, name)]


def record(session, passed, failed):
    """The session's counts, for the total that scripts/test.sh prints."""
    os.makedirs(RESULTS, exist_ok=True)
    with open(os.path.join(RESULTS, session.name + ".json"), "w") as file:
        json.dump({"passed": passed, "failed": failed}, file)
    session.log("%d passed, %d failed" % (passed, failed))
    if failed:
        session.error("%d failed" % failed)


def forget(session):
    path = os.path.join(RESULTS, session.name + ".json")
    if os.path.exists(path):
        os.remove(path)


def run_counting_last_line(session, prefix, *command, env=None):
    """Runs a script that ends with "PREFIX: N passed, M failed" and records
    those counts; a script that fails without counting a failure, or stops
    before that line, counts as one failure."""
    forget(session)
    log = os.path.join(RESULTS, session.name + ".log")
    os.makedirs(RESULTS, exist_ok=True)
    session.run("bash", "-c", '"$@" 2>&1 | tee "$0"; echo "${PIPESTATUS[0]}" >"$0.code"', log, *command,
                env=env, external=True)
    with open(log, errors="replace") as file:
        lines = file.read().splitlines()
    with open(log + ".code") as file:
        code = int(file.read())
    match = lines and re.fullmatch(r"%s: (\d+) passed, (\d+) failed" % prefix, lines[-1])
    if not match:
        record(session, 0, 1)
        return
    passed, failed = int(match.group(1)), int(match.group(2))
    record(session, passed, failed or (1 if code else 0))


def install_local(session, path, *options):
    """A project of this checkout, built again whatever the installer caches
    (uv reuses a local build unless told to rebuild that package)."""
    name = "tarnu_floor" if path.endswith("floor") else "tarnu_api"
    again = ["--reinstall-package", name] if session.venv_backend == "uv" else ["--force-reinstall"]
    session.install("--no-build-isolation", *again, "--no-deps", *options, path)


def install_module(session):
    """The module with the test hooks, built in the build directory of its
    wheel tag: every session of one interpreter shares one build, and nothing
    compiles twice."""
    session.install(*groups("build"))
    install_local(session, ROOT, "-C", "build-dir=build/{wheel_tag}-hooks-ON", "-C", "cmake.define.TARNU_TEST_HOOKS=ON")


def install_numpy(session):
    # Binary wheels only: where an interpreter has none, the numpy tests skip
    # rather than wait for numpy to compile.
    session.install("--only-binary=:all:", *groups("numpy"), success_codes=range(256))


def install_arrow_producers(session):
    # Each on its own and binary wheels only: one without a wheel for this
    # interpreter (pyarrow, polars and pandas have none for PyPy) leaves the
    # others, and its tests skip and say why.
    for producer in groups("arrow") + groups("dask"):
        session.install("--only-binary=:all:", producer, success_codes=range(256))


def pypy_env(session, env):
    if session.python.startswith("pypy"):
        # PyPy sizes its nursery from the "cache size" in /proc/cpuinfo, which
        # some virtual machines give as hundreds of MB; the resident-memory
        # checks would then see the nursery's first touch as a leak
        # (docs/platform.md). A fixed size makes them the same everywhere.
        env["PYPY_GC_NURSERY"] = os.environ.get("PYPY_GC_NURSERY", "4MB")
    return env


@contextlib.contextmanager
def build_lock(build):
    os.makedirs(os.path.dirname(build), exist_ok=True)
    with open(build + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)


@nox.session(python=False)
def core(session):
    """The C++ core tests and the fuzz corpora, against the checked core."""
    forget(session)
    build = os.path.join(ROOT, "build", "core-tests")
    # The reliability session runs valgrind over this build; scripts/test.sh
    # may run the two at once, and whichever comes second waits.
    with build_lock(build):
        run_core_tests(session, build)


def run_core_tests(session, build):
    session.run("cmake", "-S", ROOT, "-B", build, "-DTARNU_BUILD_TESTS=ON", "-DTARNU_BUILD_MODULE=OFF",
                "-DCMAKE_BUILD_TYPE=RelWithDebInfo", silent=True)
    session.run("cmake", "--build", build, "-j2", silent=True)
    report = os.path.join(build, "gtest.json")
    if os.path.exists(report):
        os.remove(report)
    session.run(os.path.join(build, "tests", "cpp", "tarnu_core_tests"), "--gtest_brief=1",
                "--gtest_output=json:" + report, success_codes=range(256))
    if not os.path.exists(report):
        record(session, 0, 1)
        return
    with open(report) as file:
        totals = json.load(file)
    failed = totals.get("failures", 0) + totals.get("errors", 0)
    record(session, totals["tests"] - totals.get("disabled", 0) - failed, failed)


@nox.session(python=PYTHONS)
def tests(session):
    """tests/python under one interpreter."""
    forget(session)
    session.install(*groups("test"))
    install_numpy(session)
    install_arrow_producers(session)
    install_module(session)
    env = pypy_env(session, {"TARNU_EXPECT_TEST_HOOKS": "1"})
    junit = os.path.join(RESULTS, session.name + ".xml")
    os.makedirs(RESULTS, exist_ok=True)
    if os.path.exists(junit):
        os.remove(junit)
    session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider", "--junitxml=" + junit,
                os.path.join(ROOT, "tests", "python"), *session.posargs, env=env, success_codes=range(256))
    if not os.path.exists(junit):
        record(session, 0, 1)
        return
    passed = failed = 0
    for suite in ElementTree.parse(junit).getroot().iter("testsuite"):
        bad = int(suite.get("failures", 0)) + int(suite.get("errors", 0))
        failed += bad
        passed += int(suite.get("tests", 0)) - int(suite.get("skipped", 0)) - bad
    record(session, passed, failed)


@nox.session(python=BENCH_PYTHONS)
def bench(session):
    """bench/run.py --quick: every benchmark once, small."""
    session.install(*groups("bench"))
    install_module(session)
    install_local(session, os.path.join(ROOT, "bench", "floor"), "-C", "build-dir=build/{wheel_tag}-floor")
    session.run("python", os.path.join(ROOT, "bench", "run.py"), "--quick", env=pypy_env(session, {}))


@nox.session(python=False)
def package(session):
    """The wheels and the sdist as users get them (scripts/test_package.sh)."""
    run_counting_last_line(session, "package", "bash", os.path.join(ROOT, "scripts", "test_package.sh"))


@nox.session(python=MAIN_CPYTHON)
def reliability(session):
    """Sanitizers, valgrind, the sanitized module under pytest, a short fuzz."""
    session.install(*groups("test"))
    install_numpy(session)
    run_counting_last_line(session, "reliability", "bash", os.path.join(ROOT, "scripts", "test_reliability.sh"),
                           env={"TARNU_PYTHON": os.path.join(session.bin, "python")})


@nox.session(python=MAIN_CPYTHON, default=False)
def long(session):
    """The reliability layers with long fuzz runs, valgrind over every core
    test, and the pytest suite under Debian's debug CPython."""
    session.install(*groups("test"))
    install_numpy(session)
    run_counting_last_line(session, "reliability", "bash", os.path.join(ROOT, "scripts", "test_reliability.sh"),
                           "--long", env={"TARNU_PYTHON": os.path.join(session.bin, "python")})


@nox.session(python=MAIN_CPYTHON, default=False)
def coverage(session):
    """Line coverage of src/ by the core tests and by pytest under CPython and
    PyPy; uses the environments of tests-3.11 and tests-pypy3.9 (run them first)."""
    session.install(*groups("coverage"))
    pythons = {}
    for name in (MAIN_CPYTHON, interpreters.PYPYS[0]):
        python = os.path.join(ROOT, ".nox", "tests-" + name.replace(".", "-"), "bin", "python")
        if not os.path.exists(python):
            session.error("no %s: run `nox -s tests-%s` first" % (python, name))
        pythons[name] = python
    session.run("bash", os.path.join(ROOT, "scripts", "coverage.sh"), external=True, env={
        "TARNU_CPYTHON": pythons[MAIN_CPYTHON], "TARNU_PYPY": pythons[interpreters.PYPYS[0]],
        "TARNU_GCOVR": os.path.join(session.bin, "gcovr")})


@nox.session(python=MAIN_CPYTHON)
def lint(session):
    """ruff over every Python file, at the rules of [tool.ruff] in pyproject.toml,
    and clang-tidy over every C++ source of src/, at the checks of .clang-tidy."""
    session.install(*groups("lint"))
    session.run("ruff", "check", ROOT)
    if shutil.which("clang-tidy") is None:
        session.error("clang-tidy is not installed (Debian's clang-tidy; scripts/test.sh installs it)")
    # The compile commands of a module build for this interpreter, so that
    # clang-tidy sees each file as the compiler does (Python.h included).
    build = os.path.join(ROOT, "build", "lint")
    session.run("cmake", "-S", ROOT, "-B", build, "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON", "-DTARNU_TEST_HOOKS=ON",
                "-DPython_EXECUTABLE=" + os.path.join(session.bin, "python"), silent=True, external=True)
    # The module's folders: the core's, as src/core_folders.txt lists them, and extension.
    with open(os.path.join(ROOT, "src", "core_folders.txt"), encoding="utf-8") as listing:
        folders = [f for line in listing if not line.startswith("#") for f in line.split()] + ["extension"]
    sources = sorted(os.path.join(ROOT, "src", folder, name) for folder in folders
                     for name in os.listdir(os.path.join(ROOT, "src", folder)) if name.endswith(".cpp"))
    # Two at a time: each file takes clang-tidy a few seconds of parsing.
    session.run("bash", "-c", 'printf "%s\\n" "${@:2}" | xargs -P2 -n1 clang-tidy -p "$1" --quiet', "tidy", build,
                *sources, external=True)
