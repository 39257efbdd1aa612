"""A pytest plugin for a debug build of CPython: every test must give back
the references it takes.

Loaded with ``-p reliability_refcounts`` (scripts/test_reliability.sh --long).
Each test runs once as itself, which decides its outcome; once more to warm
first-use caches (interned names, hypothesis's own state); then three times
more, each time measuring the interpreter's total reference count
(``sys.gettotalrefcount()``) and its allocated block count around the run,
after a full collection. A test fails when every measured run grows a count
beyond the runner's own constant share: noise goes up and down, a leak only
goes up, as in CPython's own ``-R`` leak hunting. The largest deltas are
listed at the end of the session, with the tests that fail when run a second
time (a hook that fires once, say), which are not measured.
"""

import gc
import sys
import time

import pytest

WARMUPS = 2
RUNS = 3
# The runner itself keeps one reference and one block per run of a test that
# used `pytest.raises(...) as info` (measured: a test holding nothing but
# that, around int(None), grows by exactly 1 and 1 on every run). Growth
# beyond it is the test's own. Tests that loop over the module's calls
# (test_api_leaks.py) multiply a leak well past it.
TOLERANCE = 1
# Allocated blocks also move with the interpreter's free lists and with
# captured output read back by the runner.
BLOCK_TOLERANCE = 4
# Runs made (at most, and for at most so long) before blocks that grew on
# every run are measured again: some caches take a few hundred runs to fill.
SETTLE_RUNS = 400
SETTLE_SECONDS = 20.0

# Tests that cannot be judged this way, by what they do rather than by what
# the module does; their deltas are still listed.
NOT_JUDGED = {
    "tests/python/test_api_conversions.py::test_errors_of_python_code_in_the_update":
        "raises one parametrized exception object on every run, and every raise lengthens its traceback",
    "tests/python/test_api_conversions.py::test_numpy_like_bools_are_read_through_bool[module-bool_-false1]":
        "its descriptor records every binding in a list kept on its class",
    "tests/python/test_api_conversions.py::test_numpy_like_bools_are_read_through_bool[twin-bool_-false1]":
        "its descriptor records every binding in a list kept on its class",
    "tests/python/test_module.py::TestEntryFrame::test_failure_in_deallocation_goes_to_the_unraisable_hook":
        "a deallocation that fails internally abandons the instance (its record and memory) on purpose",
}
_results = []
_unrepeatable = []
_excused = []


def _not_judged(item):
    # hypothesis draws other examples on every run and keeps its own state
    # between them; the leak loops of test_api_leaks.py cover those paths.
    if getattr(getattr(item, "obj", None), "is_hypothesis_test", False):
        return "hypothesis test: each run draws other examples"
    for prefix, reason in NOT_JUDGED.items():
        if item.nodeid.startswith(prefix):
            return reason
    return None


def _raw_measure(run):
    gc.collect()
    references, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
    run()
    gc.collect()
    return sys.gettotalrefcount() - references, sys.getallocatedblocks() - blocks


def _nothing():
    pass


def _measure(run):
    """Deltas of one run, less what measuring itself holds (the two counts
    taken before the run are objects too)."""
    overhead = min(_raw_measure(_nothing) for _ in range(3))
    delta = _raw_measure(run)
    return delta[0] - overhead[0], delta[1] - overhead[1]


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_call(item):
    if not hasattr(sys, "gettotalrefcount"):
        yield
        return
    run_once = item.runtest

    def run_repeatedly():
        # The first run is the test itself and decides its outcome.
        run_once()
        try:
            for _ in range(WARMUPS - 1):
                run_once()
            deltas = [_measure(run_once) for _ in range(RUNS)]
        except BaseException:  # noqa: B036 - a test that cannot run twice
            _unrepeatable.append(item.nodeid)
            return
        references = [d[0] for d in deltas]
        blocks = [d[1] for d in deltas]
        _results.append((item.nodeid, references, blocks))
        reason = _not_judged(item)
        if reason:
            _excused.append((item.nodeid, reason))
            return
        if all(r > TOLERANCE for r in references):
            raise AssertionError("leaked references on every run: %s (blocks %s)" % (references, blocks))
        if all(b > BLOCK_TOLERANCE for b in blocks):
            # The interpreter's own caches (free lists of tuples, frames,
            # floats) can take a few blocks on each of the first dozens of
            # runs and then stop; a leak goes on. Settle, then look again.
            settle_until = time.monotonic() + SETTLE_SECONDS
            for _ in range(SETTLE_RUNS):
                run_once()
                if time.monotonic() > settle_until:
                    break
            blocks = [_measure(run_once)[1] for _ in range(RUNS)]
        if all(b > BLOCK_TOLERANCE for b in blocks):
            raise AssertionError("leaked memory blocks on every run: %s (references %s)" % (blocks, references))

    item.runtest = run_repeatedly
    try:
        yield
    finally:
        item.runtest = run_once


def pytest_terminal_summary(terminalreporter):
    if _unrepeatable:
        terminalreporter.write_line("reference counts: %d tests cannot run twice, not measured:" % len(_unrepeatable))
        for nodeid in _unrepeatable:
            terminalreporter.write_line("  " + nodeid)
    reasons = {}
    for nodeid, reason in _excused:
        reasons.setdefault(reason, []).append(nodeid)
    for reason, nodeids in reasons.items():
        terminalreporter.write_line("reference counts: not judged, %s: %d tests" % (reason, len(nodeids)))
    if not _results:
        return
    worst = max(_results, key=lambda r: max(r[1]))
    steady = sum(1 for _, references, _ in _results if all(r <= 0 for r in references))
    terminalreporter.write_line(
        "reference counts: %d tests checked, %d with no growth on any run, largest single-run delta %+d (%s)"
        % (len(_results), steady, max(worst[1]), worst[0])
    )
    growing = [(nodeid, references) for nodeid, references, _ in _results if max(references) > 0]
    for nodeid, references in sorted(growing, key=lambda g: -max(g[1]))[:10]:
        terminalreporter.write_line("  %s: %s" % (nodeid, references))
