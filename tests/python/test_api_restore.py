"""Restoring a diff from its bytes, reading what it holds, copying, pickling
and measuring it, on the module and on its pure-Python twin alike."""

import copy
import multiprocessing
import pickle
import struct
import sys

import pytest

import tarnu_api
from conftest import A, B, C, D, IS_PYPY
from decode_diff import decode

PyGraphDiff = tarnu_api.PyGraphDiff


def filled(cls=PyGraphDiff, hub=40):
    d = cls()
    d.add_node(A, {"label": "é\n\"", "size": float("inf"), "url": "", "red": 0, "show_label": False})
    d.add_node(B, {})
    for i in range(hub):  # more targets than a small table holds
        d.add_edge(C, bytes(14) + struct.pack(">H", 100 + i), i / 3)
    d.add_edge(A, D, -0.0)
    d.add_edge(B, D, 1.5)
    d.delete_node(D)  # A and B are left as sources without targets
    d.delete_edge(D, A)
    return d


def test_from_bytes_restores_exactly_and_takes_any_buffer(impl):
    d = filled(impl)
    data = d.to_bytes()
    for form in (data, bytearray(data), memoryview(data), memoryview(b"xx" + data)[2:]):
        r = impl.from_bytes(form)
        assert type(r) is impl
        assert r.to_bytes() == data
        assert (r.num_nodes(), r.num_edges()) == (d.num_nodes(), d.num_edges())
    with pytest.raises(TypeError):
        impl.from_bytes("not bytes")
    # A null size comes back as NaN; a source without targets as one.
    r = impl.from_bytes(data)
    assert dict(r.node_updates())[A]["size"] != dict(r.node_updates())[A]["size"]
    assert len(decode(data).edges[A]) == 0


def test_readers_list_the_contents_in_encoding_order_and_feed_a_fresh_diff(impl):
    d = filled(impl)
    decoded = decode(d.to_bytes())
    nodes = d.node_updates()
    assert [node for node, _ in nodes] == list(decoded.nodes)
    assert nodes[0][1] == {"label": "é\n\"", "size": nodes[0][1]["size"], "url": "", "red": 0, "show_label": False}
    assert nodes[1] == (B, {})
    assert d.deleted_nodes() == [D] == list(decoded.deleted_nodes)
    edges = d.edge_updates()
    assert [(s, t) for s, t, _ in edges] == [(s, t) for s, ts in decoded.edges.items() for t in ts]
    assert edges[1][2] == struct.unpack("<f", struct.pack("<f", 1 / 3))[0]
    assert d.deleted_edges() == [(s, t) for s, ts in decoded.deleted_edges.items() for t in ts]
    assert d.node_updates() is not d.node_updates()  # new lists each time

    fresh = impl()
    for source, target in d.deleted_edges():
        fresh.delete_edge(source, target)
    for node, update in d.node_updates():
        fresh.add_node(node, update)
    for node in d.deleted_nodes():
        fresh.delete_node(node)
    for source, target, weight in d.edge_updates():
        fresh.add_edge(source, target, weight)
    # Everything but the sources left without targets, which hold no edge.
    expected = decoded._replace(edges={s: t for s, t in decoded.edges.items() if t})
    assert decode(fresh.to_bytes()) == expected


def copies(d):
    yield "copy", copy.copy(d)
    yield "deepcopy", copy.deepcopy(d)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        yield "pickle %d" % protocol, pickle.loads(pickle.dumps(d, protocol))


def test_copies_and_pickles_are_equal_and_independent(impl):
    d = filled(impl)
    data = d.to_bytes()
    for how, c in copies(d):
        assert type(c) is impl, how
        assert c.to_bytes() == data, how  # never the empty diff
        c.add_edge(A, B, 1.0)
        c.clear()
        assert d.to_bytes() == data, how
    # A copy goes on exactly like the original.
    c = copy.copy(d)
    for diff in (c, d):
        diff.delete_node(C)
        diff.add_edge(A, C, 2.0)
        diff.add_node(C, {"blue": 1})
        diff.add_edge(A, C, 2.0)
    assert c.to_bytes() == d.to_bytes()


def test_pickle_names_a_private_function_of_the_module():
    function, arguments = PyGraphDiff().__reduce__()
    assert (function.__module__, function.__name__) == ("tarnu_api", "_graph_diff_from_bytes")
    assert function is tarnu_api._graph_diff_from_bytes
    assert "_graph_diff_from_bytes" not in tarnu_api.__all__
    assert arguments == (bytes(32),)
    assert b"builtins" not in pickle.dumps(PyGraphDiff(), 0)


def _edges_of(d):
    return d.num_edges(), len(d.edge_updates())


@pytest.mark.skipif(sys.platform != "linux", reason="fork start method")
def test_diffs_travel_through_multiprocessing():
    d = filled()
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        assert pool.map(_edges_of, [d, PyGraphDiff()]) == [_edges_of(d), (0, 0)]
        back = pool.apply(copy.copy, (d,))
    assert back.to_bytes() == d.to_bytes()


def test_sizeof_grows_with_the_diff():
    sizes = []
    d = PyGraphDiff()
    for n in (0, 100, 10_000):
        for i in range(n):
            d.add_edge(struct.pack("<QQ", i, 1), struct.pack("<QQ", i % 7, 2), 1.0)
        sizes.append(d.__sizeof__())
    assert sizes[0] < sizes[1] < sizes[2]
    assert sizes[2] > 10_000 * 16  # at least the ids
    assert sizes[0] >= getattr(type(d), "__basicsize__", 16)  # PyPy's C-API types lack it
    if IS_PYPY:
        with pytest.raises(TypeError):  # PyPy has no getsizeof at all (docs/platform.md)
            sys.getsizeof(d)
    else:
        assert sys.getsizeof(d) >= sizes[2]
