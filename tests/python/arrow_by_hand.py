"""Arrow arrays built by hand with ctypes, on both interpreters, with no
Arrow library: every accepted type, sliced (an offset), chunked (a stream),
with nulls, and hostile layouts. Every struct it hands out counts its
releases, so that a test can check that each was released exactly once.

The capsules come from the module's test hook "arrow_capsule" (PyPy's
ctypes cannot make one); those tests skip without the hooks."""

import ctypes
import decimal
import struct

import tarnu_api
from conftest import run_hook

HOOKS = hasattr(tarnu_api, "_test_hook")
# The C callbacks of the module's test hooks: the structs' release and the
# stream's callbacks never run Python code (PyPy deadlocks when C code that
# holds the interpreter lock calls a ctypes callback).
C_CALLBACKS = run_hook("arrow_callbacks") if HOOKS else {}
RELEASE = ctypes.CFUNCTYPE(None, ctypes.c_void_p)


class ArrowSchema(ctypes.Structure):
    pass


ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))), ("dictionary", ctypes.c_void_p),
    ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p),
]


class ArrowArray(ctypes.Structure):
    pass


ArrowArray._fields_ = [
    ("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))), ("dictionary", ctypes.c_void_p),
    ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p),
]


class ArrowArrayStream(ctypes.Structure):
    _fields_ = [("get_schema", ctypes.c_void_p), ("get_next", ctypes.c_void_p), ("get_last_error", ctypes.c_void_p),
                ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p)]


class HandStreamState(ctypes.Structure):  # test_hooks.cpp's HandStream
    _fields_ = [("schema", ctypes.POINTER(ArrowSchema)), ("chunks", ctypes.POINTER(ArrowArray)),
                ("count", ctypes.c_int64), ("next", ctypes.c_int64), ("fail_at", ctypes.c_int64),
                ("error", ctypes.c_void_p), ("releases", ctypes.c_int64)]


def capsule(name, struct_object):
    return run_hook("arrow_capsule", (name, ctypes.addressof(struct_object)))


# --- values into buffers -------------------------------------------------------

INT_FORMATS = {"c": "b", "C": "B", "s": "h", "S": "H", "i": "i", "I": "I", "l": "q", "L": "Q"}
FLOAT_FORMATS = {"e": "e", "f": "f", "g": "d"}
INT_RANGES = {"c": (-128, 127), "C": (0, 255), "s": (-2 ** 15, 2 ** 15 - 1), "S": (0, 2 ** 16 - 1),
              "i": (-2 ** 31, 2 ** 31 - 1), "I": (0, 2 ** 32 - 1), "l": (-2 ** 63, 2 ** 63 - 1), "L": (0, 2 ** 64 - 1)}
ID_FORMATS = ["w:16", "z", "Z", "vz", "u", "U", "vu"]
TEXT_FORMATS = ["u", "U", "vu"]
# Decimals of every width, a negative scale among them: their values are
# the unscaled integers.
DECIMAL_FORMATS = ["d:9,2,32", "d:18,-3,64", "d:2,1", "d:38,30,128", "d:76,40,256"]


def decimal_parts(fmt):
    """(scale, bytes per value) of a decimal format."""
    parts = fmt[2:].split(",")
    return int(parts[1]), int(parts[2] if len(parts) > 2 else 128) // 8


EXACT = decimal.Context(prec=100)  # scaleb rounds to its context's precision


def decimal_value(fmt, integer):
    """The Python float of a decimal's value, as float(Decimal) makes it."""
    return float(decimal.Decimal(integer).scaleb(-decimal_parts(fmt)[0], EXACT))


def bits(flags):
    out = bytearray((len(flags) + 7) // 8)
    for i, flag in enumerate(flags):
        if flag:
            out[i // 8] |= 1 << (i % 8)
    return bytes(out)


def layout(fmt, values):
    """The buffers (validity first) of `values` (None for a null) in
    format `fmt`, and the null count."""
    validity = bits([v is not None for v in values])
    nulls = sum(v is None for v in values)
    if fmt == "b":
        return [validity, bits([bool(v) for v in values])], nulls
    if fmt == "n":
        return [], len(values)
    if fmt.startswith("d:"):
        width = decimal_parts(fmt)[1]
        return [validity, b"".join((v or 0).to_bytes(width, "little", signed=True) for v in values)], nulls
    if fmt in INT_FORMATS or fmt in FLOAT_FORMATS:
        code = INT_FORMATS.get(fmt) or FLOAT_FORMATS[fmt]
        return [validity, b"".join(struct.pack("<" + code, 0 if v is None else v) for v in values)], nulls
    raw = [b"" if v is None else (v.encode() if isinstance(v, str) else v) for v in values]
    if fmt.startswith("w:"):
        width = int(fmt[2:])
        return [validity, b"".join(r.ljust(width, b"\0") for r in raw)], nulls
    if fmt in ("z", "u", "Z", "U"):
        code = "<i" if fmt in ("z", "u") else "<q"
        offsets, at = [struct.pack(code, 0)], 0
        for r in raw:
            at += len(r)
            offsets.append(struct.pack(code, at))
        return [validity, b"".join(offsets), b"".join(raw)], nulls
    if fmt in ("vz", "vu"):
        views, data = [], b""
        for r in raw:
            if len(r) <= 12:
                views.append(struct.pack("<i", len(r)) + r.ljust(12, b"\0"))
            else:
                views.append(struct.pack("<i4sii", len(r), r[:4], 0, len(data)))
                data += r
        return [validity, b"".join(views), data, struct.pack("<q", len(data))], nulls
    raise ValueError(fmt)


# --- arrays and streams --------------------------------------------------------

class Releases:
    """A release counter per struct handed out."""

    def __init__(self):
        self.counters = []

    def counter(self):
        count = ctypes.c_int64(0)
        self.counters.append(count)
        return count

    @property
    def counts(self):
        return [c.value for c in self.counters]

    def all_once(self):
        return all(c.value == 1 for c in self.counters)


class HandArray:
    """An array of `values` in format `fmt`, with `skip` leading items
    hidden by the offset; each __arrow_c_array__ call makes new structs.
    `children` ((name, HandArray) pairs) makes it a struct array ("+s").
    `on_release` (CPython only) is Python code run by the array's release;
    `tamper(schema, array)` spoils the structs once made."""

    def __init__(self, fmt, values=(), skip=0, children=(), releases=None, on_release=None, tamper=None):
        self.fmt, self.values, self.skip, self.children = fmt, list(values), skip, list(children)
        self.releases = releases if releases is not None else Releases()
        self.on_release, self.tamper = on_release, tamper
        self.keep = []  # everything a struct points to lives as long as this
        self.length = len(self.children[0][1].values) if self.children else len(self.values)

    def make(self, name=b"", schema_releases=None):
        """New structs; the schema's counters go to `schema_releases`."""
        schema_releases = schema_releases if schema_releases is not None else self.releases
        if self.fmt == "+s":
            buffers, offset, nulls = [None], 0, 0
        else:
            buffers, _ = layout(self.fmt, [self.values[0] if self.values else None] * self.skip + self.values)
            offset, nulls = self.skip, sum(v is None for v in self.values)
            if buffers:
                buffers[0] = buffers[0] if nulls else None
        kept = [None if b is None else ctypes.create_string_buffer(b, max(len(b), 1)) for b in buffers]
        pointers = (ctypes.c_void_p * max(len(kept), 1))(*[None if k is None else ctypes.addressof(k) for k in kept])
        made = [child.make(child_name.encode(), schema_releases) for child_name, child in self.children]
        schema_children = (ctypes.POINTER(ArrowSchema) * max(len(made), 1))(*[ctypes.pointer(s) for s, _ in made])
        array_children = (ctypes.POINTER(ArrowArray) * max(len(made), 1))(*[ctypes.pointer(a) for _, a in made])
        schema_count, array_count = schema_releases.counter(), self.releases.counter()
        fmt = self.fmt.encode()
        schema = ArrowSchema(fmt, name, None, 2, len(made), schema_children, None, C_CALLBACKS["release_schema"],
                             ctypes.addressof(schema_count))
        array = ArrowArray(self.length, nulls, offset, len(kept), len(made), pointers, array_children, None,
                           C_CALLBACKS["release_array"], ctypes.addressof(array_count))
        extra = None
        if self.on_release is not None:
            release_in_c = RELEASE(C_CALLBACKS["release_array"])

            def release(address):
                release_in_c(address)
                self.on_release()

            extra = RELEASE(release)
            array.release = ctypes.cast(extra, ctypes.c_void_p).value
        self.keep.append((kept, pointers, made, schema_children, array_children, fmt, name, schema_count,
                          array_count, extra))
        if self.tamper is not None:
            self.tamper(schema, array)
        return schema, array

    def __arrow_c_array__(self, requested_schema=None):
        schema, array = self.make()
        self.keep.append((schema, array))
        return capsule("arrow_schema", schema), capsule("arrow_array", array)


class HandStream:
    """A stream of `chunks` (HandArrays of one type); get_next fails with
    `error` at chunk `fail_at`. Every chunk is made up front: those never
    handed out are released with the stream."""

    def __init__(self, chunks, fail_at=None, error=b"the producer gave up", releases=None, schema=None):
        # `schema`: a HandArray whose schema a stream of no chunks serves.
        self.chunks, self.fail_at, self.error, self.schema = chunks, fail_at, error, schema
        self.releases = releases if releases is not None else Releases()
        for chunk in chunks + ([schema] if schema is not None else []):
            chunk.releases = self.releases
        self.keep = []
        self.states = []

    def __arrow_c_stream__(self, requested_schema=None):
        schema, first = (self.chunks[0] if self.chunks else self.schema).make()
        if not self.chunks:  # the array made with the schema is never served
            RELEASE(C_CALLBACKS["release_array"])(ctypes.addressof(first))
        arrays = (ArrowArray * max(len(self.chunks), 1))()
        unserved = Releases()  # each chunk's own schema: the stream serves chunk 0's
        for i, chunk in enumerate(self.chunks):
            array = first if i == 0 else chunk.make(schema_releases=unserved)[1]
            ctypes.memmove(ctypes.addressof(arrays[i]), ctypes.addressof(array), ctypes.sizeof(ArrowArray))
        error = ctypes.create_string_buffer(self.error)
        state = HandStreamState(ctypes.pointer(schema), arrays, len(self.chunks), 0,
                                -1 if self.fail_at is None else self.fail_at, ctypes.addressof(error), 0)
        stream = ArrowArrayStream(C_CALLBACKS["get_schema"], C_CALLBACKS["get_next"], C_CALLBACKS["get_last_error"],
                                  C_CALLBACKS["release_stream"], ctypes.addressof(state))
        self.keep.append((schema, first, arrays, error, state, stream))
        self.states.append(state)
        return capsule("arrow_array_stream", stream)

    def all_once(self):
        return self.releases.all_once() and all(state.releases == 1 for state in self.states)


def arrow_column(fmt, values, skip=0, chunks=1, releases=None, table=False):
    """`values` in format `fmt` as a HandArray, or as a HandStream of
    `chunks` chunks, each sliced by `skip` leading items; with `table`, each
    as the one column of a struct array (a one-column table)."""
    def array(part, releases=None):
        if table:
            return HandArray("+s", children=[("column", HandArray(fmt, part, skip=skip))], releases=releases)
        return HandArray(fmt, part, skip=skip, releases=releases)
    if chunks <= 1:
        return array(values, releases)
    step = max(1, -(-len(values) // chunks))
    parts = [values[i:i + step] for i in range(0, len(values), step)] or [[]]
    return HandStream([array(part) for part in parts], releases=releases)
