"""Bulk-method rows of bench/run.py: each batch workload timed per call (the
single-item method in a Python loop) and in one bulk call, side by side, for
the module and for the pure-Python twin, in one run.

    python -m bench.bulk --memory-child N FORM  (used by run.py: resident bytes
        per edge after add_edges from buffers, ids as bytes or as bytearray)
"""

import array
import gc
import json
import random
import sys

try:
    import numpy
except ImportError:  # PyPy's venv without numpy: array.array and lists stand in
    numpy = None

from bench import workloads as shared


def _columns(edges):
    """Sources and targets as bytes buffers, weights as float32, and the same as lists."""
    sources = [e[0] for e in edges]
    targets = [e[1] for e in edges]
    weights = [e[2] for e in edges]
    return {
        "buffers": (b"".join(sources), b"".join(targets), array.array("f", weights)),
        "lists": (sources, targets, weights),
    }


def _node_columns(ids, updates):
    column = lambda key: [u[key] for u in updates]  # noqa: E731
    show = column("show_label")
    return {
        "label": column("label"), "url": column("url"),
        "size": array.array("d", column("size")),
        "red": bytes(column("red")), "green": bytes(column("green")), "blue": bytes(column("blue")),
        "show_label": numpy.array(show, dtype=numpy.bool_) if numpy is not None else show,
    }


def workloads(sizes, rng):
    """Rows for run.py."""
    small = shared.make_edges(sizes.small_edges, sizes.small_sources, rng)
    large = shared.make_edges(sizes.large_edges, sizes.large_sources, rng)
    small_columns = _columns(small)
    large_columns = _columns(large)
    pending = small  # 1,000 pending edges, deleted again
    node_count = sizes.encode_nodes
    node_ids = shared.make_ids(node_count)
    node_updates = shared.make_updates(node_count, rng)
    node_pairs = list(zip(node_ids, node_updates))
    node_columns = _node_columns(node_ids, node_updates)
    # 100 nodes, each the source and the target of about 10 pending edges.
    victims = shared.make_ids(100)
    around = shared.make_edges(1_000, 100, rng)
    victim_edges = [(victims[i % 100], t, w) for i, (_, t, w) in enumerate(around)]
    victim_edges += [(s, victims[i % 100], w) for i, (s, _, w) in enumerate(around)]
    again = 20 if sizes.quick else 200  # small batches per timed run

    rows = []

    def row(key, label, unit, prepare, per_call, bulk, repeats=None):
        for mode, body in (("per_call", per_call), ("bulk", bulk)):
            rows.append(shared.Workload(
                "%s_%s" % (key, mode), "%s, %s" % (label, "per call" if mode == "per_call" else "bulk"),
                unit, lambda cls: cls, body, prepare=prepare, repeats=repeats, impls=("module", "pure")))

    def filled(cls, edges):
        d = cls()
        shared.fill_edges(d, edges)
        return d

    row("bulk_add_edges_small", "add_edges, %d edges among %d sources again, buffers"
        % (sizes.small_edges, sizes.small_sources), "ns/edge",
        lambda cls: filled(cls, small),
        lambda _, d: (sum(shared.loop_add_edge(d, small) or 0 for _ in range(again // 10)), again // 10 * len(small))[1],
        lambda _, d: (sum(d.add_edges(*small_columns["buffers"]) or 0 for _ in range(again)), again * len(small))[1])
    for form in ("buffers", "lists"):
        row("bulk_add_edges_large_%s" % form, "add_edges, %s new edges over %s ids, %s"
            % (shared.count_text(sizes.large_edges), shared.count_text(sizes.large_sources), form), "ns/edge",
            lambda cls: (gc.collect(), cls())[1],
            lambda _, d: (shared.loop_add_edge(d, large), len(large))[1],
            lambda _, d, form=form: (d.add_edges(*large_columns[form]), len(large))[1],
            repeats=sizes.large_repeats)
    row("bulk_delete_edges", "delete_edges, %d pending edges, buffers" % len(pending), "ns/edge",
        lambda cls: filled(cls, pending),
        lambda _, d: (shared.loop_delete_edge(d, pending), len(pending))[1],
        lambda _, d: (d.delete_edges(*small_columns["buffers"][:2]), len(pending))[1])
    row("bulk_delete_nodes", "delete_nodes, 100 nodes with ~10 pending edges each way, buffers", "ns/node",
        lambda cls: filled(cls, victim_edges),
        lambda _, d: (shared.loop_delete_node(d, victims), len(victims))[1],
        lambda _, d: (d.delete_nodes(b"".join(victims)), len(victims))[1])
    row("bulk_add_nodes", "add_nodes, %s new nodes, seven columns" % shared.count_text(node_count), "ns/node",
        lambda cls: (gc.collect(), cls())[1],
        lambda _, d: (shared.loop_add_node(d, node_pairs), node_count)[1],
        lambda _, d: (d.add_nodes(b"".join(node_ids), node_columns), node_count)[1],
        repeats=sizes.large_repeats)
    return rows


# (row key without its mode, description, interpreter or None, least per-call/bulk ratio)
SPEEDUPS = [
    ("bulk_delete_edges", "delete_edges >= 3x the per-call loop", "cpython", 3.0),
    ("bulk_delete_edges", "delete_edges >= 4x the per-call loop", "pypy", 4.0),
    ("bulk_delete_nodes", "delete_nodes >= 1.5x the per-call loop", "cpython", 1.5),
    ("bulk_delete_nodes", "delete_nodes >= 2x the per-call loop", "pypy", 2.0),
    ("bulk_add_nodes", "add_nodes (columns) >= 2x the per-call loop", "cpython", 2.0),
    ("bulk_add_nodes", "add_nodes (columns) >= 4x the per-call loop", "pypy", 4.0),
    ("bulk_add_edges_large_lists", "add_edges from lists >= 1.5x the per-call loop", None, 1.5),
]
LIMITS = [
    ("bulk_add_edges_small_bulk", "add_edges (small diff, buffers) <= 25 ns/edge", 25.0),
    ("bulk_add_edges_large_buffers_bulk", "add_edges (1M new edges, buffers) <= 75 ns/edge", 75.0),
]


def judge(by_key, interpreter):
    verdicts = []
    for key, description, only_on, least in SPEEDUPS:
        per_call, bulk = by_key.get(key + "_per_call"), by_key.get(key + "_bulk")
        if only_on in (None, interpreter) and per_call and bulk and "module" in bulk:
            value = per_call["module"]["median"] / bulk["module"]["median"]
            verdicts.append({"target": description, "value": round(value, 2), "met": value >= least})
    for key, description, limit in LIMITS:
        if key in by_key and "module" in by_key[key]:
            value = by_key[key]["module"]["median"]
            verdicts.append({"target": description, "value": round(value, 2), "unit": " ns", "met": value <= limit})
    return verdicts


def memory_rows(sizes, log):
    """Resident growth per edge for the large load from buffers, each in a fresh process.

    PyPy's C-API layer copies a bytes object into a C-side twin when it is
    handed to C; a bytearray (or array, or numpy array) is read in place.
    """
    import subprocess

    rows = []
    for form in ("bytes", "bytearray"):
        command = [sys.executable, "-m", "bench.bulk", "--memory-child", str(sizes.memory_edges), form]
        out = subprocess.run(command, check=True, stdout=subprocess.PIPE, universal_newlines=True,
                             cwd=shared.ROOT).stdout
        figure = json.loads(out.strip().splitlines()[-1])["bytes_per_entry"]
        key = "memory_edges_bulk_" + form
        log("  %-24s %-7s %12.1f B/entry" % (key, "module", figure))
        rows.append({"key": key, "label": "  same, add_edges, ids as %s" % form, "unit": "B/entry",
                     "module": {"median": figure, "samples": [figure]}})
    return rows


def memory_child(count, form):
    import tarnu_api

    sources, targets, weights = _columns(shared.make_edges(count, max(1, count // 10), random.Random(7)))["buffers"]
    if form == "bytearray":
        sources, targets = bytearray(sources), bytearray(targets)
    d = tarnu_api.PyGraphDiff()
    for _ in range(3):
        gc.collect()
    before = shared.resident_bytes()
    d.add_edges(sources, targets, weights)
    for _ in range(3):
        gc.collect()
    print(json.dumps({"bytes_per_entry": (shared.resident_bytes() - before) / count, "entries": count}))


if __name__ == "__main__" and sys.argv[1:2] == ["--memory-child"]:
    memory_child(int(sys.argv[2]), sys.argv[3])
