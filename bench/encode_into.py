"""Node-update memory and encoding figures for the compact node store and for
encode_into(), side by side with the pure-Python twin and the C floor.

    python -m bench.encode_into [--quick]

Also run by `bench/run.py --encode-into`. Prints one block of figures; every
memory figure comes from a fresh child process of the same interpreter.
Times are wall time of single calls (medians), page faults are minor faults
of this process per call (resource.getrusage). Nothing here is a test.
"""

import argparse
import gc
import json
import mmap
import os
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time

import tarnu_twin

from bench.workloads import IS_PYPY, ROOT


def implementations():
    impls = {"pure": tarnu_twin.PyGraphDiff}
    try:
        import tarnu_api
        impls["module"] = tarnu_api.PyGraphDiff
    except ImportError:
        pass
    try:
        import tarnu_floor
        impls["floor"] = tarnu_floor.PyGraphDiffFloor
    except ImportError:
        pass
    return impls


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_resident():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def ids(n):
    return [os.urandom(16) for _ in range(n)]


def updates(kind, n, rng):
    if kind == "full":  # the shape: label of about 10 bytes, url of 33
        return [{"label": "node %05d" % i, "size": rng.random() * 10.0,
                 "url": "https://example.com/nodes/%07d" % i, "red": rng.randrange(256),
                 "green": rng.randrange(256), "blue": rng.randrange(256), "show_label": i % 2 == 0}
                for i in range(n)]
    if kind == "numbers":
        return [{"size": rng.random() * 10.0, "red": rng.randrange(256), "green": rng.randrange(256),
                 "blue": rng.randrange(256)} for i in range(n)]
    if kind == "label200":
        return [{"label": ("label %07d " % i) * 13 + "x" * 4, "size": 1.0, "red": 1, "green": 2, "blue": 3}
                for i in range(n)]
    raise ValueError(kind)


# ---------------------------------------------------------------------------
# Children: one figure each, in a process of its own.


def child_memory(kind, impl, count, precross):
    impls = implementations()
    data = list(zip(ids(count), updates(kind, count, random.Random(7))))
    if precross:  # the C-API layer's twins of the dicts made before the first reading
        floor = impls["floor"]()
        for i, u in data:
            floor.add_node(i, u)
    d = impls[impl]()
    for _ in range(3):
        gc.collect()
    before = resident()
    for i, u in data:
        d.add_node(i, u)
    for _ in range(3):
        gc.collect()
    return {"bytes_per_update": (resident() - before) / count}


def demo_diff(cls, nodes, edges, rng):
    d = cls()
    node_ids = ids(nodes)
    for i, u in zip(node_ids, updates("full", nodes, rng)):
        d.add_node(i, u)
    sources = node_ids[: max(1, edges // 10)]
    targets = ids(len(sources))
    for s_index, s in enumerate(sources):
        for k in range(10):
            d.add_edge(s, targets[(s_index + k * 7919) % len(targets)], 0.5)
    return d


def child_mmap(how, edges):
    import tarnu_api
    d = demo_diff(tarnu_api.PyGraphDiff, edges // 10, edges, random.Random(3))
    size = d.encoded_size()
    gc.collect()
    base = resident()
    reset_peak()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "diff.bin")
        if how == "mmap":
            with open(path, "w+b") as f:
                f.truncate(size)
                with mmap.mmap(f.fileno(), size) as m:
                    d.encode_into(m)
                    m.flush()
        else:
            with open(path, "wb") as f:
                f.write(d.to_bytes())
        peak = peak_resident()
    return {"peak_growth": peak - base, "payload": size}


def child_churn(impl, nodes, replacements):
    impls = implementations()
    rng = random.Random(5)
    node_ids = ids(nodes)
    labels = ["L" * rng.randrange(0, 2000) for _ in range(97)]
    d = impls[impl]()
    for i, n in enumerate(node_ids):
        d.add_node(n, {"label": labels[i % 97], "size": 1.0})
    live = sum(len(labels[i % 97]) for i in range(nodes))
    gc.collect()
    before = resident()
    add = d.add_node
    started = time.perf_counter()
    for r in range(replacements):
        add(node_ids[r % nodes], {"label": labels[r % 97], "size": 1.0})
    seconds = time.perf_counter() - started
    gc.collect()
    live = sum(len(labels[r % 97]) for r in range(replacements - nodes, replacements))
    return {"growth": resident() - before, "live_text": live, "seconds": seconds}


def run_child(*args):
    command = [sys.executable, "-m", "bench.encode_into", "--child", json.dumps(args)]
    out = subprocess.run(command, check=True, stdout=subprocess.PIPE, universal_newlines=True, cwd=ROOT).stdout
    return json.loads(out.strip().splitlines()[-1])


# ---------------------------------------------------------------------------
# In-process timings.


def timed_calls(call, count, prepare=None):
    times, fault_counts = [], []
    for _ in range(count):
        if prepare:
            prepare()
        f0 = faults()
        t0 = time.perf_counter()
        call()
        times.append(time.perf_counter() - t0)
        fault_counts.append(faults() - f0)
    return times, fault_counts


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        name, *rest = json.loads(args.child)
        print(json.dumps({"memory": child_memory, "mmap": child_mmap, "churn": child_churn}[name](*rest)))
        return 0

    impls = implementations()
    quick = args.quick
    nodes = 10_000 if quick else 200_000
    out = []

    def show(line):
        out.append(line)
        print(line, flush=True)

    show("%s %s" % (sys.implementation.name, sys.version.split()[0]))
    # Memory per update.
    for kind in ("full", "numbers", "label200"):
        row = {impl: run_child("memory", kind, impl, nodes, False)["bytes_per_update"]
               for impl in ("module", "pure") if impl in impls}
        if IS_PYPY and "floor" in impls:
            row["module_precrossed"] = run_child("memory", kind, "module", nodes, True)["bytes_per_update"]
        show("resident B/update, %s, %d updates: %s" % (kind, nodes, json.dumps({k: round(v, 1) for k, v in row.items()})))

    # to_bytes of the node updates, against the bytes floor and the twin.
    rng = random.Random(1)
    data = list(zip(ids(nodes), updates("full", nodes, rng)))
    diffs = {}
    for impl in ("module", "pure"):
        d = impls[impl]()
        for i, u in data:
            d.add_node(i, u)
        diffs[impl] = d
    size = len(diffs["module"].to_bytes())
    floor = impls["floor"]()
    floor.set_output_size(size)
    gc.collect()
    figures = {}
    for name, call in (("module", diffs["module"].to_bytes), ("floor", floor.to_bytes),
                       ("pure", diffs["pure"].to_bytes)):
        times, fault_counts = timed_calls(call, 3 if name == "pure" else 11, prepare=gc.collect)
        figures[name] = (statistics.median(times), statistics.median(fault_counts))
    show("to_bytes of %d updates (%.1f MB): module %.2f ms (%.0f MB/s, %d faults), floor %.2f ms (%d faults), "
         "pure %.2f ms; module/floor %.2fx, pure/module %.2fx, faults module/floor %.2fx"
         % (nodes, size / 1e6, figures["module"][0] * 1e3, size / figures["module"][0] / 1e6, figures["module"][1],
            figures["floor"][0] * 1e3, figures["floor"][1], figures["pure"][0] * 1e3,
            figures["module"][0] / figures["floor"][0], figures["pure"][0] / figures["module"][0],
            figures["module"][1] / max(1, figures["floor"][1])))
    del diffs, data

    # The demo's diff, with a large heap of the caller's objects alive.
    edges = 50_000 if quick else 1_000_000
    d = demo_diff(impls["module"], edges // 10, edges, random.Random(2))
    heap = [{"n": i, "s": str(i)} for i in range(300_000 if quick else 3_000_000)]
    size = d.encoded_size()
    reused = bytearray()
    d.encode_into(reused)
    gc.collect()
    results = {}
    for name, call in (("to_bytes", d.to_bytes), ("encode_into", lambda: d.encode_into(reused))):
        call()
        times, fault_counts = timed_calls(call, 10)
        results[name] = times, fault_counts
        show("%-11s demo diff (%d edges, %.1f MB, heap of %d dicts): median %.2f ms, slowest %.2f ms, "
             "median faults %d" % (name, edges, size / 1e6, len(heap), statistics.median(times) * 1e3,
                                   max(times) * 1e3, statistics.median(fault_counts)))
    to_bytes_median = statistics.median(results["to_bytes"][0])
    into = results["encode_into"]
    show("encode_into/to_bytes median %.2fx, slowest/median %.2fx, faults %.1f%% of to_bytes"
         % (statistics.median(into[0]) / to_bytes_median, max(into[0]) / statistics.median(into[0]),
            100.0 * statistics.median(into[1]) / max(1, statistics.median(results["to_bytes"][1]))))
    del heap
    # encoded_size: per call, on this diff and on an empty one.
    for label, target in (("demo diff", d), ("empty diff", impls["module"]())):
        call = target.encoded_size
        best = []
        for _ in range(5):
            t0 = time.perf_counter()
            for _ in range(100_000):
                call()
            best.append((time.perf_counter() - t0) / 100_000)
        show("encoded_size, %s: %.0f ns per call" % (label, min(best) * 1e9))
    del d
    # Peak resident memory: encode into an mmap of a file, against to_bytes + write.
    for how in ("mmap", "to_bytes"):
        r = run_child("mmap", how, edges)
        show("%-8s peak resident growth %.1f MB for a %.1f MB payload (%.2fx)"
             % (how, r["peak_growth"] / 1e6, r["payload"] / 1e6, r["peak_growth"] / r["payload"]))
    # Replacing the updates of the same 1,000 nodes over and over.
    replacements = 200_000 if quick else 10_000_000
    for impl in ("module",):
        r = run_child("churn", impl, 1000, replacements)
        show("churn %s: %d replacements of 1,000 nodes' labels (0-2000 bytes): resident growth %.2f MB, "
             "live texts %.2f MB (%.2fx), %.1f s"
             % (impl, replacements, r["growth"] / 1e6, r["live_text"] / 1e6, r["growth"] / max(1, r["live_text"]),
                r["seconds"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
