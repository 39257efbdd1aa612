"""The benchmark suite's own logic: the workloads it builds and the verdicts it prints."""

import json
import os
import random

import pytest
import tarnu_twin
from conftest import ROOT

from bench import report, run, workloads


def test_edge_workloads_are_distinct_pairs_over_the_requested_sources():
    edges = workloads.make_edges(20_000, 2_000, random.Random(3))
    assert len(edges) == 20_000
    assert len({(a, b) for a, b, _ in edges}) == 20_000
    assert len({a for a, _, _ in edges}) == 2_000
    assert all(len(a) == len(b) == 16 and type(w) is float for a, b, w in edges)


def test_update_workloads_carry_all_seven_keys_that_the_twin_accepts():
    updates = workloads.make_updates(50, random.Random(3))
    assert all(len(u) == 7 for u in updates)
    diff = tarnu_twin.PyGraphDiff()
    workloads.loop_add_node(diff, list(zip(workloads.make_ids(50), updates)))
    assert diff.num_nodes() == 50


def row(key, **medians):
    return dict({"key": key, "label": key, "unit": "ns/call"},
                **{impl: {"median": value, "samples": [value]} for impl, value in medians.items()})


def test_verdicts_compare_the_right_way_round_and_per_interpreter():
    rows = [
        row("add_edge_small", module=100.0, floor=40.0, pure=700.0),
        row("to_bytes_edges", module=10.0, floor=6.0, pure=400.0),
        row("add_node", module=50.0, pure=500.0),
    ]
    cpython = {v["target"]: v for v in run.judge(rows, "cpython")}
    assert cpython["add_edge (small diff) <= 2x floor"] == {
        "target": "add_edge (small diff) <= 2x floor", "value": 2.5, "met": False}
    assert cpython["add_edge >= 6x faster than pure Python"]["met"] is True
    assert cpython["to_bytes (1M edges) >= 50x pure Python throughput"]["value"] == 40.0
    assert cpython["to_bytes (1M edges) <= 2x the bytes floor"]["met"] is True
    assert not any("1.5x" in target for target in cpython)
    assert not any("add_node" in target for target in cpython)  # no floor measured

    pypy = {v["target"] for v in run.judge(rows, "pypy")}
    assert "add_edge <= 1.5x floor" in pypy
    assert not any("6x faster" in target for target in pypy)


def test_table_shows_each_figure_and_both_ratios():
    result = {"rows": [row("add_edge_small", module=100.0, floor=40.0, pure=700.0)], "memory": []}
    table = run.format_table(result)
    line = table.splitlines()[2]
    assert "100.0" in line and "700.0" in line and "40.0" in line
    assert "2.50x" in line and "7.0x" in line
    missing = run.format_table({"rows": [row("add_node", pure=500.0)], "memory": []})
    assert missing.splitlines()[2].count(" - ") >= 3


def test_restore_rows_run_and_judge_their_targets():
    from bench import restore

    result = restore.run(quick=True)
    assert set(result["rows"]) >= {"from_bytes", "to_bytes", "per-call load", "copy.copy", "edge_updates()"}
    assert all(seconds > 0 for seconds in result["rows"].values())
    assert "from_bytes >= 20x faster than decode_diff.py + replay" in result["text"]


def test_publish_writes_each_interpreters_block_and_keeps_the_rest():
    result = {"interpreter": "pypy", "interpreter_version": "PyPy 7.3.11",
              "rows": [row("add_node", module=5.0)], "memory": []}
    document = ("# Title\n\nprose\n<!-- bench:pypy:start -->\nold table\n<!-- bench:pypy:end -->\n"
                "more prose\n<!-- bench:cpython:start -->\nkept\n<!-- bench:cpython:end -->\n")
    written = report.publish(document, [result])
    assert written.replace(report.report(result) + "\n", "old table\n") == document
    assert report.publish(written, [result]) == written
    with pytest.raises(ValueError, match="bench:cpython"):
        report.publish(document.replace("<!-- bench:cpython:end -->", ""), [dict(result, interpreter="cpython")])
    # The tables in performance.md are the ones the last publish wrote, not copies made by hand.
    results = []
    for name in ("cpython", "pypy"):
        with open(os.path.join(ROOT, "docs", "bench", name + ".json")) as f:
            results.append(json.load(f))
    with open(os.path.join(ROOT, "docs", "performance.md"), encoding="utf-8") as f:
        performance = f.read()
    assert report.publish(performance, results) == performance


def test_snapshot_rows_run_and_every_way_records_the_same_change():
    pytest.importorskip("numpy")
    import types

    import tarnu_api
    from bench import snapshot

    sizes = types.SimpleNamespace(nodes=300, large_edges=3_000, large_repeats=1)
    counts = set()
    for workload in snapshot.workloads(sizes, None):
        for impl in workload.impls:
            ctx = workload.setup({"module": tarnu_api.PyGraphDiff, "pure": tarnu_twin.PyGraphDiff}[impl])
            d = workload.prepare(ctx)
            assert workload.run(ctx, d) > 0
            counts.add(tuple(d.counts()))
    assert len(counts) == 1 and min(next(iter(counts))) > 0
