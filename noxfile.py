"""The pytest suite under every interpreter the module supports, one nox
session each: `nox -s tests` (all of them) or `nox -s tests-3.9`.

Each session makes its own virtual environment under .nox/, builds the module
into it with the test-only failure hooks (sharing the build directory that
scripts/setup.sh uses for the same wheel tag, so nothing compiles twice), and
runs tests/python with its output kept in build/pytest-<interpreter>.log.

Interpreters are looked up as scripts/interpreters.py does: pyenv's installed
versions first, then the PATH. One that is found nowhere is skipped, and
scripts/test.sh names it in its summary.
"""

import os
import sys

import nox

ROOT = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import interpreters  # noqa: E402

nox.options.sessions = ["tests"]
nox.options.reuse_venv = "yes"
# Only interpreters that are installed: nothing is downloaded.
nox.options.download_python = "never"
nox.options.error_on_missing_interpreters = False

# pyenv's versions go ahead of the PATH, as scripts/interpreters.py finds them.
os.environ["PATH"] = interpreters.search_path()


ARROW_PRODUCERS = ["pyarrow", "polars", "pandas", "nanoarrow", "arro3-core"]


@nox.session(python=interpreters.INTERPRETERS)
def tests(session):
    session.install("pytest", "hypothesis", "scikit-build-core>=0.10", "ninja")
    # Binary wheels only: where an interpreter has none, the numpy tests skip
    # rather than wait for numpy to compile.
    session.run("python", "-m", "pip", "install", "-q", "--only-binary=:all:", "numpy", success_codes=[0, 1])
    # Arrow producers for the Arrow tests, each on its own so that one
    # without a wheel for this interpreter (pyarrow, polars and pandas have
    # none for PyPy) leaves the others; their tests skip and say why.
    for producer in ARROW_PRODUCERS:
        session.run("python", "-m", "pip", "install", "-q", "--only-binary=:all:", producer, success_codes=[0, 1])
    session.install("--no-build-isolation", "--force-reinstall", "--no-deps",
                    "-C", "build-dir=build/{wheel_tag}-hooks-ON",
                    "-C", "cmake.define.TARNU_TEST_HOOKS=ON", ROOT)
    env = {"TARNU_EXPECT_TEST_HOOKS": "1"}
    if session.python.startswith("pypy"):
        # PyPy sizes its nursery from the "cache size" in /proc/cpuinfo, which
        # some virtual machines give as hundreds of MB; the resident-memory
        # checks would then see the nursery's first touch as a leak
        # (docs/platform.md). A fixed size makes them the same everywhere.
        env["PYPY_GC_NURSERY"] = os.environ.get("PYPY_GC_NURSERY", "4MB")
    log = os.path.join(ROOT, "build", "pytest-%s.log" % session.python)
    env["TARNU_PYTEST_LOG"] = log
    if os.path.exists(log):
        os.remove(log)
    session.run("bash", "-c", 'set -o pipefail; "$@" 2>&1 | tee "$TARNU_PYTEST_LOG"', "pytest",
                "python", "-m", "pytest", "-q", "-p", "no:cacheprovider", os.path.join(ROOT, "tests", "python"),
                *session.posargs,
                env=env, external=True)
