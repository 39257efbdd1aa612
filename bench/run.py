"""Side-by-side benchmarks of tarnu_api, its pure-Python twin and a C floor.

    python -m bench.run [--quick] [--json FILE] [--only NAME,...]
    python bench/run.py ...      (the same)

Runs in one process under whichever interpreter starts it and prints one
table: for every operation the median time of the extension module, of the
pure-Python twin (the tarnu_twin package) and of the floor extension
(bench/floor, the same methods doing nothing), with the ratios module/floor
and pure/module. Memory per pending edge and per node update is measured in a
fresh child process each. Times are processor time of this process (wall
time is kept in the JSON too): on a shared machine, time spent waiting for a
core is left out. Nothing here is a test: no figure fails anything.

--quick runs reduced sizes in well under 30 seconds, so that a test command can
run it once to keep the suite from rotting. bench/run.sh runs the full suite
under CPython and PyPy and draws the plot.
"""

import argparse
import gc
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import time

if __name__ == "__main__" and not __package__:
    # Started as a file (python bench/run.py): run again as the bench
    # package's module, with the top of the checkout importable.
    _top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    _path = os.pathsep.join(p for p in (_top, os.environ.get("PYTHONPATH")) if p)
    sys.exit(subprocess.call([sys.executable, "-m", "bench.run"] + sys.argv[1:],
                             env=dict(os.environ, PYTHONPATH=_path)))

import tarnu_twin

from bench import bulk, encode_into, merge, restore, snapshot
from bench.workloads import (
    IMPLS, IS_PYPY, ROOT, Sizes, Workload, count_text, fill_edges, load_implementations, loop_add_edge,
    loop_add_edge_fresh, loop_add_edge_noop, loop_add_node, loop_delete_edge, loop_delete_node, loop_empty,
    loop_num_edges, loop_num_nodes, make_edges, make_ids, make_updates, resident_bytes,
)


def build_workloads(sizes, rng):
    small = make_edges(sizes.small_edges, sizes.small_sources, rng)
    large = make_edges(sizes.large_edges, sizes.large_sources, rng)
    node_ids = make_ids(sizes.nodes)
    updates = make_updates(sizes.nodes, rng)
    nodes = list(zip(node_ids, updates))
    encode_nodes = list(zip(make_ids(sizes.encode_nodes), make_updates(sizes.encode_nodes, rng)))
    delete_pairs = large[: sizes.delete_edges]

    def per_call(loop, data):
        def run(ctx, diffs):
            for d in diffs:
                loop(d, data)
            return len(diffs) * len(data)

        return run

    workloads = []

    def small_setup(cls):
        return cls

    workloads.append(
        Workload(
            "add_edge_small",
            "add_edge, %d edges into a new diff" % sizes.small_edges,
            "ns/call",
            small_setup,
            per_call(loop_add_edge, small),
            prepare=lambda cls: [cls() for _ in range(sizes.small_diffs)],
        )
    )
    workloads.append(
        Workload(
            "add_edge_large",
            "add_edge, %s edges over %s sources" % (count_text(sizes.large_edges), count_text(sizes.large_sources)),
            "ns/call",
            small_setup,
            per_call(loop_add_edge, large),
            prepare=lambda cls: [cls()],
            repeats=sizes.large_repeats,
        )
    )
    workloads.append(
        Workload(
            "add_edge_call_only",
            "call with add_edge's arguments, no work",
            "ns/call",
            small_setup,
            per_call(loop_add_edge_noop, small),
            prepare=lambda cls: [cls() for _ in range(sizes.small_diffs)],
            impls=("floor",),
        )
    )
    workloads.append(
        Workload(
            "loop_only",
            "the benchmark's for-loop alone",
            "ns/iter",
            small_setup,
            per_call(loop_empty, small),
            prepare=lambda cls: [None] * sizes.small_diffs,
            impls=("pure",),
        )
    )
    workloads.append(
        Workload(
            "add_node",
            "add_node, all seven keys, %s nodes" % count_text(sizes.nodes),
            "ns/call",
            small_setup,
            per_call(loop_add_node, nodes),
            prepare=lambda cls: [cls()],
        )
    )
    workloads.append(
        Workload(
            "delete_edge",
            "delete_edge, %s edges into a new diff" % count_text(sizes.delete_edges),
            "ns/call",
            small_setup,
            per_call(loop_delete_edge, delete_pairs),
            prepare=lambda cls: [cls()],
        )
    )
    for sources in sizes.delete_node_sources:
        workloads.append(delete_node_workload(sizes, sources, rng))

    count_edges = small

    def count_setup(cls):
        d = cls()
        fill_edges(d, count_edges)
        return d

    for name, loop in (("num_nodes", loop_num_nodes), ("num_edges", loop_num_edges)):
        workloads.append(
            Workload(
                name,
                "%s()" % name,
                "ns/call",
                count_setup,
                (lambda loop: lambda d, _: (loop(d, sizes.count_calls), sizes.count_calls)[1])(loop),
            )
        )

    workloads.append(to_bytes_workload("to_bytes_edges", "to_bytes, %s edges over %s sources"
                                       % (count_text(sizes.encode_edges), count_text(sizes.large_sources)),
                                       "ns/edge", lambda d: fill_edges(d, large), len(large), sizes))
    workloads.append(to_bytes_workload("to_bytes_nodes", "to_bytes, %s nodes, all properties"
                                       % count_text(sizes.encode_nodes),
                                       "ns/node", lambda d: (loop_add_node(d, encode_nodes), d)[1],
                                       len(encode_nodes), sizes))
    workloads += bulk.workloads(sizes, rng)
    workloads += merge.workloads(sizes, rng)
    workloads += snapshot.workloads(sizes, rng)
    return workloads


def delete_node_workload(sizes, sources, rng):
    """delete_node of nodes that are targets of pending edges, at a given source count.

    Every source has one pending edge to its own target, so each deletion
    turns exactly one pending edge into a deletion and the diff keeps its
    shape while the timed calls run.
    """
    source_ids = make_ids(sources)
    target_ids = make_ids(sources)
    edges = [(s, t, 1.0) for s, t in zip(source_ids, target_ids)]

    def calls_for(cls):
        if cls is tarnu_twin.PyGraphDiff:
            return max(10, min(sizes.delete_node_calls, sizes.pure_delete_node_budget // sources))
        return sizes.delete_node_calls

    def setup(cls):
        return cls

    def prepare(cls):
        d = cls()
        fill_edges(d, edges)
        return d, target_ids[: calls_for(cls)]

    def run(cls, state):
        d, victims = state
        loop_delete_node(d, victims)
        return len(victims)

    return Workload(
        "delete_node_%d" % sources,
        "delete_node, %s sources with pending edges" % count_text(sources),
        "ns/call",
        setup,
        run,
        prepare=prepare,
        repeats=sizes.large_repeats if sources > 10_000 else None,
    )


def to_bytes_workload(key, label, unit, fill, items, sizes):
    def setup(cls):
        d = fill(cls())
        return d

    def run(d, _):
        out = d.to_bytes()
        return items, len(out)

    # Each run leaves a result of tens of megabytes behind. Collected before
    # the next run, untimed, so that no run pays for collecting the one
    # before it at a moment that depends on the collector's thresholds.
    return Workload(key, label, unit, setup, run, prepare=lambda d: gc.collect(), repeats=sizes.large_repeats)


# ---------------------------------------------------------------------------
# Measurement.


def measure(workload, cls, sizes, floor_output_size=None):
    ctx = workload.setup(cls)
    if floor_output_size is not None:
        ctx.set_output_size(floor_output_size)
    repeats = workload.repeats or sizes.repeats
    per_op = []
    wall_per_op = []
    throughput = []
    # One full collection, before the runs: collecting before each run costs
    # seconds per call on PyPy once the process holds millions of objects.
    gc.collect()
    for index in range(sizes.warmup + repeats):
        state = workload.prepare(ctx)
        start_cpu = time.process_time_ns()
        start = time.perf_counter_ns()
        done = workload.run(ctx, state)
        elapsed = time.perf_counter_ns() - start
        elapsed_cpu = time.process_time_ns() - start_cpu
        ops, produced = done if isinstance(done, tuple) else (done, None)
        if index >= sizes.warmup:
            per_op.append(elapsed_cpu / ops)
            wall_per_op.append(elapsed / ops)
            if produced is not None:
                throughput.append(produced / (elapsed_cpu / 1e9) / 1e6)
        del state
    result = {
        "median": statistics.median(per_op),
        "samples": per_op,
        "wall_median": statistics.median(wall_per_op),
        "wall_samples": wall_per_op,
    }
    if throughput:
        result["mb_per_s"] = statistics.median(throughput)
        result["output_bytes"] = produced
    del ctx
    return result


def run_benchmarks(impls, sizes, only, log):
    rng = random.Random(2024)
    log("preparing data (ids from os.urandom, made before any timing)")
    started = time.time()
    workloads = build_workloads(sizes, rng)
    log("  data ready (%.1f s)" % (time.time() - started))
    rows = []
    for workload in workloads:
        if only and workload.key not in only:
            continue
        row = {"key": workload.key, "label": workload.label, "unit": workload.unit}
        output_size = None
        for impl in workload.impls:
            started = time.time()
            if impl not in impls:
                continue
            cls = impls[impl]
            if impl == "floor" and workload.key.startswith("to_bytes"):
                if output_size is None:
                    continue
                figures = measure(workload, cls, sizes, floor_output_size=output_size)
            else:
                figures = measure(workload, cls, sizes)
            output_size = figures.get("output_bytes", output_size)
            row[impl] = figures
            log("  %-24s %-7s %12.1f %-8s (%.1f s)"
                % (workload.key, impl, figures["median"], workload.unit, time.time() - started))
        rows.append(row)
    return rows


# ---------------------------------------------------------------------------
# Memory, each figure in a fresh child process of the same interpreter.


def memory_child(kind, impl, count, precross):
    """Print resident bytes per entry for one fill; runs in its own process.

    With precross, every argument first goes once through the floor
    extension, so that an interpreter which mirrors Python objects for the
    C API (PyPy) has made its mirrors before the first reading and only the
    diff's own storage is counted.
    """
    impls, _ = load_implementations()
    cls = impls[impl]
    rng = random.Random(7)
    if kind in ("edges", "edges_fresh"):
        data = make_edges(count, max(1, count // 10), rng)
        fill = loop_add_edge if kind == "edges" else loop_add_edge_fresh
    else:
        data = list(zip(make_ids(count), make_updates(count, rng)))
        fill = loop_add_node
    if precross:
        fill(impls["floor"](), data)
    d = cls()
    for _ in range(3):
        gc.collect()
    before = resident_bytes()
    fill(d, data)
    for _ in range(3):
        gc.collect()
    after = resident_bytes()
    print(json.dumps({"bytes_per_entry": (after - before) / count, "entries": count}))


def run_memory(impls, sizes, log):
    rows = []
    plans = [
        ("edges", sizes.memory_edges, False,
         "resident bytes per pending edge (%s edges, 10 per source)" % count_text(sizes.memory_edges)),
        ("nodes", sizes.memory_nodes, False,
         "resident bytes per node update (%s nodes, all properties)" % count_text(sizes.memory_nodes)),
    ]
    plans.append(("edges_fresh", sizes.memory_edges, False,
                  "  same, ids and weights made for each call and dropped"))
    if "floor" in impls:
        plans += [
            ("edges", sizes.memory_edges, True, "  same, ids already seen by the C API"),
            ("nodes", sizes.memory_nodes, True, "  same, arguments already seen by the C API"),
        ]
    for kind, count, precross, label in plans:
        row = {"key": "memory_%s%s" % (kind, "_precrossed" if precross else ""), "label": label, "unit": "B/entry"}
        for impl in ("module", "pure"):
            if impl not in impls or (precross and impl != "module"):
                continue
            command = [sys.executable, "-m", "bench.run", "--memory-child", kind, impl, str(count)]
            if precross:
                command.append("--precross")
            out = subprocess.run(command, check=True, stdout=subprocess.PIPE, universal_newlines=True,
                                 cwd=ROOT).stdout
            figure = json.loads(out.strip().splitlines()[-1])["bytes_per_entry"]
            row[impl] = {"median": figure, "samples": [figure]}
            log("  %-24s %-7s %12.1f B/entry" % (row["key"], impl, figure))
        rows.append(row)
    order = ["memory_edges", "memory_edges_fresh", "memory_edges_precrossed",
             "memory_nodes", "memory_nodes_precrossed"]
    rows.sort(key=lambda row: order.index(row["key"]))
    if "module" in impls:
        rows += bulk.memory_rows(sizes, log)
    return rows


# ---------------------------------------------------------------------------
# Targets that the figures are judged against.

TARGETS = [
    # (key, description, interpreter or None for both, check(row) -> (value, met))
    ("add_edge_small", "add_edge (small diff) <= 2x floor", "cpython",
     lambda r: _ratio(r, "module", "floor", 2.0)),
    ("add_edge_large", "add_edge (1M edges) <= 2.5x floor", "cpython",
     lambda r: _ratio(r, "module", "floor", 2.5)),
    ("add_edge_small", "add_edge >= 6x faster than pure Python", "cpython",
     lambda r: _ratio(r, "pure", "module", 6.0, at_least=True)),
    ("add_edge_small", "add_edge <= 1.5x floor", "pypy",
     lambda r: _ratio(r, "module", "floor", 1.5)),
    ("add_node", "add_node <= 2x the seven-key floor", None,
     lambda r: _ratio(r, "module", "floor", 2.0)),
    ("to_bytes_edges", "to_bytes (1M edges) >= 50x pure Python throughput", None,
     lambda r: _ratio(r, "pure", "module", 50.0, at_least=True)),
    ("to_bytes_edges", "to_bytes (1M edges) <= 2x the bytes floor", None,
     lambda r: _ratio(r, "module", "floor", 2.0)),
]


def _ratio(row, top, bottom, limit, at_least=False):
    if top not in row or bottom not in row:
        return None
    value = row[top]["median"] / row[bottom]["median"]
    return value, (value >= limit if at_least else value <= limit)


def judge(rows, interpreter):
    by_key = {row["key"]: row for row in rows}
    verdicts = []
    for key, description, only_on, check in TARGETS:
        if only_on not in (None, interpreter) or key not in by_key:
            continue
        outcome = check(by_key[key])
        if outcome is None:
            continue
        value, met = outcome
        verdicts.append({"target": description, "value": round(value, 2), "met": met})
    return verdicts + bulk.judge(by_key, interpreter) + merge.judge(by_key, interpreter)


# ---------------------------------------------------------------------------
# Output.


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"cpu": model, "nproc": os.cpu_count(), "kernel": platform.release()}


def interpreter_name():
    if IS_PYPY:
        v = sys.pypy_version_info
        return "PyPy %d.%d.%d (Python %s)" % (v.major, v.minor, v.micro, platform.python_version())
    return "CPython %s" % platform.python_version()


def format_figure(value):
    if value is None:
        return "-"
    if value >= 1000:
        return "{:,.0f}".format(value)
    if value >= 10:
        return "%.1f" % value
    return "%.2f" % value


def format_table(result):
    header = ["operation", "unit", "module", "pure Python", "floor", "module/floor", "pure/module"]
    lines = []
    for row in result["rows"] + result["memory"]:
        fig = {impl: row[impl]["median"] for impl in IMPLS if impl in row}
        cells = [row["label"], row["unit"]] + [format_figure(fig.get(i)) for i in IMPLS]
        cells.append("%.2fx" % (fig["module"] / fig["floor"]) if "module" in fig and "floor" in fig else "-")
        cells.append("%.1fx" % (fig["pure"] / fig["module"]) if "module" in fig and "pure" in fig else "-")
        lines.append(cells)
        mb = {impl: row[impl].get("mb_per_s") for impl in IMPLS if impl in row and "mb_per_s" in row[impl]}
        if mb:
            cells = ["  same, throughput", "MB/s"] + [format_figure(mb.get(i)) for i in IMPLS]
            cells.append("%.2fx" % (mb["floor"] / mb["module"]) if "module" in mb and "floor" in mb else "-")
            cells.append("%.1fx" % (mb["module"] / mb["pure"]) if "module" in mb and "pure" in mb else "-")
            lines.append(cells)
    widths = [max(len(str(c[i])) for c in lines + [header]) for i in range(len(header))]
    out = []

    def emit(cells):
        first = [str(cells[0]).ljust(widths[0]), str(cells[1]).ljust(widths[1])]
        rest = [str(c).rjust(w) for c, w in zip(cells[2:], widths[2:])]
        out.append("| " + " | ".join(first + rest) + " |")

    emit(header)
    out.append("|" + "|".join("-" * (w + 2) if i < 2 else "-" * (w + 1) + ":" for i, w in enumerate(widths)) + "|")
    for cells in lines:
        emit(cells)
    return "\n".join(out)


def format_verdicts(verdicts):
    return "\n".join(
        "- %s: %.2f%s, %s" % (v["target"], v["value"], v.get("unit", "x"), "met" if v["met"] else "NOT met")
        for v in verdicts
    )


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="reduced sizes, well under 30 s")
    parser.add_argument("--json", metavar="FILE", help="write every figure to FILE")
    parser.add_argument("--only", metavar="NAMES", help="comma-separated row keys to run")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory rows")
    parser.add_argument("--memory-child", nargs=3, metavar=("KIND", "IMPL", "COUNT"), help=argparse.SUPPRESS)
    parser.add_argument("--precross", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--encode-into", action="store_true",
                        help="run bench/encode_into.py (node store and encode_into figures) instead")
    args = parser.parse_args(argv)
    if args.encode_into:
        return encode_into.main(["--quick"] if args.quick else [])

    if args.memory_child:
        kind, impl, count = args.memory_child
        memory_child(kind, impl, int(count), args.precross)
        return 0

    def log(message):
        print(message, file=sys.stderr, flush=True)

    impls, missing = load_implementations()
    for message in missing.values():
        print("NOTE: " + message, flush=True)
    sizes = Sizes(args.quick)
    only = set(args.only.split(",")) if args.only else None
    started = time.time()
    log("%s%s" % (interpreter_name(), ", quick" if args.quick else ""))
    rows = run_benchmarks(impls, sizes, only, log)
    memory = [] if args.no_memory or (only and not any(k.startswith("memory") for k in only)) else run_memory(impls, sizes, log)
    interpreter = "pypy" if IS_PYPY else "cpython"
    result = {
        "interpreter": interpreter,
        "interpreter_version": interpreter_name(),
        "quick": args.quick,
        "machine": machine(),
        "missing": missing,
        "rows": rows,
        "memory": memory,
        "seconds": round(time.time() - started, 1),
        "repeats": {"warmup": sizes.warmup, "runs": sizes.repeats, "runs_largest": sizes.large_repeats},
    }
    if not only or "restore" in only:  # from_bytes, copies and readers (bench/restore.py)
        restored = restore.run(args.quick, log)
        result["restore"] = {"rows": restored["rows"], "edge_updates_ns_per_edge": restored["edge_updates_ns_per_edge"]}
    result["targets"] = judge(rows, interpreter)
    print()
    print("%s on %s (%s cores)%s, processor time, median of %d runs (%d for the largest) after %d warm-up"
          % (result["interpreter_version"], result["machine"]["cpu"], result["machine"]["nproc"],
             ", QUICK sizes" if args.quick else "", sizes.repeats, sizes.large_repeats, sizes.warmup))
    print()
    print(format_table(result))
    if result["targets"]:
        print()
        print(format_verdicts(result["targets"]))
    if "restore" in result:
        print()
        print(restored["text"])
    print()
    print("took %.1f s" % result["seconds"])
    if args.json:
        os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
        with open(args.json, "w") as f:
            json.dump(result, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
