"""How the eight methods take their arguments: registration, the parsing
texts, keyword calls, and parsing before anything else is looked at. Tests
that take `impl` run against the module and the pure-Python twin."""

import importlib.util
import inspect
import os
import pydoc

import pytest

from conftest import A, B, C, IS_PYPY, ROOT, implementation, snapshot


METHODS = [
    ("num_nodes", "($self)"),
    ("num_edges", "($self)"),
    ("add_node", "($self, id, update)"),
    ("delete_node", "($self, id)"),
    ("add_edge", "($self, from, to, weight)"),
    ("delete_edge", "($self, from, to)"),
    ("to_bytes", "($self)"),
    ("clear", "($self)"),
    ("add_edges", "($self, sources, targets, weights)"),
    ("delete_edges", "($self, sources, targets)"),
    ("delete_nodes", "($self, ids)"),
    ("add_nodes", "($self, ids, updates)"),
    ("add_snapshot_change", "($self, *, old_nodes=None, new_nodes=None, old_edges=None, new_edges=None)"),
    ("encoded_size", "($self)"),
    ("encode_into", "($self, buffer, offset=0)"),
]
# The methods after the eight carry a docstring that help() shows.
ADDED = ["add_edges", "delete_edges", "delete_nodes", "add_nodes", "add_snapshot_change", "encoded_size", "encode_into", "from_bytes",
         "node_updates", "deleted_nodes", "edge_updates", "deleted_edges", "merge", "counts",
         "__copy__", "__deepcopy__", "__reduce__", "__sizeof__"]


def seeded(impl):
    d = impl()
    d.add_node(A, {"label": "a"})
    d.delete_node(B)
    d.add_edge(A, C, 0.5)
    d.delete_edge(C, A)
    return d


@pytest.mark.only("module", reason="the order of the type's method table; the twin's class also holds helpers")
def test_methods_are_registered_in_order(impl):
    names = [name for name in vars(impl) if not name.startswith("__")]
    # The eight, then the methods that restore and read a diff, then to_arrow.
    assert names == [name for name, _ in METHODS] + [
        "from_bytes", "node_updates", "deleted_nodes", "edge_updates", "deleted_edges", "merge", "counts", "to_arrow"]


@pytest.mark.only("module", reason="text signatures belong to C methods; the twin's are Python functions")
@pytest.mark.skipif(IS_PYPY, reason="PyPy's method descriptors carry no text signature")
@pytest.mark.parametrize("name, signature", METHODS)
def test_text_signatures(impl, name, signature):
    method = getattr(impl, name)
    assert method.__text_signature__ == signature
    if name in ADDED:
        assert len(method.__doc__) > 40 and signature not in method.__doc__
    else:
        assert method.__doc__ is None  # the host moves the whole doc into the signature
    if "from" not in signature:
        # inspect parses the signature as Python source, where `from` is a
        # reserved word: add_edge and delete_edge have no inspect.Signature.
        assert str(inspect.signature(method)) == signature.replace("$self", "self, /")


@pytest.mark.parametrize("name", ADDED)
def test_added_methods_have_help(impl, name):
    # pydoc's text, as help() prints it: a signature line that keeps the
    # parameter names, then the method's own text.
    if IS_PYPY and impl is implementation("module"):
        assert getattr(impl, name).__doc__ is None  # docs/platform.md: when PyPy starts to show them, test them
        return
    page = pydoc.render_doc(getattr(impl, name), renderer=pydoc.plaintext)
    doc = getattr(impl, name).__doc__
    # (PyPy 3.9's pydoc leaves out the doc of a bound classmethod.)
    assert doc and (doc.strip().splitlines()[-1].strip() in page or IS_PYPY and name == "from_bytes")
    twin = implementation("twin")
    assert inspect.getdoc(getattr(impl, name)) == inspect.getdoc(getattr(twin, name))



@pytest.mark.skipif(IS_PYPY, reason="PyPy drops the docs of a heap type's methods (docs/platform.md)")
def test_the_stubs_and_the_twin_carry_the_module_docstrings():
    # Each text lives in the module's tables; `python scripts/docstrings.py
    # --write` copies it into the stubs and tarnu_twin/_docs.py.
    spec = importlib.util.spec_from_file_location("docstrings", os.path.join(ROOT, "scripts", "docstrings.py"))
    script = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(script)
    assert script.compare()[0] == []
    # ...and the twin's classes take them, with none where the module has none.
    import tarnu_api
    import tarnu_twin
    for real, twin, kinds in ((tarnu_api.PyGraphDiff, tarnu_twin.PyGraphDiff, script.METHOD_KINDS),
                              (tarnu_api.DiffCounts, tarnu_twin.DiffCounts, script.FIELD_KINDS)):
        members = [name for name, member in vars(real).items() if type(member).__name__ in kinds and hasattr(twin, name)]
        assert len(members) >= 4
        docs = [[(getattr(cls, name) if name else cls).__doc__ or None for name in [""] + members]
                for cls in (real, twin)]
        assert docs[0] == docs[1]


# (method, args, kwargs, message): one row per parsing rule and method.
PARSING_ERRORS = [
    ("add_node", (), {}, "PyGraphDiff.add_node() missing 2 required positional arguments: 'id' and 'update'"),
    ("add_node", (A,), {}, "PyGraphDiff.add_node() missing 1 required positional argument: 'update'"),
    ("add_node", (1,), {}, "PyGraphDiff.add_node() missing 1 required positional argument: 'update'"),
    ("add_node", (), {"update": {}}, "PyGraphDiff.add_node() missing 1 required positional argument: 'id'"),
    ("add_node", (A, {}, 1), {}, "PyGraphDiff.add_node() takes 2 positional arguments but 3 were given"),
    ("add_node", (A, {}, 1, 2), {"x": 1}, "PyGraphDiff.add_node() takes 2 positional arguments but 4 were given"),
    ("add_node", (A, {}), {"id": A}, "PyGraphDiff.add_node() got multiple values for argument 'id'"),
    ("add_node", (A,), {"id": A}, "PyGraphDiff.add_node() got multiple values for argument 'id'"),
    ("add_node", (A, {}), {"x": 1}, "PyGraphDiff.add_node() got an unexpected keyword argument 'x'"),
    ("add_node", (A,), {"Update": {}}, "PyGraphDiff.add_node() got an unexpected keyword argument 'Update'"),
    ("delete_node", (), {}, "PyGraphDiff.delete_node() missing 1 required positional argument: 'id'"),
    ("delete_node", (A, B), {}, "PyGraphDiff.delete_node() takes 1 positional arguments but 2 were given"),
    ("delete_node", (A, B), {"x": 1}, "PyGraphDiff.delete_node() takes 1 positional arguments but 2 were given"),
    ("delete_node", (), {"x": 1}, "PyGraphDiff.delete_node() got an unexpected keyword argument 'x'"),
    # Keywords are judged in the order given, before missing arguments.
    ("delete_node", (A,), {"x": 1, "id": A}, "PyGraphDiff.delete_node() got an unexpected keyword argument 'x'"),
    ("delete_node", (A,), {"id": A, "x": 1}, "PyGraphDiff.delete_node() got multiple values for argument 'id'"),
    ("add_edge", (), {}, "PyGraphDiff.add_edge() missing 3 required positional arguments: 'from', 'to', and 'weight'"),
    ("add_edge", (A,), {}, "PyGraphDiff.add_edge() missing 2 required positional arguments: 'to' and 'weight'"),
    ("add_edge", (A, B), {}, "PyGraphDiff.add_edge() missing 1 required positional argument: 'weight'"),
    ("add_edge", (), {"to": B}, "PyGraphDiff.add_edge() missing 2 required positional arguments: 'from' and 'weight'"),
    ("add_edge", (), {"weight": 1.0}, "PyGraphDiff.add_edge() missing 2 required positional arguments: 'from' and 'to'"),
    ("add_edge", (A, B, 1.0, 2.0), {}, "PyGraphDiff.add_edge() takes 3 positional arguments but 4 were given"),
    ("add_edge", (A, B, 1.0), {"from": A}, "PyGraphDiff.add_edge() got multiple values for argument 'from'"),
    ("add_edge", (A, B), {"from_": A}, "PyGraphDiff.add_edge() got an unexpected keyword argument 'from_'"),
    ("delete_edge", (), {}, "PyGraphDiff.delete_edge() missing 2 required positional arguments: 'from' and 'to'"),
    ("delete_edge", (A, B, C), {}, "PyGraphDiff.delete_edge() takes 2 positional arguments but 3 were given"),
    ("delete_edge", (A,), {"to": B, "x": 1}, "PyGraphDiff.delete_edge() got an unexpected keyword argument 'x'"),
    ("delete_edge", (A, B), {"to": B}, "PyGraphDiff.delete_edge() got multiple values for argument 'to'"),
    # A keyword name with no UTF-8 form names no parameter; its text is repaired.
    ("delete_node", (A,), {"\udc80x": 1},
     "PyGraphDiff.delete_node() got an unexpected keyword argument '\ufffd\ufffd\ufffdx'"),
]


@pytest.mark.parametrize("method, args, kwargs, message", PARSING_ERRORS)
def test_parsing_errors(impl, method, args, kwargs, message):
    d = seeded(impl)
    before = snapshot(d)
    with pytest.raises(TypeError) as raised:
        getattr(d, method)(*args, **kwargs)
    assert type(raised.value) is TypeError
    assert str(raised.value) == message
    assert raised.value.__cause__ is None
    assert snapshot(d) == before


class Keyword(str):
    def __str__(self):
        return "shown"


def test_keyword_objects_are_matched_by_content_and_shown_by_str(impl):
    d = impl()
    d.delete_node(**{Keyword("id"): A})
    assert d.num_nodes() == 1
    with pytest.raises(TypeError, match=r"^PyGraphDiff.delete_node\(\) got an unexpected keyword argument 'shown'$"):
        d.delete_node(**{Keyword("x"): A})


@pytest.mark.parametrize("call", [
    # Argument values that would fail conversion do not matter while the
    # arguments themselves cannot be parsed.
    lambda d: d.add_node(1),
    lambda d: d.add_node("x", [], 3),
    lambda d: d.add_edge(None, None),
    lambda d: d.delete_edge(b"", x=1),
    lambda d: d.delete_node(**{"id": 5, "ID": 6}),
])
def test_parsing_comes_before_conversion(impl, call):
    with pytest.raises(TypeError) as raised:
        call(impl())
    assert not str(raised.value).startswith("argument")


@pytest.mark.parametrize("name", ["num_nodes", "num_edges", "to_bytes", "clear"])
def test_methods_without_parameters_refuse_arguments(impl, name):
    d = seeded(impl)
    before = snapshot(d)
    for args, kwargs in (((1,), {}), ((), {"x": 1})):
        with pytest.raises(TypeError):
            getattr(d, name)(*args, **kwargs)
    assert snapshot(d) == before


@pytest.mark.parametrize("name", [name for name, _ in METHODS])
def test_foreign_self_is_refused(impl, name):
    args = {"add_node": (A, {}), "delete_node": (A,), "add_edge": (A, B, 1.0), "delete_edge": (A, B)}
    with pytest.raises(TypeError):
        getattr(impl, name)(5, *args.get(name, ()))


@pytest.mark.only("twin", reason="the module's self check is the host's method descriptor, with the host's text")
@pytest.mark.parametrize("name, args, text", [
    ("num_nodes", (5,), "'int' object cannot be converted to 'PyGraphDiff'"),
    ("add_edge", (5, A, B, 1.0), "'int' object cannot be converted to 'PyGraphDiff'"),
    ("delete_edge", (None, A, B), "'NoneType' object cannot be converted to 'PyGraphDiff'"),
])
def test_foreign_self_text(impl, name, args, text):
    with pytest.raises(TypeError) as raised:
        getattr(impl, name)(*args)
    assert str(raised.value) == text


@pytest.mark.only("module", reason="the twin refuses subclasses everywhere")
@pytest.mark.skipif(not IS_PYPY, reason="only PyPy lets the class be subclassed")
def test_subclass_instances_pass_the_self_check(impl):
    class Sub(impl):
        pass

    d = Sub()
    d.add_edge(A, B, 0.5)
    d.add_node(A, {})
    assert (d.num_nodes(), d.num_edges()) == (1, 1)
    reference = impl()
    reference.add_edge(A, B, 0.5)
    reference.add_node(A, {})
    assert d.to_bytes() == reference.to_bytes()


@pytest.mark.parametrize("method, values", [
    ("add_node", {"id": A, "update": {"label": "x"}}),
    ("delete_node", {"id": A}),
    ("add_edge", {"from": A, "to": B, "weight": 0.5}),
    ("delete_edge", {"from": A, "to": B}),
])
def test_keyword_and_mixed_calls_equal_positional_ones(impl, method, values):
    names = list(values)
    expected = impl()
    getattr(expected, method)(*values.values())
    for split in range(len(names) + 1):
        positional = [values[name] for name in names[:split]]
        # Keywords in reverse order: their order must not matter.
        keywords = {name: values[name] for name in reversed(names[split:])}
        d = impl()
        assert getattr(d, method)(*positional, **keywords) is None
        assert d.to_bytes() == expected.to_bytes()
