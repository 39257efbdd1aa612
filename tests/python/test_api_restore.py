"""Restoring a diff from its bytes, reading what it holds, copying, pickling
and measuring it, on the module and on its pure-Python twin alike."""

import copy
import multiprocessing
import pickle
import struct
import sys

import pytest

import tarnu_api
import tarnu_twin
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


def q(*fields):
    u64 = struct.Struct("<Q").pack
    out = b""
    for field in fields:
        out += u64(16) + field if isinstance(field, bytes) and len(field) == 16 else (
            u64(field) if isinstance(field, int) else field)
    return out


def text(t):
    return q(len(t)) + t


# One row per family of refusal: (bytes, offset, the reason's start).
INVALID = [
    (b"", 0, "truncated"),
    (bytes(33), 32, "1 bytes left over"),
    (q(1 << 60, 0, 0, 0), 0, "truncated: count 1152921504606846976"),
    (q(0, 1) + q(17) + bytes(16) + q(0, 0), 16, "deleted node id length 17"),
    (q(1, A, 99, 0, 0, 0), 32, "text length 99 runs past the end"),
    (q(1, A) + text(b'{"label":"\xc3"}') + q(0, 0, 0), 50, "node text: invalid UTF-8"),
    (q(1, A) + text(b'{"colour":1}') + q(0, 0, 0), 41, "node text: unknown key"),
    (q(1, A) + text(b'{"red":1,"red":2}') + q(0, 0, 0), 49, "node text: repeated key"),
    (q(1, A) + text(b'{"url":"","label":""}') + q(0, 0, 0), 50, "node text: key out of order"),
    (q(1, A) + text(b'{"red": 1}') + q(0, 0, 0), 47, "node text: whitespace"),
    (q(1, A) + text(b'{"green":300}') + q(0, 0, 0), 49, "node text: colour outside 0-255"),
    (q(1, A) + text(b'{"size":0.10}') + q(0, 0, 0), 48, "node text: size is not the shortest"),
    (q(1, A) + text(b"{}") + q(1, A, 0, 0), 50, "deleted node: node both updated and deleted"),
    (q(0, 1, B, 1, A, 1, B) + bytes(4) + q(0), 80, "edge target: pending edge with a deleted endpoint"),
    (q(0, 0, 1, A, 1, B) + bytes(4) + q(1, A, 1, B), 124, "deleted-edge target: edge both pending and deleted"),
    (q(0, 0, 0, 1, A, 0), 56, "empty group of deleted edges"),
    (q(0, 2, A, A, 0, 0), 40, "deleted node: listed twice"),
]


@pytest.mark.parametrize("data, offset, reason", INVALID, ids=[r[2].split(":")[0] for r in INVALID])
def test_from_bytes_refuses_what_is_not_an_encoding(data, offset, reason):
    with pytest.raises(ValueError, match="^invalid encoded diff at byte %d: %s" % (offset, reason)):
        PyGraphDiff.from_bytes(data)
    with pytest.raises(ValueError):  # the twin refuses it too, in its own words
        tarnu_twin.PyGraphDiff.from_bytes(data)


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
