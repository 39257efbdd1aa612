"""Instructions one bulk load runs, for comparing two builds where timings
move with the host's load. Run under callgrind with collection toggled on
the method's entry point, once per build and form:

    valgrind --tool=callgrind --smc-check=all \
      --toggle-collect='tarnu::py::add_edges(_object*, _object* const*, long, _object*)' \
      python -m bench.callgrind_load edges arrow

The module must keep its symbols (build with install.strip=false and
without the release link's -s). FORM is arrow, buffers or lists for edges;
arrow, lists (a dict of list columns) or dicts (a list of update dicts) for
nodes. Each call loads 200k edges or 100k nodes twice.
"""

import array
import random
import sys

import tarnu_api


def edge_arguments(form, n=200_000):
    random.seed(1)
    k = n // 10
    ids = [random.getrandbits(128).to_bytes(16, "little") for _ in range(k)]
    src = bytearray(b"".join(ids[random.randrange(k)] for _ in range(n)))
    tgt = bytearray(b"".join(ids[random.randrange(k)] for _ in range(n)))
    w = array.array("f", (random.random() for _ in range(n)))
    if form == "arrow":
        import arro3.core as ac
        d = tarnu_api.PyGraphDiff()
        d.add_edges(src, tgt, w)
        rb = ac.RecordBatch.from_arrow(d.to_arrow()["edge_updates"])
        return rb.column("source"), rb.column("target"), rb.column("weight")
    if form == "buffers":
        return src, tgt, w
    return ([bytes(src[i * 16:i * 16 + 16]) for i in range(n)],
            [bytes(tgt[i * 16:i * 16 + 16]) for i in range(n)], list(w))


def node_arguments(form, n=100_000):
    random.seed(2)
    ids = bytearray(b"".join(random.getrandbits(128).to_bytes(16, "little") for _ in range(n)))
    cols = {"label": ["n%d" % i for i in range(n)], "size": [random.random() for _ in range(n)],
            "red": [i & 255 for i in range(n)], "show_label": [bool(i & 1) for i in range(n)]}
    if form == "arrow":
        import arro3.core as ac
        d = tarnu_api.PyGraphDiff()
        d.add_nodes(ids, cols)
        batch = ac.RecordBatch.from_arrow(d.to_arrow()["node_updates"])
        return batch.column("id"), ac.Table.from_batches([batch]).select(list(cols))
    if form == "dicts":
        return ids, [dict(zip(cols, values)) for values in zip(*cols.values())]
    return ids, cols


def main():
    what, form = sys.argv[1], sys.argv[2]
    if what == "edges":
        args, method = edge_arguments(form), tarnu_api.PyGraphDiff.add_edges
    else:
        args, method = node_arguments(form), tarnu_api.PyGraphDiff.add_nodes
    for _ in range(2):
        method(tarnu_api.PyGraphDiff(), *args)


if __name__ == "__main__":
    main()
