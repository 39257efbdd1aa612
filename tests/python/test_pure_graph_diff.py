"""The pure-Python twin: it is the model for the extension, so its own faults matter."""

import math
import random
import struct

import pytest

import pure_graph_diff
from decode_diff import decode
from pure_graph_diff import PyGraphDiff, float32_json, node_update_json

A, B, C, D = (bytes(15) + bytes([i]) for i in (1, 2, 3, 4))


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def bits(value):
    return struct.unpack("<I", struct.pack("<f", value))[0]


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
    def test_layout(self, value, text):
        assert float32_json(f32(value)) == text

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
            digits, k = pure_graph_diff._shortest_digits(magnitude, 52, 1023)
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
            text = float32_json(value)
            assert f32(float(text)) == value, text
            ours, _ = pure_graph_diff._shortest_digits(magnitude)
            theirs = np.format_float_scientific(np.float32(value), unique=True, trim="-")
            assert ours == theirs.split("e")[0].replace(".", "").rstrip("0"), value


class TestNodeUpdateText:
    def test_key_order_and_presence(self):
        assert node_update_json((None,) * 7) == b"{}"
        assert node_update_json(("A", 2.0, None, 255, 0, None, True)) == (
            b'{"label":"A","size":2.0,"red":255,"green":0,"showLabel":true}'
        )
        everything = ("", math.inf, "u", 1, 2, 3, False)
        assert node_update_json(everything) == (
            b'{"label":"","size":null,"url":"u","red":1,"green":2,"blue":3,"showLabel":false}'
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
    def test_text_escapes(self, label, written):
        assert node_update_json((label,) + (None,) * 6) == b'{"label":' + written + b"}"


class TestByteForm:
    def test_worked_example(self):
        d = PyGraphDiff()
        d.add_node(A, {"label": "A", "size": 1.5})
        d.add_edge(A, B, 0.5)
        data = d.to_bytes()
        assert len(data) == 148
        assert data[:8] == struct.pack("<Q", 1) and data[32:40] == struct.pack("<Q", 24)
        assert data[40:64] == b'{"label":"A","size":1.5}'
        assert data[136:140] == bytes.fromhex("0000003f")
        assert d.to_bytes() == data

    def test_empty_and_cleared_diff_are_32_zero_bytes(self):
        d = PyGraphDiff()
        assert d.to_bytes() == bytes(32)
        d.add_node(A, {})
        d.add_edge(A, B, 1.0)
        d.delete_edge(C, D)
        d.delete_node(D)
        d.clear()
        assert (d.to_bytes(), d.num_nodes(), d.num_edges()) == (bytes(32), 0, 0)

    def test_deleting_a_target_leaves_an_empty_group(self):
        d = PyGraphDiff()
        d.add_edge(A, B, 1.0)
        d.delete_node(B)
        data = d.to_bytes()
        group = struct.pack("<Q", 16) + A + struct.pack("<Q", 0)
        assert group in data
        assert len(data) == 32 + 24 + 32 + (32 + 24)
        diff = decode(data)
        assert diff.edges == {A: {}} and diff.deleted_edges == {A: {B}}

    def test_special_weights_are_written_bit_for_bit(self):
        d = PyGraphDiff()
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
    def test_later_update_replaces_earlier_and_revives(self):
        d = PyGraphDiff()
        d.add_node(A, {"label": "x", "size": 2})
        d.add_node(A, {"url": "u"})
        d.delete_node(B)
        d.add_node(B, {})
        diff, nodes, _ = snapshot(d)
        assert diff.nodes == {A: '{"url":"u"}', B: "{}"} and not diff.deleted_nodes
        assert nodes == 2

    def test_delete_node_cascades_onto_pending_edges(self):
        d = PyGraphDiff()
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

    def test_edges_to_deleted_nodes_are_refused_until_revived(self):
        d = PyGraphDiff()
        d.delete_node(B)
        before = snapshot(d)
        assert d.add_edge(A, B, 1.0) is None
        d.add_edge(B, A, 1.0)
        assert snapshot(d) == before
        d.add_node(B, {})
        d.add_edge(A, B, 1.0)
        assert decode(d.to_bytes()).edges == {A: {B: bits(1.0)}}

    def test_addition_and_deletion_of_an_edge_cancel(self):
        d = PyGraphDiff()
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


class TestArgumentErrors:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda d: d.add_edge(A), "PyGraphDiff.add_edge() missing 2 required positional arguments: 'to' and 'weight'"),
            (lambda d: d.add_edge(), "PyGraphDiff.add_edge() missing 3 required positional arguments: 'from', 'to', and 'weight'"),
            (lambda d: d.add_edge(A, B), "PyGraphDiff.add_edge() missing 1 required positional argument: 'weight'"),
            (lambda d: d.add_node(A, {}, 1), "PyGraphDiff.add_node() takes 2 positional arguments but 3 were given"),
            (lambda d: d.delete_node(A, B, x=1), "PyGraphDiff.delete_node() takes 1 positional arguments but 2 were given"),
            (lambda d: d.add_node(A, {}, id=A), "PyGraphDiff.add_node() got multiple values for argument 'id'"),
            (lambda d: d.add_node(A, {}, x=1), "PyGraphDiff.add_node() got an unexpected keyword argument 'x'"),
            (lambda d: d.add_node(1), "PyGraphDiff.add_node() missing 1 required positional argument: 'update'"),
            (lambda d: d.add_node(A, {"label": 1, "red": 300}), "argument 'update': 'int' object cannot be converted to 'PyString'"),
            (lambda d: d.add_node(A, {"show_label": None}), "argument 'update': 'NoneType' object cannot be converted to 'PyBool'"),
            (lambda d: d.add_node(A, {"red": 3.0}), "argument 'update': 'float' object cannot be interpreted as an integer"),
            (lambda d: d.add_node(A, ()), "argument 'update': 'tuple' object cannot be converted to 'PyDict'"),
            (lambda d: type(d)(1, x=1), "PyGraphDiff.__new__() takes 0 positional arguments but 1 was given"),
            (lambda d: type(d)(x=1), "PyGraphDiff.__new__() got an unexpected keyword argument 'x'"),
            (lambda d: type(d).num_nodes(5), "'int' object cannot be converted to 'PyGraphDiff'"),
            (lambda d: type(d).add_edge(5, A, B, 1.0), "'int' object cannot be converted to 'PyGraphDiff'"),
            (lambda d: type(d).delete_edge(None, A, B), "'NoneType' object cannot be converted to 'PyGraphDiff'"),
        ],
    )
    def test_type_errors_and_their_texts(self, call, message):
        d = PyGraphDiff()
        with pytest.raises(TypeError) as info:
            call(d)
        assert str(info.value) == message
        assert snapshot(d) == snapshot(PyGraphDiff())

    @pytest.mark.parametrize(
        "value, cause_type, cause_text",
        [
            (bytearray(16), TypeError, "'bytearray' object cannot be converted to 'PyBytes'"),
            ("x" * 16, TypeError, "'str' object cannot be converted to 'PyBytes'"),
            (bytes(15), Exception, "Expected 16 bytes."),
            (bytes(17), Exception, "Expected 16 bytes."),
        ],
    )
    def test_node_id_errors_are_labelled_per_argument_with_their_cause(self, value, cause_type, cause_text):
        d = PyGraphDiff()
        for call, name in [
            (lambda: d.delete_node(value), "id"),
            (lambda: d.add_edge(value, value, 1.0), "from"),
            (lambda: d.add_edge(A, value, 1.0), "to"),
            (lambda: d.delete_edge(A, value), "to"),
            (lambda: d.add_node(value, {"label": None}), "id"),
        ]:
            with pytest.raises(TypeError) as info:
                call()
            assert str(info.value) == "argument '%s': failed to extract field PyUuid.0" % name
            assert type(info.value.__cause__) is cause_type
            assert str(info.value.__cause__) == cause_text
        assert d.num_nodes() == d.num_edges() == 0

    def test_unlabelled_errors_pass_through(self):
        d = PyGraphDiff()

        class Bad:
            def __float__(self):
                raise ValueError("no float")

        for update in ({"red": -1}, {"blue": 256}):
            with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
                d.add_node(A, update)
        with pytest.raises(ValueError, match="^no float$"):
            d.add_edge(A, B, Bad())
        with pytest.raises(UnicodeEncodeError):
            d.add_node(A, {"url": "\ud800"})
        with pytest.raises(TypeError, match="^argument 'weight': "):
            d.add_edge(A, B, "1.0")
        assert d.num_nodes() == d.num_edges() == 0

    def test_accepted_argument_forms(self):
        class Id(bytes):
            def __len__(self):
                return 3

        class Props(dict):
            def get(self, *args):
                raise AssertionError("stored entries only")

        d = PyGraphDiff()
        d.add_edge(**{"from": Id(A), "to": B, "weight": True})
        d.add_edge(B, to=C, weight=2)
        d.add_node(A, Props(label="a", size=1, red=True, show_label=False, other=object()))
        diff = decode(d.to_bytes())
        assert diff.edges == {A: {B: bits(1.0)}, B: {C: bits(2.0)}}
        assert diff.nodes == {A: '{"label":"a","size":1.0,"red":1,"showLabel":false}'}


class TestBorrows:
    def test_reentry_from_a_conversion_is_refused_then_the_diff_works(self):
        d = PyGraphDiff()
        seen = []

        class Index:
            def __init__(self, action):
                self.action = action

            def __index__(self):
                try:
                    self.action()
                except RuntimeError as exc:
                    seen.append(str(exc))
                    raise
                return 1

        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            d.add_node(A, {"red": Index(d.num_nodes)})
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            d.add_node(A, {"green": Index(d.clear)})
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            d.add_node(A, {"blue": Index(lambda: d.add_edge(A, B, 1.0))})
        assert seen == ["Already mutably borrowed", "Already borrowed", "Already borrowed"]
        d.add_node(A, {"red": Index(lambda: None)})
        assert decode(d.to_bytes()).nodes == {A: '{"red":1}'}

    def test_not_subclassable_and_no_instance_dict(self):
        with pytest.raises(TypeError):
            type("Sub", (PyGraphDiff,), {})
        with pytest.raises(AttributeError):
            PyGraphDiff().anything = 1


class TestPropertyValues:
    def test_sizes_are_rounded_to_32_bits_without_range_errors(self):
        d = PyGraphDiff()
        for node, size in ((A, 1), (B, 0.1), (C, 1e300), (D, True)):
            d.add_node(node, {"size": size})
        nodes = decode(d.to_bytes()).nodes
        assert nodes == {A: '{"size":1.0}', B: '{"size":0.1}', C: '{"size":null}', D: '{"size":1.0}'}

    def test_colour_channels_take_integers_and_indexables_in_range(self):
        class Seven:
            def __index__(self):
                return 7

        d = PyGraphDiff()
        d.add_node(A, {"red": 255, "green": Seven(), "blue": False})
        assert decode(d.to_bytes()).nodes == {A: '{"red":255,"green":7,"blue":0}'}
        with pytest.raises(OverflowError) as info:
            d.add_node(A, {"red": 1 << 70})
        assert "out of range integral" not in str(info.value)

    def test_show_label_goes_through_bool_of_a_type_named_numpy_bool_(self):
        def named(bool_method):
            return type("bool_", (), {"__module__": "numpy", "__bool__": bool_method})

        d = PyGraphDiff()
        d.add_node(A, {"show_label": named(lambda self: True)()})
        d.add_node(B, {"show_label": named(lambda self: False)()})
        assert decode(d.to_bytes()).nodes == {A: '{"showLabel":true}', B: '{"showLabel":false}'}
        with pytest.raises(TypeError, match="^argument 'update': 'int' object cannot be converted to 'PyBool'$"):
            d.add_node(C, {"show_label": named(lambda self: 1)()})
        impostor = named(None)
        del impostor.__bool__
        with pytest.raises(TypeError) as info:
            d.add_node(C, {"show_label": impostor()})
        assert str(info.value) == (
            "argument 'update': object of type '%s' does not define a '__bool__' conversion" % impostor
        )

    def test_real_numpy_bools_are_judged_by_their_type_name(self):
        # NumPy 2 renamed the type to numpy.bool; both names are accepted.
        np = pytest.importorskip("numpy")
        d = PyGraphDiff()
        d.add_node(A, {"show_label": np.bool_(True)})
        assert decode(d.to_bytes()).nodes == {A: '{"showLabel":true}'}
