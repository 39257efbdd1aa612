"""Decode the bytes of ``PyGraphDiff.to_bytes()`` into plain Python values.

The encoding lists entries in whatever order the encoder's tables hold them,
and that order means nothing. ``decode`` therefore returns a canonical
``DecodedDiff``: dicts and frozensets that compare equal exactly when two
encodings describe the same diff. Weights are kept as their 32-bit patterns so
that NaN payloads and negative zero compare bit for bit.

Used as a script it prints a summary of an encoded diff read from a file (or
from standard input with ``-``); with no argument it builds a small diff with
``tarnu_api`` and decodes that (without ``tarnu_api``, with the pure-Python
twin, when run from the top of the checkout as ``python -m
examples.decode_diff``).

    python examples/decode_diff.py diff.bin
"""

import struct
import sys
from typing import Dict, FrozenSet, NamedTuple

_U64 = struct.Struct("<Q")
_U32 = struct.Struct("<I")
_F32 = struct.Struct("<f")


class DecodeError(ValueError):
    """The bytes are not one complete, well-formed encoded diff."""


class DecodedDiff(NamedTuple):
    nodes: Dict[bytes, str]  # node id -> JSON text of its update
    deleted_nodes: FrozenSet[bytes]
    edges: Dict[bytes, Dict[bytes, int]]  # source -> target -> weight bit pattern
    deleted_edges: Dict[bytes, FrozenSet[bytes]]  # source -> targets

    def weight(self, source, target):
        """The weight of a pending edge as a Python float."""
        return _F32.unpack(_U32.pack(self.edges[source][target]))[0]


class _Reader:
    def __init__(self, data):
        self.data = memoryview(data).cast("B")
        self.offset = 0

    def take(self, n, what):
        end = self.offset + n
        if end > len(self.data):
            raise DecodeError(
                "truncated at offset %d: %s needs %d bytes, %d left"
                % (self.offset, what, n, len(self.data) - self.offset)
            )
        chunk = self.data[self.offset : end]
        self.offset = end
        return chunk

    def count(self, what):
        value = _U64.unpack(self.take(8, what))[0]
        # Every counted entry takes at least 24 bytes: refuse absurd counts early.
        if value > (len(self.data) - self.offset) // 24:
            raise DecodeError("count %d of %s at offset %d exceeds the data" % (value, what, self.offset - 8))
        return value

    def node_id(self, what):
        at = self.offset
        length = _U64.unpack(self.take(8, what + " id length"))[0]
        if length != 16:
            raise DecodeError("%s at offset %d: id length %d, expected 16" % (what, at, length))
        return bytes(self.take(16, what + " id"))


def _unique(mapping, key, what, at):
    if key in mapping:
        raise DecodeError("%s %s listed twice (offset %d)" % (what, key.hex(), at))


def decode(data):
    """Decode one encoded diff; raise ``DecodeError`` for anything malformed."""
    reader = _Reader(data)

    nodes = {}
    for _ in range(reader.count("node entries")):
        at = reader.offset
        node = reader.node_id("node")
        length = _U64.unpack(reader.take(8, "text length"))[0]
        raw = bytes(reader.take(length, "node text"))
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as exc:
            raise DecodeError("node %s: text is not UTF-8 (%s)" % (node.hex(), exc)) from exc
        _unique(nodes, node, "node", at)
        nodes[node] = text

    deleted_nodes = set()
    for _ in range(reader.count("deleted nodes")):
        at = reader.offset
        node = reader.node_id("deleted node")
        _unique(deleted_nodes, node, "deleted node", at)
        deleted_nodes.add(node)

    edges = {}
    for _ in range(reader.count("edge sources")):
        at = reader.offset
        source = reader.node_id("edge source")
        _unique(edges, source, "edge source", at)
        targets = edges[source] = {}
        for _ in range(reader.count("edge targets")):
            at = reader.offset
            target = reader.node_id("edge target")
            _unique(targets, target, "edge target", at)
            targets[target] = _U32.unpack(reader.take(4, "weight"))[0]

    deleted_edges = {}
    for _ in range(reader.count("deleted-edge sources")):
        at = reader.offset
        source = reader.node_id("deleted-edge source")
        _unique(deleted_edges, source, "deleted-edge source", at)
        targets = set()
        for _ in range(reader.count("deleted-edge targets")):
            at = reader.offset
            target = reader.node_id("deleted-edge target")
            _unique(targets, target, "deleted-edge target", at)
            targets.add(target)
        deleted_edges[source] = frozenset(targets)

    if reader.offset != len(reader.data):
        raise DecodeError(
            "%d trailing bytes after the last section" % (len(reader.data) - reader.offset)
        )
    return DecodedDiff(nodes, frozenset(deleted_nodes), edges, deleted_edges)


def summary(diff, limit=5):
    """A few lines describing a decoded diff, for people."""
    pending = sum(len(t) for t in diff.edges.values())
    removed = sum(len(t) for t in diff.deleted_edges.values())
    lines = [
        "%d node updates, %d deleted nodes" % (len(diff.nodes), len(diff.deleted_nodes)),
        "%d pending edges from %d sources, %d deleted edges from %d sources"
        % (pending, len(diff.edges), removed, len(diff.deleted_edges)),
    ]
    for node, text in sorted(diff.nodes.items())[:limit]:
        lines.append("  update %s %s" % (node.hex(), text))
    for node in sorted(diff.deleted_nodes)[:limit]:
        lines.append("  delete %s" % node.hex())
    shown = 0
    for source, targets in sorted(diff.edges.items()):
        for target in sorted(targets):
            if shown == limit:
                break
            lines.append(
                "  edge   %s -> %s weight %r"
                % (source.hex(), target.hex(), diff.weight(source, target))
            )
            shown += 1
    shown = 0
    for source, targets in sorted(diff.deleted_edges.items()):
        for target in sorted(targets):
            if shown == limit:
                break
            lines.append("  unlink %s -> %s" % (source.hex(), target.hex()))
            shown += 1
    return "\n".join(lines)


def _demo_bytes():
    try:
        from tarnu_api import PyGraphDiff
    except ImportError:
        # The twin is a package at the top of the checkout: found when this
        # runs from there (python -m examples.decode_diff).
        from tarnu_twin import PyGraphDiff

        print("tarnu_api is not installed: using the pure-Python twin", file=sys.stderr)
    a, b, c = (bytes(15) + bytes([i]) for i in (1, 2, 3))
    diff = PyGraphDiff()
    diff.add_node(a, {"label": "A", "size": 1.5, "red": 255, "show_label": True})
    diff.add_node(b, {"label": "B", "url": "https://example.org/b"})
    diff.add_edge(a, b, 0.5)
    diff.add_edge(b, c, 2.0)
    diff.delete_node(c)
    return diff.to_bytes()


def main(argv):
    if len(argv) > 1:
        print(__doc__.strip().splitlines()[0])
        print("usage: decode_diff.py [FILE | -]")
        return 2
    if not argv:
        data = _demo_bytes()
    elif argv[0] == "-":
        data = sys.stdin.buffer.read()
    else:
        with open(argv[0], "rb") as f:
            data = f.read()
    try:
        diff = decode(data)
    except DecodeError as exc:
        print("not a valid encoded diff: %s" % exc, file=sys.stderr)
        return 1
    print("%d bytes" % len(data))
    print(summary(diff))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
