"""The PyGraphDiff class: the four tables and the methods; their docs are the module's (_docs.py)."""

import collections
import operator
import sys

from tarnu_twin.arguments import (
    _NO, _convert_edge, _convert_ids, _downcast_error, _exclusive, _given, _label, _node_id, _node_update,
    _parse_arguments, _shared, _type_name,
)
from tarnu_twin.binary import _EMPTY, _ID_LEN, _NEG_INF_F32, _POS_INF_F32, _pack_f, _pack_q, _unpack_f
from tarnu_twin.bulk import _bulk_arguments, _open_ids, _open_snapshot, _open_updates, _open_weights, _snapshot_rows
from tarnu_twin._docs import DOCS
from tarnu_twin.decoder import _Restore
from tarnu_twin.json_text import node_update_json
from tarnu_twin.properties import DICT_KEYS

DiffCounts = collections.namedtuple("DiffCounts", "node_updates deleted_nodes edge_updates deleted_edges")


class PyGraphDiff:
    # The class and its first eight methods have no docstring, as in the
    # module; the others take the module's (_document, below).

    # _nodes: id -> update tuple; _deleted_nodes: id -> None (an ordered set);
    # _new_or_updated: source -> {target: 4-byte weight}; _deleted: source ->
    # {target: None}. _borrow: 0 free, -1 while a call converts arguments,
    # which may run Python code that re-enters this instance.
    __slots__ = ("_nodes", "_deleted_nodes", "_new_or_updated", "_deleted", "_borrow")

    def __new__(cls, *args, **kwargs):
        _parse_arguments("__new__", (), args, kwargs)
        self = object.__new__(cls)
        self._nodes = {}
        self._deleted_nodes = {}
        self._new_or_updated = {}
        self._deleted = {}
        self._borrow = 0
        return self

    def __init_subclass__(cls, **kwargs):
        raise TypeError("type 'PyGraphDiff' is not an acceptable base type")

    # -- counts and encoding ---------------------------------------------------

    def num_nodes(self):
        _shared(self)
        return len(self._nodes) + len(self._deleted_nodes)

    def num_edges(self):
        _shared(self)
        return len(self._new_or_updated) + len(self._deleted)

    def to_bytes(self):
        _shared(self)
        parts = [_pack_q(len(self._nodes))]
        append = parts.append
        for node, update in self._nodes.items():
            text = node_update_json(update)
            append(_ID_LEN + node + _pack_q(len(text)) + text)
        append(_pack_q(len(self._deleted_nodes)))
        if self._deleted_nodes:
            append(_ID_LEN + _ID_LEN.join(self._deleted_nodes))
        append(_pack_q(len(self._new_or_updated)))
        for source, targets in self._new_or_updated.items():
            append(_ID_LEN + source + _pack_q(len(targets)))
            if targets:
                append(_ID_LEN + _ID_LEN.join(map(bytes.__add__, targets, targets.values())))
        append(_pack_q(len(self._deleted)))
        for source, targets in self._deleted.items():
            append(_ID_LEN + source + _pack_q(len(targets)) + _ID_LEN + _ID_LEN.join(targets))
        return b"".join(parts)

    # -- mutations -------------------------------------------------------------

    def add_node(self, id=_NO, update=_NO, /, *extra, **kwargs):
        if kwargs or extra or update is _NO:
            id, update = _parse_arguments(
                "add_node", ("id", "update"), _given(id, update) + extra, kwargs
            )
        _exclusive(self)
        try:
            node = _node_id(id)
            if type(node) is not bytes:
                raise _label("id", node)
            try:
                fields = _node_update(update)
            except BaseException as exc:
                raise _label("update", exc) from exc.__cause__
        finally:
            self._borrow = 0
        self._nodes[node] = fields
        self._deleted_nodes.pop(node, None)

    def delete_node(self, id=_NO, /, *extra, **kwargs):
        if kwargs or extra or id is _NO:
            (id,) = _parse_arguments("delete_node", ("id",), _given(id) + extra, kwargs)
        if type(id) is not bytes or len(id) != 16:
            (id,) = _convert_ids(self, ("id",), (id,))
        else:
            try:
                if self._borrow:
                    _exclusive(self)  # raises
            except AttributeError:
                _exclusive(self)  # a foreign self: raises
        self._nodes.pop(id, None)
        new_or_updated = self._new_or_updated
        new_or_updated.pop(id, None)
        deleted = self._deleted
        for source, targets in new_or_updated.items():
            if id in targets:
                del targets[id]
                gone = deleted.get(source)
                if gone is None:
                    deleted[source] = {id: None}
                else:
                    gone[id] = None
        self._deleted_nodes[id] = None

    def add_edge(self, from_=_NO, to=_NO, weight=_NO, /, *extra, **kwargs):
        if kwargs or extra or weight is _NO:
            from_, to, weight = _parse_arguments(
                "add_edge", ("from", "to", "weight"), _given(from_, to, weight) + extra, kwargs
            )
        if (
            type(from_) is bytes
            and type(to) is bytes
            and type(weight) is float
            and len(from_) == 16
            and len(to) == 16
        ):
            try:
                if self._borrow:
                    _exclusive(self)  # raises
                bits = _pack_f(weight)
            except OverflowError:
                bits = _POS_INF_F32 if weight > 0 else _NEG_INF_F32
            except AttributeError:
                _exclusive(self)  # a foreign self: raises
        else:
            from_, to, bits = _convert_edge(self, from_, to, weight)
        deleted_nodes = self._deleted_nodes
        if deleted_nodes and (from_ in deleted_nodes or to in deleted_nodes):
            return None  # refused: "Either from or to nodes are marked to be deleted"
        deleted = self._deleted
        if deleted:
            gone = deleted.get(from_)
            if gone is not None and to in gone:
                del gone[to]
                if not gone:
                    del deleted[from_]
        targets = self._new_or_updated.get(from_)
        if targets is None:
            self._new_or_updated[from_] = {to: bits}
        else:
            targets[to] = bits

    def delete_edge(self, from_=_NO, to=_NO, /, *extra, **kwargs):
        if kwargs or extra or to is _NO:
            from_, to = _parse_arguments(
                "delete_edge", ("from", "to"), _given(from_, to) + extra, kwargs
            )
        if type(from_) is not bytes or type(to) is not bytes or len(from_) != 16 or len(to) != 16:
            from_, to = _convert_ids(self, ("from", "to"), (from_, to))
        else:
            try:
                if self._borrow:
                    _exclusive(self)  # raises
            except AttributeError:
                _exclusive(self)  # a foreign self: raises
        gone = self._deleted.get(from_)
        if gone is None:
            self._deleted[from_] = {to: None}
        else:
            gone[to] = None
        targets = self._new_or_updated.get(from_)
        if targets is not None:
            targets.pop(to, None)
            # Also drops a source that delete_node left with no targets.
            if not targets:
                del self._new_or_updated[from_]

    def clear(self):
        try:
            borrow = self._borrow
        except AttributeError:
            raise _downcast_error(self, "PyGraphDiff") from None
        if borrow:
            raise RuntimeError("Already borrowed")
        self._nodes.clear()
        self._deleted_nodes.clear()
        self._new_or_updated.clear()
        self._deleted.clear()

    # -- bulk methods ------------------------------------------------------------
    # Each has the effect of its single-item method called for every item in
    # order. Every argument is opened (its kind, layout and length checked),
    # then the lengths compared, then every item converted, before the first
    # change.

    def add_edges(self, sources=_NO, targets=_NO, weights=_NO, /, *extra, **kwargs):
        if kwargs or extra or weights is _NO:
            sources, targets, weights = _parse_arguments(
                "add_edges", ("sources", "targets", "weights"), _given(sources, targets, weights) + extra, kwargs
            )
        froms, tos, bits = _bulk_arguments(
            self, "add_edges", (("sources", _open_ids, sources), ("targets", _open_ids, targets),
                                ("weights", _open_weights, weights))
        )
        deleted_nodes = self._deleted_nodes
        deleted = self._deleted
        new_or_updated = self._new_or_updated
        for from_, to, weight in zip(froms, tos, bits):
            if from_ in deleted_nodes or to in deleted_nodes:
                continue  # refused, as add_edge refuses it
            gone = deleted.get(from_)
            if gone is not None and to in gone:
                del gone[to]
                if not gone:
                    del deleted[from_]
            new_or_updated.setdefault(from_, {})[to] = weight

    def delete_edges(self, sources=_NO, targets=_NO, /, *extra, **kwargs):
        if kwargs or extra or targets is _NO:
            sources, targets = _parse_arguments(
                "delete_edges", ("sources", "targets"), _given(sources, targets) + extra, kwargs
            )
        froms, tos = _bulk_arguments(
            self, "delete_edges", (("sources", _open_ids, sources), ("targets", _open_ids, targets))
        )
        for from_, to in zip(froms, tos):
            self.delete_edge(from_, to)

    def delete_nodes(self, ids=_NO, /, *extra, **kwargs):
        if kwargs or extra or ids is _NO:
            (ids,) = _parse_arguments("delete_nodes", ("ids",), _given(ids) + extra, kwargs)
        (nodes,) = _bulk_arguments(self, "delete_nodes", (("ids", _open_ids, ids),))
        for node in nodes:
            self.delete_node(node)

    def add_nodes(self, ids=_NO, updates=_NO, /, *extra, **kwargs):
        if kwargs or extra or updates is _NO:
            ids, updates = _parse_arguments("add_nodes", ("ids", "updates"), _given(ids, updates) + extra, kwargs)
        nodes, fields = _bulk_arguments(
            self, "add_nodes", (("ids", _open_ids, ids), ("updates", _open_updates, updates))
        )
        for node, update in zip(nodes, fields):
            self._nodes[node] = update
            self._deleted_nodes.pop(node, None)

    def add_snapshot_change(self, *extra, old_nodes=None, new_nodes=None, old_edges=None, new_edges=None):
        if extra:
            raise TypeError("PyGraphDiff.add_snapshot_change() takes 0 positional arguments but %d %s given"
                            % (len(extra), "was" if len(extra) == 1 else "were"))
        pairs = (("old_nodes", old_nodes, "new_nodes", new_nodes), ("old_edges", old_edges, "new_edges", new_edges))
        for a, first, b, second in pairs:
            if (first is None) != (second is None):
                given, missing = (a, b) if second is None else (b, a)
                raise TypeError("PyGraphDiff.add_snapshot_change() got %s without %s; the snapshots come in pairs"
                                % (given, missing))
        _exclusive(self)
        try:
            opened = [
                (name, _open_snapshot(value, name, name.endswith("nodes")))
                for name, value in (("old_nodes", old_nodes), ("new_nodes", new_nodes),
                                    ("old_edges", old_edges), ("new_edges", new_edges))
                if value is not None
            ]
            columns = {name: convert() for name, convert in opened}
        finally:
            self._borrow = 0
        no_nodes, no_edges = [[], []], [[], [], []]
        old_n = _snapshot_rows("old_nodes", *columns.get("old_nodes", no_nodes), "the id")
        new_n = _snapshot_rows("new_nodes", *columns.get("new_nodes", no_nodes), "the id")
        gone = set(old_n) - set(new_n)
        old_e = _snapshot_rows("old_edges", *self._edge_rows(columns.get("old_edges", no_edges)),
                               "the (source, target) pair")
        # The first new row to blame, in row order: a pair at a node that is
        # gone, or a pair on an earlier row, whichever comes first.
        new_e = {}
        for i, (key, bits) in enumerate(zip(*self._edge_rows(columns.get("new_edges", no_edges)))):
            if key[0] in gone or key[1] in gone:
                raise ValueError("argument 'new_edges': row %d: its source or target is a node of old_nodes that "
                                 "new_nodes lacks" % i)
            if key in new_e:
                raise ValueError("argument 'new_edges': row %d: the (source, target) pair is on an earlier row" % i)
            new_e[key] = bits
        for node in old_n:
            if node not in new_n:
                self.delete_node(node)
        for node, update in new_n.items():
            old = old_n.get(node)
            if old is None or node_update_json(old) != node_update_json(update):
                self._nodes[node] = update
                self._deleted_nodes.pop(node, None)
        for source, target in old_e:
            if (source, target) not in new_e:
                self.delete_edge(source, target)
        deleted, new_or_updated, deleted_nodes = self._deleted, self._new_or_updated, self._deleted_nodes
        for (source, target), bits in new_e.items():
            if old_e.get((source, target)) == bits:
                continue
            # add_edge with the weight's bits: refused at a node the diff marks deleted
            if source in deleted_nodes or target in deleted_nodes:
                continue
            gone_targets = deleted.get(source)
            if gone_targets is not None and target in gone_targets:
                del gone_targets[target]
                if not gone_targets:
                    del deleted[source]
            new_or_updated.setdefault(source, {})[target] = bits

    @staticmethod
    def _edge_rows(columns):
        sources, targets, weights = columns
        return list(zip(sources, targets)), weights

    # -- encoding into storage the caller keeps ---------------------------------

    def encoded_size(self):
        _shared(self)
        size = 32 + 24 * len(self._deleted_nodes)
        for update in self._nodes.values():
            size += 32 + len(node_update_json(update))
        for targets in self._new_or_updated.values():
            size += 32 + 28 * len(targets)
        for targets in self._deleted.values():
            size += 32 + 24 * len(targets)
        return size

    def encode_into(self, buffer=_NO, offset=0, /, *extra, **kwargs):
        if kwargs or extra or buffer is _NO:
            buffer, offset = _parse_arguments(
                "encode_into", ("buffer", "offset"), _given(buffer, offset) + extra, kwargs, required=1
            )
            if offset is _NO:
                offset = 0
        _shared(self)
        # A shared borrow for the whole call: __index__ or a buffer export
        # that calls a mutating method meets "Already borrowed".
        self._borrow += 1
        try:
            offset = operator.index(offset)
            if offset < -1:
                raise ValueError("offset must be non-negative, or -1 to append")
            if isinstance(buffer, bytearray):
                data = self.to_bytes()
                start = len(buffer) if offset == -1 else offset
                # One slice assignment: the gap (if any) zero-filled, the
                # encoding after it, whatever followed it cut off.
                buffer[min(start, len(buffer)):] = bytes(max(0, start - len(buffer))) + data
                return len(data)
            try:
                view = memoryview(buffer)
            except TypeError:
                raise TypeError("a bytes-like object is required, not '%s'" % _type_name(type(buffer))) from None
            with view:
                if view.readonly:
                    raise TypeError(
                        "encode_into needs a writable buffer; '%s' object is read-only" % _type_name(type(buffer))
                    )
                if not view.c_contiguous and view.nbytes:  # an empty view counts as contiguous
                    raise TypeError("encode_into needs a C-contiguous buffer")
                size = self.encoded_size()
                start = view.nbytes if offset == -1 else offset
                if start + size > view.nbytes:
                    raise ValueError(
                        "buffer too small: encoding from offset %d needs %d bytes, the buffer has %d"
                        % (start, start + size, view.nbytes)
                    )
                with view.cast("B") as flat:
                    flat[start:start + size] = self.to_bytes()
                return size
        finally:
            self._borrow -= 1

    # -- restoring, reading, copying (appended) ---------------------------------

    @classmethod
    def from_bytes(cls, data):
        self = cls()
        view = memoryview(data)
        if not view.c_contiguous:
            raise TypeError("from_bytes needs a C-contiguous buffer")
        _Restore(view.cast("B"), self).run()
        return self

    def node_updates(self):
        _shared(self)
        return [
            (node, {key: value for key, value in zip(DICT_KEYS, update) if value is not None})
            for node, update in self._nodes.items()
        ]

    def deleted_nodes(self):
        _shared(self)
        return list(self._deleted_nodes)

    def edge_updates(self):
        _shared(self)
        return [
            (source, target, _unpack_f(bits)[0])
            for source, targets in self._new_or_updated.items()
            for target, bits in targets.items()
        ]

    def deleted_edges(self):
        _shared(self)
        return [(source, target) for source, targets in self._deleted.items() for target in targets]

    def __copy__(self):
        _shared(self)
        copy = type(self)()
        copy._nodes = dict(self._nodes)
        copy._deleted_nodes = dict(self._deleted_nodes)
        copy._new_or_updated = {source: dict(targets) for source, targets in self._new_or_updated.items()}
        copy._deleted = {source: dict(targets) for source, targets in self._deleted.items()}
        return copy

    def __deepcopy__(self, memo):
        return self.__copy__()

    def __reduce__(self):
        return (_graph_diff_from_bytes, (self.to_bytes(),))

    def __sizeof__(self):
        return object.__sizeof__(self) + sum(
            sys.getsizeof(table) for table in (self._nodes, self._deleted_nodes, self._new_or_updated, self._deleted)
        )

    # -- combining and summarising -----------------------------------------------

    def merge(self, other=_NO, /, *extra, **kwargs):
        if kwargs or extra or other is _NO:
            (other,) = _parse_arguments("merge", ("other",), _given(other) + extra, kwargs)
        _exclusive(self)
        self._borrow = 0
        if not isinstance(other, PyGraphDiff):
            raise _label("other", _downcast_error(other, "PyGraphDiff"))
        if other is self:
            return None
        _shared(other)
        for node in list(other._deleted_nodes):
            self.delete_node(node)
        nodes, deleted_nodes = self._nodes, self._deleted_nodes
        for node, update in other._nodes.items():
            nodes[node] = update
            deleted_nodes.pop(node, None)
        for source, targets in other._deleted.items():
            for target in targets:
                self.delete_edge(source, target)
        deleted, new_or_updated = self._deleted, self._new_or_updated
        for source, targets in other._new_or_updated.items():
            if source in deleted_nodes:
                continue  # every edge from it is refused
            gone = deleted.get(source)
            mine = None
            for target, bits in targets.items():
                if target in deleted_nodes:
                    continue
                if gone is not None and target in gone:
                    del gone[target]
                    if not gone:
                        del deleted[source]
                        gone = None
                if mine is None:
                    mine = new_or_updated.setdefault(source, {})
                mine[target] = bits

    def counts(self):
        _shared(self)
        return DiffCounts(len(self._nodes), len(self._deleted_nodes),
                          sum(map(len, self._new_or_updated.values())), sum(map(len, self._deleted.values())))

    def __repr__(self):
        # No borrow: the tables are whole between any two Python steps.
        n, d = len(self._nodes), len(self._deleted_nodes)
        e, x = sum(map(len, self._new_or_updated.values())), sum(map(len, self._deleted.values()))
        return "<PyGraphDiff: %d node update%s, %d deleted node%s, %d edge%s, %d deleted edge%s>" % (
            n, "" if n == 1 else "s", d, "" if d == 1 else "s", e, "" if e == 1 else "s", x, "" if x == 1 else "s")



def _document(cls, docs):
    """Gives cls and its members the module's docstrings; "" names the class."""
    for name, doc in docs.items():
        if not name:
            cls.__doc__ = doc
            continue
        member = vars(cls).get(name)
        if member is None:
            continue  # a method the twin does not model (to_arrow)
        if isinstance(member, classmethod):
            # A classmethod copies its function's doc when it is made.
            member.__func__.__doc__ = doc
            setattr(cls, name, classmethod(member.__func__))
        elif isinstance(member, property):
            setattr(cls, name, property(member.fget, doc=doc))
        else:
            member.__doc__ = doc


_document(PyGraphDiff, DOCS["PyGraphDiff"])
_document(DiffCounts, DOCS["DiffCounts"])


def _graph_diff_from_bytes(data):
    return PyGraphDiff.from_bytes(data)


assert PyGraphDiff().to_bytes() == _EMPTY
