"""The module and its class: import, identity on re-import, the type's shape,
construction and deallocation, and the failure hooks of the entry frame."""

import gc
import importlib
import os
import re
import subprocess
import sys

import pytest

import tarnu_api
from conftest import HOOKS, IS_PYPY, ROOT, needs_hooks, run_hook, resident_bytes, run_python

PyGraphDiff = tarnu_api.PyGraphDiff
EMPTY_DIFF = bytes(32)


def class_refcount():
    if hasattr(sys, "getrefcount"):
        return sys.getrefcount(PyGraphDiff)
    if not HOOKS:
        pytest.skip("no way to read the class's reference count here")
    # PyPy has no sys.getrefcount: a test hook reports the count.
    return run_hook("refcount")


class TestModule:
    def test_contents(self):
        assert tarnu_api.__all__ == ["PyGraphDiff"]
        assert type(tarnu_api.__all__) is list
        assert isinstance(PyGraphDiff, type)
        if IS_PYPY:
            # PyPy treats an empty module doc as none and shows the doc of
            # the module type instead (docs/platform.md).
            assert tarnu_api.__doc__.startswith("module(name")
        else:
            assert tarnu_api.__doc__ == ""
        public = {name for name in vars(tarnu_api) if not name.startswith("_")}
        # DiffCounts is there for pickle, which finds counts()' type by name.
        assert public == {"PyGraphDiff", "DiffCounts"}
        assert tarnu_api.DiffCounts is type(PyGraphDiff().counts())
        # The one private name: the function pickle imports to restore a diff
        # (and, in a build with the test hooks, the hooks' own functions).
        private = {name for name in vars(tarnu_api) if name.startswith("_") and not name.startswith("__")}
        assert private - {"_test_hook"} == {"_graph_diff_from_bytes"}

    def test_version_is_the_one_in_pyproject(self):
        with open(os.path.join(ROOT, "pyproject.toml")) as pyproject:
            version = re.search(r'^version = "([^"]+)"$', pyproject.read(), re.MULTILINE).group(1)
        assert tarnu_api.__version__ == version

    def test_reimport_returns_the_same_module_and_class(self):
        module, cls = tarnu_api, tarnu_api.PyGraphDiff
        module.marker = 42
        try:
            del sys.modules["tarnu_api"]
            again = importlib.import_module("tarnu_api")
            if IS_PYPY and again is not module:
                # PyPy's C-API layer builds a new module object on re-import
                # without calling the entry point again (docs/platform.md).
                assert again.PyGraphDiff is cls
                return
            assert again is module
            assert again.marker == 42
            assert again.PyGraphDiff is cls
            assert again.__all__ == ["PyGraphDiff"]
        finally:
            sys.modules["tarnu_api"] = module
            del module.marker

    def test_entry_point_is_the_only_exported_symbol(self):
        nm = subprocess.run(["nm", "-D", "--defined-only", tarnu_api.__file__], capture_output=True, text=True)
        if nm.returncode != 0:
            pytest.skip("nm is not available")
        symbols = [line.split()[-1] for line in nm.stdout.splitlines() if line.strip()]
        assert symbols == ["PyInit_tarnu_api"]


class TestClass:
    def test_names_and_doc(self):
        assert PyGraphDiff.__name__ == "PyGraphDiff"
        assert PyGraphDiff.__qualname__ == "PyGraphDiff"
        assert PyGraphDiff.__module__ == "builtins"
        assert PyGraphDiff.__doc__ in ("PyGraphDiff()\n--\n\n", None, "")
        if not IS_PYPY:
            assert PyGraphDiff.__doc__ == ""  # the host moves the signature out
            # CPython 3.9 shows no text signature on heap types (docs/platform.md).
            assert PyGraphDiff.__text_signature__ == (None if sys.version_info < (3, 10) else "()")

    def test_cannot_be_subclassed(self):
        if IS_PYPY:
            pytest.skip("PyPy's C-API layer accepts any C type as a base (docs/platform.md)")
        with pytest.raises(TypeError):
            class Sub(PyGraphDiff):
                pass

    def test_host_differences(self):
        # docs/platform.md, "Weak references, attributes and subclasses": one
        # assertion per row, on the interpreter that runs it.
        import copy
        import weakref
        d = PyGraphDiff()
        d.add_edge(bytes(16), bytes(15) + b"\x01", 1.0)
        if not IS_PYPY:
            with pytest.raises(TypeError, match="cannot create weak reference"):
                weakref.ref(d)
            with pytest.raises(AttributeError):
                d.tag = 1
            with pytest.raises(TypeError, match="not an acceptable base type"):
                type("Sub", (PyGraphDiff,), {})
            assert PyGraphDiff.merge.__doc__.startswith("Records other's content")
            return
        assert weakref.ref(d)() is d
        d.tag = 1
        assert d.__dict__ == {"tag": 1}
        sub_class = type("Sub", (PyGraphDiff,), {})
        sub = sub_class.from_bytes(d.to_bytes())
        assert type(sub) is PyGraphDiff and sub.to_bytes() == d.to_bytes()
        sub = sub_class()
        assert type(copy.copy(sub)) is PyGraphDiff
        assert PyGraphDiff.merge.__doc__ is None

    def test_instances_have_no_dict(self):
        d = PyGraphDiff()
        if IS_PYPY:
            pytest.skip("PyPy's C-API layer gives instances a __dict__ (docs/platform.md)")
        assert not hasattr(d, "__dict__")
        with pytest.raises(AttributeError):
            d.anything = 1

    def test_new_instance_is_empty(self):
        d = PyGraphDiff()
        assert d.num_nodes() == 0
        assert d.num_edges() == 0
        assert d.to_bytes() == EMPTY_DIFF

    @pytest.mark.parametrize("args, kwargs, message", [
        ((1,), {}, "PyGraphDiff.__new__() takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, "PyGraphDiff.__new__() takes 0 positional arguments but 2 were given"),
        ((), {"x": 1}, "PyGraphDiff.__new__() got an unexpected keyword argument 'x'"),
        ((1,), {"x": 1}, "PyGraphDiff.__new__() takes 0 positional arguments but 1 was given"),
    ])
    def test_constructor_rejects_arguments(self, args, kwargs, message):
        with pytest.raises(TypeError) as raised:
            PyGraphDiff(*args, **kwargs)
        assert str(raised.value) == message
        assert raised.value.__cause__ is None

    def test_many_instances_leak_neither_references_nor_memory(self):
        def churn(count):
            for _ in range(count):
                d = PyGraphDiff()
                d.add_edge(b"a" * 16, b"b" * 16, 1.0)
                del d
            gc.collect()

        churn(20_000)
        before_refs = class_refcount()
        before_memory = resident_bytes()
        churn(100_000)
        if IS_PYPY:
            # PyPy may free instances left by earlier tests during the churn,
            # each giving its reference to the class back. A reference kept or
            # dropped per instance would move the count by 100,000.
            assert abs(class_refcount() - before_refs) < 100
        else:
            assert class_refcount() == before_refs
        # PyPy's heap may still be settling after the warm-up (platform.md,
        # "PyPy's nursery"); a leak grows in every window, that growth stops.
        for _ in range(2 if IS_PYPY else 0):
            if resident_bytes() - before_memory < 4 * 1024 * 1024:
                break
            before_memory = resident_bytes()
            churn(100_000)
        assert resident_bytes() - before_memory < 4 * 1024 * 1024


@needs_hooks
class TestEntryFrame:
    def fatal_class(self):
        try:
            run_hook("throw")
        except BaseException as error:  # noqa: B036 - the class is not exported
            return type(error)
        pytest.fail("the hook did not fire")

    def test_internal_failure_becomes_the_fatal_error(self):
        d = PyGraphDiff()
        d.add_node(b"n" * 16, {})
        before = d.to_bytes()
        with pytest.raises(BaseException) as raised:
            run_hook("throw", d)
        error = raised.value
        assert not isinstance(error, Exception)
        assert type(error).__bases__ == (BaseException,)
        assert type(error).__module__ == "tarnu_api"
        assert error.args == ("test hook: internal failure",)
        assert type(error) is self.fatal_class()  # made once per process
        # The borrow was given back and nothing changed.
        assert d.to_bytes() == before
        d.delete_node(b"n" * 16)
        assert d.num_nodes() == 1

    def test_allocation_failure_is_memory_error(self):
        d = PyGraphDiff()
        with pytest.raises(MemoryError):
            run_hook("bad_alloc", d)
        assert d.num_nodes() == 0
        d.delete_node(b"n" * 16)
        assert d.num_nodes() == 1

    def test_failure_in_deallocation_goes_to_the_unraisable_hook(self):
        seen = []
        old_hook = sys.unraisablehook
        sys.unraisablehook = seen.append
        try:
            d = PyGraphDiff()
            run_hook("fail_dealloc")
            del d
            gc.collect()
        finally:
            sys.unraisablehook = old_hook
        assert len(seen) == 1
        assert seen[0].exc_value.args == ("test hook: deallocation failure",)
        assert type(seen[0].exc_value) is self.fatal_class()

    def test_the_hook_entry_point_checks_what_it_is_given(self):
        with pytest.raises(ValueError, match="unknown test hook: nothing"):
            run_hook("nothing")
        with pytest.raises(TypeError, match="needs a PyGraphDiff"):
            run_hook("probe")
        with pytest.raises(TypeError, match="'int' object cannot be converted to 'PyGraphDiff'"):
            run_hook("invariants", 5)
        # A diff's hook takes its borrow like a method: a change in progress
        # refuses it, and a failed hook gives it back.
        d = PyGraphDiff()

        class Probing:
            def __float__(self):
                with pytest.raises(RuntimeError, match="Already mutably borrowed"):
                    run_hook("probe", d)
                return 1.0

        d.add_edge(b"a" * 16, b"b" * 16, Probing())
        assert run_hook("invariants", d) == "consistent"
        with pytest.raises(MemoryError):
            run_hook("bad_alloc", d)
        assert run_hook("probe", d)[1] > 0


@needs_hooks
class TestInitialisationFailures:
    def test_type_creation_failure_is_runtime_error_with_cause(self):
        result = run_python("""
            try:
                import tarnu_api
            except RuntimeError as error:
                print(repr(str(error)), type(error.__cause__).__name__, str(error.__cause__))
        """, TARNU_TEST_INIT_HOOK="fail-type")
        assert result.stdout.strip() == (
            "'An error occurred while initializing class PyGraphDiff' ValueError test hook: type creation refused"
        ), result.stderr

    def test_existing_all_list_is_extended(self):
        result = run_python("import tarnu_api; print(tarnu_api.__all__)", TARNU_TEST_INIT_HOOK="all-list")
        assert result.stdout.strip() == "['seeded', 'PyGraphDiff']", result.stderr

    def test_existing_all_not_a_list_is_refused(self):
        result = run_python("""
            try:
                import tarnu_api
            except TypeError as error:
                print(error)
        """, TARNU_TEST_INIT_HOOK="all-tuple")
        assert result.stdout.strip() == "'tuple' object cannot be converted to 'PyList'", result.stderr


@needs_hooks
class TestResultFailures:
    def test_encoder_failure_is_the_serialize_exception(self):
        d = PyGraphDiff()
        d.add_edge(b"a" * 16, b"b" * 16, 1.0)
        run_hook("fail_encoding")
        with pytest.raises(Exception) as raised:
            d.to_bytes()
        assert type(raised.value) is Exception
        assert raised.value.args == ("Failed to serialize graph diff.",)
        assert raised.value.__cause__ is None
        # Four counts, one source with one edge.
        assert len(d.to_bytes()) == 32 + 32 + 28

    def test_result_the_host_cannot_make_is_printed_and_fatal(self, capfd):
        d = PyGraphDiff()
        run_hook("fail_result")
        with pytest.raises(BaseException) as raised:
            d.num_nodes()
        assert not isinstance(raised.value, Exception)
        assert raised.value.args == ("Python API call failed",)
        assert "test hook: result refused" in capfd.readouterr().err
        assert d.num_nodes() == 0
