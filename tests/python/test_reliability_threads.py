"""Threads and re-entry.

The module never releases the interpreter lock and has no lock of its own:
the lock alone keeps calls from overlapping, and the borrow flag catches the
one way they can still meet, Python code run by a conversion. These tests
switch threads as often as the interpreter allows and check that nothing is
lost or corrupted:

- threads hammering instances of their own end with exactly what the
  pure-Python twin makes of the same calls;
- threads sharing one instance, each on ids of its own (so that their calls
  commute and any interleaving has one right result), end with what the twin
  makes of the threads' calls one thread after another, and every encoding
  taken meanwhile decodes cleanly;
- a thread whose conversion sleeps while it holds the borrow makes calls
  from other threads fail with the borrow errors and nothing else, and those
  failed calls leave no trace.

Calls back into the same instance from Python code that the module runs
(conversions, error texts, type names) are in test_api_reentry.py.
"""

import random
import sys
import threading
import time

import pytest

import tarnu_api
import tarnu_twin
from decode_diff import decode

PyGraphDiff = tarnu_api.PyGraphDiff
BORROW_TEXTS = {"Already borrowed", "Already mutably borrowed"}


@pytest.fixture(autouse=True)
def frequent_switches():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def node(owner, i):
    return bytes([owner]) * 8 + i.to_bytes(8, "little")


def workload(owner, seed, count, pool=24):
    """A reproducible list of calls (method name, arguments) on `owner`'s ids."""
    rng = random.Random(seed)
    calls = []
    for _ in range(count):
        a, b = node(owner, rng.randrange(pool)), node(owner, rng.randrange(pool))
        kind = rng.random()
        if kind < 0.25:
            calls.append(("add_node", (a, {"label": "n%d" % rng.randrange(100), "red": rng.randrange(256)})))
        elif kind < 0.35:
            calls.append(("delete_node", (a,)))
        elif kind < 0.75:
            calls.append(("add_edge", (a, b, rng.choice([0.5, -0.0, float("inf"), rng.random()]))))
        elif kind < 0.97:
            calls.append(("delete_edge", (a, b)))
        else:
            calls.append(("num_edges", ()))
    return calls


def twin_of(calls):
    twin = tarnu_twin.PyGraphDiff()
    for method, args in calls:
        getattr(twin, method)(*args)
    return twin


def same_diff(real, twin):
    assert (real.num_nodes(), real.num_edges()) == (twin.num_nodes(), twin.num_edges())
    assert decode(real.to_bytes()) == decode(twin.to_bytes())


def run_threads(targets):
    errors = []

    def guarded(target):
        try:
            target()
        except BaseException as error:  # noqa: B036 - reported below
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert errors == []


def test_threads_with_instances_of_their_own():
    work = {owner: workload(owner, seed=owner, count=3000) for owner in range(1, 5)}
    diffs = {owner: PyGraphDiff() for owner in work}

    def hammer(owner):
        d = diffs[owner]
        for method, args in work[owner]:
            getattr(d, method)(*args)

    run_threads([lambda o=o: hammer(o) for o in work])
    for owner in work:
        same_diff(diffs[owner], twin_of(work[owner]))


def test_threads_sharing_one_instance():
    shared = PyGraphDiff()
    work = {owner: workload(owner, seed=100 + owner, count=3000) for owner in range(1, 5)}
    snapshots = []

    def hammer(owner):
        for i, (method, args) in enumerate(work[owner]):
            getattr(shared, method)(*args)
            if i % 500 == 0:
                snapshots.append(shared.to_bytes())

    def reader():
        for _ in range(200):
            snapshots.append(shared.to_bytes())
            shared.num_nodes()

    run_threads([lambda o=o: hammer(o) for o in work] + [reader])
    for encoded in snapshots:
        decode(encoded)  # raises on anything malformed
    same_diff(shared, twin_of([call for owner in sorted(work) for call in work[owner]]))


class SlowWeight:
    """A weight whose conversion gives other threads time to run while the
    converting call holds the instance's exclusive borrow."""

    def __float__(self):
        time.sleep(0.0005)
        return 2.0


def test_calls_meeting_a_borrow_held_by_another_thread_fail_cleanly():
    shared = PyGraphDiff()
    slow_calls = [("add_edge", (node(1, i % 7), node(1, i % 5), SlowWeight())) for i in range(150)]
    other_calls = workload(2, seed=7, count=3000)
    succeeded = []
    refusals = []

    def slow():
        for method, args in slow_calls:
            getattr(shared, method)(*args)

    def other():
        for method, args in other_calls:
            try:
                getattr(shared, method)(*args)
            except RuntimeError as error:
                refusals.append(str(error))
            else:
                succeeded.append((method, args))
            time.sleep(0)

    run_threads([slow, other])
    assert set(refusals) <= BORROW_TEXTS
    assert refusals, "the threads never met: the test lost its point"
    # The slow thread's weights are all 2.0; what the other thread was refused
    # left no trace.
    expected = [(m, (a, b, 2.0)) for m, (a, b, _) in slow_calls] + succeeded
    same_diff(shared, twin_of(expected))
