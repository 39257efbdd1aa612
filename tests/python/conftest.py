import importlib
import os
import subprocess
import sys
import textwrap

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

IS_PYPY = sys.implementation.name == "pypy"

# Node ids the tests share; an id is any 16 bytes.
A, B, C, D = (bytes(15) + bytes([i]) for i in (1, 2, 3, 4))

# The test command builds the module with its test hooks and sets
# TARNU_EXPECT_TEST_HOOKS=1: the hook tests then run (and fail on a build
# without hooks); without it they are skipped.
HOOKS = os.environ.get("TARNU_EXPECT_TEST_HOOKS") == "1"
needs_hooks = pytest.mark.skipif(not HOOKS, reason="module built without test hooks")


def run_hook(action, argument=None):
    """Fires or arms the module's test hook `action` (a hook build only; the
    actions are listed in src/extension/test_hooks.hpp). `argument` is the
    diff the action works on, where it needs one."""
    import tarnu_api
    return tarnu_api._test_hook(action, argument)


def snapshot(d):
    """What a refused call must leave unchanged: both counts and the bytes."""
    return d.num_nodes(), d.num_edges(), d.to_bytes()


def run_python(code, timeout=120, **env):
    """`code` (dedented) run by a fresh interpreter of the same kind, with `env` added."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env={**os.environ, **env}, timeout=timeout)


def resident_bytes():
    """This process's resident memory."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

# The two implementations of the API: the extension module and the
# pure-Python twin. Every test that takes the `impl` fixture runs once against
# each, with the ids "module" and "twin" (pytest_generate_tests below), unless
# it is marked `only`.
IMPLEMENTATIONS = {"module": "tarnu_api", "twin": "tarnu_twin"}


def implementation(name):
    """The PyGraphDiff class of implementation `name` ("module" or "twin")."""
    return importlib.import_module(IMPLEMENTATIONS[name]).PyGraphDiff


@pytest.fixture
def impl(request):
    """The PyGraphDiff class under test: the module's or the twin's."""
    return implementation(request.param)


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "only(name, reason): run a test that takes `impl` against one implementation only, "
        "\"module\" or \"twin\"; the reason says why the other one differs",
    )


def pytest_generate_tests(metafunc):
    if "impl" not in metafunc.fixturenames:
        return
    names = list(IMPLEMENTATIONS)
    only = metafunc.definition.get_closest_marker("only")
    if only is not None:
        if len(only.args) != 1 or only.args[0] not in IMPLEMENTATIONS or not only.kwargs.get("reason"):
            raise pytest.UsageError('%s: @pytest.mark.only takes "module" or "twin" and a reason'
                                    % metafunc.definition.nodeid)
        names = list(only.args)
    metafunc.parametrize("impl", names, indirect=True)
