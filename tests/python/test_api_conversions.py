"""Conversion of argument values: node ids, the update dict and weights, with
every failure's type, text, __cause__ and argument label, and what a
converted value becomes in the bytes. Tests that take `impl` run against the
module and the pure-Python twin."""

import collections
import math
import struct
import sys
import types

import pytest

from conftest import IS_PYPY, implementation
from decode_diff import decode

A, B, C = (bytes(15) + bytes([i]) for i in (1, 2, 3))
PARAMETERS = {
    "add_node": ("id", "update"),
    "delete_node": ("id",),
    "add_edge": ("from", "to", "weight"),
    "delete_edge": ("from", "to"),
}
GOOD = {"id": A, "update": {}, "from": A, "to": B, "weight": 1.0}
U8_RANGE = "out of range integral type conversion attempted"


def seeded(impl):
    d = impl()
    d.add_node(A, {"label": "a", "red": 1})
    d.delete_node(B)
    d.add_edge(A, C, 0.5)
    d.delete_edge(C, A)
    return d


def snapshot(d):
    return d.num_nodes(), d.num_edges(), d.to_bytes()


def call_with(d, method, argument, value):
    args = [value if name == argument else GOOD[name] for name in PARAMETERS[method]]
    return getattr(d, method)(*args)


def failure(impl, method, argument, value):
    """The exception of a call whose one bad argument is `value`; the diff
    must come out of it exactly as it went in."""
    d = seeded(impl)
    before = snapshot(d)
    with pytest.raises(BaseException) as raised:
        call_with(d, method, argument, value)
    assert snapshot(d) == before
    return raised.value


def expect(error, kind, text, cause=None):
    assert type(error) is kind, repr(error)
    assert str(error) == text
    if cause is None:
        assert error.__cause__ is None
    else:
        assert (type(error.__cause__), str(error.__cause__)) == cause


def node_json(impl, update):
    d = impl()
    d.add_node(A, update)
    return decode(d.to_bytes()).nodes[A]


def weight_bits(impl, weight):
    d = impl()
    d.add_edge(A, B, weight)
    return decode(d.to_bytes()).edges[A][B]


def f32_bits(value):
    return struct.unpack("<I", struct.pack("<f", value))[0]


def numpy_like(name="bool_", module="numpy", metaclass=type, **namespace):
    """A class whose full name is `module.name`, like numpy's boolean scalar."""
    return metaclass(name, (), {"__module__": module, **namespace})


class Outer:
    class Inner:
        pass


# --- node ids ---------------------------------------------------------------

ID_ARGUMENTS = [(m, a) for m, names in PARAMETERS.items() for a in names if a in ("id", "from", "to")]


@pytest.mark.parametrize("method, argument", ID_ARGUMENTS)
@pytest.mark.parametrize("value, cause", [
    ("x" * 16, (TypeError, "'str' object cannot be converted to 'PyBytes'")),
    (bytearray(16), (TypeError, "'bytearray' object cannot be converted to 'PyBytes'")),
    (memoryview(bytes(16)), (TypeError, "'memoryview' object cannot be converted to 'PyBytes'")),
    (5, (TypeError, "'int' object cannot be converted to 'PyBytes'")),
    (None, (TypeError, "'NoneType' object cannot be converted to 'PyBytes'")),
    (Outer.Inner(), (TypeError, "'Outer.Inner' object cannot be converted to 'PyBytes'")),
    (b"", (Exception, "Expected 16 bytes.")),
    (b"x" * 15, (Exception, "Expected 16 bytes.")),
    (b"x" * 17, (Exception, "Expected 16 bytes.")),
], ids=["str", "bytearray", "memoryview", "int", "None", "nested", "empty", "15", "17"])
def test_bad_node_ids(impl, method, argument, value, cause):
    error = failure(impl, method, argument, value)
    expect(error, TypeError, "argument '%s': failed to extract field PyUuid.0" % argument, cause)
    assert error.__cause__.__cause__ is None


@pytest.mark.parametrize("first, second, named", [
    ("x", 5, "from"),
    (b"", b"", "from"),
    (A, b"", "to"),
    (A, "x", "to"),
])
def test_from_is_converted_before_to(impl, first, second, named):
    for call in (lambda d: d.add_edge(first, second, "not a weight"), lambda d: d.delete_edge(first, second)):
        # (The text alone: pytest's match also reads the notes of 3.11+.)
        with pytest.raises(TypeError) as raised:
            call(impl())
        assert str(raised.value) == "argument '%s': failed to extract field PyUuid.0" % named


def test_id_is_converted_before_update(impl):
    for value in ("x" * 16, bytes(15)):
        with pytest.raises(TypeError) as raised:
            impl().add_node(value, {"label": None})
        assert str(raised.value) == "argument 'id': failed to extract field PyUuid.0"


def test_bytes_subclass_ids_use_their_stored_bytes(impl):
    class Id(bytes):
        def __bytes__(self):
            return bytes(16)

    d = impl()
    d.add_edge(Id(A), Id(B), 1.0)
    d.add_node(Id(C), {})
    decoded = decode(d.to_bytes())
    assert set(decoded.edges) == {A} and set(decoded.edges[A]) == {B}
    assert set(decoded.nodes) == {C}


def test_bytes_subclass_ids_are_not_measured_by_len(impl):
    if IS_PYPY and impl is implementation("module"):
        pytest.skip("PyPy's C-API layer sizes its copy of a bytes subclass by len() (test_hostile_callers.py)")

    class Id(bytes):
        def __len__(self):
            return 3

    d = impl()
    d.add_edge(**{"from": Id(A), "to": B, "weight": True})
    assert decode(d.to_bytes()).edges == {A: {B: 0x3F800000}}


# --- the update dict ----------------------------------------------------------

class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def raising(error):
    """A value whose __float__ and __index__ raise `error`."""
    def method(self):
        raise error
    return type("Raises", (), {"__float__": method, "__index__": method})()


@pytest.mark.parametrize("update, kind, text", [
    ([], TypeError, "argument 'update': 'list' object cannot be converted to 'PyDict'"),
    ((), TypeError, "argument 'update': 'tuple' object cannot be converted to 'PyDict'"),
    (None, TypeError, "argument 'update': 'NoneType' object cannot be converted to 'PyDict'"),
    (types.MappingProxyType({}), TypeError, "argument 'update': 'mappingproxy' object cannot be converted to 'PyDict'"),
    (collections.UserDict(), TypeError, "argument 'update': 'UserDict' object cannot be converted to 'PyDict'"),
    (Outer.Inner(), TypeError, "argument 'update': 'Outer.Inner' object cannot be converted to 'PyDict'"),
    ({"label": None}, TypeError, "argument 'update': 'NoneType' object cannot be converted to 'PyString'"),
    ({"label": b"x"}, TypeError, "argument 'update': 'bytes' object cannot be converted to 'PyString'"),
    ({"url": 5}, TypeError, "argument 'update': 'int' object cannot be converted to 'PyString'"),
    ({"show_label": 1}, TypeError, "argument 'update': 'int' object cannot be converted to 'PyBool'"),
    ({"show_label": None}, TypeError, "argument 'update': 'NoneType' object cannot be converted to 'PyBool'"),
    ({"show_label": 1.0}, TypeError, "argument 'update': 'float' object cannot be converted to 'PyBool'"),
    ({"red": 256}, OverflowError, U8_RANGE),
    ({"green": -1}, OverflowError, U8_RANGE),
    ({"blue": 1000}, OverflowError, U8_RANGE),
    ({"red": -(2 ** 63)}, OverflowError, U8_RANGE),
    ({"red": Index(300)}, OverflowError, U8_RANGE),
    ({"red": 2 ** 63}, OverflowError, "Python int too large to convert to C long"),
    ({"red": 1 << 70}, OverflowError, "Python int too large to convert to C long"),
    ({"blue": -(2 ** 63) - 1}, OverflowError, "Python int too large to convert to C long"),
    ({"red": 3.0}, TypeError, "argument 'update': 'float' object cannot be interpreted as an integer"),
    ({"green": "1"}, TypeError, "argument 'update': 'str' object cannot be interpreted as an integer"),
    ({"size": "x"}, TypeError, "argument 'update': must be real number, not str"),
    ({"size": None}, TypeError, "argument 'update': must be real number, not NoneType"),
    ({"size": 1 << 2000}, OverflowError, "int too large to convert to float"),
    # Keys are read in a fixed order, whatever the dict's own order; the first failure wins.
    ({"red": 300, "label": 1}, TypeError, "argument 'update': 'int' object cannot be converted to 'PyString'"),
    ({"show_label": 1, "label": 1}, TypeError, "argument 'update': 'int' object cannot be converted to 'PyString'"),
    ({"size": "x", "url": 5}, TypeError, "argument 'update': 'int' object cannot be converted to 'PyString'"),
    ({"red": 1.5, "size": "x"}, TypeError, "argument 'update': must be real number, not str"),
    ({"blue": 300, "green": "x"}, TypeError, "argument 'update': 'str' object cannot be interpreted as an integer"),
    ({"show_label": 1, "blue": -1}, OverflowError, U8_RANGE),
], ids=lambda value: None if isinstance(value, (dict, list)) else "")
def test_bad_updates(impl, update, kind, text):
    expect(failure(impl, "add_node", "update", update), kind, text)


def test_text_without_utf8_form_passes_the_host_error_unlabelled(impl):
    error = failure(impl, "add_node", "update", {"label": "ok", "url": "\ud800"})
    assert type(error) is UnicodeEncodeError


@pytest.mark.parametrize("raised, labelled", [
    (ValueError("boom"), None),
    (OverflowError("boom"), None),
    (type("TypeErrorSub", (TypeError,), {})("boom"), None),
    (TypeError("boom"), "argument 'update': boom"),
])
def test_errors_of_python_code_in_the_update(impl, raised, labelled):
    """Only an exception that is exactly TypeError gets the argument label."""
    for update in ({"red": raising(raised)}, {"size": raising(raised)}):
        error = failure(impl, "add_node", "update", update)
        if labelled is None:
            assert error is raised
        else:
            expect(error, TypeError, labelled)


def test_dict_lookup_errors(impl):
    class Key:
        def __init__(self, error):
            self.error = error

        def __hash__(self):
            return hash("url")

        def __eq__(self, other):
            raise self.error

    value_error = ValueError("eq")
    assert failure(impl, "add_node", "update", {Key(value_error): 1}) is value_error
    cause = KeyError("root")
    type_error = TypeError("eq")
    type_error.__cause__ = cause
    error = failure(impl, "add_node", "update", {Key(type_error): 1})
    expect(error, TypeError, "argument 'update': eq", (KeyError, "'root'"))
    assert error.__cause__ is cause


class IntWithIndex(int):
    def __index__(self):
        return 1


class Text(str):
    def __str__(self):
        return "other"


class Keys(dict):
    def __getitem__(self, key):
        raise AssertionError("read through the stored entries only")

    get = __getitem__

    def __missing__(self, key):
        raise AssertionError("never asked for a missing key")


@pytest.mark.parametrize("update, text", [
    ({}, "{}"),
    ({"label": ""}, '{"label":""}'),
    ({"label": "\u00e9/", "url": "u"}, '{"label":"\u00e9/","url":"u"}'),
    ({"label": Text("mine")}, '{"label":"mine"}'),
    ({"size": 1}, '{"size":1.0}'),
    ({"size": True}, '{"size":1.0}'),
    ({"size": 0.1}, '{"size":0.1}'),
    ({"size": Float(2.5)}, '{"size":2.5}'),
    ({"size": 1e300}, '{"size":null}'),
    ({"size": -1e300}, '{"size":null}'),
    ({"size": math.nan}, '{"size":null}'),
    ({"size": -1.0}, '{"size":-1.0}'),
    ({"red": 255, "green": 0, "blue": True}, '{"red":255,"green":0,"blue":1}'),
    ({"red": False}, '{"red":0}'),
    ({"red": Index(7)}, '{"red":7}'),
    ({"red": IntWithIndex(200)}, '{"red":200}'),
    ({"show_label": True}, '{"showLabel":true}'),
    ({"show_label": False}, '{"showLabel":false}'),
    # Only the seven str keys are read; any other key is ignored.
    ({b"label": 1, 1: 2, ("red",): None, "labels": 3, "label": "x"}, '{"label":"x"}'),
    ({Text("red"): 5}, '{"red":5}'),
    (Keys(label="x"), '{"label":"x"}'),
    (collections.OrderedDict(show_label=True, label="x"), '{"label":"x","showLabel":true}'),
], ids=lambda value: None if isinstance(value, dict) else "")
def test_update_values(impl, update, text):
    assert node_json(impl, update) == text


def test_a_failed_update_keeps_nothing_of_its_converted_values(impl):
    d = impl()
    d.add_node(A, {"label": "old"})
    with pytest.raises(OverflowError):
        d.add_node(A, {"label": "new", "size": 2.0, "red": 256})
    assert decode(d.to_bytes()).nodes == {A: '{"label":"old"}'}


# --- "show_label" and numpy's boolean scalar -----------------------------------

def test_real_numpy_bool(impl):
    numpy = pytest.importorskip("numpy")
    for value, text in ((numpy.True_, "true"), (numpy.False_, "false"), (numpy.bool_(1), "true")):
        assert node_json(impl, {"show_label": value}) == '{"showLabel":%s}' % text
    expect(failure(impl, "add_node", "update", {"show_label": numpy.int8(1)}), TypeError,
           "argument 'update': 'int8' object cannot be converted to 'PyBool'")


class Descriptor:
    """A descriptor class written in Python. Looking it up on the class gives
    the descriptor itself; binding it to the value goes through its type's
    slot."""

    seen = []

    def __get__(self, instance, owner):
        if instance is None:
            return self
        Descriptor.seen.append((type(instance).__name__, owner.__name__))
        return lambda: False


class CallableOnly:
    def __call__(self):
        return True


class RaisingDescriptor:
    def __get__(self, instance, owner):
        if instance is None:
            return self
        raise TypeError("cannot bind")


@pytest.mark.parametrize("cls, text", [
    (numpy_like(__bool__=lambda self: True), "true"),
    (numpy_like(__bool__=lambda self: False), "false"),
    (numpy_like("bool", __bool__=lambda self: True), "true"),  # numpy 2's name
    (numpy_like(__bool__=Descriptor()), "false"),
    (numpy_like(__bool__=CallableOnly()), "true"),
])
def test_numpy_like_bools_are_read_through_bool(impl, cls, text):
    assert node_json(impl, {"show_label": cls()}) == '{"showLabel":%s}' % text


def test_numpy_like_binding_receives_the_value_and_its_type(impl):
    Descriptor.seen.clear()
    node_json(impl, {"show_label": numpy_like(__bool__=Descriptor())()})
    assert Descriptor.seen == [("bool_", "bool_")]


class ModuleRaises(type):
    @property
    def __module__(cls):
        raise AttributeError("no module")


class Unprintable(type):
    def __str__(cls):
        raise ValueError("unprintable")


@pytest.mark.parametrize("cls, kind, text", [
    (numpy_like("bool8", __bool__=lambda self: True), TypeError,
     "argument 'update': 'bool8' object cannot be converted to 'PyBool'"),
    (numpy_like(module="numpy.core", __bool__=lambda self: True), TypeError,
     "argument 'update': 'bool_' object cannot be converted to 'PyBool'"),
    (numpy_like(), TypeError,
     "argument 'update': object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
    (numpy_like(__bool__=lambda self: 1), TypeError,
     "argument 'update': 'int' object cannot be converted to 'PyBool'"),
    (numpy_like(__bool__=RaisingDescriptor()), TypeError, "argument 'update': cannot bind"),
    (numpy_like(metaclass=ModuleRaises, __bool__=lambda self: True), TypeError,
     "argument 'update': 'bool_' object cannot be converted to 'PyBool'"),
])
def test_numpy_like_failures(impl, cls, kind, text):
    expect(failure(impl, "add_node", "update", {"show_label": cls()}), kind, text)


def test_numpy_like_bool_errors_pass_through(impl):
    error = ValueError("no truth")

    def fail(self):
        raise error

    assert failure(impl, "add_node", "update", {"show_label": numpy_like(__bool__=fail)()}) is error


# --- weights --------------------------------------------------------------------

class FloatSub(float):
    pass


@pytest.mark.parametrize("weight, bits", [
    (0.5, 0x3F000000),
    (2, 0x40000000),
    (True, 0x3F800000),
    (-1.0, 0xBF800000),
    (Float(-1.0), 0xBF800000),
    (FloatSub(0.25), 0x3E800000),
    (0.1, f32_bits(0.1)),
    (-0.0, 0x80000000),
    (math.nan, 0x7FC00000),
    (math.inf, 0x7F800000),
    (1e39, 0x7F800000),
    (-1e39, 0xFF800000),
    # Round to nearest, ties to even, with no range check: the largest
    # finite binary32 and the halfway point above it.
    (2.0 ** 128 - 2.0 ** 104, 0x7F7FFFFF),
    (2.0 ** 128 - 2.0 ** 103 - 2.0 ** 75, 0x7F7FFFFF),
    (2.0 ** 128 - 2.0 ** 103, 0x7F800000),
    (1.0 + 2.0 ** -24, 0x3F800000),
    (1.0 + 3 * 2.0 ** -24, 0x3F800002),
    (1e-45, 0x00000001),
    (1e-46, 0x00000000),
    (-1e-46, 0x80000000),
])
def test_weights(impl, weight, bits):
    assert weight_bits(impl, weight) == bits


@pytest.mark.parametrize("weight, kind, text", [
    ("1.0", TypeError, "argument 'weight': must be real number, not str"),
    (None, TypeError, "argument 'weight': must be real number, not NoneType"),
    (1 << 2000, OverflowError, "int too large to convert to float"),
])
def test_bad_weights(impl, weight, kind, text):
    expect(failure(impl, "add_edge", "weight", weight), kind, text)


def test_weight_errors_of_python_code(impl):
    value_error = ValueError("not a number")
    assert failure(impl, "add_edge", "weight", raising(value_error)) is value_error
    cause = KeyError("root")
    labelled_in = TypeError("nope")
    labelled_in.__cause__ = cause
    error = failure(impl, "add_edge", "weight", raising(labelled_in))
    expect(error, TypeError, "argument 'weight': nope", (KeyError, "'root'"))
    assert error.__cause__ is cause
    error = failure(impl, "add_edge", "weight", Float("x"))
    assert type(error) is TypeError and str(error).startswith("argument 'weight': ")
    assert "argument" not in str(error)[len("argument 'weight': "):]


# --- texts of objects inside messages ---------------------------------------------

class Loud:
    def __str__(self):
        raise ValueError("cannot print")


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


def test_unprintable_error_text(impl, unraisable):
    inner = TypeError(Loud())
    expect(failure(impl, "add_edge", "weight", raising(inner)), TypeError,
           "argument 'weight': <unprintable builtins.TypeError object>")
    assert [type(u.exc_value) for u in unraisable] == [ValueError]
    if not IS_PYPY:  # PyPy's hook is not given the object
        assert unraisable[0].object is inner


def test_unprintable_type_in_the_missing_bool_message(impl, unraisable):
    cls = numpy_like(metaclass=Unprintable)
    expect(failure(impl, "add_node", "update", {"show_label": cls()}), TypeError,
           "argument 'update': object of type '<unprintable %s.Unprintable object>' "
           "does not define a '__bool__' conversion" % __name__)
    assert [type(u.exc_value) for u in unraisable] == [ValueError]


def test_text_without_utf8_form_is_repaired(impl):
    expect(failure(impl, "add_edge", "weight", raising(TypeError("bad \udc80 \ud83d"))), TypeError,
           "argument 'weight': bad \ufffd\ufffd\ufffd \ufffd\ufffd\ufffd")


def test_type_without_a_readable_qualname(impl):
    class NoName(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise AttributeError("no name")
            return super().__getattribute__(name)

    error = failure(impl, "delete_node", "id", NoName("Hidden", (), {})())
    assert str(error.__cause__) == "'<failed to extract type name>' object cannot be converted to 'PyBytes'"


# --- host calls that fail with nothing pending (CPython: a C slot via ctypes) -----

def silent_null_type(slot):
    """A type whose C slot `slot` returns NULL without setting an exception."""
    import ctypes

    class Slot(ctypes.Structure):
        _fields_ = [("slot", ctypes.c_int), ("pfunc", ctypes.c_void_p)]

    class TypeShape(ctypes.Structure):
        _fields_ = [("name", ctypes.c_char_p), ("basicsize", ctypes.c_int), ("itemsize", ctypes.c_int),
                    ("flags", ctypes.c_uint), ("slots", ctypes.POINTER(Slot))]

    function = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p)(lambda self: None)
    slots = (Slot * 2)(Slot(slot, ctypes.cast(function, ctypes.c_void_p)), Slot(0, None))
    shape = TypeShape(b"silent.Silent", 0, 0, 0, slots)
    make_type = ctypes.pythonapi.PyType_FromSpec
    make_type.restype = ctypes.py_object
    make_type.argtypes = [ctypes.POINTER(TypeShape)]
    cls = make_type(ctypes.byref(shape))
    cls.keep = (function, slots, shape)  # the type points into these
    return cls


@pytest.mark.only("module", reason="only C code can return NULL with no exception set")
@pytest.mark.skipif(IS_PYPY, reason="needs ctypes.pythonapi")
def test_null_without_exception(impl):
    nb_float, nb_index = 11, 13
    expect(failure(impl, "add_node", "update", {"red": silent_null_type(nb_index)()}), SystemError,
           "attempted to fetch exception but none was set")
    # A float conversion that yields -1 with nothing pending is the value -1.
    assert weight_bits(impl, silent_null_type(nb_float)()) == 0xBF800000
    assert node_json(impl, {"size": silent_null_type(nb_float)()}) == '{"size":-1.0}'
