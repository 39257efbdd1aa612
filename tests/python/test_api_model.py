"""The module against its pure-Python twin: random sequences of calls, valid
and invalid, in every calling form, must give the same results, the same
exceptions, the same counts and the same decoded bytes after every step."""

import copy
import math
import pickle
import struct

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

import pure_graph_diff
import tarnu_api
from decode_diff import decode

PyGraphDiff = tarnu_api.PyGraphDiff
A, B = (bytes(15) + bytes([i]) for i in (1, 2))


IDS = [bytes(16), b"\xff" * 16] + [bytes(15) + bytes([i]) for i in (1, 2)]
BAD_IDS = [b"", b"x" * 15, b"x" * 17, bytearray(16), "x" * 16, None, 7]
ids = st.sampled_from(IDS)
any_ids = st.sampled_from(IDS * 5 + BAD_IDS)

weights = (
    st.floats(allow_nan=False) | st.integers(-3, 3) | st.booleans()
    | st.sampled_from([math.nan, -0.0, math.inf, -1e39, 1e-46])
)
any_weights = st.one_of(weights, weights, st.sampled_from(["x", None, 1 << 1100]))
updates = st.fixed_dictionaries({}, optional={
    "label": st.text(max_size=6) | st.just("\"\\\n\x01/\u00e9"),
    "url": st.text(max_size=6),
    "size": weights,
    "red": st.integers(0, 255) | st.booleans(),
    "green": st.integers(0, 255),
    "blue": st.integers(0, 255),
    "show_label": st.booleans(),
    "other": st.integers(),
})
# Values that fail one key or another, put into an otherwise valid update.
BAD_VALUES = [None, 5, b"b", "\ud800", 256, -1, 2 ** 63, -(2 ** 64), 3.0, "x", 1 << 1100, 1, "true"]
KEYS = ["label", "url", "size", "red", "green", "blue", "show_label"]
bad_updates = st.tuples(updates, st.sampled_from(KEYS), st.sampled_from(BAD_VALUES)).map(
    lambda t: {**t[0], t[1]: t[2]}
)
any_updates = st.one_of(updates, bad_updates, st.sampled_from([[], None, (("label", "x"),)]))
forms = st.sampled_from(["positional", "keywords", "mixed"])


def invoke(target, method, names, values, form):
    if form == "positional":
        return getattr(target, method)(*values)
    split = 0 if form == "keywords" else len(values) // 2 + 1
    keywords = dict(zip(names[split:], values[split:]))
    return getattr(target, method)(*values[:split], **keywords)


def outcome(call):
    try:
        return ("returned", call())
    except Exception as error:  # noqa: BLE001 - every exception is compared
        cause = error.__cause__
        return (type(error), str(error), type(cause), None if cause is None else str(cause))


class AgainstTwin(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.real = PyGraphDiff()
        self.model = pure_graph_diff.PyGraphDiff()

    def both(self, method, names, values, form):
        got = outcome(lambda: invoke(self.real, method, names, values, form))
        want = outcome(lambda: invoke(self.model, method, names, values, form))
        assert got == want

    # Each operation has a rule with valid arguments and one that may pass
    # invalid ones, so that the diff grows while failures are tried on it.
    @rule(node=ids, update=updates, form=forms)
    def add_node(self, node, update, form):
        self.both("add_node", ("id", "update"), (node, update), form)

    @rule(node=any_ids, update=any_updates, form=forms)
    def add_node_any(self, node, update, form):
        self.add_node(node, update, form)

    @rule(node=any_ids, form=forms)
    def delete_node(self, node, form):
        self.both("delete_node", ("id",), (node,), form)

    # (`target` names a bundle for hypothesis, hence `to`.)
    @rule(source=ids, to=ids, weight=weights, form=forms)
    def add_edge(self, source, to, weight, form):
        self.both("add_edge", ("from", "to", "weight"), (source, to, weight), form)

    @rule(source=any_ids, to=any_ids, weight=any_weights, form=forms)
    def add_edge_any(self, source, to, weight, form):
        self.add_edge(source, to, weight, form)

    @rule(source=any_ids, to=any_ids, form=forms)
    def delete_edge(self, source, to, form):
        self.both("delete_edge", ("from", "to"), (source, to), form)

    @rule(now=st.integers(0, 4))
    def clear(self, now):
        if now == 0:  # rarely: a clear undoes all the steps before it
            self.both("clear", (), (), "positional")

    # At random steps one side (or both) goes on as a diff restored from its
    # bytes, or as a copy: the steps after it must not tell the difference.
    @rule(how=st.sampled_from(["from_bytes", "copy", "deepcopy", "pickle", "twin"]))
    def restore(self, how):
        data = self.real.to_bytes()
        if how == "from_bytes":
            self.real = PyGraphDiff.from_bytes(data)
        elif how == "copy":
            self.real = copy.copy(self.real)
        elif how == "deepcopy":
            self.real = copy.deepcopy(self.real)
        elif how == "pickle":
            self.real = pickle.loads(pickle.dumps(self.real))
        else:
            self.model = pure_graph_diff.PyGraphDiff.from_bytes(self.model.to_bytes())
        assert self.real.to_bytes() == data

    @invariant()
    def same_contents_read_back(self):
        encoded = self.real.to_bytes()
        assert PyGraphDiff.from_bytes(encoded).to_bytes() == encoded
        decoded = decode(encoded)
        assert [node for node, _ in self.real.node_updates()] == list(decoded.nodes)
        assert set(self.real.deleted_nodes()) == decoded.deleted_nodes
        edges = [(source, target) for source, targets in decoded.edges.items() for target in targets]
        assert [(source, target) for source, target, _ in self.real.edge_updates()] == edges
        assert readable(self.real) == readable(self.model)

    @invariant()
    def same_diff(self):
        assert self.real.num_nodes() == self.model.num_nodes()
        assert self.real.num_edges() == self.model.num_edges()
        encoded = self.real.to_bytes()
        assert len(encoded) == len(self.model.to_bytes())
        assert decode(encoded) == decode(self.model.to_bytes())
        assert self.real.to_bytes() == encoded  # encoding changes nothing


def bits(value):
    return struct.pack("<f", value) if isinstance(value, float) else value


def size_text(value):
    # A size that is not finite is written as null and restored as NaN.
    return bits(value) if math.isfinite(value) else "null"


def readable(d):
    """What the four readers give, without the order and with floats as
    their 32-bit patterns, so that NaN compares equal to NaN."""
    return (
        sorted(
            (node, sorted((k, size_text(v) if k == "size" else bits(v)) for k, v in update.items()))
            for node, update in d.node_updates()
        ),
        sorted(d.deleted_nodes()),
        sorted((s, t, bits(w)) for s, t, w in d.edge_updates()),
        sorted(d.deleted_edges()),
    )


AgainstTwin.TestCase.settings = settings(
    max_examples=40,
    stateful_step_count=25,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
TestAgainstTwin = AgainstTwin.TestCase


def test_worked_example_bytes():
    d = PyGraphDiff()
    d.add_node(A, {"label": "A", "size": 1.5})
    d.add_edge(A, B, 0.5)
    json = b'{"label":"A","size":1.5}'
    expected = b"".join([
        (1).to_bytes(8, "little"), (16).to_bytes(8, "little"), A, len(json).to_bytes(8, "little"), json,
        bytes(8),
        (1).to_bytes(8, "little"), (16).to_bytes(8, "little"), A, (1).to_bytes(8, "little"),
        (16).to_bytes(8, "little"), B, bytes.fromhex("0000003f"),
        bytes(8),
    ])
    assert len(expected) == 148
    assert d.to_bytes() == expected
    assert (d.num_nodes(), d.num_edges()) == (1, 1)


@pytest.mark.parametrize("source, target", [(A, B), (B, A), (B, B)], ids=["to", "from", "both"])
def test_refused_edges_return_none_and_leave_no_trace(source, target):
    d = PyGraphDiff()
    d.add_edge(A, A, 3.0)
    d.delete_node(B)
    before = (d.num_nodes(), d.num_edges(), d.to_bytes())
    assert d.add_edge(source, target, 1.0) is None
    assert (d.num_nodes(), d.num_edges(), d.to_bytes()) == before
    d.add_node(B, {})  # revived: the same call now goes through
    assert d.add_edge(source, target, 1.0) is None
    assert decode(d.to_bytes()).edges[source][target] == 0x3F800000


def test_twin_drops_an_emptied_source_on_delete_edge():
    # After the delete_node, the source A is left with no targets; a
    # delete_edge from A then removes A's empty entry (one source fewer).
    for cls in (PyGraphDiff, pure_graph_diff.PyGraphDiff):
        d = cls()
        d.add_edge(A, B, 1.0)
        d.delete_node(B)
        assert d.num_edges() == 2
        d.delete_edge(A, B)
        assert d.num_edges() == 1, cls
        assert decode(d.to_bytes()).edges == {}
