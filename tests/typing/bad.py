"""Misuses of tarnu_api that a type checker must reject, one per line.

Each line that must be flagged ends with a marker comment naming mypy's
error code; no other line may be flagged.
"""

from __future__ import annotations

from tarnu_api import PyGraphDiff

a = bytes(16)
diff = PyGraphDiff()

diff.add_node("0123456789abcdef", {})  # E: arg-type
diff.delete_node(a.hex())  # E: arg-type
diff.delete_node(bytearray(16))  # E: arg-type
diff.add_edge(a, 7, 0.5)  # E: arg-type
diff.add_edge(a, a, "0.5")  # E: arg-type
diff.delete_edge(a, None)  # E: arg-type
diff.add_node(a, [("label", "x")])  # E: arg-type
diff.add_node(a, {"label": 1})  # E: typeddict-item
diff.add_node(a, {"show_label": 1})  # E: typeddict-item
diff.add_node(a, {"size": "big"})  # E: typeddict-item
diff.add_node(a, {"show_lable": True})  # E: typeddict-unknown-key
diff.add_node(a, {"label": None})  # E: typeddict-item
diff.add_edge(from_=a, to=a, weight=1.0)  # E: call-arg
diff.to_bytes().encode()  # E: attr-defined
diff.num_edges() + "1"  # E: operator
PyGraphDiff(a)  # E: call-arg


class Special(PyGraphDiff):  # E: misc
    pass
diff.add_edges([1], [a], [1.0])  # E: arg-type
diff.add_edges([a], [a], ["1.0"])  # E: list-item
diff.add_nodes([a], {"label": [1]})  # E: arg-type
diff.delete_nodes(a.hex())  # E: arg-type
diff.merge(diff.to_bytes())  # E: arg-type
diff.counts().edges  # E: attr-defined
diff.node_updates()[0][1]["size"] + "1"  # E: operator
PyGraphDiff.from_bytes("x" * 32)  # E: arg-type
