"""Typed use of every method of tarnu_api; mypy --strict must accept it."""

from __future__ import annotations

import uuid
from typing import TYPE_CHECKING, Any, cast

from tarnu_api import PyGraphDiff

if TYPE_CHECKING:
    from tarnu_api import NodeColumns, NodeUpdate


class Index:
    """Anything with __index__ is a colour channel."""

    def __index__(self) -> int:
        return 7


def build() -> bytes:
    a, b, c = uuid.uuid4().bytes, uuid.uuid4().bytes, bytes(16)
    diff = PyGraphDiff()
    full: NodeUpdate = {
        "label": "Alice",
        "url": "https://example.org/alice",
        "size": 2.5,
        "red": 255,
        "green": True,
        "blue": Index(),
        "show_label": False,
    }
    diff.add_node(a, full)
    diff.add_node(b, {"size": 3})  # an int size is a number too
    diff.add_node(c, {})
    loose: dict[str, Any] = {"label": "Bob", "colour": "ignored at run time"}
    diff.add_node(id=c, update=cast("NodeUpdate", loose))
    diff.add_edge(a, b, 0.5)
    diff.add_edge(a, to=c, weight=1)
    diff.delete_edge(a, c)
    diff.delete_edge(b, to=a)
    diff.delete_node(id=b)
    nodes: int = diff.num_nodes()
    sources: int = diff.num_edges()
    payload: bytes = diff.to_bytes()
    diff.clear()
    assert (nodes, sources) == (3, 3) and len(payload) > 32
    return payload


def bulk() -> bytes:
    import array

    a, b = uuid.uuid4().bytes, uuid.uuid4().bytes
    diff = PyGraphDiff()
    diff.add_edges([a, b], (b, a), [0.5, 1])
    diff.add_edges(a + b, bytearray(b + a), array.array("f", [0.5, 1.0]))
    diff.delete_edges(memoryview(a + b), [b, a])
    diff.add_nodes([a], [{"label": "Alice"}])
    columns: NodeColumns = {"label": ["Bob", None], "red": bytes([1, 2]), "size": [1.5, None]}
    diff.add_nodes(a + b, columns)
    diff.delete_nodes((a,))
    return diff.to_bytes()


def buffers_and_readers() -> float:
    """Any buffer restores and receives an encoding; the readers give back
    the stored types, so arithmetic on them checks."""
    import mmap

    a, b = uuid.uuid4().bytes, uuid.uuid4().bytes
    diff = PyGraphDiff()
    diff.add_node(a, {"size": 2, "red": 3, "label": "x"})
    diff.add_edge(a, b, 0.5)
    payload = diff.to_bytes()
    with mmap.mmap(-1, len(payload)) as mapped:
        assert diff.encode_into(mapped) == len(payload)
        restored = PyGraphDiff.from_bytes(mapped)
    total = 0.0
    for _, update in restored.node_updates():
        if "size" in update and "red" in update and "label" in update:  # each key only when present
            total += update["size"] * 2 + update["red"] / 2
            label: str = update["label"]
            assert label
    for _, _, weight in restored.edge_updates():
        total += weight
    merged = PyGraphDiff()
    merged.merge(restored)
    merged.merge(other=diff)
    counts = merged.counts()
    pairs: int = counts.edge_updates + counts.deleted_edges
    updates, deleted_nodes, edges, deleted_edges = counts
    assert repr(merged).startswith("<PyGraphDiff") and pairs == edges + deleted_edges
    return total + updates + deleted_nodes


def numpy_buffers() -> None:
    """Type-checked only (the smoke run has no numpy): numpy arrays are buffers."""
    import numpy

    diff = PyGraphDiff()
    out = numpy.zeros(diff.encoded_size(), dtype=numpy.uint8)
    diff.encode_into(out)
    PyGraphDiff.from_bytes(out)
    diff.add_edges(numpy.zeros((2, 16), dtype=numpy.uint8), numpy.ones((2, 16), dtype=numpy.uint8),
                   numpy.zeros(2, dtype=numpy.float32))


if __name__ == "__main__":
    print(len(build()), len(bulk()), buffers_and_readers())
