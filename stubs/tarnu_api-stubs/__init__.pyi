"""Record the net change to a directed, weighted graph and encode it as bytes.

The module holds one class, ``PyGraphDiff``. ``NodeUpdate`` below exists for
type checkers only: import it under ``if typing.TYPE_CHECKING:``.
"""

from typing import SupportsFloat, SupportsIndex, TypedDict, final

__all__ = ["PyGraphDiff"]

__version__: str
"""The package version, as in the distribution's metadata."""

class NodeUpdate(TypedDict, total=False):
    """The display properties of one node; every key is optional.

    Only these seven keys are read; any other key is ignored at run time,
    which is why checkers flag unknown keys here (a misspelt "show_lable"
    would otherwise vanish silently). A key that is present must hold a value
    of its type: ``None`` never means "absent". A plain ``dict[str, Any]``
    built elsewhere can be passed with ``typing.cast("NodeUpdate", d)``.
    """

    label: str
    """Any text; written as a JSON string."""
    url: str
    """Any text; nothing checks that it looks like a URL."""
    size: SupportsFloat | SupportsIndex
    """Stored as a 32-bit float: rounded to nearest, beyond its range infinite."""
    red: SupportsIndex
    """0 to 255; other values raise OverflowError."""
    green: SupportsIndex
    """0 to 255; other values raise OverflowError."""
    blue: SupportsIndex
    """0 to 255; other values raise OverflowError."""
    show_label: bool
    """Exactly a ``bool`` (or a ``numpy.bool_``); ``1`` or ``None`` raise TypeError."""

@final
class PyGraphDiff:
    """The pending change to a graph held elsewhere, kept as its net effect.

    Node ids are 16-byte ``bytes`` (a UUID's bytes, e.g. ``uuid.bytes``).
    Operations combine as they are recorded: a later ``add_node`` replaces
    the node's earlier update; ``delete_node`` drops the node's update and
    outgoing edges and turns its pending incoming edges into edge deletions;
    ``add_edge`` and ``delete_edge`` of the same edge cancel each other.
    ``to_bytes`` encodes what is left.

    Every method that takes arguments raises TypeError for wrong argument
    counts or names, and RuntimeError ("Already borrowed" or "Already mutably
    borrowed") when called on this diff from Python code that an argument
    conversion runs (an ``__index__``, ``__float__`` or ``__bool__``). A
    failed call leaves the diff unchanged, and so does one that runs out of
    memory (MemoryError). The class cannot be subclassed and reports
    ``__module__`` "builtins".
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
        additions were all cancelled by deleting their target still counts)
        plus the number of sources with pending deletions. ``add_edge(a, b,
        1.0)`` then ``add_edge(a, c, 1.0)`` gives 1.
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
            OverflowError: ``red``, ``green`` or ``blue`` outside 0 to 255.
        """

    def delete_node(self, id: bytes) -> None:
        """Mark the node deleted: drop its update and its pending outgoing edges.

        Its pending incoming edges become edge deletions. Deleting an
        unknown node, or the same node twice, is fine.

        Raises:
            TypeError: ``id`` is not 16 ``bytes`` (see ``add_node``).
        """

    def add_edge(
        self, from_: bytes, /, to: bytes, weight: SupportsFloat | SupportsIndex
    ) -> None:
        """Record the edge ``from_`` -> ``to`` with ``weight`` (kept as a 32-bit float).

        Replaces an earlier weight and cancels a pending deletion of the
        edge. While either endpoint is marked deleted the call is silently
        ignored (no exception; ``add_node`` on that endpoint revives it).
        The first parameter is named ``from`` at run time, which Python
        cannot spell as a keyword, so pass it by position.

        Raises:
            TypeError: ``from_`` or ``to`` is not 16 ``bytes``; ``weight`` is
                not a number ("argument 'weight': ...").
        """

    def delete_edge(self, from_: bytes, /, to: bytes) -> None:
        """Record the deletion of the edge ``from_`` -> ``to``; cancels a pending addition.

        Recorded whether or not the edge was pending or its nodes are known.
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
