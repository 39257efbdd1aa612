"""The node workloads of bench/bulk.py and bench/run.py, made to be counted by callgrind.

    valgrind --tool=callgrind --collect-atstart=no --toggle-collect=builtin_eval \\
        python -m bench.callgrind_nodes MODE [COUNT]

MODE is `bulk` (one `add_nodes` call from the seven columns of
bench/bulk.py), `loop` (the `add_node` loop over dicts, as bench/bulk.py
times it) or `encode` (`to_bytes` of a diff that `add_nodes` filled).
COUNT (50,000) nodes with all seven properties, from bench/workloads.py's
updates and ids drawn from a seeded generator, so that with
PYTHONHASHSEED=0 two runs count the same. Only the measured statement runs
under eval(), which the toggle above collects: the collected total divided
by COUNT is the figure per node.
"""

import random
import sys

import tarnu_api

from bench import workloads as shared
from bench.bulk import _node_columns


def main(mode, count):
    rng = random.Random(7)
    ids = [rng.randbytes(16) for _ in range(count)]
    updates = shared.make_updates(count, rng)
    pairs = list(zip(ids, updates))
    columns = _node_columns(ids, updates)
    joined = b"".join(ids)
    d = tarnu_api.PyGraphDiff()
    if mode == "bulk":
        statement = "d.add_nodes(joined, columns)"
    elif mode == "loop":
        statement = "shared.loop_add_node(d, pairs)"
    else:
        d.add_nodes(joined, columns)
        statement = "d.to_bytes()"
    names = {"d": d, "joined": joined, "columns": columns, "pairs": pairs, "shared": shared}
    eval(compile(statement, "<measured>", "eval"), names)
    print(d.num_nodes())


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 50_000)
