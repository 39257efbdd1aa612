"""The change between two snapshots of a graph: add_snapshot_change beside
loading the new snapshot into a fresh diff (add_nodes and add_edges), the
change computed in Python from the same columns (dicts built, compared with
sets, then the bulk calls), and, where they install, DuckDB's joins and
polars' joins followed by the bulk calls. All in one run, medians of
alternating repeats; then the peak resident growth of each way, each in a
process of its own.

    python -m bench.snapshot [--quick] [--edges N] [--nodes N] [--repeats N]

1M edges over 100k nodes by default, 5% churn of each: nodes removed (with
their edges), added and changed (a new label); edges removed, added and
re-weighted. Ids are 16 random bytes (numpy 'S16' columns, which the module
reads in place as it reads fixed_size_binary(16)). The same snapshots also
go in as Arrow tables (pyarrow's where it installs, else arro3's), ids as
fixed_size_binary(16): the row "module_arrow".

bench/run.py runs the module's two rows and the twin's as rows of its own
table (workloads()).
"""

import argparse
import gc
import os
import statistics
import subprocess
import sys
import time

try:
    import numpy
except ImportError:  # bench/run.py then leaves the snapshot rows out
    numpy = None

import tarnu_api

PROPERTIES = ("label", "size", "url", "red", "green", "blue", "show_label")


def make_snapshots(nodes, edges, seed=1):
    """(old_nodes, new_nodes, old_edges, new_edges), each a dict of columns."""
    rng = numpy.random.default_rng(seed)
    ids = numpy.frombuffer(rng.bytes(16 * (nodes + nodes // 50)), dtype="S16")
    old_ids, spare = ids[:nodes], ids[nodes:]

    def node_columns(node_ids, serial):
        n = len(node_ids)
        return {
            "id": node_ids,
            "label": ["node %d" % (i + serial[i]) for i in range(n)],
            "size": rng.random(n, dtype=numpy.float32) * 10,
            "url": ["https://example.org/%d" % i for i in range(n)],
            "red": rng.integers(0, 256, n, dtype=numpy.uint8),
            "green": rng.integers(0, 256, n, dtype=numpy.uint8),
            "blue": rng.integers(0, 256, n, dtype=numpy.uint8),
            "show_label": rng.random(n) < 0.5,
        }

    old_nodes = node_columns(old_ids, numpy.zeros(nodes, dtype=numpy.int64))
    # 5% of the nodes: 1% removed, 1% added, 3% changed.
    removed = rng.random(nodes) < 0.01
    keep = ~removed
    new_ids = numpy.concatenate([old_ids[keep], spare[:nodes // 100]])
    new_nodes = {}
    for key, column in old_nodes.items():
        if isinstance(column, list):
            kept = [v for v, k in zip(column, keep) if k]
            extra = ["%s new %d" % (key, i) for i in range(nodes // 100)]
            new_nodes[key] = kept + extra
        else:
            new_nodes[key] = numpy.concatenate([column[keep], column[:nodes // 100]])
    new_nodes["id"] = new_ids
    changed = numpy.flatnonzero(rng.random(len(new_ids)) < 0.03)
    for i in changed:
        new_nodes["label"][i] += " changed"

    # Edges over the old nodes, distinct (source, target) pairs.
    key = numpy.unique(rng.integers(0, nodes, edges * 11 // 10) * nodes + rng.integers(0, nodes, edges * 11 // 10))
    key = rng.permutation(key)[:edges]
    source_index, target_index = key // nodes, key % nodes
    weights = rng.random(edges, dtype=numpy.float32)
    old_edges = {"source": old_ids[source_index], "target": old_ids[target_index], "weight": weights}
    # 5% of the edges: removed, added and re-weighted alike; the edges of
    # removed nodes go too.
    roll = rng.random(edges)
    stay = (roll >= 0.0167) & keep[source_index] & keep[target_index]
    new_weights = weights.copy()
    reweighted = roll >= 0.9833
    new_weights[reweighted] += 1
    added = edges // 60
    add_source = rng.choice(new_ids, added)
    add_target = rng.choice(new_ids, added)
    new_edges = {
        "source": numpy.concatenate([old_edges["source"][stay], add_source]),
        "target": numpy.concatenate([old_edges["target"][stay], add_target]),
        "weight": numpy.concatenate([new_weights[stay], rng.random(added, dtype=numpy.float32)]),
    }
    # Added pairs that happen to exist already are dropped (a pair once).
    both = numpy.concatenate([new_edges["source"].view(numpy.uint8).reshape(-1, 16),
                              new_edges["target"].view(numpy.uint8).reshape(-1, 16)], axis=1)
    _, first = numpy.unique(both.view("V32").ravel(), return_index=True)
    first.sort()
    new_edges = {k: v[first] for k, v in new_edges.items()}
    return old_nodes, new_nodes, old_edges, new_edges


def rows(snapshots):
    old_nodes, new_nodes, old_edges, new_edges = snapshots

    def load():
        d = tarnu_api.PyGraphDiff()
        d.add_nodes(new_nodes["id"], {k: new_nodes[k] for k in PROPERTIES})
        d.add_edges(new_edges["source"], new_edges["target"], new_edges["weight"])
        return d

    def module():
        d = tarnu_api.PyGraphDiff()
        d.add_snapshot_change(old_nodes=old_nodes, new_nodes=new_nodes, old_edges=old_edges, new_edges=new_edges)
        return d

    def python():
        d = tarnu_api.PyGraphDiff()
        python_change(d, snapshots)
        return d

    ways = {"load": load, "module": module, "python": python}
    tables = arrow_tables(snapshots)
    if tables is not None:
        def module_arrow():
            d = tarnu_api.PyGraphDiff()
            d.add_snapshot_change(**tables)
            return d

        ways["module_arrow"] = module_arrow
    duckdb_way = duckdb_change(snapshots)
    if duckdb_way is not None:
        ways["duckdb"] = duckdb_way
    polars_way = polars_edges(snapshots)
    if polars_way is not None:
        ways["polars_edges"] = polars_way
    return ways


def python_change(d, snapshots):
    """The change from the same columns in plain Python, then the bulk calls."""
    old_nodes, new_nodes, old_edges, new_edges = snapshots

    def node_dict(columns):
        values = [columns[k] if isinstance(columns[k], list) else columns[k].tolist() for k in PROPERTIES]
        return dict(zip(columns["id"].view("V16").tolist(), zip(*values)))

    def edge_dict(columns):
        return dict(zip(zip(columns["source"].view("V16").tolist(), columns["target"].view("V16").tolist()),
                        columns["weight"].tolist()))

    old_n, new_n = node_dict(old_nodes), node_dict(new_nodes)
    deleted = [n for n in old_n if n not in new_n]
    changed = [(n, u) for n, u in new_n.items() if old_n.get(n) != u]
    old_e, new_e = edge_dict(old_edges), edge_dict(new_edges)
    gone = [e for e in old_e if e not in new_e]
    added = [(e, w) for e, w in new_e.items() if old_e.get(e) != w]
    d.delete_nodes(deleted)
    d.add_nodes([n for n, _ in changed], [dict(zip(PROPERTIES, u)) for _, u in changed])
    d.delete_edges([s for s, _ in gone], [t for _, t in gone])
    d.add_edges([e[0] for e, _ in added], [e[1] for e, _ in added], [w for _, w in added])


def ids_column(v):
    return isinstance(v, numpy.ndarray) and v.dtype.kind == "S"


def arrow_ids(v):
    """A numpy 'S16' column as fixed_size_binary(16), without a copy per id."""
    import pyarrow
    return pyarrow.FixedSizeBinaryArray.from_buffers(pyarrow.binary(16), len(v), [None, pyarrow.py_buffer(v)])


def arro3_column(v):
    """A column as an arro3 array (PyPy, where pyarrow has no wheel): ids
    through binary cast to fixed_size_binary(16), texts from their list."""
    from arro3.core import Array, DataType
    if ids_column(v):
        return Array(v.tolist(), type=DataType.binary()).cast(DataType.binary(16))
    if isinstance(v, list):
        return Array(v, type=DataType.string())
    if v.dtype == numpy.bool_:
        return Array(v.tolist(), type=DataType.bool())
    return Array.from_numpy(v)


def arrow_tables(snapshots):
    """The snapshots as Arrow tables, or None where neither library installs."""
    names = ("old_nodes", "new_nodes", "old_edges", "new_edges")
    try:
        import pyarrow
    except ImportError:
        pyarrow = None
    try:
        from arro3.core import Table
    except ImportError:
        Table = None
    tables = {}
    for name, columns in zip(names, snapshots):
        if pyarrow is not None:
            tables[name] = pyarrow.table({k: arrow_ids(v) if ids_column(v) else pyarrow.array(v)
                                          for k, v in columns.items()})
        elif Table is not None:
            tables[name] = Table.from_pydict({k: arro3_column(v) for k, v in columns.items()})
        else:
            return None
    return tables


def workloads(sizes, rng):
    """Rows for bench/run.py: add_snapshot_change from numpy columns (module
    and twin) and from Arrow tables (module), at run.py's sizes."""
    from bench import workloads as shared
    del rng  # the snapshots have their own seed
    if numpy is None:
        return []
    snapshots = make_snapshots(sizes.nodes, sizes.large_edges)
    total = len(snapshots[2]["source"]) + len(snapshots[3]["source"])
    label = "add_snapshot_change, %s nodes, %s edges, 5%% churn" % (
        shared.count_text(sizes.nodes), shared.count_text(sizes.large_edges))
    kwargs = dict(zip(("old_nodes", "new_nodes", "old_edges", "new_edges"), snapshots))

    def fresh(ctx):  # an empty diff each run, the last one collected untimed
        gc.collect()
        return ctx[0]()

    def run(ctx, d):
        d.add_snapshot_change(**ctx[1])
        return total

    rows = [shared.Workload("snapshot_change", label + ", numpy columns", "ns/edge", lambda cls: (cls, kwargs), run,
                            prepare=fresh, repeats=sizes.large_repeats, impls=("module", "pure"))]
    tables = arrow_tables(snapshots)
    if tables is not None:
        rows.append(shared.Workload("snapshot_change_arrow", "  same, Arrow tables", "ns/edge",
                                    lambda cls: (cls, tables), run, prepare=fresh, repeats=sizes.large_repeats,
                                    impls=("module",)))
    return rows


def duckdb_change(snapshots):
    """DuckDB's joins (an anti join each way, a left join for the weights,
    IS DISTINCT FROM on the seven properties), then the bulk calls."""
    try:
        import duckdb
        import pyarrow  # noqa: F401
    except ImportError:
        return None
    tables = arrow_tables(snapshots)
    con = duckdb.connect()
    for name, table in tables.items():
        con.register(name, table)
    distinct = " OR ".join("n.%s IS DISTINCT FROM o.%s" % (k, k) for k in PROPERTIES)
    queries = {
        "deleted_nodes": "SELECT o.id FROM old_nodes o ANTI JOIN new_nodes n ON o.id = n.id",
        "nodes": "SELECT n.* FROM new_nodes n LEFT JOIN old_nodes o ON n.id = o.id WHERE o.id IS NULL OR " + distinct,
        "deleted_edges": "SELECT o.source, o.target FROM old_edges o ANTI JOIN new_edges n "
                         "ON o.source = n.source AND o.target = n.target",
        "edges": "SELECT n.* FROM new_edges n LEFT JOIN old_edges o ON n.source = o.source AND n.target = o.target "
                 "WHERE o.source IS NULL OR o.weight IS DISTINCT FROM n.weight",
    }

    def run():
        d = tarnu_api.PyGraphDiff()
        got = {k: con.sql(q).to_arrow_table() for k, q in queries.items()}
        d.delete_nodes(got["deleted_nodes"]["id"])
        d.add_nodes(got["nodes"]["id"], got["nodes"].drop(["id"]))
        d.delete_edges(got["deleted_edges"]["source"], got["deleted_edges"]["target"])
        d.add_edges(got["edges"]["source"], got["edges"]["target"], got["edges"]["weight"])
        return d

    return run


def polars_edges(snapshots):
    """polars' joins on the edges alone (an anti join each way and a left join
    for the weights), then the edge bulk calls."""
    try:
        import polars
    except ImportError:
        return None
    _, _, old_edges, new_edges = snapshots
    import pyarrow
    old = polars.from_arrow(pyarrow.table({k: arrow_ids(v) if ids_column(v) else v for k, v in old_edges.items()}))
    new = polars.from_arrow(pyarrow.table({k: arrow_ids(v) if ids_column(v) else v for k, v in new_edges.items()}))

    def run():
        d = tarnu_api.PyGraphDiff()
        gone = old.join(new, on=["source", "target"], how="anti")
        joined = new.join(old, on=["source", "target"], how="left", suffix="_old")
        added = joined.filter(polars.col("weight_old").is_null() | (polars.col("weight_old") != polars.col("weight")))
        d.delete_edges(gone["source"].to_arrow(), gone["target"].to_arrow())
        d.add_edges(added["source"].to_arrow(), added["target"].to_arrow(), added["weight"].to_numpy())
        return d

    return run


def timed(ways, repeats):
    times = {name: [] for name in ways}
    results = {}
    for _ in range(repeats):
        for name, way in ways.items():
            gc.collect()
            start = time.perf_counter()
            results[name] = way()
            times[name].append(time.perf_counter() - start)
            if name != "load":
                results[name] = results[name].counts()
            else:
                results[name] = None
    return {name: statistics.median(t) for name, t in times.items()}, results


def peak_growth(way, nodes, edges):
    """Peak resident growth (bytes) of one call of `way`, in a fresh process
    (this module run with --peak)."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run([sys.executable, "-m", "bench.snapshot", "--peak", way, "--nodes", str(nodes),
                          "--edges", str(edges)], capture_output=True, text=True, check=True, cwd=root)
    return int(out.stdout.split()[-1])


def measure_peak(way, nodes, edges):
    """In this process: the growth of the peak resident size over the resident
    size before one call (the peak is reset first, /proc/self/clear_refs)."""
    run = rows(make_snapshots(nodes, edges))[way]
    gc.collect()

    def status(field):
        with open("/proc/self/status") as lines:
            return int([line for line in lines if line.startswith(field)][0].split()[1]) * 1024

    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    before = status("VmRSS")
    run()
    print(status("VmHWM") - before)


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--nodes", type=int, default=100_000)
    parser.add_argument("--edges", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--no-memory", action="store_true")
    parser.add_argument("--peak", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.peak:
        measure_peak(args.peak, args.nodes, args.edges)
        return 0
    if args.quick:
        args.nodes, args.edges, args.repeats = 2_000, 20_000, 3
    snapshots = make_snapshots(args.nodes, args.edges)
    ways = rows(snapshots)
    if sys.implementation.name == "pypy":
        for _ in range(2):  # the JIT warms up on the Python ways
            for way in ways.values():
                way()
    medians, results = timed(ways, args.repeats)
    counts = results["module"]
    for name, value in results.items():
        if value is not None and name != "polars_edges":
            assert value == counts, (name, value, counts)
    total = len(snapshots[2]["source"]) + len(snapshots[3]["source"])
    print("%s: %d nodes, %d old and %d new edges; the change: %s" % (
        sys.implementation.name, args.nodes, len(snapshots[2]["source"]), len(snapshots[3]["source"]), counts))
    print("%-14s %10s %14s" % ("way", "ms", "vs module"))
    for name, seconds in medians.items():
        print("%-14s %10.1f %14.2f" % (name, seconds * 1e3, seconds / medians["module"]))
    print("targets: module/load %.2f (<= 1.5); python/module %.1f (>= 10)%s" % (
        medians["module"] / medians["load"], medians["python"] / medians["module"],
        "; duckdb/module %.1f (>= 3)" % (medians["duckdb"] / medians["module"]) if "duckdb" in medians else ""))
    if not args.no_memory:
        for name in [n for n in ("module", "module_arrow", "load") if n in ways]:
            growth = peak_growth(name, args.nodes, args.edges)
            print("peak resident growth, %s: %.1f MB, %.1f bytes per edge of both snapshots" % (
                name, growth / 1e6, growth / total))
    return 0


if __name__ == "__main__":
    sys.exit(main())
