"""The module's docstrings, which the twin's classes take (tarnu_twin/diff.py).

Written by scripts/docstrings.py --write from the built module: edit the
texts in src/extension/, not here. The key "" is the class's own doc.
"""

DOCS = {
    'PyGraphDiff': {
        'add_edges': (
            'add_edge(sources[i], targets[i], weights[i]) for every i, in order, in one call.\n'
            '\n'
            'sources and targets: lists or tuples of 16-byte bytes, UUID text or uuid.UUID;\n'
            "C-contiguous buffers of 16-byte ids (bytes, numpy uint8 (n, 16), 'S16'); or Arrow\n"
            'columns of fixed_size_binary(16), of binary of 16-byte values or of UUID text.\n'
            "weights: a sequence of numbers, a one-dimensional buffer of format 'f' or 'd', or an\n"
            'Arrow column of a float, integer or decimal type. An Arrow column is an array, a\n'
            'chunked array, or a table, record batch or data frame of one column (anything with\n'
            '__arrow_c_array__ or __arrow_c_stream__); a null id or weight in it is a ValueError.\n'
            'Every argument is checked before the first change. Out of memory part-way:\n'
            'MemoryError, and the diff holds the effect of the items it names.'
        ),
        'delete_edges': (
            'delete_edge(sources[i], targets[i]) for every i, in order, in one call; the\n'
            'columns as for add_edges: lists or tuples of ids, buffers of 16-byte ids, or Arrow\n'
            'columns of fixed_size_binary(16) or UUID text.'
        ),
        'delete_nodes': (
            'delete_node(ids[i]) for every i, in order, in one call; ids as for add_edges: a\n'
            'list or tuple of ids, a buffer of 16-byte ids, or an Arrow column of\n'
            'fixed_size_binary(16) or UUID text.'
        ),
        'add_nodes': (
            'add_node(ids[i], update i) for every i, in order, in one call; ids as for add_edges.\n'
            '\n'
            'updates: a sequence of update dicts; a dict of columns keyed by the seven property\n'
            "names, each a list, a buffer (size 'f' or 'd', the colours 'B', show_label '?') or\n"
            'an Arrow column; or an Arrow table, record batch, struct array or data frame with\n'
            'a column per property (text for label and url, any number type for size, integers\n'
            'for the colours, bool for show_label). None in a column, or an Arrow null,\n'
            "leaves that property out; a key or column 'id', or a pandas frame's index, is\n"
            'ignored, any other refused. In the update dicts, as in add_node, unknown keys are\n'
            'ignored without a word: check their spelling.'
        ),
        'add_snapshot_change': (
            'Records the change from one snapshot of a graph to the next, as if these calls\n'
            'were made on this diff: delete_node for each old node missing from new_nodes,\n'
            'add_node for each new node that is not old or whose update encodes to other JSON\n'
            'text, delete_edge for each old (source, target) missing from new_edges, add_edge\n'
            'for each new edge that is not old or whose weight differs as a 32-bit float. Each\n'
            "list in its snapshot's row order.\n"
            '\n'
            "A nodes snapshot has the columns 'id' and any node properties (a null is absent);\n"
            "an edges snapshot 'source', 'target' and 'weight'. Each is a dict of columns,\n"
            'every column in the forms its bulk method takes (lists, buffers, Arrow arrays),\n'
            'or an Arrow table, record batch or data frame (anything with __arrow_c_stream__\n'
            'or __arrow_c_array__). The snapshots come in pairs. An id or (source, target) twice\n'
            'in a snapshot, or a new edge at a node the change deletes, is a ValueError that\n'
            'names the argument and row; nothing is recorded then.'
        ),
        'encoded_size': 'len(self.to_bytes()), computed from counts the diff keeps, without encoding.',
        'encode_into': (
            'Writes the bytes of to_bytes() into buffer from offset on; returns how many.\n'
            '\n'
            'A bytearray is resized to end exactly after them (offset -1: its end); an offset\n'
            'past its end fills the gap with zero bytes. Any other writable C-contiguous buffer\n'
            '(memoryview, mmap, numpy array) must already have room, else ValueError and\n'
            'nothing is written; its bytes before offset and after the encoding are left as\n'
            'they were.'
        ),
        'from_bytes': (
            'The diff that data (bytes or any buffer: bytearray, memoryview, mmap) encodes, as\n'
            'to_bytes() wrote it. ValueError naming the byte offset and the reason otherwise.'
        ),
        'node_updates': (
            '[(id, update dict)] for every node update, in the order of to_bytes(); each dict\n'
            "holds the present properties under add_node's keys."
        ),
        'deleted_nodes': '[id] of every node to delete, in the order of to_bytes().',
        'edge_updates': (
            '[(source, target, weight)] for every pending edge, in the order of to_bytes();\n'
            'weight is the stored 32-bit float as a Python float.'
        ),
        'deleted_edges': '[(source, target)] of every edge to delete, in the order of to_bytes().',
        'merge': (
            "Records other's content on this diff, as if these calls were made on it:\n"
            "delete_node for each of other's deleted nodes, then add_node for each of its\n"
            'node updates, then delete_edge for each deleted edge, then add_edge for each\n'
            'pending edge, each list in the order of other.to_bytes().\n'
            '\n'
            'other is unchanged; d.merge(d) changes nothing.\n'
            '\n'
            'Raises:\n'
            '    TypeError: other is not a PyGraphDiff ("argument \'other\': ..."); nothing is\n'
            '        recorded.\n'
            '    MemoryError: out of memory part-way; the diff holds the effect of the calls\n'
            '        it names, their number in the text.'
        ),
        'counts': (
            'DiffCounts(node_updates, deleted_nodes, edge_updates, deleted_edges): the sizes\n'
            'of the four sections of to_bytes(), edges as (source, target) pairs. O(1).\n'
            '(num_edges() counts source groups instead.)'
        ),
        'to_arrow': (
            'The diff\'s contents as four Arrow record batches, in a dict keyed "node_updates", "deleted_nodes",\n'
            '"edge_updates" and "deleted_edges", rows in the order of to_bytes(). Ids are fixed_size_binary(16),\n'
            "weights float32; node properties are nullable columns named as add_node's keys (null: absent).\n"
            'Each batch exports __arrow_c_array__ and __arrow_c_stream__: pass it to pyarrow.record_batch(),\n'
            'pyarrow.table() or polars.DataFrame().'
        ),
        '__copy__': 'An independent diff with the same content, encoding to the same bytes.',
        '__deepcopy__': 'The same as __copy__: a diff holds no Python objects.',
        '__reduce__': 'Pickles the diff as its bytes, restored by tarnu_api._graph_diff_from_bytes.',
        '__sizeof__': "Bytes held by the diff's record, its tables and texts included.",
    },
    'DiffCounts': {
        '': (
            'DiffCounts(node_updates, deleted_nodes, edge_updates, deleted_edges)\n'
            '\n'
            "The sizes of the four sections of a diff's encoding; edges count as (source, target) pairs."
        ),
        'node_updates': 'nodes added or updated',
        'deleted_nodes': 'nodes to delete',
        'edge_updates': '(source, target) pairs added or re-weighted',
        'deleted_edges': '(source, target) pairs to delete',
    },
}
