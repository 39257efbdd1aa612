"""The benchmarks' shared workload code: the classes compared, the sizes, the
data (every id made with os.urandom(16) before any timing), the timed loops
and the row type. run.py, bulk.py, merge.py and restore.py import it; it
imports none of them."""

import os
import sys

import tarnu_twin

IS_PYPY = sys.implementation.name == "pypy"
IMPLS = ("module", "pure", "floor")
# The top of the checkout: child processes run `python -m bench.X` from there.
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def load_implementations():
    """The classes to compare; a missing extension is reported, not fatal."""
    impls = {"pure": tarnu_twin.PyGraphDiff}
    missing = {}
    try:
        import tarnu_api

        impls["module"] = tarnu_api.PyGraphDiff
    except ImportError as exc:
        missing["module"] = "tarnu_api is not importable (%s): module rows are skipped" % exc
    try:
        import tarnu_floor

        impls["floor"] = tarnu_floor.PyGraphDiffFloor
    except ImportError as exc:
        missing["floor"] = (
            "tarnu_floor is not importable (%s): install it with "
            "'pip install --no-build-isolation bench/floor'" % exc
        )
    return impls, missing


# ---------------------------------------------------------------------------
# Sizes and data.


class Sizes:
    def __init__(self, quick):
        self.quick = quick
        self.small_edges = 1_000
        self.small_sources = 100
        self.small_diffs = 20 if quick else 50
        self.large_edges = 50_000 if quick else 1_000_000
        self.large_sources = 5_000 if quick else 100_000
        self.nodes = 5_000 if quick else 100_000
        self.delete_edges = 5_000 if quick else 100_000
        self.delete_node_sources = (1_000, 10_000) if quick else (1_000, 100_000)
        self.delete_node_calls = 200 if quick else 1_000
        self.pure_delete_node_budget = 2_000_000  # source visits per run of the twin
        self.encode_edges = self.large_edges
        self.encode_nodes = 10_000 if quick else 200_000
        self.count_calls = 10_000 if quick else 200_000
        self.memory_edges = self.large_edges
        self.memory_nodes = self.encode_nodes
        self.warmup = 1 if quick else (3 if IS_PYPY else 1)
        self.repeats = 3 if quick else 5
        self.large_repeats = 2 if quick else 3


def make_ids(n):
    urandom = os.urandom
    return [urandom(16) for _ in range(n)]


def make_edges(n_edges, n_sources, rng):
    """n_edges distinct (from, to, weight) over n_sources, in random order.

    The tuples are made in the order the loop visits them, as a caller
    reading records would; the ids they name are spread over the heap.
    """
    per_source = n_edges // n_sources
    sources = make_ids(n_sources)
    targets = make_ids(n_sources)
    step = 10_007 % n_sources or 1
    order = list(range(n_sources * per_source))
    rng.shuffle(order)
    weights = [rng.random() * 100.0 for _ in order]
    return [
        (sources[e // per_source], targets[(e // per_source + (e % per_source) * step) % n_sources], w)
        for e, w in zip(order, weights)
    ]


def make_updates(n, rng):
    """Update dicts with all seven keys, each with its own texts."""
    return [
        {
            "label": "node %d" % i,
            "url": "https://example.org/nodes/%d" % i,
            "size": rng.random() * 10.0,
            "red": rng.randrange(256),
            "green": rng.randrange(256),
            "blue": rng.randrange(256),
            "show_label": i % 2 == 0,
        }
        for i in range(n)
    ]


# ---------------------------------------------------------------------------
# Timed loops: plain Python, written as a user would, the same for every class.


def loop_add_edge(d, edges):
    for a, b, w in edges:
        d.add_edge(a, b, w)


def loop_add_edge_noop(d, edges):
    for a, b, w in edges:
        d.add_edge_noop(a, b, w)


def loop_empty(d, edges):
    for a, b, w in edges:
        pass


def loop_add_edge_fresh(d, edges):
    # New id and weight objects for every call, dropped right after it, as
    # when ids are decoded from incoming records.
    for a, b, w in edges:
        d.add_edge(a[:8] + a[8:], b[:8] + b[8:], w * 1.0)


def loop_add_node(d, nodes):
    for i, u in nodes:
        d.add_node(i, u)


def loop_delete_edge(d, edges):
    for a, b, _ in edges:
        d.delete_edge(a, b)


def loop_delete_node(d, ids):
    for i in ids:
        d.delete_node(i)


def loop_num_nodes(d, n):
    for _ in range(n):
        d.num_nodes()


def loop_num_edges(d, n):
    for _ in range(n):
        d.num_edges()


def fill_edges(d, edges):
    loop_add_edge(d, edges)
    return d


class Workload:
    """One row of the table.

    setup(cls) runs once per class and returns a context; prepare(ctx)
    runs untimed before every repetition; run(ctx, state) is the timed
    part and returns the number of operations it did (and optionally the
    number of bytes it produced).
    """

    def __init__(self, key, label, unit, setup, run, prepare=None, repeats=None, impls=IMPLS):
        self.key = key
        self.label = label
        self.unit = unit
        self.setup = setup
        self.run = run
        self.prepare = prepare or (lambda ctx: None)
        self.repeats = repeats
        self.impls = impls


def count_text(n):
    if n >= 1_000_000 and n % 1_000_000 == 0:
        return "%dM" % (n // 1_000_000)
    if n >= 1_000 and n % 1_000 == 0:
        return "%dk" % (n // 1_000)
    return str(n)


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
