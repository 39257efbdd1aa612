"""Argument parsing, value conversions and their error texts, and the borrow
that guards a conversion against re-entry: what every method does before it
touches the tables."""

import math
import operator
import sys

from tarnu_twin.binary import _NEG_INF_F32, _POS_INF_F32, _pack_f, _unpack_f
from tarnu_twin.properties import DICT_KEYS, KINDS, READ_ORDER


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


_CONVERT_KIND = {"Text": _extract_text, "Float": _extract_f32, "Colour": _extract_u8, "Flag": _extract_bool}

# (row, key, conversion) in the order the keys are read; a failure stops at
# the first bad value.
_UPDATE_KEYS = tuple((row, DICT_KEYS[row], _CONVERT_KIND[KINDS[row]]) for row in READ_ORDER)


def _node_update(obj):
    """The properties of an ``update`` dict as a tuple in the rows' order (the
    order the JSON text lists them), ``None`` for an absent one."""
    if not issubclass(type(obj), dict):
        raise _downcast_error(obj, "PyDict")
    lookup = dict.get  # the stored entries only, never a subclass's get or __missing__
    fields = [None] * len(DICT_KEYS)
    for row, key, convert in _UPDATE_KEYS:
        value = lookup(obj, key, _NO)
        if value is not _NO:
            fields[row] = convert(value)
    return tuple(fields)


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
