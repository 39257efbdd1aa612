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


if __name__ == "__main__":
    print(len(build()), len(bulk()))
