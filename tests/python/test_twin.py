"""The float and JSON texts of a node update and the byte form, tested
against the module and the pure-Python twin alike (tests that take `impl`),
and the twin's own digit search and class shape. The twin is the model for
the extension, so its own faults matter. How both take and convert their
arguments is in test_api_parsing.py and test_api_conversions.py, re-entry in
test_api_reentry.py."""

import math
import os
import random
import re
import struct

import pytest

import tarnu_twin
import tarnu_twin.properties
from conftest import ROOT, A, B, C, D
from decode_diff import decode


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def bits(value):
    return struct.unpack("<I", struct.pack("<f", value))[0]


def node_text(impl, update):
    """The JSON text that `update` becomes in the bytes."""
    d = impl()
    d.add_node(A, update)
    return decode(d.to_bytes()).nodes[A]


class TestFloatText:
    @pytest.mark.parametrize(
        "value, text",
        [
            (1, "1.0"), (1.5, "1.5"), (-2.5, "-2.5"), (0.1, "0.1"), (1 / 3, "0.33333334"),
            (123456.789, "123456.79"), (16777216, "16777216.0"),
            (9999999e6, "9999999000000.0"), (1e12, "1000000000000.0"), (1e13, "1e13"),
            (1e-5, "0.00001"), (1e-6, "0.000001"), (1e-7, "1e-7"), (1.5e-7, "1.5e-7"),
            (3.4028234663852886e38, "3.4028235e38"), (1.401298464324817e-45, "1e-45"),
            (-0.0, "-0.0"), (0.0, "0.0"), (100, "100.0"), (0.001, "0.001"),
            (2.0 ** -126, "1.1754944e-38"), (math.nan, "null"), (-math.inf, "null"),
        ],
    )
    def test_layout(self, impl, value, text):
        # The size is rounded to 32 bits on the way in.
        assert node_text(impl, {"size": value}) == '{"size":%s}' % text


class TestTwinDigitSearch:
    """The twin's digit search against independent oracles; the module's is
    checked by tests/cpp/test_float_text.cpp and the fuzz_json oracle."""

    def test_shortest_digits_agree_with_repr_on_binary64(self):
        # The digit search is generic over the format; repr() is an
        # independent shortest-round-trip oracle for binary64.
        rng = random.Random(7)
        patterns = [rng.getrandbits(63) for _ in range(3000)]
        patterns += [1, 2, (1 << 52) + 1, 0x7FEFFFFFFFFFFFFF]
        patterns += [e << 52 for e in range(1, 2047)]  # powers of two: lopsided intervals
        for magnitude in patterns:
            value = struct.unpack("<d", struct.pack("<Q", magnitude))[0]
            if not math.isfinite(value) or value == 0:
                continue
            digits, k = tarnu_twin.json_text._shortest_digits(magnitude, 52, 1023)
            mantissa, exponent = repr(value).split("e") if "e" in repr(value) else (repr(value), "0")
            expected = mantissa.replace(".", "").lstrip("0").rstrip("0")
            assert digits == expected, (value, digits, k)
            assert float("%se%d" % (digits, k)) == value

    def test_binary32_round_trips_and_agrees_with_numpy(self):
        np = pytest.importorskip("numpy")
        rng = random.Random(11)
        patterns = [rng.getrandbits(31) for _ in range(3000)]
        patterns += [1, 0x7F7FFFFF, 0x00800001]
        patterns += [e << 23 for e in range(1, 255)]  # powers of two: lopsided intervals
        for magnitude in patterns:
            value = struct.unpack("<f", struct.pack("<I", magnitude))[0]
            if not math.isfinite(value) or value == 0:
                continue
            text = tarnu_twin.float32_json(value)
            assert f32(float(text)) == value, text
            ours, _ = tarnu_twin.json_text._shortest_digits(magnitude)
            theirs = np.format_float_scientific(np.float32(value), unique=True, trim="-")
            assert ours == theirs.split("e")[0].replace(".", "").rstrip("0"), value


class TestNodeUpdateText:
    def test_the_twins_property_table_is_the_modules(self):
        """The twin's one table of properties against the C++ one it copies."""
        with open(os.path.join(ROOT, "src", "node_update", "node_properties.hpp"), encoding="utf-8") as header:
            table = re.search(r"#define TARNU_NODE_PROPERTIES\(X\)(.*?)\n\n", header.read(), re.S).group(1)
        rows = re.findall(r'X\((\w+), "(\w+)", "(\w+)", (\w+), (\d+)\)', table)
        assert len(rows) == table.count("X(") and all(member == key for member, key, *_ in rows)
        assert [(key, json_key, kind, int(position)) for _, key, json_key, kind, position in rows] == list(
            tarnu_twin.properties.NODE_PROPERTIES)

    def test_key_order_and_presence(self, impl):
        assert node_text(impl, {}) == "{}"
        assert node_text(impl, {"show_label": True, "green": 0, "red": 255, "size": 2.0, "label": "A"}) == (
            '{"label":"A","size":2.0,"red":255,"green":0,"showLabel":true}'
        )
        everything = {"label": "", "size": math.inf, "url": "u", "red": 1, "green": 2, "blue": 3, "show_label": False}
        assert node_text(impl, everything) == (
            '{"label":"","size":null,"url":"u","red":1,"green":2,"blue":3,"showLabel":false}'
        )

    @pytest.mark.parametrize(
        "label, written",
        [
            ('A"\n', b'"A\\"\\n"'),
            ("\x01", b'"\\u0001"'),
            ("\x1f\x08\x09\x0c\x0d\\", b'"\\u001f\\b\\t\\f\\r\\\\"'),
            ("é/\x7f", '"é/\x7f"'.encode()),
        ],
    )
    def test_text_escapes(self, impl, label, written):
        assert node_text(impl, {"label": label}) == '{"label":%s}' % written.decode()


class TestByteForm:
    def test_worked_example(self, impl):
        d = impl()
        d.add_node(A, {"label": "A", "size": 1.5})
        d.add_edge(A, B, 0.5)
        data = d.to_bytes()
        assert len(data) == 148
        assert data[:8] == struct.pack("<Q", 1) and data[32:40] == struct.pack("<Q", 24)
        assert data[40:64] == b'{"label":"A","size":1.5}'
        assert data[136:140] == bytes.fromhex("0000003f")
        assert d.to_bytes() == data

    def test_empty_and_cleared_diff_are_32_zero_bytes(self, impl):
        d = impl()
        assert d.to_bytes() == bytes(32)
        d.add_node(A, {})
        d.add_edge(A, B, 1.0)
        d.delete_edge(C, D)
        d.delete_node(D)
        d.clear()
        assert (d.to_bytes(), d.num_nodes(), d.num_edges()) == (bytes(32), 0, 0)

    def test_deleting_a_target_leaves_an_empty_group(self, impl):
        d = impl()
        d.add_edge(A, B, 1.0)
        d.delete_node(B)
        data = d.to_bytes()
        group = struct.pack("<Q", 16) + A + struct.pack("<Q", 0)
        assert group in data
        assert len(data) == 32 + 24 + 32 + (32 + 24)
        diff = decode(data)
        assert diff.edges == {A: {}} and diff.deleted_edges == {A: {B}}

    def test_special_weights_are_written_bit_for_bit(self, impl):
        d = impl()
        for target, weight in zip((A, B, C, D), (-0.0, math.nan, math.inf, 1e39)):
            d.add_edge(A, target, weight)
        d.add_edge(B, A, -1e39)
        d.add_edge(B, B, 0.1)
        edges = decode(d.to_bytes()).edges
        assert edges[A] == {A: 0x80000000, B: 0x7FC00000, C: 0x7F800000, D: 0x7F800000}
        assert edges[B] == {A: 0xFF800000, B: bits(0.1)}


def snapshot(d):
    return decode(d.to_bytes()), d.num_nodes(), d.num_edges()


class TestCombinationRules:
    def test_later_update_replaces_earlier_and_revives(self, impl):
        d = impl()
        d.add_node(A, {"label": "x", "size": 2})
        d.add_node(A, {"url": "u"})
        d.delete_node(B)
        d.add_node(B, {})
        diff, nodes, _ = snapshot(d)
        assert diff.nodes == {A: '{"url":"u"}', B: "{}"} and not diff.deleted_nodes
        assert nodes == 2

    def test_delete_node_cascades_onto_pending_edges(self, impl):
        d = impl()
        d.add_edge(A, A, 1.0)
        d.add_edge(A, B, 1.0)
        d.add_edge(C, B, 1.0)
        d.add_edge(D, B, 1.0)
        d.add_edge(D, C, 1.0)
        d.delete_edge(B, C)
        d.delete_node(A)
        d.delete_node(B)
        diff, nodes, edges = snapshot(d)
        assert diff.edges == {C: {}, D: {C: bits(1.0)}}
        assert diff.deleted_edges == {C: {B}, D: {B}, B: {C}}
        assert diff.deleted_nodes == {A, B}
        assert (nodes, edges) == (2, 5)

    def test_edges_to_deleted_nodes_are_refused_until_revived(self, impl):
        d = impl()
        d.delete_node(B)
        before = snapshot(d)
        assert d.add_edge(A, B, 1.0) is None
        d.add_edge(B, A, 1.0)
        assert snapshot(d) == before
        d.add_node(B, {})
        d.add_edge(A, B, 1.0)
        assert decode(d.to_bytes()).edges == {A: {B: bits(1.0)}}

    def test_addition_and_deletion_of_an_edge_cancel(self, impl):
        d = impl()
        d.delete_edge(A, B)
        d.delete_edge(A, C)
        d.add_edge(A, B, 1.0)
        d.add_edge(A, B, 2.0)
        diff, _, edges = snapshot(d)
        assert diff.edges == {A: {B: bits(2.0)}} and diff.deleted_edges == {A: {C}}
        assert edges == 2
        d.delete_edge(A, B)
        diff, _, edges = snapshot(d)
        assert diff.edges == {} and diff.deleted_edges == {A: {B, C}} and edges == 1


@pytest.mark.only("twin", reason="the module's class shape is tested in test_module.py::TestClass, and differs on PyPy")
class TestTwinClass:
    def test_not_subclassable_and_no_instance_dict(self, impl):
        with pytest.raises(TypeError):
            type("Sub", (impl,), {})
        with pytest.raises(AttributeError):
            impl().anything = 1

    @pytest.mark.parametrize("args, kwargs, message", [
        ((1,), {"x": 1}, "PyGraphDiff.__new__() takes 0 positional arguments but 1 was given"),
        ((), {"x": 1}, "PyGraphDiff.__new__() got an unexpected keyword argument 'x'"),
    ])
    def test_constructor_takes_no_arguments(self, impl, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            impl(*args, **kwargs)
        assert str(info.value) == message
