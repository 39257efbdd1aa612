"""Python code that calls back into the instance while a call holds its
borrow: code run by a conversion (__index__, __float__, __bool__, a key's
__eq__) and code the call runs itself (naming a wrong type, labelling an error
with its text, naming a type to recognise a boolean); changes to the update
dict while it is read; and the module's own fatal error coming back through
it. Tests that take `impl` run against the module and the pure-Python twin."""

import importlib.util
import sys
import uuid

import pytest

from conftest import A, B, C, needs_hooks, run_hook, snapshot
from decode_diff import decode


SHARED = {
    "num_nodes": lambda d: d.num_nodes(),
    "num_edges": lambda d: d.num_edges(),
    "to_bytes": lambda d: d.to_bytes(),
    "counts": lambda d: d.counts(),
    "merge-from": lambda d: type(d)().merge(d),  # d is only read
}
EXCLUSIVE = {
    "add_node": lambda d: d.add_node(C, {}),
    "delete_node": lambda d: d.delete_node(C),
    "add_edge": lambda d: d.add_edge(C, A, 1.0),
    "delete_edge": lambda d: d.delete_edge(C, A),
    "clear": lambda d: d.clear(),
    "merge": lambda d: d.merge(type(d)()),
    "merge-itself": lambda d: d.merge(d),
}
INNER = [(name, call, "Already mutably borrowed") for name, call in SHARED.items()]
INNER += [(name, call, "Already borrowed") for name, call in EXCLUSIVE.items()]


class Hook:
    """A value whose conversion runs `action`, then converts as `result`."""

    def __init__(self, action, result):
        self.action = action
        self.result = result

    def __index__(self):
        self.action()
        return self.result

    def __float__(self):
        self.action()
        return float(self.result)

    def __bool__(self):
        self.action()
        return self.result


def numpy_like_hook(action):
    cls = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: (action(), True)[1]})
    return cls()


class EqHook:
    """A stored dict key that equals "url" and runs `action` when compared."""

    def __init__(self, action):
        self.action = action

    def __hash__(self):
        return hash("url")

    def __eq__(self, other):
        self.action()
        return other == "url"


# Outer calls whose conversions run the hook: one per kind of Python code.
OUTER = {
    "red.__index__": lambda d, act: d.add_node(A, {"red": Hook(act, 1)}),
    "size.__float__": lambda d, act: d.add_node(A, {"size": Hook(act, 1)}),
    "weight.__float__": lambda d, act: d.add_edge(A, B, Hook(act, 1)),
    "show_label.__bool__": lambda d, act: d.add_node(A, {"show_label": numpy_like_hook(act)}),
    "key.__eq__": lambda d, act: d.add_node(A, {EqHook(act): "u"}),
}


class StreamHook:
    """An edges snapshot whose Arrow producer runs `action` first."""

    def __init__(self, action):
        self.action = action

    def __arrow_c_stream__(self, requested_schema=None):
        self.action()
        try:
            import pyarrow
            table = pyarrow.table({"source": pyarrow.array([A], pyarrow.binary(16)),
                                   "target": pyarrow.array([B], pyarrow.binary(16)), "weight": [1.0]})
        except ImportError:
            import arro3.core as arro3
            table = arro3.Table.from_pydict({"source": arro3.Array([str(uuid.UUID(bytes=A))], arro3.DataType.string()),
                                             "target": arro3.Array([str(uuid.UUID(bytes=B))], arro3.DataType.string()),
                                             "weight": arro3.Array([1.0], arro3.DataType.float64())})
        return table.__arrow_c_stream__(requested_schema)


if importlib.util.find_spec("pyarrow") or importlib.util.find_spec("arro3"):
    OUTER["snapshot.__arrow_c_stream__"] = lambda d, act: d.add_snapshot_change(
        old_edges=StreamHook(act), new_edges={"source": [], "target": [], "weight": []})


def seeded(impl):
    d = impl()
    d.add_node(B, {"label": "b"})
    d.add_edge(B, A, 2.0)
    d.delete_edge(A, C)
    return d


@pytest.mark.parametrize("outer", OUTER)
@pytest.mark.parametrize("inner, call, message", INNER, ids=[i[0] for i in INNER])
def test_calls_back_into_the_same_instance_are_refused(impl, outer, inner, call, message):
    d = seeded(impl)
    before = snapshot(d)
    with pytest.raises(RuntimeError) as raised:
        OUTER[outer](d, lambda: call(d))
    # The borrow error passes through the conversion unchanged.
    assert type(raised.value) is RuntimeError
    assert str(raised.value) == message
    assert snapshot(d) == before
    # The borrow was given back: the instance works normally again.
    d.add_node(C, {"label": "c"})
    d.clear()
    assert snapshot(d) == (0, 0, bytes(32))


def test_refused_inner_calls_leave_the_outer_borrow_in_place(impl):
    d = seeded(impl)
    refusals = []

    def try_twice():
        for call in (d.clear, d.num_nodes, d.clear):
            try:
                call()
            except RuntimeError as error:
                refusals.append(str(error))

    assert d.add_node(A, {"red": Hook(try_twice, 9)}) is None
    assert refusals == ["Already borrowed", "Already mutably borrowed", "Already borrowed"]
    assert decode(d.to_bytes()).nodes[A] == '{"red":9}'
    assert d.num_nodes() == 2


def test_other_instances_stay_usable_during_a_conversion(impl):
    d, other = impl(), impl()

    def use_other():
        other.add_edge(A, B, 1.0)
        assert other.num_edges() == 1

    d.add_edge(A, B, Hook(use_other, 0.5))
    assert decode(d.to_bytes()).edges == {A: {B: 0x3F000000}}
    assert decode(other.to_bytes()).edges == {A: {B: 0x3F800000}}


def test_a_conversion_that_changes_the_dict_affects_later_keys(impl):
    update = {"red": None, "show_label": 1, "label": "kept"}

    def change():
        del update["show_label"]  # would have failed
        update["blue"] = 7  # read after "red"
        update["label"] = "too late"  # already read

    update["red"] = Hook(change, 3)
    d = impl()
    d.add_node(A, update)
    assert decode(d.to_bytes()).nodes[A] == '{"label":"kept","red":3,"blue":7}'


def test_a_conversion_that_drops_the_last_reference_to_its_value(impl):
    update = {}

    class Vanishing:
        def __index__(self):
            update.clear()  # the dict held the only other reference
            return 4

    update["red"] = Vanishing()
    update["green"] = 5
    d = impl()
    d.add_node(A, update)
    assert decode(d.to_bytes()).nodes[A] == '{"red":4}'


# Outer calls in which the call itself runs Python code while it holds the
# exclusive borrow: naming a wrong type, labelling an error with its text,
# naming a type to recognise a boolean. Each with the error it ends in, or
# None when it succeeds; the inner call's refusal is kept, not raised.


def qualname_hook(hook):
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                hook()
            return super().__getattribute__(name)

    return Meta("Odd", (), {})()


class TextHook:
    def __init__(self, hook, text):
        self.hook, self.text = hook, text

    def __str__(self):
        self.hook()
        return self.text


class RaisesTypeErrorWithText:
    def __init__(self, hook):
        self.hook = hook

    def __index__(self):
        raise TypeError(TextHook(self.hook, "odd"))


def module_name_hook(hook):
    cls = type("bool_", (), {"__bool__": lambda self: True})
    cls.__module__ = TextHook(hook, "numpy")
    return cls()


OWN_CODE = {
    "id.__qualname__": (lambda d, hook: d.delete_node(qualname_hook(hook)),
                        "argument 'id': failed to extract field PyUuid.0"),
    "update.__qualname__": (lambda d, hook: d.add_node(A, qualname_hook(hook)),
                            "argument 'update': 'Odd' object cannot be converted to 'PyDict'"),
    "label.__qualname__": (lambda d, hook: d.add_node(A, {"label": qualname_hook(hook)}),
                           "argument 'update': 'Odd' object cannot be converted to 'PyString'"),
    "error text __str__": (lambda d, hook: d.add_node(A, {"red": RaisesTypeErrorWithText(hook)}),
                           "argument 'update': odd"),
    "type __module__": (lambda d, hook: d.add_node(A, {"show_label": module_name_hook(hook)}), None),
}


@pytest.mark.parametrize("outer", OWN_CODE)
@pytest.mark.parametrize("inner, call, message", INNER, ids=[i[0] for i in INNER])
def test_python_code_run_by_the_call_itself_meets_the_borrow(impl, outer, inner, call, message):
    d = seeded(impl)
    before = snapshot(d)
    seen = []

    def hook():
        try:
            call(d)
        except RuntimeError as error:
            seen.append(str(error))

    run, error_text = OWN_CODE[outer]
    if error_text is None:
        run(d, hook)
        assert decode(d.to_bytes()).nodes[A] == '{"showLabel":true}'
    else:
        with pytest.raises(TypeError) as raised:
            run(d, hook)
        assert str(raised.value) == error_text
        assert snapshot(d) == before
    # On 3.11+ the twin reads a wrong id's type name a second time, to choose
    # the note it adds; the module reads it once.
    twice = outer == "id.__qualname__" and impl.__module__ != "builtins" and sys.version_info >= (3, 11)
    assert seen == [message] * (2 if twice else 1)
    # The borrow was given back: the instance works normally again.
    d.add_node(C, {"label": "c"})
    d.clear()
    assert snapshot(d) == (0, 0, bytes(32))


@pytest.fixture(scope="module")
def fatal():
    """The fatal-error class, which the module does not export."""
    try:
        run_hook("throw")
    except BaseException as error:  # noqa: B036
        return type(error)
    pytest.fail("the hook did not fire")


@pytest.mark.only("module", reason="the fatal-error class and its hook are the module's")
@needs_hooks
class TestFatalErrorFromPythonCode:
    """The module's own fatal-error class, raised again by Python code that a
    conversion runs, is shown and turned into a new fatal error."""

    @pytest.mark.parametrize("outer", OUTER)
    def test_is_printed_and_raised_anew(self, impl, fatal, outer, capfd):
        d = seeded(impl)
        before = snapshot(d)
        original = fatal("came back")

        def throw():
            raise original

        with pytest.raises(BaseException) as raised:
            OUTER[outer](d, throw)
        assert type(raised.value) is fatal
        assert raised.value is not original
        assert raised.value.args == ("came back",)
        printed = capfd.readouterr().err
        # A banner line, then the original with its traceback.
        assert printed.index("Traceback (most recent call last)") > 0
        assert printed.rstrip().endswith("%s: came back" % fatal.__name__)
        assert snapshot(d) == before
        d.clear()
        assert d.num_nodes() == 0

    def test_subclasses_pass_as_ordinary_errors(self, impl, fatal, capfd):
        original = type("Sub", (fatal,), {})("ordinary")

        def throw():
            raise original

        with pytest.raises(BaseException) as raised:
            impl().add_edge(A, B, Hook(throw, 1))
        assert raised.value is original
        assert capfd.readouterr().err == ""
