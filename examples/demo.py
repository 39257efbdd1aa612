"""Record a realistic graph diff with tarnu_api, encode it, and read it back.

A generated graph of 100,000 nodes (labels, links, colours, sizes) and
1,000,000 weighted edges is recorded into one PyGraphDiff, followed by the
kind of later edits that the diff folds into its net change: re-weighted
edges, deleted edges and deleted nodes. The encoded bytes go to a file, are
read back with the small decoder beside this script (decode_diff.py), and the
decoded counts are checked against the diff's own. The same graph is loaded
one call per item, in two bulk calls from buffers and, where pyarrow is
installed, from Arrow tables that hold the ids as UUID text.

    python examples/demo.py [--nodes N] [--edges M] [--seed S] [--out FILE]
"""

import argparse
import array
import os
import random
import sys
import tempfile
import time
import uuid

try:
    from tarnu_api import PyGraphDiff
except ImportError:
    sys.exit("tarnu_api is not installed here: run `bash scripts/demo.sh`, or "
             "`pip install .` from the top of the checkout.")

# Python puts this script's directory first on the path, so the decoder
# beside it imports as it is, from any working directory.
from decode_diff import decode, summary

try:
    import pyarrow
except ImportError:
    pyarrow = None

try:
    from tqdm import tqdm
except ImportError:
    tqdm = None

WORDS = ("river", "stone", "maple", "harbor", "copper", "meadow", "signal",
         "lantern", "orbit", "cedar", "café", "Zürich", "東京")

# Progress is reported once per batch: a bar ticked per call would cost more
# than the calls it measures.
BATCH = 10_000


def generate(node_count, edge_count, seed):
    """Node ids, one property dict per node, and (source, target, weight) edges."""
    rng = random.Random(seed)
    ids = [rng.randbytes(16) for _ in range(node_count)]
    updates = [{
        "label": "%s %s #%d" % (rng.choice(WORDS), rng.choice(WORDS), i),
        "url": "https://example.org/node/%d" % i,
        "size": rng.uniform(0.5, 20.0),
        "red": rng.randrange(256),
        "green": rng.randrange(256),
        "blue": rng.randrange(256),
        "show_label": rng.random() < 0.3,
    } for i in range(node_count)]
    # Uniformly drawn endpoints give each source about ten targets.
    pick = rng.randrange
    edges = [(ids[pick(node_count)], ids[pick(node_count)], rng.random())
             for _ in range(edge_count)]
    return rng, ids, updates, edges


class Timings:
    """Times phases of recording and prints one line per phase."""

    def __init__(self):
        self.rows = []

    def run(self, label, items, call, show_progress):
        """Call `call(*item)` for every item, timing the whole run."""
        count = len(items)
        bar = None
        if show_progress and tqdm is not None and count > BATCH:
            bar = tqdm(total=count, desc=label, unit="op", leave=False, mininterval=0.25)
        start = time.perf_counter()
        for begin in range(0, count, BATCH):
            for item in items[begin:begin + BATCH]:
                call(*item)
            if bar is not None:
                bar.update(min(BATCH, count - begin))
        elapsed = time.perf_counter() - start
        if bar is not None:
            bar.close()
        self.report(label, count, elapsed)
        return elapsed

    def once(self, label, count, call):
        """Time one call that does `count` operations at once."""
        start = time.perf_counter()
        call()
        elapsed = time.perf_counter() - start
        self.report(label, count, elapsed)
        return elapsed

    def report(self, label, count, elapsed):
        per_op = elapsed / max(count, 1)
        print("  %-34s %9d ops %8.3f s %11s/op" % (label, count, elapsed, human_time(per_op)))


def human_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return "%.2f %s" % (seconds / scale, unit)
    return "%.0f ns" % (seconds / 1e-9)


def decoded_counts(decoded):
    """num_nodes() and num_edges() as the decoded bytes state them."""
    return (len(decoded.nodes) + len(decoded.deleted_nodes),
            len(decoded.edges) + len(decoded.deleted_edges))


def snapshot_change(ids, columns, edges, reweighted, unlinked, doomed, timings):
    """The change between the graph as loaded and as edited, taken as two
    snapshots: add_snapshot_change beside the same in Python (dicts and
    sets, then the bulk calls). Both must give the same counts."""
    # A snapshot holds a pair once, with its last weight, as the diff does.
    edges = [(s, t, w) for (s, t), w in {(s, t): w for s, t, w in edges}.items()]
    gone = {node_id for (node_id,) in doomed}
    weight_of = {(s, t): w for s, t, w in reweighted}
    dropped = set(unlinked)
    new_edges = [(s, t, weight_of.get((s, t), w)) for s, t, w in edges
                 if (s, t) not in dropped and s not in gone and t not in gone]
    keep = [i for i, node_id in enumerate(ids) if node_id not in gone]
    old = {"id": ids, **columns}
    new = {"id": [ids[i] for i in keep], **{k: [v[i] for i in keep] for k, v in columns.items()}}

    def edge_columns(rows):
        return {"source": [r[0] for r in rows], "target": [r[1] for r in rows], "weight": [r[2] for r in rows]}

    old_edges, new_edges = edge_columns(edges), edge_columns(new_edges)
    print("The change between the graph as loaded and as edited, as two snapshots:")
    module = PyGraphDiff()
    timings.once("add_snapshot_change", len(edges) + len(new_edges["source"]),
                 lambda: module.add_snapshot_change(old_nodes=old, new_nodes=new, old_edges=old_edges,
                                                    new_edges=new_edges))

    def in_python(d):
        keys = list(columns)
        old_n = dict(zip(old["id"], zip(*[old[k] for k in keys])))
        new_n = dict(zip(new["id"], zip(*[new[k] for k in keys])))
        old_e = dict(zip(zip(old_edges["source"], old_edges["target"]), old_edges["weight"]))
        new_e = dict(zip(zip(new_edges["source"], new_edges["target"]), new_edges["weight"]))
        d.delete_nodes([n for n in old_n if n not in new_n])
        changed = [(n, u) for n, u in new_n.items() if old_n.get(n) != u]
        d.add_nodes([n for n, _ in changed], [dict(zip(keys, u)) for _, u in changed])
        gone_edges = [e for e in old_e if e not in new_e]
        d.delete_edges([s for s, _ in gone_edges], [t for _, t in gone_edges])
        added = [(e, w) for e, w in new_e.items() if old_e.get(e) != w]
        d.add_edges([e[0] for e, _ in added], [e[1] for e, _ in added], [w for _, w in added])

    python = PyGraphDiff()
    timings.once("the same in Python, then bulk", len(edges) + len(new_edges["source"]), lambda: in_python(python))
    same = module.counts() == python.counts()
    print("  both record %s: %s" % (tuple(module.counts()), "yes" if same else "NO"))
    return same


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=100_000, help="nodes to add (default 100,000)")
    parser.add_argument("--edges", type=int, default=1_000_000, help="edges to add (default 1,000,000)")
    parser.add_argument("--seed", type=int, default=7, help="seed of the generated graph")
    parser.add_argument("--out", default=os.path.join(tempfile.gettempdir(), "tarnu_demo_diff.bin"),
                        help="file the encoded diff is written to")
    parser.add_argument("--no-progress", action="store_true", help="no progress bars")
    args = parser.parse_args(argv)
    if args.nodes < 2:
        parser.error("--nodes must be at least 2")
    show_progress = not args.no_progress and sys.stderr.isatty()
    if show_progress and tqdm is None:
        print("(install tqdm to see progress bars)")

    print("Generating a graph of %d nodes and %d weighted edges..." % (args.nodes, args.edges))
    start = time.perf_counter()
    rng, ids, updates, edges = generate(args.nodes, args.edges, args.seed)
    print("  generated in %.1f s" % (time.perf_counter() - start))

    # Later edits: a twentieth of the edges change weight or go away, and one
    # node in a hundred is deleted with everything pending on it.
    edited = rng.sample(edges, len(edges) // 20)
    reweighted = [(source, target, weight * 2.0) for source, target, weight in edited[::2]]
    unlinked = [(source, target) for source, target, _ in edited[1::2]]
    doomed = [(node_id,) for node_id in rng.sample(ids, max(1, len(ids) // 100))]

    # The load as columns, the form a graph read from files or numpy arrays
    # is usually in: ids and weights as flat buffers, properties by key.
    id_bytes = b"".join(ids)
    columns = {key: [update[key] for update in updates] for key in updates[0]}
    sources = b"".join(source for source, _, _ in edges)
    targets = b"".join(target for _, target, _ in edges)
    weights = array.array("d", [weight for _, _, weight in edges])

    # The same as Arrow tables whose ids are UUID text, as a data frame or a
    # Parquet file usually holds them; the module parses the text itself.
    arrow_tables = None
    if pyarrow is not None:
        text = {node_id: str(uuid.UUID(bytes=node_id)) for node_id in ids}
        arrow_tables = (
            pyarrow.table({"id": [text[node_id] for node_id in ids], **columns}),
            pyarrow.table({"source": [text[source] for source, _, _ in edges],
                           "target": [text[target] for _, target, _ in edges],
                           "weight": pyarrow.array(weights, pyarrow.float64())}))
        del text

    timings = Timings()
    print("Loading, one call per item (time per call includes the Python loop around it):")
    per_call = PyGraphDiff()
    node_calls = timings.run("add_node (7 properties)", list(zip(ids, updates)), per_call.add_node, show_progress)
    edge_calls = timings.run("add_edge", edges, per_call.add_edge, show_progress)
    print("Loading the same in two bulk calls:")
    diff = PyGraphDiff()
    node_bulk = timings.once("add_nodes (7 columns)", len(ids), lambda: diff.add_nodes(id_bytes, columns))
    edge_bulk = timings.once("add_edges (buffers)", len(edges), lambda: diff.add_edges(sources, targets, weights))
    node_arrow = edge_arrow = None
    if arrow_tables is None:
        print("pyarrow is not installed here: the load from Arrow UUID text is skipped.")
    else:
        nodes_table, edges_table = arrow_tables
        print("Loading the same from Arrow tables of UUID text (pyarrow), two bulk calls:")
        from_arrow = PyGraphDiff()
        node_arrow = timings.once("add_nodes (Arrow table)", len(ids),
                                  lambda: from_arrow.add_nodes(nodes_table["id"], nodes_table))
        edge_arrow = timings.once("add_edges (Arrow UUID text)", len(edges),
                                  lambda: from_arrow.add_edges(edges_table["source"], edges_table["target"],
                                                               edges_table["weight"]))
    print("Time per item, all tarnu_api, the same data each way:")
    print("  per call:   one add_node or add_edge call per item, in a Python loop")
    print("  buffers:    one add_nodes or add_edges call, ids in bytes, weights in an array")
    print("  Arrow text: one bulk call on pyarrow tables holding the ids as UUID text")
    print("  speed-up:   per call against buffers (the bulk call's gain over the loop)")
    print("  %-26s %11s %11s %11s %11s" % ("", "per call", "buffers", "Arrow text", "speed-up"))
    for label, count, calls, bulk, arrow in (("nodes", len(ids), node_calls, node_bulk, node_arrow),
                                             ("edges", len(edges), edge_calls, edge_bulk, edge_arrow)):
        arrow_text = "-" if arrow is None else human_time(arrow / count)
        print("  %-26s %11s %11s %11s %10.1fx" % (label, human_time(calls / count), human_time(bulk / count),
                                                  arrow_text, calls / max(bulk, 1e-9)))
    loads = [per_call, diff] + ([] if arrow_tables is None else [from_arrow])
    shapes = {(d.num_nodes(), d.num_edges(), len(d.to_bytes())) for d in loads}
    same = len(shapes) == 1
    print("  the %d loads give the same diff: %s" % (len(loads), "yes" if same else "NO"))
    del per_call, loads
    if arrow_tables is not None:
        del from_arrow, arrow_tables, nodes_table, edges_table
    if not same:
        return 1
    total = node_bulk + edge_bulk
    print("Later edits, one call each:")
    total += timings.run("add_edge (re-weight)", reweighted, diff.add_edge, show_progress)
    total += timings.run("delete_edge (cancels an addition)", unlinked, diff.delete_edge, show_progress)
    total += timings.run("delete_node", doomed, diff.delete_node, show_progress)
    operations = len(ids) + len(edges) + len(reweighted) + len(unlinked) + len(doomed)
    print("  %-34s %9d ops %8.3f s %11s/op"
          % ("all recording", operations, total, human_time(total / operations)))

    if not snapshot_change(ids, columns, edges, reweighted, unlinked, doomed, timings):
        return 1

    num_nodes, num_edges = diff.num_nodes(), diff.num_edges()
    print("The diff holds the net change:")
    print("  num_nodes() = %d (updated or deleted nodes)" % num_nodes)
    print("  num_edges() = %d (source nodes with pending additions or deletions, not edges)"
          % num_edges)

    start = time.perf_counter()
    payload = diff.to_bytes()
    elapsed = time.perf_counter() - start
    print("Encoding:")
    print("  to_bytes() took %s for %.1f MB (%d bytes, %.1f bytes per recorded operation)"
          % (human_time(elapsed), len(payload) / 1e6, len(payload), len(payload) / operations))
    with open(args.out, "wb") as out:
        out.write(payload)
    print("  wrote %s" % args.out)

    with open(args.out, "rb") as source:
        decoded = decode(source.read())
    print("Read back with examples/decode_diff.py:")
    for line in summary(decoded).splitlines():
        print("  " + line)
    if decoded_counts(decoded) != (num_nodes, num_edges):
        print("MISMATCH: the file states %d nodes and %d edge sources" % decoded_counts(decoded))
        return 1
    print("Round trip OK: the file holds the %d nodes and %d edge sources of the diff."
          % (num_nodes, num_edges))
    return 0


if __name__ == "__main__":
    sys.exit(main())
