"""The read-ahead of the core's walks and batch pipelines is in the module's
machine code: the prefetch instructions each one compiles to are counted.

GCC 12 deletes, without a word, calls to a function whose only effect is a
prefetch (src/basics/prefetch.hpp), and the source still shows them; only the
binary tells. The installed module is stripped, so its functions are told
apart by their unwind entries (one per function in .eh_frame) and matched to
the expected counts by size order: the i-th largest count found must reach
the i-th largest count expected. A pipeline that loses a stage fails here.
"""

import re
import shutil
import subprocess

import pytest

import tarnu_api

# What each function of the release build (-O3, link-time optimisation,
# GCC 12) holds after inlining: the batches' pipelines (src/diff/graph_diff_batches.hpp,
# run_batch) count their slot, cell and table stages, each stage once in the
# loop that fills the pipeline and once in the loop that runs it, and the
# cell and table stages once more in the loop that drains it, with the loop
# over an item's ids unrolled (TARNU_EACH_ID), so that the two ids of an edge
# batch have their slot, cell and table prefetches apart; delete_node,
# inlined wherever it is called, brings its own read-ahead along (into both
# of delete_nodes' loops, and into merge). The read-ahead helpers
# (IdPool::prefetch_slot, IdPool::candidate, NodeTable::prefetch_slot,
# NodeTable::candidate, InnerTable::prefetch) are
# always inlined, so each count stays with the function that reads ahead.
EXPECTED_PREFETCHES = {
    "delete_nodes: slots, cell, record, both tables, and delete_node's in its loops": 29,
    "add_edges: slots, cells, source and target tables": 22,
    "delete_edges: slots, cells, source table": 16,
    "to_bytes, encode_into: the encoder's walk over both edge sections": 7,
    "add_nodes: the node table's slot and record": 5,
    "__copy__: the clone's walk over the ids' tables": 4,
    "edge_updates: the walk over the pending edges": 4,
    "from_bytes: the decoder's prefetch_targets": 3,
    "deleted_edges: the walk over the deleted edges": 3,
    "delete_node: the tables of its sources": 2,
    "merge: delete_node's, inlined": 2,
}


def run(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def prefetches_per_function(path):
    """The count of prefetch instructions in each function that has any."""
    ranges = sorted((int(begin, 16), int(end, 16)) for begin, end in
                    re.findall(r"\bFDE\b.*\bpc=([0-9a-f]+)\.\.([0-9a-f]+)", run("objdump", "--dwarf=frames", path)))
    addresses = [int(a, 16) for a in re.findall(r"^\s*([0-9a-f]+):\s+prefetch", run("objdump", "-d", "--no-show-raw-insn", path), re.M)]
    counts = {}
    for address in addresses:
        owner = next((r for r in ranges if r[0] <= address < r[1]), None)
        counts[owner] = counts.get(owner, 0) + 1
    return counts


def release_build_or_skip(path):
    if shutil.which("objdump") is None:
        pytest.skip("objdump (binutils) is not installed")
    with open(path, "rb") as f:
        image = f.read()
    versions = set(re.findall(rb"GCC: \([^)]*\) (\d+)\.", image))
    if versions != {b"12"}:
        pytest.skip(f"the counts are those of GCC 12; this module was built by GCC {sorted(versions)}")
    if "no symbols" not in run("objdump", "-t", path):
        pytest.skip("not the stripped release build (a coverage, sanitizer or debug build keeps its symbols)")


def test_every_pipeline_keeps_its_prefetches():
    path = tarnu_api.__file__
    release_build_or_skip(path)
    found = sorted(prefetches_per_function(path).values(), reverse=True)
    expected = sorted(EXPECTED_PREFETCHES.items(), key=lambda item: -item[1])
    short = [(name, count, found[i] if i < len(found) else 0)
             for i, (name, count) in enumerate(expected) if i >= len(found) or found[i] < count]
    assert not short, (
        f"prefetch instructions per function, largest first: {found}; expected at least "
        f"{[count for _, count in expected]}. First short: {short[0][0]} wants {short[0][1]}, "
        f"and the function ranked there has {short[0][2]}")
