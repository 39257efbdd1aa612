"""A pure-Python ``PyGraphDiff``: same API, combination rules, exceptions and bytes.

Two jobs share this file. It is the baseline that the benchmarks run beside the
extension (the code a user would write with dicts and ``struct``), and it is the
model that property-based tests drive in lockstep with the extension. The
second job wins where they pull apart: every argument rule, exception type,
text and ``__cause__`` is reproduced, while the four mutating methods keep a
short path for the common call (exact 16-byte ``bytes`` ids, exact ``float``
weight, positional arguments) so that the baseline stays honest.

Entry order inside ``to_bytes()`` follows dict insertion order here and hash
table order in the extension; order carries no meaning in the format, so
compare decoded diffs (``examples/decode_diff.py``), not raw bytes, whenever a
diff holds more than one entry in a section.

Works on CPython 3.9+ and PyPy 3.9.
"""

import collections
import json
import math
import operator
import struct
import sys

__all__ = ["PyGraphDiff", "DiffCounts", "float32_json", "node_update_json"]

DiffCounts = collections.namedtuple("DiffCounts", "node_updates deleted_nodes edge_updates deleted_edges")
DiffCounts.__doc__ = """DiffCounts(node_updates, deleted_nodes, edge_updates, deleted_edges)

The sizes of the four sections of a diff's encoding; edges count as (source, target) pairs."""

_pack_q = struct.Struct("<Q").pack
_pack_f = struct.Struct("<f").pack
_unpack_f = struct.Struct("<f").unpack
_unpack_i = struct.Struct("<I").unpack
_ID_LEN = _pack_q(16)
_EMPTY = bytes(32)
_POS_INF_F32 = _pack_f(math.inf)
_NEG_INF_F32 = _pack_f(-math.inf)
_encode_json_string = json.encoder.encode_basestring  # escapes exactly " \ and 0x00-0x1F

_REFUSED_EDGE = "Either from or to nodes are marked to be deleted"


class _Missing:
    __slots__ = ()

    def __repr__(self):
        return "<missing>"


# Fills parameters that the caller did not pass; no caller can reach it.
_NO = _Missing()


# ---------------------------------------------------------------------------
# Error texts shared by argument parsing and conversion.


def _type_name(tp):
    try:
        return str(tp.__qualname__)
    except Exception:
        return "<failed to extract type name>"


def _downcast_error(obj, target):
    return TypeError(
        "'%s' object cannot be converted to '%s'" % (_type_name(type(obj)), target)
    )


def _full_type_name(tp):
    return "%s.%s" % (_object_text(tp.__module__), _object_text(tp.__name__))


def _object_text(obj):
    """``str(obj)`` as it appears inside a message built by the extension."""
    try:
        text = str(obj)
    except Exception:
        sys.unraisablehook(_Unraisable(sys.exc_info()[1], obj))
        try:
            return "<unprintable %s object>" % _full_type_name(type(obj))
        except Exception:
            return "<unprintable object>"
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        # Lone surrogates: each becomes U+FFFD per maximal invalid subpart.
        text = text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
    return text


class _Unraisable:
    """The argument ``sys.unraisablehook`` expects."""

    def __init__(self, exc, obj):
        self.exc_type = type(exc)
        self.exc_value = exc
        self.exc_traceback = exc.__traceback__
        self.err_msg = None
        self.object = obj


def _with_cause(exc, cause):
    if cause is not None:
        exc.__cause__ = cause
    return exc


def _label(name, exc):
    """Prefix the argument name to an exception whose type is exactly TypeError."""
    if type(exc) is not TypeError:
        return exc
    labelled = TypeError("argument '%s': %s" % (name, _object_text(exc)))
    for note in getattr(exc, "__notes__", ()):
        labelled.add_note(note)
    return _with_cause(labelled, exc.__cause__)


# ---------------------------------------------------------------------------
# Argument parsing: every parameter by position or keyword, all required.


def _join_names(names):
    quoted = ["'%s'" % n for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return "%s and %s" % (quoted[0], quoted[1])
    return "%s, and %s" % (", ".join(quoted[:-1]), quoted[-1])


def _parse_arguments(function, params, positional, keywords, required=None):
    full = "PyGraphDiff.%s()" % function
    n = len(positional)
    if n > len(params):
        raise TypeError(
            "%s takes %d positional arguments but %d %s given"
            % (full, len(params), n, "was" if n == 1 else "were")
        )
    slots = list(positional) + [_NO] * (len(params) - n)
    for name, value in keywords.items():
        key = str.__str__(name) if issubclass(type(name), str) else None
        index = params.index(key) if key in params else -1
        if index < 0:
            raise TypeError(
                "%s got an unexpected keyword argument '%s'" % (full, _object_text(name))
            )
        if slots[index] is not _NO:
            raise TypeError("%s got multiple values for argument '%s'" % (full, name))
        slots[index] = value
    required = len(params) if required is None else required
    missing = [params[i] for i in range(n, required) if slots[i] is _NO]
    if missing:
        raise TypeError(
            "%s missing %d required positional %s: %s"
            % (
                full,
                len(missing),
                "argument" if len(missing) == 1 else "arguments",
                _join_names(missing),
            )
        )
    return slots


def _given(*values):
    """The positional arguments actually passed: the leading non-missing ones."""
    for i, v in enumerate(values):
        if v is _NO:
            return values[:i]
    return values


# ---------------------------------------------------------------------------
# Conversions of argument values.


def _node_id(obj):
    """Exact 16-byte ``bytes`` for a ``bytes`` (or subclass) argument."""
    if not issubclass(type(obj), bytes):
        inner = _downcast_error(obj, "PyBytes")
    else:
        raw = bytes(memoryview(obj))  # the stored bytes, whatever a subclass overrides
        if len(raw) == 16:
            return raw
        inner = Exception("Expected 16 bytes.")
    return _with_hint(_with_cause(TypeError("failed to extract field PyUuid.0"), inner), obj)


_UUID_HINT = "node ids are 16-byte bytes: pass uuid.UUID(...).bytes"


def _with_hint(exc, obj):
    """On Python 3.11+, a note on a failed id conversion that says how to fix it."""
    if hasattr(exc, "add_note"):
        tp = type(obj)
        if isinstance(obj, str) or (getattr(tp, "__module__", None), getattr(tp, "__qualname__", None)) == (
                "uuid", "UUID"):
            exc.add_note(_UUID_HINT)
        elif isinstance(obj, bytes):
            exc.__cause__.add_note("got %d bytes" % len(obj))  # beside "Expected 16 bytes."
    return exc


def _extract_f32_bits(obj):
    """The binary32 pattern (4 bytes, little-endian) nearest to a number."""
    if type(obj) is float:
        value = obj
    elif issubclass(type(obj), float):
        value = float.__float__(obj)
    else:
        # ldexp(x, 0) converts its argument exactly like the C API's
        # float conversion (__float__, then __index__) and passes its errors on.
        value = math.ldexp(obj, 0)
    try:
        return _pack_f(value)
    except OverflowError:
        return _POS_INF_F32 if value > 0 else _NEG_INF_F32


def _extract_text(obj):
    if not issubclass(type(obj), str):
        raise _downcast_error(obj, "PyString")
    text = str.__str__(obj)
    if not text.isascii():
        text.encode("utf-8")  # a lone surrogate has no UTF-8 form: UnicodeEncodeError
    return text


def _extract_f32(obj):
    return _unpack_f(_extract_f32_bits(obj))[0]


def _as_long(value):
    if not -(1 << 63) <= value < (1 << 63):
        raise OverflowError("Python int too large to convert to C long")
    return value


def _extract_u8(obj):
    if issubclass(type(obj), int):
        value = _as_long(int.__index__(obj))
    else:
        value = _as_long(operator.index(obj))
    if not 0 <= value <= 255:
        raise OverflowError("out of range integral type conversion attempted")
    return value


def _extract_bool(obj):
    if type(obj) is bool:
        return obj is True
    tp = type(obj)
    try:
        full_name = _full_type_name(tp)
    except Exception:
        full_name = None
    # numpy 2 names the class of numpy.bool_ "numpy.bool".
    if full_name not in ("numpy.bool_", "numpy.bool"):
        raise _downcast_error(obj, "PyBool")
    try:
        method = getattr(tp, "__bool__")
    except Exception:
        raise TypeError(
            "object of type '%s' does not define a '__bool__' conversion"
            % _object_text(tp)
        ) from None
    binder = getattr(type(method), "__get__", None)
    if binder is not None:
        method = binder(method, obj, tp)
    result = method()
    if type(result) is not bool:
        raise _downcast_error(result, "PyBool")
    return result


# The order in which the keys are read; a failure stops at the first bad value.
_UPDATE_KEYS = (
    ("label", _extract_text),
    ("url", _extract_text),
    ("size", _extract_f32),
    ("red", _extract_u8),
    ("green", _extract_u8),
    ("blue", _extract_u8),
    ("show_label", _extract_bool),
)


def _node_update(obj):
    """The seven properties of an ``update`` dict, ``None`` for an absent one.

    Returned in the order the JSON text lists them: label, size, url, red,
    green, blue, show_label.
    """
    if not issubclass(type(obj), dict):
        raise _downcast_error(obj, "PyDict")
    lookup = dict.get  # the stored entries only, never a subclass's get or __missing__
    found = {}
    for key, convert in _UPDATE_KEYS:
        value = lookup(obj, key, _NO)
        if value is not _NO:
            found[key] = convert(value)
    get = found.get
    return (
        get("label"),
        get("size"),
        get("url"),
        get("red"),
        get("green"),
        get("blue"),
        get("show_label"),
    )


# ---------------------------------------------------------------------------
# Node update JSON text.


def _shortest_digits(magnitude, mantissa_bits=23, exponent_bias=127):
    """Shortest decimal that reads back as this binary float, as (digits, k).

    ``magnitude`` is the IEEE bit pattern without its sign, finite and
    nonzero. The result means int(digits) * 10**k, digits without trailing
    zeros. Among the shortest strings inside the rounding interval the one
    nearest the exact value wins, a tie going to the even digit. Exact
    integer arithmetic throughout; defaults describe binary32.
    """
    biased = magnitude >> mantissa_bits
    fraction = magnitude & ((1 << mantissa_bits) - 1)
    if biased == 0:
        m2 = fraction
        e2 = 1 - exponent_bias - mantissa_bits
    else:
        m2 = fraction | (1 << mantissa_bits)
        e2 = biased - exponent_bias - mantissa_bits
    # Value and interval bounds as multiples of 2**(e2 - 2).
    inclusive = m2 % 2 == 0  # a decimal on the boundary reads back as the even neighbour
    mv = 4 * m2
    mp = mv + 2
    mm = mv - (2 if (fraction != 0 or biased <= 1) else 1)
    e = e2 - 2

    def candidates(k):
        """Scale, and the range of integers c with c * 10**k inside the interval."""
        num = 1 << e if e > 0 else 1
        den = 1 << -e if e < 0 else 1
        if k < 0:
            num *= 10**-k
        else:
            den *= 10**k
        low, rem = divmod(mm * num, den)
        if rem or not inclusive:
            low += 1
        high, rem = divmod(mp * num, den)
        if rem == 0 and not inclusive:
            high -= 1
        return num, den, low, high

    # The coarsest digit position k that still has a candidate is the
    # shortest form. Candidates at k are candidates at every finer position
    # too, so the search is a bisection between a position surely too
    # coarse and one fine enough for any value of the format.
    estimate = math.floor(math.log10(m2) + e2 * math.log10(2))
    most_digits = math.ceil((mantissa_bits + 1) * math.log10(2)) + 1
    fine, coarse = estimate - most_digits - 1, estimate + 3
    while coarse - fine > 1:
        middle = (fine + coarse) // 2
        _, _, low, high = candidates(middle)
        if low <= high:
            fine = middle
        else:
            coarse = middle
    num, den, low, high = candidates(fine)
    c, rem = divmod(mv * num, den)
    if 2 * rem > den or (2 * rem == den and c % 2 == 1):
        c += 1
    c = min(max(c, low), high)
    digits = str(c)
    stripped = digits.rstrip("0")
    return stripped, fine + len(digits) - len(stripped)


def float32_json(value):
    """JSON number text of a binary32 value held in a Python float."""
    if value != value or value in (math.inf, -math.inf):
        return "null"
    bits = _unpack_i(_pack_f(value))[0]
    sign = "-" if bits >> 31 else ""
    magnitude = bits & 0x7FFFFFFF
    if magnitude == 0:
        return sign + "0.0"
    digits, k = _shortest_digits(magnitude)
    n = len(digits)
    p = n + k
    if k >= 0 and p <= 13:
        body = digits + "0" * k + ".0"
    elif 0 < p <= 13:
        body = digits[:p] + "." + digits[p:]
    elif -5 <= p <= 0:
        body = "0." + "0" * -p + digits
    else:
        body = (digits if n == 1 else digits[0] + "." + digits[1:]) + "e%d" % (p - 1)
    return sign + body


def node_update_json(update):
    """Compact JSON text (UTF-8 bytes) of one stored node update."""
    label, size, url, red, green, blue, show_label = update
    members = []
    if label is not None:
        members.append('"label":' + _encode_json_string(label))
    if size is not None:
        members.append('"size":' + float32_json(size))
    if url is not None:
        members.append('"url":' + _encode_json_string(url))
    if red is not None:
        members.append('"red":%d' % red)
    if green is not None:
        members.append('"green":%d' % green)
    if blue is not None:
        members.append('"blue":%d' % blue)
    if show_label is not None:
        members.append('"showLabel":' + ("true" if show_label else "false"))
    return ("{" + ",".join(members) + "}").encode("utf-8")


# ---------------------------------------------------------------------------


# Borrows: the exclusive one guards argument conversion, which may run Python
# code (__index__, __float__, __eq__) that re-enters the same instance.


def _exclusive(diff):
    """Check ``diff`` and take the exclusive borrow for argument conversion."""
    try:
        borrow = diff._borrow
    except AttributeError:
        borrow = _NO
    if borrow is _NO:
        raise _downcast_error(diff, "PyGraphDiff")
    if borrow:
        raise RuntimeError("Already borrowed")
    diff._borrow = -1


def _shared(diff):
    try:
        borrow = diff._borrow
    except AttributeError:
        borrow = _NO
    if borrow is _NO:
        raise _downcast_error(diff, "PyGraphDiff")
    if borrow == -1:
        raise RuntimeError("Already mutably borrowed")


def _convert_ids(diff, names, values):
    _exclusive(diff)
    try:
        ids = []
        for name, value in zip(names, values):
            converted = _node_id(value)
            if type(converted) is not bytes:
                raise _label(name, converted)
            ids.append(converted)
        return ids
    finally:
        diff._borrow = 0


def _convert_edge(diff, from_, to, weight):
    _exclusive(diff)
    try:
        ids = []
        for name, value in (("from", from_), ("to", to)):
            node = _node_id(value)
            if type(node) is not bytes:
                raise _label(name, node)
            ids.append(node)
        try:
            bits = _extract_f32_bits(weight)
        except BaseException as exc:
            raise _label("weight", exc) from exc.__cause__
        return ids[0], ids[1], bits
    finally:
        diff._borrow = 0


class PyGraphDiff:
    """PyGraphDiff()
    --

    The net change to a directed, weighted graph, encodable with ``to_bytes``.
    """

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
        """The diff that data (bytes or any buffer: bytearray, memoryview, mmap) encodes, as
        to_bytes() wrote it. ValueError naming the byte offset and the reason otherwise."""
        self = cls()
        view = memoryview(data)
        if not view.c_contiguous:
            raise TypeError("from_bytes needs a C-contiguous buffer")
        _Restore(view.cast("B"), self).run()
        return self

    def node_updates(self):
        _shared(self)
        return [
            (node, {key: value for (key, _), value in zip(_UPDATE_ORDER, update) if value is not None})
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
        """Bytes held by the diff's record, its tables and texts included."""
        return object.__sizeof__(self) + sum(
            sys.getsizeof(table) for table in (self._nodes, self._deleted_nodes, self._new_or_updated, self._deleted)
        )

    # -- combining and summarising -----------------------------------------------

    def merge(self, other=_NO, /, *extra, **kwargs):
        """Records other's content on this diff, as if these calls were made on it:
        delete_node for each of other's deleted nodes, then add_node for each of its
        node updates, then delete_edge for each deleted edge, then add_edge for each
        pending edge, each list in the order of other.to_bytes().

        other is unchanged; d.merge(d) changes nothing. Out of memory part-way:
        MemoryError, and the diff holds the effect of the calls it names."""
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
        """DiffCounts(node_updates, deleted_nodes, edge_updates, deleted_edges): the sizes
        of the four sections of to_bytes(), edges as (source, target) pairs. O(1).
        (num_edges() counts source groups instead.)"""
        _shared(self)
        return DiffCounts(len(self._nodes), len(self._deleted_nodes),
                          sum(map(len, self._new_or_updated.values())), sum(map(len, self._deleted.values())))

    def __repr__(self):
        # No borrow: the tables are whole between any two Python steps.
        n, d = len(self._nodes), len(self._deleted_nodes)
        e, x = sum(map(len, self._new_or_updated.values())), sum(map(len, self._deleted.values()))
        return "<PyGraphDiff: %d node update%s, %d deleted node%s, %d edge%s, %d deleted edge%s>" % (
            n, "" if n == 1 else "s", d, "" if d == 1 else "s", e, "" if e == 1 else "s", x, "" if x == 1 else "s")



# The docstrings of the methods added after the eight, as the module has them
# (from_bytes and merge have theirs in place: PyPy's pydoc reads a
# classmethod's doc from where it was defined).
_ADDED_DOCS = {
    'add_edges': (
        'add_edge(sources[i], targets[i], weights[i]) for every i, in order, in one call.\n'
        '\n'
        'sources and targets: lists or tuples of 16-byte bytes, or C-contiguous buffers of\n'
        "16-byte ids (bytes, numpy uint8 (n, 16), 'S16'); weights: a sequence of numbers or\n"
        "a one-dimensional buffer of format 'f' or 'd'. Every argument is checked before\n"
        'the first change. Out of memory part-way: MemoryError, and the diff holds the\n'
        'effect of the items it names.'
    ),
    'delete_edges': (
        'delete_edge(sources[i], targets[i]) for every i, in order, in one call; the\n'
        'columns as for add_edges.'
    ),
    'delete_nodes': (
        'delete_node(ids[i]) for every i, in order, in one call; ids as for add_edges.'
    ),
    'add_nodes': (
        'add_node(ids[i], update i) for every i, in order, in one call.\n'
        '\n'
        'updates: a sequence of update dicts, or a dict of columns keyed by the seven\n'
        'property names (None in a column leaves that property out). As in add_node,\n'
        'unknown keys are ignored without a word: check their spelling.'
    ),
    'encoded_size': (
        'len(self.to_bytes()), computed from counts the diff keeps, without encoding.'
    ),
    'encode_into': (
        'Writes the bytes of to_bytes() into buffer from offset on; returns how many.\n'
        '\n'
        'A bytearray is resized to end exactly after them (offset -1: its end). Any other\n'
        'writable C-contiguous buffer (memoryview, mmap, numpy array) must already have\n'
        'room, else ValueError and nothing is written.'
    ),
    'node_updates': (
        '[(id, update dict)] for every node update, in the order of to_bytes(); each dict\n'
        "holds the present properties under add_node's keys."
    ),
    'deleted_nodes': (
        '[id] of every node to delete, in the order of to_bytes().'
    ),
    'edge_updates': (
        '[(source, target, weight)] for every pending edge, in the order of to_bytes();\n'
        'weight is the stored 32-bit float as a Python float.'
    ),
    'deleted_edges': (
        '[(source, target)] of every edge to delete, in the order of to_bytes().'
    ),
    '__copy__': (
        'An independent diff with the same content, encoding to the same bytes.'
    ),
    '__deepcopy__': (
        'The same as __copy__: a diff holds no Python objects.'
    ),
    '__reduce__': (
        'Pickles the diff as its bytes, restored by tarnu_api._graph_diff_from_bytes.'
    ),
    '__sizeof__': (
        "Bytes held by the diff's record, its tables and texts included."
    ),
}
for _name, _doc in _ADDED_DOCS.items():
    _method = vars(PyGraphDiff)[_name]
    getattr(_method, "__func__", _method).__doc__ = _doc


_IDS_ACCEPTED = (
    "ids are read from a list or tuple of 16-byte bytes, or from a C-contiguous buffer of bytes (format 'B', 'b' or "
    "'c', or 16-byte items such as numpy's 'S16' and 'V16') whose size is a multiple of 16"
)
_WEIGHTS_ACCEPTED = (
    "weights are read from a sequence of numbers, or from a one-dimensional C-contiguous buffer of format 'f' or 'd'"
)
_UPDATES_ACCEPTED = "updates are read from a sequence of update dicts, or from a dict of columns"
# Buffer formats a column of update values may have, and how its accepted forms read.
_COLUMN_FORMATS = {"size": ("fd", "'f' or 'd'"), "red": ("B", "'B'"), "green": ("B", "'B'"),
                   "blue": ("B", "'B'"), "show_label": ("?", "'?'")}


def _bulk_arguments(diff, method, arguments):
    """Opens, length-checks and converts the arguments of a bulk method.

    ``arguments`` holds (name, opener, value); an opener returns a list of
    (label, length) and a function that converts the items.
    """
    _exclusive(diff)
    try:
        opened = [open_(value, "argument '%s'" % name) for name, open_, value in arguments]
        lengths = [part for parts, _ in opened for part in parts]
        if any(n != lengths[0][1] for _, n in lengths):
            raise ValueError("PyGraphDiff.%s() got arguments of different lengths: %s" % (
                method, ", ".join("%s has %d items" % part for part in lengths)))
        return [convert(lengths[0][1]) for _, convert in opened]
    finally:
        diff._borrow = 0


def _buffer(obj):
    try:
        return memoryview(obj)
    except TypeError:
        return None


def _is_sequence(obj):
    return not isinstance(obj, dict) and hasattr(type(obj), "__getitem__")


def _take_sequence(obj, lists_and_tuples_only):
    if isinstance(obj, (list, tuple)):
        return obj
    if not lists_and_tuples_only and _is_sequence(obj):
        return list(obj)
    return None


def _wrong_kind(obj, where, accepted):
    return TypeError("%s: '%s' object is not accepted; %s" % (where, _type_name(type(obj)), accepted))


def _check_column_buffer(view, where, formats, accepted):
    fmt = view.format[1:] if view.format[:1] in ("@", "=", "<") else view.format
    if fmt not in formats:
        raise TypeError("%s: a buffer of format '%s' is not accepted; %s" % (where, fmt, accepted))
    if view.ndim != 1 or not view.c_contiguous:
        raise ValueError("%s: the buffer is not one-dimensional and C-contiguous; %s" % (where, accepted))
    return fmt


def _label_item(where, index, exc):
    """The error of one item: its own type, its text prefixed with where and index."""
    if not isinstance(exc, Exception) or isinstance(exc, MemoryError):
        return exc
    text = "%s: item %d: %s" % (where, index, _object_text(exc))
    try:
        labelled = type(exc)(text)
    except Exception:
        return exc
    if type(labelled) is not type(exc):
        return exc
    if hasattr(exc, "__notes__"):
        labelled.__notes__ = list(exc.__notes__)
    return _with_cause(labelled, exc.__cause__)


def _convert_items(sequence, count, where, convert, first=0):
    out = []
    for i in range(first, count):
        if i >= len(sequence):
            raise RuntimeError("%s: the list changed size while its items were converted" % where)
        try:
            out.append(convert(sequence[i]))
        except BaseException as exc:
            raise _label_item(where, i, exc) from exc.__cause__
    return out


def _one_id(obj):
    node = _node_id(obj)
    if type(node) is not bytes:
        raise node
    return node


def _open_ids(obj, where):
    sequence = _take_sequence(obj, True)
    if sequence is not None:
        return [("'%s'" % where[10:-1], len(sequence))], lambda n: _convert_items(sequence, n, where, _one_id)
    view = _buffer(obj)
    if view is None:
        raise _wrong_kind(obj, where, _IDS_ACCEPTED)
    fmt = view.format[1:] if view.format[:1] in ("@", "=", "<") else view.format
    if not ((view.itemsize == 1 and fmt in ("B", "b", "c")) or (view.itemsize == 16 and fmt in ("16s", "16x"))):
        raise TypeError("%s: a buffer of format '%s' is not accepted; %s" % (where, fmt, _IDS_ACCEPTED))
    if not view.c_contiguous:
        raise ValueError("%s: the buffer is not C-contiguous; %s" % (where, _IDS_ACCEPTED))
    if view.nbytes % 16:
        raise ValueError("%s: a buffer of %d bytes is not a whole number of 16-byte ids; %s"
                         % (where, view.nbytes, _IDS_ACCEPTED))
    data = view.tobytes()
    return [("'%s'" % where[10:-1], len(data) // 16)], lambda n: [data[i:i + 16] for i in range(0, 16 * n, 16)]


def _open_weights(obj, where):
    label = "'%s'" % where[10:-1]
    sequence = _take_sequence(obj, True)
    if sequence is None:
        view = _buffer(obj)
        if view is not None:
            fmt = _check_column_buffer(view, where, "fd", _WEIGHTS_ACCEPTED)
            if fmt == "f":
                # Through a Python float, as add_edge takes a number: a
                # signalling NaN comes out quiet, every other value unchanged.
                data = view.tobytes()
                return [(label, len(view))], lambda n: [
                    _pack_f(_unpack_f(data[i:i + 4])[0]) for i in range(0, 4 * n, 4)]
            values = view.tolist()
            return [(label, len(view))], lambda n: [_extract_f32_bits(v) for v in values]
        sequence = _take_sequence(obj, False)
        if sequence is None:
            raise _wrong_kind(obj, where, _WEIGHTS_ACCEPTED)
    return [(label, len(sequence))], lambda n: _convert_items(sequence, n, where, _extract_f32_bits)


def _open_updates(obj, where):
    if not issubclass(type(obj), dict):
        sequence = _take_sequence(obj, False)
        if sequence is None:
            raise _wrong_kind(obj, where, _UPDATES_ACCEPTED)
        return [("'updates'", len(sequence))], lambda n: _convert_items(sequence, n, where, _node_update)
    columns = []
    for key, convert in _UPDATE_KEYS:
        values = dict.get(obj, key, _NO)
        if values is _NO:
            continue
        column_where = "%s column '%s'" % (where, key)
        formats, format_text = _COLUMN_FORMATS.get(key, ("", ""))
        accepted = "column '%s' is read from a sequence of values" % key
        if formats:
            accepted += " or a one-dimensional C-contiguous buffer of format " + format_text
        sequence = _take_sequence(values, True)
        view = None if sequence is not None or not formats else _buffer(values)
        if view is not None:
            fmt = _check_column_buffer(view, column_where, formats, accepted)
            items = view.tolist()
            if fmt == "d":
                items = [_extract_f32(v) for v in items]
            columns.append((key, len(items), items, None))
            continue
        if sequence is None:
            sequence = _take_sequence(values, False)
            if sequence is None:
                raise _wrong_kind(values, column_where, accepted)
        columns.append((key, len(sequence), sequence, (column_where, convert)))

    def convert_columns(n):
        # Node by node, each node's keys in the fixed order.
        found = [{} for _ in range(n)]
        for i, fields in enumerate(found):
            for key, _, items, conversion in columns:
                if conversion is None:
                    fields[key] = items[i]
                    continue
                column_where, convert = conversion
                value = _convert_items(items, i + 1, column_where, lambda v: _NO if v is None else convert(v), i)[0]
                if value is not _NO:
                    fields[key] = value
        return [
            (f.get("label"), f.get("size"), f.get("url"), f.get("red"), f.get("green"), f.get("blue"),
             f.get("show_label"))
            for f in found
        ]

    return [("'updates' column '%s'" % c[0], c[1]) for c in columns], convert_columns


def _graph_diff_from_bytes(data):
    return PyGraphDiff.from_bytes(data)


# (add_node's key, the JSON key), in the order of the update tuple and the text.
_UPDATE_ORDER = (
    ("label", "label"), ("size", "size"), ("url", "url"), ("red", "red"),
    ("green", "green"), ("blue", "blue"), ("show_label", "showLabel"),
)
_JSON_POSITION = {json_key: i for i, (_, json_key) in enumerate(_UPDATE_ORDER)}
_unpack_q = struct.Struct("<Q").unpack_from


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
            fields = [None] * 7
            last = -1
            for key, value in pairs:
                position = _JSON_POSITION[key]
                if position <= last:
                    raise ValueError("key repeated or out of order")
                last = position
                if position == 1:
                    value = math.nan if value is None else _unpack_f(_pack_f(value))[0]
                elif 3 <= position <= 5 and not (type(value) is int and 0 <= value <= 255):
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


assert PyGraphDiff().to_bytes() == _EMPTY
