"""A caller out to break the module: foreign types handed to __new__, the
types of the objects it hands out made or subclassed by hand, bytes
subclasses that lie about their length, ids chosen to collide in the id
table, exceptions that must not be swallowed, subinterpreters and a
re-initialised interpreter, and memory kept after clear()."""

import copy
import copyreg
import os
import random
import shutil
import subprocess
import sys
import sysconfig

import pytest

import tarnu_api
from conftest import IS_PYPY, needs_hooks, run_hook, run_python

PyGraphDiff = tarnu_api.PyGraphDiff
cpython_only = pytest.mark.skipif(IS_PYPY, reason="PyPy has no subinterpreters and no re-initialisation")


def table_stats(diff):
    """Longest probe of the diff's id table and the bytes its tables hold."""
    return run_hook("probe", diff)


@pytest.mark.parametrize("requested, text", [
    (object, "builtins.PyGraphDiff.__new__(object): object is not a subtype of builtins.PyGraphDiff"),
    (int, "builtins.PyGraphDiff.__new__(int): int is not a subtype of builtins.PyGraphDiff"),
    (dict, "builtins.PyGraphDiff.__new__(dict): dict is not a subtype of builtins.PyGraphDiff"),
    (Exception, "builtins.PyGraphDiff.__new__(Exception): Exception is not a subtype of builtins.PyGraphDiff"),
    (5, "builtins.PyGraphDiff.__new__(X): X is not a type object (int)"),
])
def test_new_refuses_what_is_not_a_pygraphdiff_type(requested, text):
    with pytest.raises(TypeError) as raised:
        PyGraphDiff.__new__(requested)
    assert str(raised.value) == text
    assert PyGraphDiff.__new__(PyGraphDiff).num_nodes() == 0


# --- the types of the objects the module hands out ----------------------------
#
# to_arrow()'s batches and counts()' DiffCounts are made by the module alone.
# Every other way of making one (the type called, its __new__, object's
# __new__, copyreg's, a subclass) is refused, or, where a host lets an
# instance through, every use of it is refused: nothing reads an instance
# the module did not fill.

def batch_type():
    return type(PyGraphDiff().to_arrow()["node_updates"])


def subclass_of(base):
    return type("Sub", (base,), {})


MAKERS = {
    "call": lambda T: T(),
    "__new__": lambda T: T.__new__(T),
    "object.__new__": lambda T: object.__new__(T),
    "copyreg": lambda T: copyreg.__newobj__(T),
    "subclass": lambda T: subclass_of(T)(),
    "subclass-new": lambda T: T.__new__(subclass_of(T)),
}
USES = [len, repr, copy.copy, copy.deepcopy, lambda b: b.__arrow_c_array__(), lambda b: b.__arrow_c_schema__(),
        lambda b: b.__arrow_c_stream__()]


@pytest.mark.parametrize("maker", MAKERS.values(), ids=MAKERS)
def test_a_batch_is_made_by_to_arrow_alone(maker):
    try:
        made = maker(batch_type())
    except TypeError:
        return
    for use in USES:
        with pytest.raises(TypeError):
            use(made)


@pytest.mark.parametrize("maker", MAKERS.values(), ids=MAKERS)
def test_diff_counts_made_by_hand_are_refused_or_ordinary_tuples(maker):
    counts_type = type(PyGraphDiff().counts())
    try:
        made = maker(counts_type)
    except TypeError:
        made = counts_type((1, 2, 3, 4))  # the one way documented: from four values
    assert isinstance(made, tuple)
    assert copy.copy(made) == copy.deepcopy(made) == tuple(made)
    repr(made)


class Lying(bytes):
    def __len__(self):
        return 16


class Short(bytes):
    def __len__(self):
        return 15


class Raising(bytes):
    def __len__(self):
        raise KeyError("len")


@pytest.mark.parametrize("value", [Lying(b""), Lying(b"\xab" * 15), Lying(b"\xab" * 17)], ids=["0", "15", "17"])
def test_an_id_is_judged_by_the_bytes_it_holds(value):
    d = PyGraphDiff()
    with pytest.raises((TypeError, ValueError)) as raised:
        d.add_edge(value, bytes(16), 1.0)
    if IS_PYPY and raised.type is ValueError:
        # More bytes than len() says: PyPy's C-API layer refuses to copy the
        # argument before the module is called.
        assert "bytes_attach" in str(raised.value)
    else:
        assert str(raised.value) == "argument 'from': failed to extract field PyUuid.0"
        assert str(raised.value.__cause__) == "Expected 16 bytes."
    assert d.to_bytes() == bytes(32)
    d.delete_node(Lying(b"\x07" * 16))
    assert d.to_bytes()[24:40] == b"\x07" * 16


@pytest.mark.parametrize("value", [Short(b"\x01" * 16), Raising(b"\x01" * 16)], ids=["short", "raising"])
def test_a_real_16_byte_subclass_with_a_broken_len(value):
    d = PyGraphDiff()
    if IS_PYPY:
        # PyPy's C-API layer sizes its C copy of the argument by len() before
        # the module is called; it fails there, and nothing is recorded.
        with pytest.raises((ValueError, KeyError, MemoryError)):
            d.delete_node(value)
        assert d.to_bytes() == bytes(32)
    else:
        d.delete_node(value)
        assert d.to_bytes()[24:40] == b"\x01" * 16


# The id hash before it took a key (fixed constants), and ids chosen to
# share the low 32 bits of it, which is what the id table probes by: with the
# first half equal to the constant it is mixed with, the product vanishes and
# the second half follows from the wanted hash by undoing the final mix.
M64 = (1 << 64) - 1
C1, C2, MIX = 0x9E3779B97F4A7C15, 0xC2B2AE3D27D4EB4F, 0x165667919E3779F9


def unkeyed_hash(node_id):
    lo = int.from_bytes(node_id[:8], "little") ^ C1
    hi = int.from_bytes(node_id[8:], "little") ^ C2
    product = lo * hi
    rotated = ((lo << 32) | (lo >> 32)) & M64
    h = (16 + rotated + hi + ((product & M64) ^ (product >> 64))) & M64
    h ^= h >> 37
    h = (h * MIX) & M64
    return h ^ (h >> 32)


def colliding_ids(count, low=0x5EED):
    inverse = pow(MIX, -1, 1 << 64)
    for j in range(1, count + 1):
        h = (j << 32) | low
        h ^= h >> 32
        h = (h * inverse) & M64
        h ^= h >> 37
        yield C1.to_bytes(8, "little") + (((h - 16) & M64) ^ C2).to_bytes(8, "little")


@needs_hooks
@pytest.mark.parametrize("table", ["id pool", "node table"])
def test_ids_chosen_to_collide_do_not_share_a_probe_run(table):
    chosen = list(colliding_ids(20000))
    assert {unkeyed_hash(i) & 0xFFFFFFFF for i in chosen} == {0x5EED}
    d = PyGraphDiff()
    hub = bytes(16)
    for node_id in chosen:
        if table == "id pool":
            d.add_edge(hub, node_id, 1.0)
        else:  # node updates are kept apart from the pool, with a table of their own
            d.add_node(node_id, {"red": 1})
    probe, _ = table_stats(d)
    assert probe < 200  # the unkeyed hash put all 20,000 in one run


def test_the_key_changes_no_byte_of_the_output():
    # Two processes draw two keys; the same operations give the same bytes.
    code = """
        import random, sys, tarnu_api
        rng = random.Random(7)
        ids = [rng.randbytes(16) for _ in range(300)]
        d = tarnu_api.PyGraphDiff()
        for step in range(5000):
            a, b = rng.choice(ids), rng.choice(ids)
            kind = rng.random()
            if kind < 0.6: d.add_edge(a, b, step)
            elif kind < 0.8: d.delete_edge(a, b)
            elif kind < 0.95: d.add_node(a, {"size": step})
            else: d.delete_node(a)
        sys.stdout.write(d.to_bytes().hex())
    """
    if sys.version_info < (3, 9):
        pytest.skip("randbytes")
    first, second = run_python(code), run_python(code)
    assert first.returncode == 0, first.stderr
    assert first.stdout == second.stdout and len(first.stdout) > 10000


class LoudMeta(type):
    raised = KeyboardInterrupt
    names = ("__qualname__", "__module__")

    def __getattribute__(cls, name):
        if name in LoudMeta.names:
            raise LoudMeta.raised()
        return super().__getattribute__(name)


class Loud(metaclass=LoudMeta):
    pass


@pytest.mark.parametrize("raised", [KeyboardInterrupt, SystemExit])
def test_interrupts_while_naming_a_type_are_not_swallowed(raised):
    LoudMeta.raised = raised
    d = PyGraphDiff()
    with pytest.raises(raised):
        d.delete_node(Loud())  # the id's error text names its type
    with pytest.raises(raised):
        d.add_node(bytes(16), {"show_label": Loud()})  # is it numpy's bool?
    LoudMeta.names = ("__module__",)
    with pytest.raises(raised):
        d.delete_nodes(Loud())  # is it a pandas Index?
    LoudMeta.names = ("__qualname__", "__module__")
    LoudMeta.raised = LookupError  # an ordinary failure still counts as "no name"
    with pytest.raises(TypeError, match="failed to extract"):
        d.delete_node(Loud())
    assert d.to_bytes() == bytes(32)


@needs_hooks
def test_clear_gives_back_what_the_next_batch_does_not_need():
    d = PyGraphDiff()
    rng = random.Random(3)
    hubs = [rng.randbytes(16) for _ in range(20)]
    for hub in hubs:
        for _ in range(5000):
            d.add_edge(hub, rng.randbytes(16), 1.0)
    _, full = table_stats(d)
    for hub in hubs:
        d.delete_node(hub)
    assert len(d.to_bytes()) == 32 + 24 * 20
    d.clear()  # 100,000 ids were interned, 20 are still named
    _, cleared = table_stats(d)
    assert cleared < full / 50
    # The usual cycle (fill, encode, clear) keeps the room of a like batch;
    # a small batch after a large one gives the large one's room back.
    ids = [rng.randbytes(16) for _ in range(50000)]
    for a, b in zip(ids, ids[1:]):
        d.add_edge(a, b, 1.0)
    _, full = table_stats(d)
    d.clear()
    assert table_stats(d)[1] > full / 2
    d.add_edge(ids[0], ids[1], 1.0)
    d.clear()
    assert table_stats(d)[1] < full / 50
    # Node updates have a table of their own, held to the same rule.
    for node_id in ids:
        d.add_node(node_id, {"label": "x"})
    _, full = table_stats(d)
    d.clear()
    assert table_stats(d)[1] > 0  # the slots, kept for a like batch
    d.add_node(ids[0], {"red": 1})
    d.clear()
    assert table_stats(d)[1] < full / 50


SUBINTERPRETER_IMPORT = """
    import {module}, sys, tempfile
    out = tempfile.mktemp()
    code = (
        "try:\\n"
        "    import tarnu_api\\n"
        "    result = 'imported'\\n"
        "except ImportError as error:\\n"
        "    result = str(error)\\n"
        "open(%r, 'w').write(result)\\n" % out
    )
    {main_first}
    {run}
    print(open(out).read())
    import tarnu_api
    d = tarnu_api.PyGraphDiff()
    d.add_edge(bytes(16), bytes(16), 1.0)
    assert isinstance(tarnu_api.PyGraphDiff, type) and len(d.to_bytes()) == 92
    print("main ok")
"""


def subinterpreter_runners():
    runners = [("_testcapi", "_testcapi.run_in_subinterp(code)")]
    if sys.version_info >= (3, 13):
        runners.append(("_interpreters", "i = _interpreters.create(); _interpreters.run_string(i, code); "
                                          "_interpreters.destroy(i)"))
    elif sys.version_info >= (3, 12):
        runners.append(("_xxsubinterpreters", "i = _xxsubinterpreters.create(); "
                                               "_xxsubinterpreters.run_string(i, code); "
                                               "_xxsubinterpreters.destroy(i)"))
    return runners


@cpython_only
@pytest.mark.parametrize("main_first", [False, True], ids=["sub-first", "main-first"])
@pytest.mark.parametrize("module, run", subinterpreter_runners(), ids=lambda v: v if "(" not in v else "")
def test_subinterpreters_are_refused_before_anything_is_made(module, run, main_first):
    try:
        __import__(module)
    except ImportError:
        pytest.skip(f"{module} is not built into this interpreter")
    result = run_python(SUBINTERPRETER_IMPORT.format(
        module=module, run=run, main_first="import tarnu_api" if main_first else ""))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert "cannot be imported in a subinterpreter" in lines[0] or "subinterpreters" in lines[0], lines
    assert lines[-1] == "main ok"
    assert "invalid" not in result.stderr and "Fatal" not in result.stderr


EMBED = r"""
#include <Python.h>
#include <stdio.h>
static int round_trip(int n) {
    Py_Initialize();
    int rc = PyRun_SimpleString(
        "import tarnu_api\n"
        "d = tarnu_api.PyGraphDiff()\n"
        "d.add_node(bytes(16), {'label': 'x'})\n"
        "assert isinstance(tarnu_api.PyGraphDiff, type), tarnu_api.PyGraphDiff\n"
        "assert tarnu_api.__all__ == ['PyGraphDiff'], tarnu_api.__all__\n"
        "print('round', len(d.to_bytes()))\n");
    if (Py_FinalizeEx() != 0) return 1;
    return rc;
}
int main(void) {
    for (int n = 0; n < 3; ++n) if (round_trip(n) != 0) return 1;
    return 0;
}
"""


@cpython_only
def test_the_module_is_built_afresh_after_the_interpreter_is_reinitialised(tmp_path):
    # The config of this very interpreter's ABI: a debug build's module
    # (python3.11d) cannot be imported by the release libpython.
    config = shutil.which(f"python{sysconfig.get_python_version()}{sys.abiflags}-config",
                          path=os.path.dirname(os.path.realpath(sys.executable)))
    compiler = shutil.which("cc") or shutil.which("gcc")
    if not config or not compiler or not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        pytest.skip("no shared libpython to embed")
    flags = subprocess.run([config, "--cflags", "--embed", "--ldflags"], capture_output=True, text=True).stdout
    source = tmp_path / "embed.c"
    source.write_text(EMBED)
    program = tmp_path / "embed"
    libdir = sysconfig.get_config_var("LIBDIR")
    built = subprocess.run([compiler, str(source), "-o", str(program), *flags.split(), f"-Wl,-rpath,{libdir}"],
                           capture_output=True, text=True)
    assert built.returncode == 0, built.stderr
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    result = subprocess.run([str(program)], capture_output=True, text=True, env=env, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.split("\n")[:3] == ["round 77"] * 3
