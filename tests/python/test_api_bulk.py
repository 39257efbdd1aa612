"""The bulk methods where the model test cannot reach: out of memory
part-way (through the test hooks), re-entry from a weights sequence, buffers
given back on every path, and buffer layouts that are refused."""

import array

import pytest

import tarnu_api
import tarnu_twin
from conftest import A, B, C, needs_hooks, run_hook
from decode_diff import decode

PyGraphDiff = tarnu_api.PyGraphDiff
IDS = [bytes(15) + bytes([i]) for i in range(1, 6)]
try:
    import numpy
except ImportError:  # the debug CPython of the reliability pass
    numpy = None


def seeded():
    d = PyGraphDiff()
    d.add_edge(A, B, 1.0)
    d.delete_node(C)
    d.delete_edge(B, A)
    return d


def state(d):
    return d.num_nodes(), d.num_edges(), decode(d.to_bytes())


def partners(ids):
    return [IDS[(IDS.index(i) + 2) % 5] for i in ids]


# One batch of five items per method; items 0 and 2 touch the deleted node C.
BATCHES = {
    "add_edges": lambda ids: (b"".join(ids), b"".join(partners(ids)), [float(i) for i in range(len(ids))]),
    "delete_edges": lambda ids: (list(ids), tuple(partners(ids))),
    "delete_nodes": lambda ids: (b"".join(ids),),
    "add_nodes": lambda ids: (ids, {"label": ["n"] * len(ids), "red": bytes(range(len(ids)))}),
}


@needs_hooks
@pytest.mark.parametrize("done", [0, 2, 4])
@pytest.mark.parametrize("method", sorted(BATCHES))
def test_out_of_memory_leaves_exactly_a_prefix(method, done):
    expected = seeded()
    getattr(expected, method)(*BATCHES[method](IDS[:done]))
    for _ in range(done + 1):  # each hook call moves the failure one item later
        run_hook("bulk_bad_alloc")
    d = seeded()
    with pytest.raises(MemoryError) as raised:
        getattr(d, method)(*BATCHES[method](IDS))
    assert str(raised.value) == (
        "PyGraphDiff.%s() ran out of memory after %d of 5 items; the diff holds the effect of the first %d"
        % (method, done, done))
    assert state(d) == state(expected)
    getattr(d, method)(*BATCHES[method](IDS))  # the diff works on


class Reenters:
    def __init__(self, call, swallow):
        self.call, self.swallow, self.seen = call, swallow, None

    def __float__(self):
        try:
            self.call()
        except RuntimeError as error:
            self.seen = str(error)
            if not self.swallow:
                raise
        return 2.0


@pytest.mark.parametrize("call, text", [("clear", "Already borrowed"), ("num_nodes", "Already mutably borrowed"),
                                        ("add_edges", "Already borrowed")])
def test_weights_that_call_back_meet_the_borrow(call, text):
    d = seeded()
    before = state(d)
    inner = {"clear": lambda: d.clear(), "num_nodes": lambda: d.num_nodes(),
             "add_edges": lambda: d.add_edges([A], [B], [1.0])}[call]
    raising = Reenters(inner, swallow=False)
    with pytest.raises(RuntimeError, match="^argument 'weights': item 1: %s$" % text):
        d.add_edges([A, B], [B, A], [1.0, raising])
    assert raising.seen == text and state(d) == before
    swallowing = Reenters(inner, swallow=True)
    d.add_edges([A, B], [B, A], [1.0, swallowing])
    assert swallowing.seen == text and decode(d.to_bytes()).edges[B][A] == 0x40000000


def test_buffers_are_given_back_on_every_path():
    ids, weights = bytearray(A + B), array.array("d", [1.0, 2.0])
    calls = [
        lambda d: d.add_edges(ids, ids, weights),
        lambda d: d.add_edges(ids, memoryview(ids)[:16], weights),  # lengths differ
        lambda d: d.add_edges(ids, [A, 5], weights),  # a bad item
        lambda d: d.add_edges(ids, ids, memoryview(ids).cast("i")),  # a refused format
        lambda d: d.add_nodes(ids, {"size": weights, "red": ids[:2], "label": ["a", 1]}),
        lambda d: d.delete_edges(ids, ids) or d.delete_nodes(ids),
    ]
    for call in calls:
        try:
            call(PyGraphDiff())
        except (TypeError, ValueError):
            pass
        ids += b"x"  # a buffer still exported would refuse to resize
        del ids[-1:]
        weights.append(0.0)
        weights.pop()


def refused_layouts():
    cases = [([A], [B], array.array("d", [1.0, 2.0])[:1].tobytes()),  # weights as bytes: format 'B'
             (memoryview(A + B)[::2], [B], [1.0]), ([A], [B], {1.0}), (b"", bytearray(), memoryview(b"").cast("d"))]
    if numpy is not None:
        grid = numpy.zeros((4, 16), numpy.uint8)
        cases += [(grid[::2], grid[1::2], [1.0, 1.0]), (grid[:2], grid[2:], numpy.ones((2, 1))),
                  (grid[:1], grid[1:2], numpy.ones(1, numpy.int64)), (grid.T.copy().T, grid, [1.0] * 4)]
    return cases


@pytest.mark.parametrize("args", refused_layouts())
def test_layouts_as_the_twin_judges_them(args):
    def outcome(cls):
        try:
            cls().add_edges(*args)
            return "returned"
        except Exception as error:  # noqa: BLE001 - every exception is compared
            return type(error), str(error)

    assert outcome(PyGraphDiff) == outcome(tarnu_twin.PyGraphDiff)


def test_a_list_shortened_while_it_converts(impl):
    weights = [1.0, None, 2.0]

    class Clears:
        def __float__(self):
            weights.clear()
            return 1.0

    weights[1] = Clears()
    d = impl()
    with pytest.raises(RuntimeError, match="^argument 'weights': the list changed size while its items were converted$"):
        d.add_edges([A, B, C], [A, B, C], weights)
    assert d.num_edges() == 0
