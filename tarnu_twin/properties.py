"""The node properties, one row each, as the module's own table has them.

Everything in the twin that lists the properties is built from this table:
the update tuple, add_node's read order, the JSON members, the decoder's
checks, the columns of add_nodes and of a snapshot, and the dicts that
node_updates gives back. A row is

    (dict key, JSON key, kind, read position)

with the kind one of "Text", "Float", "Colour", "Flag". The rows' order is
the order of the update tuple and of the JSON members; add_node reads the
keys of an update dict in read-position order, which is its own.
"""

NODE_PROPERTIES = (
    ("label", "label", "Text", 0),
    ("size", "size", "Float", 2),
    ("url", "url", "Text", 1),
    ("red", "red", "Colour", 3),
    ("green", "green", "Colour", 4),
    ("blue", "blue", "Colour", 5),
    ("show_label", "showLabel", "Flag", 6),
)

DICT_KEYS = tuple(row[0] for row in NODE_PROPERTIES)
JSON_KEYS = tuple(row[1] for row in NODE_PROPERTIES)
KINDS = tuple(row[2] for row in NODE_PROPERTIES)
# The row read at each read position.
READ_ORDER = tuple(sorted(range(len(NODE_PROPERTIES)), key=lambda row: NODE_PROPERTIES[row][3]))
assert sorted(row[3] for row in NODE_PROPERTIES) == list(range(len(NODE_PROPERTIES)))
