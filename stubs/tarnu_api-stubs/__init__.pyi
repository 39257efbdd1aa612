"""Record the net change to a directed, weighted graph and encode it as bytes.

The module holds one class, ``PyGraphDiff``, and ``DiffCounts``, the type of
``counts()``'s result. ``NodeUpdate``, ``NodeColumns`` and
``StoredNodeUpdate`` below exist for type checkers only: import them under
``if typing.TYPE_CHECKING:``.
"""

import sys
from collections.abc import Sequence
from typing import Any, Final, Protocol, SupportsFloat, SupportsIndex, TypedDict, Union, final
from uuid import UUID

from _typeshed import structseq
from typing_extensions import Buffer, TypeAlias

__all__ = ["PyGraphDiff"]

__version__: str
"""The package version, as in the distribution's metadata."""

class NodeUpdate(TypedDict, total=False):
    """The display properties of one node; every key is optional.

    UNKNOWN KEYS ARE IGNORED WITHOUT A WORD. Only these seven keys are read:
    the JSON spelling "showLabel", or a misspelt "show_lable", is dropped at
    run time and the property stays absent. Checkers flag unknown keys here
    for that reason. A key that is present must hold a value
    of its type: ``None`` never means "absent". A plain ``dict[str, Any]``
    built elsewhere can be passed with ``typing.cast("NodeUpdate", d)``.
    """

    label: str
    """Any text; written as a JSON string."""
    url: str
    """Any text; nothing checks that it looks like a URL."""
    size: SupportsFloat
    """Stored as a 32-bit float: rounded to nearest, beyond its range infinite.

    An ``int`` too large for a 64-bit float raises OverflowError. On CPython
    an object with only ``__index__`` is accepted too; PyPy refuses it.
    """
    red: SupportsIndex
    """0 to 255; other values raise OverflowError."""
    green: SupportsIndex
    """0 to 255; other values raise OverflowError."""
    blue: SupportsIndex
    """0 to 255; other values raise OverflowError."""
    show_label: bool
    """Exactly a ``bool`` (or a ``numpy.bool_``); ``1`` or ``None`` raise TypeError."""

class NodeColumns(TypedDict, total=False):
    """The updates of ``add_nodes`` as columns: one value per node, in order.

    Unlike ``NodeUpdate``, a key that is no property is refused
    (ValueError), except ``id``, which is ignored.

    ``None`` in a column means "absent" for that node (unlike in
    ``NodeUpdate``). The numeric columns may also be buffers: ``size`` of
    format ``f`` or ``d``, the colours of format ``B``, ``show_label`` of
    format ``?`` (numpy float32/float64, uint8 and bool arrays).
    """

    label: Sequence[str | None] | ArrowColumn
    url: Sequence[str | None] | ArrowColumn
    size: _Buffer | Sequence[SupportsFloat | SupportsIndex | None] | ArrowColumn
    red: _Buffer | Sequence[SupportsIndex | None] | ArrowColumn
    green: _Buffer | Sequence[SupportsIndex | None] | ArrowColumn
    blue: _Buffer | Sequence[SupportsIndex | None] | ArrowColumn
    show_label: _Buffer | Sequence[bool | None] | ArrowColumn

class StoredNodeUpdate(TypedDict, total=False):
    """A node update as ``node_updates()`` reads it back: only the properties
    present, each as the type the diff stores (a size is the 32-bit value as
    a ``float``; NaN where the update held a size that is not finite)."""

    label: str
    url: str
    size: float
    red: int
    green: int
    blue: int
    show_label: bool

@final
class DiffCounts(structseq[int], tuple[int, int, int, int]):
    """DiffCounts(node_updates, deleted_nodes, edge_updates, deleted_edges)

    The sizes of the four sections of a diff's encoding; edges count as (source, target) pairs.
    """

    if sys.version_info >= (3, 10):
        __match_args__: Final = ("node_updates", "deleted_nodes", "edge_updates", "deleted_edges")

    @property
    def node_updates(self) -> int:
        """nodes added or updated"""
    @property
    def deleted_nodes(self) -> int:
        """nodes to delete"""
    @property
    def edge_updates(self) -> int:
        """(source, target) pairs added or re-weighted"""
    @property
    def deleted_edges(self) -> int:
        """(source, target) pairs to delete"""

# numpy declares ndarray.__buffer__ to checkers only for Python 3.12 and
# later, so on older targets an array is no Buffer to them; every array that
# numpy makes has __array_interface__.
class _ArrayInterface(Protocol):
    @property
    def __array_interface__(self) -> dict[str, Any]: ...

# Any object with a buffer: bytes, bytearray, memoryview, mmap, array.array,
# numpy arrays.
_Buffer: TypeAlias = Union[Buffer, _ArrayInterface]

class ArrowArrayExporter(Protocol):
    """An Arrow array or record batch (pyarrow, nanoarrow, arro3, DuckDB...)."""

    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...

class ArrowStreamExporter(Protocol):
    """A chunked array, table or data frame (pyarrow, polars, pandas...)."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

# Arrow input: any object with ``__arrow_c_array__`` or ``__arrow_c_stream__``;
# where a column is taken, a table or record batch of one column is read as
# that column.
ArrowColumn: TypeAlias = Union[ArrowArrayExporter, ArrowStreamExporter]

# Ids in bulk: a list or tuple of 16-byte ``bytes``, UUID text (36
# characters with hyphens or 32 hex digits) or ``uuid.UUID``, a C-contiguous
# buffer of consecutive 16-byte ids (bytes, bytearray, numpy uint8 (n, 16) or
# S16), or an Arrow column of fixed_size_binary(16), 16-byte binary or UUID
# text.
_Id: TypeAlias = Union[bytes, str, UUID]
_Ids: TypeAlias = Union[_Buffer, list[bytes], list[str], list[UUID], list[_Id], tuple[_Id, ...], ArrowColumn]
# Weights in bulk: a one-dimensional buffer of format ``f`` or ``d``, numbers,
# or an Arrow column of a float, decimal or integer type.
_Weights: TypeAlias = Union[_Buffer, Sequence[Union[SupportsFloat, SupportsIndex]], ArrowColumn]

class NodeSnapshot(NodeColumns, total=False):
    """A nodes snapshot of ``add_snapshot_change``: the column ``id`` (which
    must be there) and any property columns of ``NodeColumns``."""

    id: _Ids

class EdgeSnapshot(TypedDict):
    """An edges snapshot of ``add_snapshot_change``: all three columns."""

    source: _Ids
    target: _Ids
    weight: _Weights

@final
class PyArrowBatch:
    """A record batch of a diff's contents, made by PyGraphDiff.to_arrow(). It exports itself through the Arrow PyCapsule interface: pass it to pyarrow.record_batch(), polars.DataFrame() or any Arrow consumer."""

    def __arrow_c_schema__(self) -> object:
        """The batch's schema (a struct of its columns) in an 'arrow_schema' capsule."""
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]:
        """The batch as a struct array: a pair of 'arrow_schema' and 'arrow_array' capsules. requested_schema is accepted and ignored, as the PyCapsule interface allows: the batch has one layout, which a consumer that asked for another casts."""
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """The batch as a stream of one record batch, in an 'arrow_array_stream' capsule. requested_schema is accepted and ignored, as for __arrow_c_array__."""
    def __len__(self) -> int: ...

_ArrowBatches = TypedDict(
    "_ArrowBatches",
    {"node_updates": PyArrowBatch, "deleted_nodes": PyArrowBatch, "edge_updates": PyArrowBatch,
     "deleted_edges": PyArrowBatch},
)

@final
class PyGraphDiff:
    """The pending change to a graph held elsewhere, kept as its net effect.

    Node ids are 16-byte ``bytes`` (a UUID's bytes, e.g. ``uuid.bytes``).
    Operations combine as they are recorded: a later ``add_node`` replaces
    the node's earlier update; ``delete_node`` drops the node's update and
    outgoing edges and turns its pending incoming edges into edge deletions;
    ``delete_edge`` cancels a pending addition of the edge and records the
    deletion, and ``add_edge`` cancels a pending deletion (the two do not
    cancel out). ``to_bytes`` encodes what is left.

    Every method that takes arguments raises TypeError for wrong argument
    counts or names, and RuntimeError ("Already borrowed" or "Already mutably
    borrowed") when called on this diff from Python code that an argument
    conversion runs (an ``__index__``, ``__float__`` or ``__bool__``), or from
    another thread while such code runs. No method releases the interpreter
    lock, so a long call (``to_bytes`` of a large diff) keeps other threads
    waiting; only Python code that a conversion runs lets them in. A
    failed call leaves the diff unchanged, and so does one that runs out of
    memory (MemoryError); a bulk method or ``merge`` keeps the effect of the
    items before it.

    Diffs pickle (through their bytes) and copy (``copy.copy``, ``deepcopy``)
    on both interpreters. The class reports ``__module__`` "builtins", so
    pickle cannot find the class or its methods by name: ship
    ``d.to_bytes()`` or the diff itself, not ``PyGraphDiff.from_bytes``, to
    another process (docs/guide.md). It cannot be subclassed on CPython
    (PyPy allows it; docs/platform.md).
    """

    def __init__(self) -> None:
        """Create an empty diff. Takes no arguments (TypeError otherwise)."""

    def num_nodes(self) -> int:
        """The number of nodes the diff touches: updated nodes plus deleted nodes.

        A node is counted once: updating a node removes it from the deleted
        set and deleting it drops its update.
        """

    def num_edges(self) -> int:
        """The number of SOURCE NODES with edge entries, not the number of edges.

        It is the number of sources with pending additions (a source whose
        additions were all cancelled by deleting their target still counts,
        until a later ``delete_edge`` from it removes its empty group) plus
        the number of sources with pending deletions. ``add_edge(a, b, 1.0)``
        then ``add_edge(a, c, 1.0)`` gives 1. The number of pending edges
        is ``counts().edge_updates``.
        """

    def add_node(self, id: bytes, update: NodeUpdate) -> None:
        """Record the node's display properties, replacing any earlier update whole.

        Fields are never merged: a key missing from ``update`` is absent
        afterwards. Revives a node that was marked deleted.

        Raises:
            TypeError: ``id`` is not ``bytes`` or not 16 bytes long ("argument
                'id': failed to extract field PyUuid.0", the reason in
                ``__cause__``); ``update`` is not a ``dict``; ``label`` or
                ``url`` is not a ``str``; ``show_label`` is not a ``bool``;
                ``size`` is not a number; a colour is not an integer.
            OverflowError: ``red``, ``green`` or ``blue`` outside 0 to 255;
                ``size`` an ``int`` too large for a 64-bit float.
            UnicodeEncodeError: ``label`` or ``url`` holds a lone surrogate.
        """

    def delete_node(self, id: bytes) -> None:
        """Mark the node deleted: drop its update and its pending outgoing edges.

        Its pending incoming edges become edge deletions; a source left
        without pending additions that way keeps an empty group of them. The
        node's own pending edge deletions, and those into it, stay. Deleting
        an unknown node, or the same node twice, is fine.

        Raises:
            TypeError: ``id`` is not 16 ``bytes`` (see ``add_node``).
        """

    def add_edge(
        self, from_: bytes, /, to: bytes, weight: SupportsFloat
    ) -> None:
        """Record the edge ``from_`` -> ``to`` with ``weight`` (kept as a 32-bit float).

        Replaces an earlier weight and cancels a pending deletion of the
        edge. While either endpoint is marked deleted the call is silently
        ignored (no exception; ``add_node`` on that endpoint revives it).
        The first parameter is named ``from`` at run time, which Python
        cannot spell as a keyword, so pass it by position.

        Raises:
            TypeError: ``from_`` or ``to`` is not 16 ``bytes``; ``weight`` is
                not a number ("argument 'weight': ..."); on PyPy also an
                object with only ``__index__``.
            OverflowError: ``weight`` is an ``int`` too large for a 64-bit
                float.
        """

    def delete_edge(self, from_: bytes, /, to: bytes) -> None:
        """Record the deletion of the edge ``from_`` -> ``to``; cancels a pending addition.

        Recorded whether or not the edge was pending or its nodes are known.
        If the source's group of pending additions is empty afterwards, the
        group is removed, even one that ``delete_node`` had already emptied.
        The first parameter is named ``from`` at run time; pass it by position.

        Raises:
            TypeError: ``from_`` or ``to`` is not 16 ``bytes``.
        """

    def to_bytes(self) -> bytes:
        """Encode the net change; the diff is not changed.

        Four sections of little-endian counts, 16-byte ids, 32-bit weights
        and compact JSON texts of the node updates, in no particular order;
        an empty diff gives 32 zero bytes. See docs/format.md.

        Raises:
            Exception: "Failed to serialize graph diff." (not expected to
                happen for any content).
            MemoryError: the encoded form does not fit in memory.
        """

    def clear(self) -> None:
        """Forget everything recorded; the diff behaves like a new one."""

    # Bulk methods: one call per batch, with exactly the effect of the
    # single-item method called for each item in order. Every argument is
    # checked before the first change: a call that raises for a bad argument
    # leaves the diff as it was. Errors: ValueError for lengths that differ;
    # a bad item raises what the single method raises, with "argument
    # 'weights': item 3: ..." in its text; TypeError or ValueError for a
    # buffer of the wrong format or layout; MemoryError part-way leaves the
    # effect of the first k items, k in its text. See docs/guide.md.

    def add_edges(self, sources: _Ids, targets: _Ids, weights: _Weights) -> None:
        """add_edge(sources[i], targets[i], weights[i]) for every i, in order, in one call.

        sources and targets: lists or tuples of 16-byte bytes, UUID text or uuid.UUID;
        C-contiguous buffers of 16-byte ids (bytes, numpy uint8 (n, 16), 'S16'); or Arrow
        columns of fixed_size_binary(16), of binary of 16-byte values or of UUID text.
        weights: a sequence of numbers, a one-dimensional buffer of format 'f' or 'd', or an
        Arrow column of a float, integer or decimal type. An Arrow column is an array, a
        chunked array, or a table, record batch or data frame of one column (anything with
        __arrow_c_array__ or __arrow_c_stream__); a null id or weight in it is a ValueError.
        Every argument is checked before the first change. Out of memory part-way:
        MemoryError, and the diff holds the effect of the items it names.
        """

    def delete_edges(self, sources: _Ids, targets: _Ids) -> None:
        """delete_edge(sources[i], targets[i]) for every i, in order, in one call; the
        columns as for add_edges: lists or tuples of ids, buffers of 16-byte ids, or Arrow
        columns of fixed_size_binary(16) or UUID text.
        """

    def delete_nodes(self, ids: _Ids) -> None:
        """delete_node(ids[i]) for every i, in order, in one call; ids as for add_edges: a
        list or tuple of ids, a buffer of 16-byte ids, or an Arrow column of
        fixed_size_binary(16) or UUID text.
        """

    def add_nodes(self, ids: _Ids, updates: Sequence[NodeUpdate] | NodeColumns | ArrowColumn) -> None:
        """add_node(ids[i], update i) for every i, in order, in one call; ids as for add_edges.

        updates: a sequence of update dicts; a dict of columns keyed by the seven property
        names, each a list, a buffer (size 'f' or 'd', the colours 'B', show_label '?') or
        an Arrow column; or an Arrow table, record batch, struct array or data frame with
        a column per property (text for label and url, any number type for size, integers
        for the colours, bool for show_label). None in a column, or an Arrow null,
        leaves that property out; a key or column 'id', or a pandas frame's index, is
        ignored, any other refused. In the update dicts, as in add_node, unknown keys are
        ignored without a word: check their spelling.
        """

    def add_snapshot_change(
        self,
        *,
        old_nodes: NodeSnapshot | ArrowColumn | None = None,
        new_nodes: NodeSnapshot | ArrowColumn | None = None,
        old_edges: EdgeSnapshot | ArrowColumn | None = None,
        new_edges: EdgeSnapshot | ArrowColumn | None = None,
    ) -> None:
        """Records the change from one snapshot of a graph to the next, as if these calls
        were made on this diff: delete_node for each old node missing from new_nodes,
        add_node for each new node that is not old or whose update encodes to other JSON
        text, delete_edge for each old (source, target) missing from new_edges, add_edge
        for each new edge that is not old or whose weight differs as a 32-bit float. Each
        list in its snapshot's row order.

        A nodes snapshot has the columns 'id' and any node properties (a null is absent);
        an edges snapshot 'source', 'target' and 'weight'. Each is a dict of columns,
        every column in the forms its bulk method takes (lists, buffers, Arrow arrays),
        or an Arrow table, record batch or data frame (anything with __arrow_c_stream__
        or __arrow_c_array__). The snapshots come in pairs. An id or (source, target) twice
        in a snapshot, or a new edge at a node the change deletes, is a ValueError that
        names the argument and row; nothing is recorded then.
        """

    def encoded_size(self) -> int:
        """len(self.to_bytes()), computed from counts the diff keeps, without encoding."""

    def encode_into(self, buffer: _Buffer, offset: SupportsIndex = 0) -> int:
        """Writes the bytes of to_bytes() into buffer from offset on; returns how many.

        A bytearray is resized to end exactly after them (offset -1: its end); an offset
        past its end fills the gap with zero bytes. Any other writable C-contiguous buffer
        (memoryview, mmap, numpy array) must already have room, else ValueError and
        nothing is written; its bytes before offset and after the encoding are left as
        they were.
        """

    # Restoring, reading, copying.

    @classmethod
    def from_bytes(cls, data: _Buffer, /) -> "PyGraphDiff":
        """The diff that data (bytes or any buffer: bytearray, memoryview, mmap) encodes, as
        to_bytes() wrote it. ValueError naming the byte offset and the reason otherwise.
        """

    def node_updates(self) -> list[tuple[bytes, StoredNodeUpdate]]:
        """[(id, update dict)] for every node update, in the order of to_bytes(); each dict
        holds the present properties under add_node's keys.
        """

    def deleted_nodes(self) -> list[bytes]:
        """[id] of every node to delete, in the order of to_bytes()."""

    def edge_updates(self) -> list[tuple[bytes, bytes, float]]:
        """[(source, target, weight)] for every pending edge, in the order of to_bytes();
        weight is the stored 32-bit float as a Python float.
        """

    def deleted_edges(self) -> list[tuple[bytes, bytes]]:
        """[(source, target)] of every edge to delete, in the order of to_bytes()."""

    def to_arrow(self) -> _ArrowBatches:
        """The diff's contents as four Arrow record batches, in a dict keyed "node_updates", "deleted_nodes",
        "edge_updates" and "deleted_edges", rows in the order of to_bytes(). Ids are fixed_size_binary(16),
        weights float32; node properties are nullable columns named as add_node's keys (null: absent).
        Each batch exports __arrow_c_array__ and __arrow_c_stream__: pass it to pyarrow.record_batch(),
        pyarrow.table() or polars.DataFrame().
        """

    def __copy__(self) -> "PyGraphDiff":
        """An independent diff with the same content, encoding to the same bytes."""

    def __deepcopy__(self, memo: dict[int, object], /) -> "PyGraphDiff":
        """The same as __copy__: a diff holds no Python objects."""

    def __sizeof__(self) -> int:
        """Bytes held by the diff's record, its tables and texts included."""

    # Combining and summarising.

    def merge(self, other: PyGraphDiff) -> None:
        """Records other's content on this diff, as if these calls were made on it:
        delete_node for each of other's deleted nodes, then add_node for each of its
        node updates, then delete_edge for each deleted edge, then add_edge for each
        pending edge, each list in the order of other.to_bytes().

        other is unchanged; d.merge(d) changes nothing.

        Raises:
            TypeError: other is not a PyGraphDiff ("argument 'other': ..."); nothing is
                recorded.
            MemoryError: out of memory part-way; the diff holds the effect of the calls
                it names, their number in the text.
        """

    def counts(self) -> DiffCounts:
        """DiffCounts(node_updates, deleted_nodes, edge_updates, deleted_edges): the sizes
        of the four sections of to_bytes(), edges as (source, target) pairs. O(1).
        (num_edges() counts source groups instead.)
        """

    def __repr__(self) -> str:
        """``<PyGraphDiff: 2 node updates, 1 deleted node, 10 edges, 1 deleted edge>``."""
