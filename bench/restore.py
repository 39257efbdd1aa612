"""Restoring and inspecting a diff: from_bytes against what it replaces,
rejection of a corrupt payload, copy.copy, and the edge_updates() reader.

Run alone (``python -m bench.restore [--quick]``) or from ``bench/run.py``,
which calls ``run(quick, log)`` and prints the rows it returns. The figures
are processor time, the median of a few runs, all in one process, so that
the ratios between rows hold on a shared machine.
"""

import copy
import gc
import random
import statistics
import struct
import sys
import time

import tarnu_twin

from bench.workloads import IS_PYPY, make_edges
from examples.decode_diff import decode

_as_float = struct.Struct("<f").unpack
_as_bits = struct.Struct("<I").pack


def timed(function, repeats):
    """Median processor time of `repeats` calls, garbage collected between."""
    times = []
    for _ in range(repeats):
        gc.collect()
        start = time.process_time()
        result = function()
        times.append(time.process_time() - start)
        del result
    return statistics.median(times)


def load(cls, edges):
    d = cls()
    add_edge = d.add_edge
    for source, target, weight in edges:
        add_edge(source, target, weight)
    return d


def reject(PyGraphDiff, data):
    try:
        PyGraphDiff.from_bytes(data)
    except ValueError:
        return None
    raise AssertionError("a corrupt payload was accepted")


def decode_and_replay(cls, data):
    """The receiving side without from_bytes: the reader in examples/, then
    one add_edge per edge."""
    decoded = decode(data)
    d = cls()
    add_edge = d.add_edge
    for source, targets in decoded.edges.items():
        for target, bits in targets.items():
            add_edge(source, target, _as_float(_as_bits(bits))[0])
    return d


def corrupt_payloads(PyGraphDiff, data, rng, count):
    """Payloads with one byte flipped at a random place that makes them
    invalid (most places in an id or a weight still give a valid diff)."""
    found = []
    while len(found) < count:
        at = rng.randrange(len(data))
        bad = bytearray(data)
        bad[at] ^= 1 << rng.randrange(8)
        bad = bytes(bad)
        try:
            PyGraphDiff.from_bytes(bad)
        except ValueError:
            found.append((at, bad))
    return found


def run(quick=False, log=lambda message: None):
    import tarnu_api

    PyGraphDiff = tarnu_api.PyGraphDiff
    rng = random.Random(15)
    n_edges, n_sources = (50_000, 5_000) if quick else (1_000_000, 100_000)
    repeats = 3 if quick else 5
    log("restore: %d edges over %d sources" % (n_edges, n_sources))
    edges = make_edges(n_edges, n_sources, rng)
    d = load(PyGraphDiff, edges)
    data = d.to_bytes()
    corrupt = corrupt_payloads(PyGraphDiff, data, rng, 3)
    if IS_PYPY:  # the JIT compiles the loops first
        small = load(PyGraphDiff, edges[: n_edges // 10]).to_bytes()
        for _ in range(2):
            decode_and_replay(PyGraphDiff, small)
            d.edge_updates()

    rows = {}
    rows["to_bytes"] = timed(d.to_bytes, repeats)
    rows["per-call load"] = timed(lambda: load(PyGraphDiff, edges), repeats)
    rows["from_bytes"] = timed(lambda: PyGraphDiff.from_bytes(data), repeats)
    rows["decode_diff.py + per-call replay"] = timed(lambda: decode_and_replay(PyGraphDiff, data), 1 if not quick else repeats)
    rows["from_bytes, corrupt (median of 3 places)"] = statistics.median(
        timed(lambda: reject(PyGraphDiff, bad), repeats) for _, bad in corrupt)
    rows["copy.copy"] = timed(lambda: copy.copy(d), repeats)
    rows["edge_updates()"] = timed(d.edge_updates, repeats)
    # What the interpreter itself takes to build the same list of 3-tuples
    # from objects that exist already: the floor under edge_updates().
    columns = [list(column) for column in zip(*edges)]
    rows["list(zip(...)) of as many 3-tuples"] = timed(lambda: list(zip(*columns)), repeats)
    del columns
    rows["twin from_bytes"] = timed(lambda: tarnu_twin.PyGraphDiff.from_bytes(data), 1)

    checks = [
        ("from_bytes <= 2x (to_bytes + per-call load)",
         rows["from_bytes"] / (rows["to_bytes"] + rows["per-call load"]), 2.0, False),
        ("from_bytes >= 20x faster than decode_diff.py + replay",
         rows["decode_diff.py + per-call replay"] / rows["from_bytes"], 20.0, True),
        ("corrupt rejected in <= the time of accepting",
         rows["from_bytes, corrupt (median of 3 places)"] / rows["from_bytes"], 1.0, False),
        ("copy.copy <= to_bytes", rows["copy.copy"] / rows["to_bytes"], 1.0, False),
    ]
    per_edge_ns = rows["edge_updates()"] / n_edges * 1e9
    lines = ["%d edges over %d sources, payload %d bytes, %s" % (n_edges, n_sources, len(data), sys.version.split()[0])]
    lines += ["  %-44s %9.2f ms" % (name, seconds * 1e3) for name, seconds in rows.items()]
    lines.append("  %-44s %9.1f ns per edge%s" % ("edge_updates()", per_edge_ns, " (target <= 150 on CPython)"))
    lines.append("  %-44s %9.2fx" % ("edge_updates() / list(zip(...))",
                                     rows["edge_updates()"] / rows["list(zip(...)) of as many 3-tuples"]))
    for name, value, limit, at_least in checks:
        met = value >= limit if at_least else value <= limit
        lines.append("  %-56s %6.2fx  %s" % (name, value, "met" if met else "NOT met"))
    lines.append("  corrupt places: %s" % ", ".join(str(at) for at, _ in corrupt))
    return {"rows": rows, "edge_updates_ns_per_edge": per_edge_ns, "text": "\n".join(lines)}


if __name__ == "__main__":
    print(run("--quick" in sys.argv, lambda message: print(message, file=sys.stderr))["text"])
