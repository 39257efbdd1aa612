"""merge, counts, repr and the hints on failed ids, beyond what the model
test drives at random and docs/errors.md checks: the worked examples of the
guide, the out-of-memory prefix. Tests that take `impl` run against the module and the
pure-Python twin."""

import sys
import uuid

import pytest

from conftest import A, B, C, D, needs_hooks, run_hook
from decode_diff import decode


def producer(impl, *calls):
    d = impl()
    for name, *args in calls:
        getattr(d, name)(*args)
    return d


def test_merging_in_send_order_equals_sending_one_after_another(impl):
    # The guide's example: two producers' diffs, merged in the order they
    # would have been sent.
    first = producer(impl, ("add_node", A, {"label": "a"}), ("add_edge", A, B, 1.0), ("delete_edge", B, C))
    second = producer(impl, ("add_edge", A, B, 2.0), ("add_edge", B, C, 0.5), ("delete_node", D))
    merged = impl()
    merged.merge(first)
    merged.merge(second)
    got = decode(merged.to_bytes())
    assert got.nodes == {A: '{"label":"a"}'}
    assert got.deleted_nodes == {D}
    assert got.edges == {A: {B: 0x40000000}, B: {C: 0x3F000000}}  # the later weight; B->C re-added
    assert got.deleted_edges == {}
    assert merged.counts() == (1, 1, 2, 0)


def test_a_node_deleted_then_updated_loses_its_deletion(impl):
    # Where merging differs from sending: the receiver of both diffs deletes
    # A (and its edges) before it applies the update; the merged diff only
    # updates A, as add_node after delete_node does on one diff.
    merged = producer(impl, ("add_edge", B, A, 1.0))
    merged.merge(producer(impl, ("delete_node", A)))
    assert decode(merged.to_bytes()).deleted_edges == {B: {A}}
    merged.merge(producer(impl, ("add_node", A, {"label": "new"})))
    got = decode(merged.to_bytes())
    assert got.deleted_nodes == set() and got.nodes == {A: '{"label":"new"}'}
    assert got.deleted_edges == {B: {A}}  # kept, as a later add_node keeps it


@needs_hooks
@pytest.mark.parametrize("done", [0, 1, 3, 5])
def test_merge_out_of_memory_leaves_exactly_a_prefix(done):
    import tarnu_api
    PyGraphDiff = tarnu_api.PyGraphDiff
    # Six items: one deleted node, one update, one deleted edge, three edges.
    other = producer(PyGraphDiff, ("add_edge", A, B, 1.0), ("add_edge", A, C, 2.0), ("add_edge", C, A, 3.0),
                     ("delete_edge", B, A), ("add_node", B, {"label": "b"}), ("delete_node", D))
    calls = [("delete_node", n) for n in other.deleted_nodes()]
    calls += [("add_node", n, u) for n, u in other.node_updates()]
    calls += [("delete_edge", s, t) for s, t in other.deleted_edges()]
    calls += [("add_edge", s, t, w) for s, t, w in other.edge_updates()]
    assert len(calls) == 6
    expected = producer(PyGraphDiff, ("add_edge", D, A, 1.0), *calls[:done])
    for _ in range(done + 1):  # each hook call moves the failure one item later
        run_hook("bulk_bad_alloc")
    d = producer(PyGraphDiff, ("add_edge", D, A, 1.0))
    with pytest.raises(MemoryError) as raised:
        d.merge(other)
    assert str(raised.value) == (
        "PyGraphDiff.merge() ran out of memory after %d of 6 items; the diff holds the effect of the first %d"
        % (done, done))
    assert decode(d.to_bytes()) == decode(expected.to_bytes())
    d.merge(other)  # the diff works on
    assert d.counts() == producer(PyGraphDiff, ("add_edge", D, A, 1.0), *calls).counts()


def test_counts_and_repr(impl):
    d = impl()
    assert d.counts() == (0, 0, 0, 0)
    assert repr(d) == "<PyGraphDiff: 0 node updates, 0 deleted nodes, 0 edges, 0 deleted edges>"
    d.add_node(A, {"label": "a"})
    for target in (B, C, D):
        d.add_edge(A, target, 1.0)
        d.add_edge(B, target, 1.0)
    d.delete_node(D)  # two edges become deletions, from A and from B
    counts = d.counts()
    assert (counts.node_updates, counts.deleted_nodes, counts.edge_updates, counts.deleted_edges) == (1, 1, 4, 2)
    assert d.num_edges() == 4  # source groups, not pairs
    assert type(counts).__name__ == "DiffCounts" and isinstance(counts, tuple)
    assert repr(d) == "<PyGraphDiff: 1 node update, 1 deleted node, 4 edges, 2 deleted edges>"
    assert repr(impl.from_bytes(d.to_bytes())) == repr(d)


@pytest.mark.skipif(sys.version_info < (3, 11), reason="exception notes came with Python 3.11")
@pytest.mark.parametrize("value, where, note", [
    (uuid.UUID(bytes=A), "error", "node ids are 16-byte bytes: pass uuid.UUID(...).bytes"),
    (str(uuid.UUID(bytes=A)), "error", "node ids are 16-byte bytes: pass uuid.UUID(...).bytes"),
    (A * 2, "cause", "got 32 bytes"),
    (b"", "cause", "got 0 bytes"),
])
def test_failed_ids_carry_a_hint(impl, value, where, note):
    for call in (lambda d: d.add_node(value, {}), lambda d: d.add_edge(A, value, 1.0), lambda d: d.delete_node(value)):
        with pytest.raises(TypeError) as raised:
            call(impl())
        assert str(raised.value).endswith("failed to extract field PyUuid.0")  # text and type as they were
        carrier = raised.value if where == "error" else raised.value.__cause__
        assert carrier.__notes__ == [note]
        if where == "cause":
            assert type(carrier) is Exception and str(carrier) == "Expected 16 bytes."
    # A bulk id item says its reason in its text instead (and takes text and uuid.UUID).
    d = impl()
    if where == "error":
        d.delete_nodes([value])
        assert d.deleted_nodes() == [A]
    else:
        with pytest.raises(TypeError, match="^argument 'ids': item 0: expected 16 bytes, got %d$" % len(value)):
            d.delete_nodes([value])
