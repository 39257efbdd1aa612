"""from_bytes: a strict reader that accepts only what to_bytes writes."""

import json
import math

from tarnu_twin.binary import _pack_f, _unpack_f, _unpack_q
from tarnu_twin.json_text import node_update_json
from tarnu_twin.properties import JSON_KEYS, KINDS

_JSON_POSITION = {json_key: i for i, json_key in enumerate(JSON_KEYS)}


class _Restore:
    """Reads an encoding strictly into an empty twin, in the encoding's order."""

    def __init__(self, data, diff):
        self.data = data
        self.at = 0
        self.diff = diff

    def fail(self, at, reason):
        raise ValueError("invalid encoded diff at byte %d: %s" % (at, reason))

    def take(self, n, what):
        if len(self.data) - self.at < n:
            self.fail(self.at, "truncated: %s needs %d bytes, %d left" % (what, n, len(self.data) - self.at))
        chunk = bytes(self.data[self.at:self.at + n])
        self.at += n
        return chunk

    def count(self, entry_bytes, what):
        value = _unpack_q(self.take(8, what))[0]
        if value > (len(self.data) - self.at) // entry_bytes:
            self.fail(self.at - 8, "truncated: count %d of %s" % (value, what))
        return value

    def node_id(self, what):
        length = _unpack_q(self.take(8, what))[0]
        if length != 16:
            self.fail(self.at - 8, "%s id length %d, expected 16" % (what, length))
        return self.take(16, what)

    def update(self, raw, at):
        try:
            pairs = json.loads(raw.decode("utf-8"), object_pairs_hook=list)
            fields = [None] * len(JSON_KEYS)
            last = -1
            for key, value in pairs:
                position = _JSON_POSITION[key]
                if position <= last:
                    raise ValueError("key repeated or out of order")
                last = position
                kind = KINDS[position]
                if kind == "Float":
                    value = math.nan if value is None else _unpack_f(_pack_f(value))[0]
                elif kind == "Colour" and not (type(value) is int and 0 <= value <= 255):
                    raise ValueError("colour outside 0-255")
                fields[position] = value
            update = tuple(fields)
            if node_update_json(update) != raw:  # only the writer's exact text is accepted
                raise ValueError("not the text the encoder writes")
        except (ValueError, KeyError, TypeError, OverflowError) as exc:
            self.fail(at, "node text: %s" % (exc,))
        return update

    def run(self):
        diff = self.diff
        nodes, deleted_nodes, edges, deleted = diff._nodes, diff._deleted_nodes, diff._new_or_updated, diff._deleted
        for _ in range(self.count(34, "node entries")):
            at = self.at
            node = self.node_id("node")
            length = _unpack_q(self.take(8, "text length"))[0]
            if length > len(self.data) - self.at:
                self.fail(self.at - 8, "text length %d runs past the end" % length)
            text_at = self.at
            update = self.update(self.take(length, "node text"), text_at)
            if node in nodes:
                self.fail(at, "node: listed twice")
            nodes[node] = update
        for _ in range(self.count(24, "deleted nodes")):
            at = self.at
            node = self.node_id("deleted node")
            if node in deleted_nodes:
                self.fail(at, "deleted node: listed twice")
            if node in nodes:
                self.fail(at, "deleted node: node both updated and deleted")
            deleted_nodes[node] = None
        empty_sources = []
        for _ in range(self.count(32, "edge sources")):
            at = self.at
            source = self.node_id("edge source")
            targets = {}
            count = self.count(28, "edge targets")
            if count == 0:
                empty_sources.append((source, at))
            if source in deleted_nodes:
                self.fail(at, "edge source: pending edge with a deleted endpoint")
            if source in edges:
                self.fail(at, "edge source: listed twice")
            edges[source] = targets
            for _ in range(count):
                at = self.at
                target = self.node_id("edge target")
                weight = self.take(4, "weight")
                if target in deleted_nodes:
                    self.fail(at, "edge target: pending edge with a deleted endpoint")
                if target in targets:
                    self.fail(at, "edge target: listed twice")
                targets[target] = weight
        for _ in range(self.count(32, "deleted-edge sources")):
            at = self.at
            source = self.node_id("deleted-edge source")
            count = self.count(24, "deleted-edge targets")
            if count == 0:
                self.fail(self.at - 8, "empty group of deleted edges")
            if source in deleted:
                self.fail(at, "deleted-edge source: listed twice")
            targets = deleted[source] = {}
            pending = edges.get(source, ())
            for _ in range(count):
                at = self.at
                target = self.node_id("deleted-edge target")
                if target in pending:
                    self.fail(at, "deleted-edge target: edge both pending and deleted")
                if target in targets:
                    self.fail(at, "deleted-edge target: listed twice")
                targets[target] = None
        if self.at != len(self.data):
            self.fail(self.at, "%d bytes left over after the last section" % (len(self.data) - self.at))
        # Operations leave a source with no pending targets only when
        # delete_node turned its last one into a deleted edge.
        for source, at in empty_sources:
            if source not in deleted:
                self.fail(at, "edge source: no targets and no deleted edges")
