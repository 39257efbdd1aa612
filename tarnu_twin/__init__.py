"""A pure-Python ``PyGraphDiff``: same API, combination rules, exceptions and bytes.

Two jobs share this package. It is the baseline that the benchmarks run
beside the extension (the code a user would write with dicts and
``struct``), and it is the model that property-based tests drive in lockstep
with the extension. The second job wins where they pull apart: every argument rule, exception type,
text and ``__cause__`` is reproduced, while the four mutating methods keep a
short path for the common call (exact 16-byte ``bytes`` ids, exact ``float``
weight, positional arguments) so that the baseline stays honest.

Entry order inside ``to_bytes()`` follows dict insertion order here and hash
table order in the extension; order carries no meaning in the format, so
compare decoded diffs (``examples/decode_diff.py``), not raw bytes, whenever a
diff holds more than one entry in a section.

Works on CPython 3.9+ and PyPy 3.9.

The package is cut by concern: ``arguments`` (parsing, conversions, error
texts, the borrow), ``json_text`` (the node update text), ``binary`` (the
fixed-width pieces), ``bulk`` (the bulk methods' arguments), ``decoder``
(from_bytes), ``_docs`` (the module's docstrings, written by
scripts/docstrings.py) and ``diff`` (the class, which uses all of them;
nothing imports it back).
"""

from tarnu_twin.diff import DiffCounts, PyGraphDiff
from tarnu_twin.json_text import float32_json, node_update_json

__all__ = ["PyGraphDiff", "DiffCounts", "float32_json", "node_update_json"]
