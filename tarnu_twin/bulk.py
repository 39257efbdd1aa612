"""The bulk methods' arguments: each opened (kind, layout, length), the
lengths compared, then every item converted, before the first change."""

import json
import uuid

from tarnu_twin.arguments import (
    _NO, _UPDATE_KEYS, _exclusive, _extract_f32, _extract_f32_bits, _node_update, _object_text, _type_name,
    _with_cause,
)
from tarnu_twin.binary import _pack_f, _unpack_f
from tarnu_twin.properties import DICT_KEYS, KINDS

# The module also reads Arrow input (its errors name it); the twin does not.
_IDS_ACCEPTED = (
    "ids are read from a list or tuple of 16-byte bytes, UUID text or uuid.UUID, from a C-contiguous buffer of bytes (format 'B', 'b' or "
    "'c', or 16-byte items such as numpy's 'S16' and 'V16') whose size is a multiple of 16, or from an Arrow array "
    "of fixed_size_binary(16), 16-byte binary or UUID text"
)
_WEIGHTS_ACCEPTED = (
    "weights are read from a sequence of numbers, from a one-dimensional C-contiguous buffer of format 'f' or 'd', "
    "or from an Arrow array of a float, integer or decimal type"
)
_UPDATES_ACCEPTED = ("updates are read from a sequence of update dicts, from a dict of columns, or from an Arrow "
                     "table, record batch or data frame with a column per property")
_COLUMN_NAMES = [key for _, key, _ in _UPDATE_KEYS]
_COLUMNS_NAMED = "the columns are 'id' (ignored), %s and '%s'" % (
    ", ".join("'%s'" % k for k in _COLUMN_NAMES[:-1]), _COLUMN_NAMES[-1])
# Per kind, the buffer formats a column of update values may have and how its
# accepted forms read; a text column takes no buffer.
_COLUMN_FORMATS = {"Text": ("", ""), "Float": ("fd", "'f' or 'd'"), "Colour": ("B", "'B'"), "Flag": ("?", "'?'")}


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


def _is_pandas_index(obj):
    module = getattr(type(obj), "__module__", None)
    return isinstance(module, str) and module.startswith("pandas") and _type_name(type(obj)).endswith("Index")


def _wrong_kind(obj, where, accepted):
    return TypeError("%s: '%s' object is not accepted; %s" % (where, _type_name(type(obj)), accepted))


_STR_COLUMN = "a str is one value, not a column of them; for one text on every node pass [text] * len(ids)"


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


_HEX = frozenset("0123456789abcdefABCDEF")


def _id_from_text(obj):
    """The 16 bytes of UUID text: 36 characters with hyphens or 32 hex digits, either case."""
    text = str.__getitem__(obj, slice(None))  # the stored text (PyPy's str.__str__ calls a subclass's __len__)
    if len(text) not in (32, 36):
        raise ValueError("text of %d characters is not a UUID (36 characters with hyphens, or 32 hex digits)"
                         % len(text))
    digits = text
    if len(text) == 36:
        digits = "" if any(text[i] != "-" for i in (8, 13, 18, 23)) else text.replace("-", "")
    if len(digits) != 32 or not _HEX.issuperset(digits):
        raise ValueError("%s is not a UUID" % repr(text))
    return bytes.fromhex(digits)


def _not_an_id(obj):
    name = _type_name(type(obj))
    text = "None" if obj is None else ("an " if name[:1] in "aeiouAEIOU" and name else "a ") + name
    return _with_cause(TypeError("%s is not a node id; ids are 16-byte bytes, UUID text or uuid.UUID" % text),
                       TypeError("'%s' object cannot be converted to 'PyBytes'" % name))


def _bytes_id(obj):
    raw = bytes(memoryview(obj))  # the stored bytes, whatever a subclass overrides
    if len(raw) != 16:
        raise _with_cause(TypeError("expected 16 bytes, got %d" % len(raw)), Exception("Expected 16 bytes."))
    return raw


def _one_id(obj):
    """An item of a list of ids: 16-byte bytes, UUID text or a uuid.UUID (its bytes)."""
    if type(obj) is bytes and len(obj) == 16:
        return obj
    if issubclass(type(obj), str):
        return _id_from_text(obj)
    if issubclass(type(obj), bytes):
        return _bytes_id(obj)
    if issubclass(type(obj), uuid.UUID):
        raw = obj.bytes
        if issubclass(type(raw), bytes):
            return _bytes_id(raw)
        raise _not_an_id(raw)
    raise _not_an_id(obj)


class _ArrowValues(list):
    """The values of a column read from Arrow input, a null as None. A null
    id or weight is a value the column holds, not an object of the wrong
    type as None in a list is: the module refuses it with ValueError."""


def _not_null(convert, what):
    def convert_value(value):
        if value is None:
            raise ValueError("the %s is null" % what)
        return convert(value)
    return convert_value


def _open_ids(obj, where):
    sequence = _take_sequence(obj, True)
    if sequence is not None:
        convert = _not_null(_one_id, "id") if isinstance(sequence, _ArrowValues) else _one_id
        return [("'%s'" % where[10:-1], len(sequence))], lambda n: _convert_items(sequence, n, where, convert)
    view = _buffer(obj)
    if view is None:
        if _is_pandas_index(obj):
            raise TypeError("%s: a pandas '%s' exports no Arrow array or buffer; pass list(index) or "
                            "pyarrow.array(index)" % (where, _type_name(type(obj))))
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
    convert = _not_null(_extract_f32_bits, "weight") if isinstance(sequence, _ArrowValues) else _extract_f32_bits
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
    return [(label, len(sequence))], lambda n: _convert_items(sequence, n, where, convert)


def _open_updates(obj, where):
    if not issubclass(type(obj), dict):
        sequence = _take_sequence(obj, False)
        if sequence is None:
            raise _wrong_kind(obj, where, _UPDATES_ACCEPTED)
        return [("'updates'", len(sequence))], lambda n: _convert_items(sequence, n, where, _node_update)
    # Every key names a property, or is "id" (ignored), as in a batch.
    given = {}
    for key, values in dict.items(obj):
        if not issubclass(type(key), str):
            raise TypeError("%s: a key of type '%s' is not a column name; %s"
                            % (where, _type_name(type(key)), _COLUMNS_NAMED))
        name = str.__getitem__(key, slice(None))
        if name == "id":
            continue
        if name not in _COLUMN_NAMES:
            raise ValueError("%s: column '%s' is not a node property; %s" % (where, _object_text(name), _COLUMNS_NAMED))
        if name in given:
            raise ValueError("%s: column '%s' is given twice" % (where, name))
        given[name] = values
    columns = []
    for row, key, convert in _UPDATE_KEYS:
        values = given.get(key, _NO)
        if values is _NO:
            continue
        column_where = "%s column '%s'" % (where, key)
        if isinstance(values, str):
            raise TypeError("%s: %s" % (column_where, _STR_COLUMN))
        formats, format_text = _COLUMN_FORMATS[KINDS[row]]
        accepted = "column '%s' is read from a sequence of values" % key
        if formats:
            accepted += ", an Arrow array or a one-dimensional C-contiguous buffer of format " + format_text
        else:
            accepted += " or an Arrow array"
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
        return [tuple(f.get(key) for key in DICT_KEYS) for f in found]

    return [("'updates' column '%s'" % c[0], c[1]) for c in columns], convert_columns


# -- snapshots ------------------------------------------------------------------

_SNAPSHOT_ACCEPTED = ("a snapshot is a dict of columns, each in a form its bulk method takes, or an Arrow table, "
                      "record batch or data frame")
_NODE_COLUMNS = ("id",) + DICT_KEYS
_EDGE_COLUMNS = ("source", "target", "weight")


def _columns_named(names):
    quoted = ["'%s'" % n for n in names]
    return ", ".join(quoted[:-1]) + " and " + quoted[-1]


def _open_snapshot(obj, name, nodes):
    """Opens one snapshot (a dict of columns) and checks its lengths; returns
    a function that converts its columns: ids and update tuples for nodes,
    sources, targets and weight bits for edges."""
    where = "argument '%s'" % name
    if not issubclass(type(obj), dict):
        if not (hasattr(obj, "__arrow_c_array__") or hasattr(obj, "__arrow_c_stream__")):
            raise _wrong_kind(obj, where, _SNAPSHOT_ACCEPTED)
        obj = _arrow_snapshot(obj, where, nodes)
    known = _NODE_COLUMNS if nodes else _EDGE_COLUMNS
    for key in dict.keys(obj):
        if not (isinstance(key, str) and str.__str__(key) in known):
            raise ValueError("%s: column '%s' is not known; the columns of %s are %s" % (
                where, _object_text(key), "nodes" if nodes else "edges", _columns_named(known)))
    required = ("id",) if nodes else _EDGE_COLUMNS
    for key in required:
        if dict.get(obj, key, _NO) is _NO:
            raise ValueError("%s: column '%s' is missing" % (where, key))
    opened = []
    if nodes:
        opened.append(_open_ids(dict.get(obj, "id"), where + " column 'id'"))
        properties = {key: value for key, value in dict.items(obj) if key != "id"}
        parts, convert = _open_updates(properties, where)
        opened.append(([("'%s'%s" % (name, label[9:]), n) for label, n in parts], convert))
    else:
        opened.append(_open_ids(dict.get(obj, "source"), where + " column 'source'"))
        opened.append(_open_ids(dict.get(obj, "target"), where + " column 'target'"))
        opened.append(_open_weights(dict.get(obj, "weight"), where + " column 'weight'"))
    lengths = [part for parts, _ in opened for part in parts]
    if any(n != lengths[0][1] for _, n in lengths):
        raise ValueError("PyGraphDiff.add_snapshot_change() got arguments of different lengths: %s" % (
            ", ".join("%s has %d items" % part for part in lengths)))
    return lambda: [convert(lengths[0][1]) for _, convert in opened]


def _arrow_snapshot(obj, where, nodes):
    """An Arrow snapshot as a dict of lists (a null: None), its column names
    judged as the module judges them: a node property's as add_nodes judges
    a table's, an edge column's as a dict's keys. arro3 reads it (nanoarrow's
    objects end a PyPy 7.3.11 process when they are collected), else pyarrow."""
    try:
        from arro3.core import Table
    except ImportError:
        import pyarrow
        Table = None
    table = Table.from_arrow(obj) if Table is not None else pyarrow.table(obj)
    names = [table.schema.field(i).name for i in range(table.num_columns)]
    known = _NODE_COLUMNS if nodes else _EDGE_COLUMNS
    # The columns pandas made of a frame's index are skipped: a node
    # property's name among them too, as add_nodes skips it; "id", and an
    # edge column's name, are read as the columns they are.
    index = _pandas_index_columns(table.schema)
    skipped = [column in index and (column not in known or (nodes and column != "id")) for column in names]
    names = [column for column, skip in zip(names, skipped) if not skip]
    columns = [i for i, skip in enumerate(skipped) if not skip]
    for i, column in enumerate(names):
        if nodes and column not in known:
            raise ValueError("%s: column '%s' is not a node property; %s" % (where, column, _COLUMNS_NAMED))
        if column not in known:
            raise ValueError("%s: column '%s' is not known; the columns of edges are %s" % (
                where, column, _columns_named(known)))
        if column in names[:i]:
            raise ValueError("%s: column '%s' is given twice" % (where, column))
    return {column: _ArrowValues(table.column(i).to_pylist()) for i, column in zip(columns, names)}


def _pandas_index_columns(schema):
    """The names listed in the schema's pandas metadata as its index
    columns; none when that metadata is absent or not what pandas writes."""
    try:
        found = json.loads((schema.metadata or {})[b"pandas"])["index_columns"]
    except (KeyError, TypeError, ValueError):
        return []
    return [name for name in found if isinstance(name, str)] if isinstance(found, list) else []


def _snapshot_rows(name, keys, values, what):
    """key -> value in row order; a key on an earlier row is refused."""
    rows = {}
    for i, (key, value) in enumerate(zip(keys, values)):
        if key in rows:
            raise ValueError("argument '%s': row %d: %s is on an earlier row" % (name, i, what))
        rows[key] = value
    return rows
