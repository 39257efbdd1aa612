"""The delete workloads of bench/bulk.py, made to be counted by callgrind.

    valgrind --tool=callgrind python -m bench.callgrind_deletes CASE MODE [DIFFS]

CASE is `edges` (1,000 pending edges deleted again) or `nodes` (100 nodes
with about 10 pending edges each way); MODE is `loop` (the single-item
method in a Python loop, as bench/bulk.py times it) or `bulk` (one call).
Each of DIFFS (20) fresh diffs is filled, then emptied the same way. The
ids come from a seeded generator instead of os.urandom, so that with
PYTHONHASHSEED=0 two runs count the same; what a method costs is its
inclusive count in `callgrind_annotate --inclusive=yes` (the module's
`delete_edges`, `delete_edge`, `delete_nodes`, `delete_node`), divided by
the items. The whole run's total moves by a few million instructions from
run to run (the interpreter's own allocations), too much to take the
per-call crossing from a difference of two totals.
"""

import random
import sys

import tarnu_api

from bench import workloads as shared


def main(case, mode, diffs):
    rng = random.Random(1)
    make_ids = lambda n: [rng.randbytes(16) for _ in range(n)]  # noqa: E731
    shared.make_ids = make_ids  # make_edges draws its ids from here
    if case == "edges":
        edges = shared.make_edges(1_000, 100, rng)
        sources = b"".join(e[0] for e in edges)
        targets = b"".join(e[1] for e in edges)
    else:
        victims = make_ids(100)
        around = shared.make_edges(1_000, 100, rng)
        edges = [(victims[i % 100], t, w) for i, (_, t, w) in enumerate(around)]
        edges += [(s, victims[i % 100], w) for i, (s, _, w) in enumerate(around)]
        joined = b"".join(victims)
    filled = []
    for _ in range(diffs):
        d = tarnu_api.PyGraphDiff()
        shared.fill_edges(d, edges)
        filled.append(d)
    for d in filled:
        if case == "edges":
            if mode == "bulk":
                d.delete_edges(sources, targets)
            else:
                shared.loop_delete_edge(d, edges)
        elif mode == "bulk":
            d.delete_nodes(joined)
        else:
            shared.loop_delete_node(d, victims)
    print(sum(d.num_edges() for d in filled))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]) if len(sys.argv) > 3 else 20)
