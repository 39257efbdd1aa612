import importlib
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

# The pure-Python twin (bench/) and the byte decoder (examples/) serve the
# tests as model and reader.
for folder in ("bench", "examples"):
    path = os.path.join(ROOT, folder)
    if path not in sys.path:
        sys.path.insert(0, path)

IS_PYPY = sys.implementation.name == "pypy"

# The two implementations of the API: the extension module and the
# pure-Python twin. Every test that takes the `impl` fixture runs once against
# each, with the ids "module" and "twin" (pytest_generate_tests below), unless
# it is marked `only`.
IMPLEMENTATIONS = {"module": "tarnu_api", "twin": "pure_graph_diff"}


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
