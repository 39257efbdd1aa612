"""Arrow in and out, timed in one run (best of several, wall time, after a
warm-up): 1M edges over 100k ids loaded from plain buffers, from
fixed_size_binary(16) Arrow columns, from UUID text columns (all the same
edges in the same order; the buffers also in another), and from UUID
text converted in Python first (the fastest way: every text joined, then one
unhexlify; and the common one: uuid.UUID(text).bytes per id), with what the
conversion alone costs per id; to_arrow() against to_bytes() and
edge_updates(), with its peak resident memory; add_nodes of 200k nodes from
an Arrow table, from a dict of columns and per call.

    python bench/arrow.py [EDGES]
    python bench/arrow.py --peak FILE   (used by the to_arrow row: the peak
        resident memory of to_arrow() of the diff encoded in FILE, measured
        in a fresh process, whose allocator holds no freed memory to reuse)

The producer is pyarrow where it installs (CPython), arro3-core otherwise
(PyPy). Prints one JSON object per row.
"""

import array
import binascii
import gc
import json
import random
import sys
import time
import uuid

import tarnu_api

try:
    import pyarrow as pa
except ImportError:
    pa = None
try:
    import arro3.core as ac
except ImportError:
    ac = None

PyGraphDiff = tarnu_api.PyGraphDiff


def best(function, runs=5):
    times = []
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def text_column(texts):
    return pa.array(texts, pa.string()) if pa is not None else ac.Array(texts, ac.DataType.string())


def batch_columns(batch, *names):
    if pa is not None:
        rb = pa.record_batch(batch)
        return [rb.column(n) for n in names]
    rb = ac.RecordBatch.from_arrow(batch)
    return [rb.column(n) for n in names]


def peak_resident_after(function):
    """Peak resident bytes above the start, while `function` runs."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM
    start = resident("VmRSS")
    result = function()
    return resident("VmHWM") - start, result


def resident(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def row(name, **figures):
    print(json.dumps({"interpreter": sys.implementation.name, "row": name, **figures}), flush=True)


def main():
    n_edges = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    rng = random.Random(25)
    ids = [uuid.UUID(int=rng.getrandbits(128)) for _ in range(100_000)]
    picks = [(rng.randrange(100_000), rng.randrange(100_000)) for _ in range(n_edges)]
    weights = array.array("f", (rng.random() for _ in range(n_edges)))
    sources_bytes = b"".join(ids[s].bytes for s, _ in picks)
    targets_bytes = b"".join(ids[t].bytes for _, t in picks)
    # Fixed-width id columns from a diff's own export, in its order, and
    # every other form of the same edges in that same order: the export
    # groups edges by source, which alone makes a load about 10% faster
    # than the random order they were made in (buffers_random_order_s).
    loaded = PyGraphDiff()
    loaded.add_edges(bytearray(sources_bytes), bytearray(targets_bytes), weights)
    fixed_sources, fixed_targets, fixed_weights = batch_columns(loaded.to_arrow()["edge_updates"], "source", "target",
                                                                "weight")
    exported = loaded.edge_updates()
    plain_sources = bytearray(b"".join(s for s, _, _ in exported))
    plain_targets = bytearray(b"".join(t for _, t, _ in exported))
    plain_weights = array.array("f", (w for _, _, w in exported))
    sources_text = [str(uuid.UUID(bytes=s)) for s, _, _ in exported]
    targets_text = [str(uuid.UUID(bytes=t)) for _, t, _ in exported]
    del exported
    text_sources, text_targets = text_column(sources_text), text_column(targets_text)
    text_weights = (pa.array(plain_weights, pa.float32()) if pa is not None
                    else ac.Array(list(plain_weights), ac.DataType.float32()))

    def load(*columns):
        def run():
            PyGraphDiff().add_edges(*columns)
        return run

    def joined_unhexlify(texts):
        # The fastest Python path measured: every text joined, then unhexlified once.
        return binascii.unhexlify("".join(texts).replace("-", ""))

    def uuid_bytes(texts):
        return b"".join([uuid.UUID(text).bytes for text in texts])

    def converted_then_loaded(convert):
        def run():
            PyGraphDiff().add_edges(convert(sources_text), convert(targets_text), plain_weights)
        return run

    def conversion_alone(convert):
        def run():
            convert(sources_text)
            convert(targets_text)
        return run

    buffers = best(load(plain_sources, plain_targets, plain_weights))
    random_order = best(load(bytearray(sources_bytes), bytearray(targets_bytes), weights))
    fixed = best(load(fixed_sources, fixed_targets, fixed_weights))
    text = best(load(text_sources, text_targets, text_weights))
    converted = best(converted_then_loaded(joined_unhexlify))
    per_uuid = best(converted_then_loaded(uuid_bytes), runs=2)
    ids_converted = 2 * n_edges
    joined_alone = best(conversion_alone(joined_unhexlify))
    uuid_alone = best(conversion_alone(uuid_bytes), runs=2)
    row("load edges", edges=n_edges, buffers_s=buffers, buffers_random_order_s=random_order,
        fixed_size_binary_s=fixed, utf8_s=text,
        python_conversion_s=converted, uuid_per_id_s=per_uuid, fixed_over_buffers=fixed / buffers,
        utf8_over_fixed=text / fixed, python_conversion_over_utf8=converted / text,
        uuid_per_id_over_utf8=per_uuid / text,
        python_conversion_ns_per_id=joined_alone / ids_converted * 1e9,
        uuid_per_id_ns_per_id=uuid_alone / ids_converted * 1e9,
        utf8_load_ns_per_id=text / ids_converted * 1e9)

    to_bytes = best(loaded.to_bytes)
    to_arrow = best(loaded.to_arrow)
    edge_updates = best(loaded.edge_updates, runs=2)
    exported_bytes = n_edges * (16 + 16 + 4)
    import subprocess
    import tempfile
    with tempfile.NamedTemporaryFile(suffix=".diff") as encoded:
        encoded.write(loaded.to_bytes())
        encoded.flush()
        peak = int(subprocess.check_output([sys.executable, __file__, "--peak", encoded.name]))
    row("to_arrow", edges=n_edges, to_bytes_s=to_bytes, to_arrow_s=to_arrow, edge_updates_s=edge_updates,
        to_arrow_over_to_bytes=to_arrow / to_bytes, edge_updates_over_to_arrow=edge_updates / to_arrow,
        peak_resident_over_columns=peak / exported_bytes)

    n_nodes = 200_000
    node_ids = [uuid.UUID(int=rng.getrandbits(128)).bytes for _ in range(n_nodes)]
    columns = {
        "label": ["node %d" % i for i in range(n_nodes)], "url": ["https://example.org/%d" % i for i in range(n_nodes)],
        "size": [i / 8 for i in range(n_nodes)], "red": [i % 256 for i in range(n_nodes)],
        "green": [(i * 7) % 256 for i in range(n_nodes)], "blue": [(i * 13) % 256 for i in range(n_nodes)],
        "show_label": [i % 2 == 0 for i in range(n_nodes)],
    }
    if pa is not None:
        table = pa.table({"id": pa.array(node_ids, pa.binary(16)), **columns})
        id_column = table["id"]
    else:
        table = ac.Table.from_pydict({k: ac.Array(v, t) for (k, v), t in zip(columns.items(), [
            ac.DataType.string(), ac.DataType.string(), ac.DataType.float64(), ac.DataType.uint8(),
            ac.DataType.uint8(), ac.DataType.uint8(), ac.DataType.bool()])})
        id_column = ac.Array(node_ids, ac.DataType.binary())
    dict_columns = dict(columns, size=array.array("d", columns["size"]), red=bytes(columns["red"]),
                        green=bytes(columns["green"]), blue=bytes(columns["blue"]))
    updates = [{k: columns[k][i] for k in columns} for i in range(n_nodes)]

    def per_call():
        d = PyGraphDiff()
        add = d.add_node
        for node, update in zip(node_ids, updates):
            add(node, update)

    from_table = best(lambda: PyGraphDiff().add_nodes(id_column, table))
    from_dict = best(lambda: PyGraphDiff().add_nodes(node_ids, dict_columns))
    calls = best(per_call, runs=2)
    row("add_nodes", nodes=n_nodes, arrow_table_s=from_table, dict_of_columns_s=from_dict, per_call_s=calls,
        table_over_dict=from_table / from_dict, per_call_over_table=calls / from_table)


def peak_child(path):
    with open(path, "rb") as f:
        d = PyGraphDiff.from_bytes(f.read())
    gc.collect()
    peak, batches = peak_resident_after(d.to_arrow)
    print(peak)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--peak"]:
        sys.exit(peak_child(sys.argv[2]))
    if pa is None and ac is None:
        sys.exit("bench/arrow.py needs pyarrow or arro3-core")
    main()
