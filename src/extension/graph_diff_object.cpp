#include "graph_diff_object.hpp"

#include <algorithm>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "arguments.hpp"
#include "bulk_methods.hpp"
#include "edit_methods.hpp"
#include "encode_methods.hpp"
#include "entry_frame.hpp"
#include "errors.hpp"
#include "merge_methods.hpp"
#include "method_support.hpp"
#include "py_ref.hpp"
#include "read_methods.hpp"
#include "restore_methods.hpp"
#include "snapshot_methods.hpp"
#include "test_hooks.hpp"

namespace tarnu::py {

namespace {

// The class declares no module of its own, so it reports "builtins".
constexpr char spec_name[] = "builtins.PyGraphDiff";

PyMethodDef methods[] = {
    {"num_nodes", as_cfunction(num_nodes), METH_NOARGS, "num_nodes($self)\n--\n\n"},
    {"num_edges", as_cfunction(num_edges), METH_NOARGS, "num_edges($self)\n--\n\n"},
    {"add_node", as_cfunction(add_node), METH_FASTCALL | METH_KEYWORDS, "add_node($self, id, update)\n--\n\n"},
    {"delete_node", as_cfunction(delete_node), METH_FASTCALL | METH_KEYWORDS, "delete_node($self, id)\n--\n\n"},
    {"add_edge", as_cfunction(add_edge), METH_FASTCALL | METH_KEYWORDS, "add_edge($self, from, to, weight)\n--\n\n"},
    {"delete_edge", as_cfunction(delete_edge), METH_FASTCALL | METH_KEYWORDS, "delete_edge($self, from, to)\n--\n\n"},
    {"to_bytes", as_cfunction(to_bytes), METH_NOARGS, "to_bytes($self)\n--\n\n"},
    {"clear", as_cfunction(clear), METH_NOARGS, "clear($self)\n--\n\n"},
    // The methods below came after the eight above; their docstrings are
    // what help(), IPython's `?` and Jupyter show.
    // Bulk methods (bulk_methods.cpp).
    {"add_edges", as_cfunction(add_edges), METH_FASTCALL | METH_KEYWORDS,
     "add_edges($self, sources, targets, weights)\n--\n\n"
     "add_edge(sources[i], targets[i], weights[i]) for every i, in order, in one call.\n\n"
     "sources and targets: lists or tuples of 16-byte bytes, UUID text or uuid.UUID;\n"
     "C-contiguous buffers of 16-byte ids (bytes, numpy uint8 (n, 16), 'S16'); or Arrow\n"
     "columns of fixed_size_binary(16), of binary of 16-byte values or of UUID text.\n"
     "weights: a sequence of numbers, a one-dimensional buffer of format 'f' or 'd', or an\n"
     "Arrow column of a float, integer or decimal type. An Arrow column is an array, a\n"
     "chunked array, or a table, record batch or data frame of one column (anything with\n"
     "__arrow_c_array__ or __arrow_c_stream__); a null id or weight in it is a ValueError.\n"
     "Every argument is checked before the first change. Out of memory part-way:\n"
     "MemoryError, and the diff holds the effect of the items it names."},
    {"delete_edges", as_cfunction(delete_edges), METH_FASTCALL | METH_KEYWORDS,
     "delete_edges($self, sources, targets)\n--\n\n"
     "delete_edge(sources[i], targets[i]) for every i, in order, in one call; the\n"
     "columns as for add_edges: lists or tuples of ids, buffers of 16-byte ids, or Arrow\n"
     "columns of fixed_size_binary(16) or UUID text."},
    {"delete_nodes", as_cfunction(delete_nodes), METH_FASTCALL | METH_KEYWORDS,
     "delete_nodes($self, ids)\n--\n\n"
     "delete_node(ids[i]) for every i, in order, in one call; ids as for add_edges: a\n"
     "list or tuple of ids, a buffer of 16-byte ids, or an Arrow column of\n"
     "fixed_size_binary(16) or UUID text."},
    {"add_nodes", as_cfunction(add_nodes), METH_FASTCALL | METH_KEYWORDS,
     "add_nodes($self, ids, updates)\n--\n\n"
     "add_node(ids[i], update i) for every i, in order, in one call; ids as for add_edges.\n\n"
     "updates: a sequence of update dicts; a dict of columns keyed by the seven property\n"
     "names, each a list, a buffer (size 'f' or 'd', the colours 'B', show_label '?') or\n"
     "an Arrow column; or an Arrow table, record batch, struct array or data frame with\n"
     "a column per property (text for label and url, any number type for size, integers\n"
     "for the colours, bool for show_label). None in a column, or an Arrow null,\n"
     "leaves that property out; a key or column 'id', or a pandas frame's index, is\n"
     "ignored, any other refused. In the update dicts, as in add_node, unknown keys are\n"
     "ignored without a word: check their spelling."},
    // The change between two snapshots (snapshot_methods.cpp).
    {"add_snapshot_change", as_cfunction(add_snapshot_change), METH_FASTCALL | METH_KEYWORDS,
     "add_snapshot_change($self, *, old_nodes=None, new_nodes=None, old_edges=None, new_edges=None)\n--\n\n"
     "Records the change from one snapshot of a graph to the next, as if these calls\n"
     "were made on this diff: delete_node for each old node missing from new_nodes,\n"
     "add_node for each new node that is not old or whose update encodes to other JSON\n"
     "text, delete_edge for each old (source, target) missing from new_edges, add_edge\n"
     "for each new edge that is not old or whose weight differs as a 32-bit float. Each\n"
     "list in its snapshot's row order.\n\n"
     "A nodes snapshot has the columns 'id' and any node properties (a null is absent);\n"
     "an edges snapshot 'source', 'target' and 'weight'. Each is a dict of columns,\n"
     "every column in the forms its bulk method takes (lists, buffers, Arrow arrays),\n"
     "or an Arrow table, record batch or data frame (anything with __arrow_c_stream__\n"
     "or __arrow_c_array__). The snapshots come in pairs. An id or (source, target) twice\n"
     "in a snapshot, or a new edge at a node the change deletes, is a ValueError that\n"
     "names the argument and row; nothing is recorded then."},
    // Encoding into storage the caller keeps (encode_methods.cpp).
    {"encoded_size", as_cfunction(encoded_size), METH_NOARGS,
     "encoded_size($self)\n--\n\n"
     "len(self.to_bytes()), computed from counts the diff keeps, without encoding."},
    {"encode_into", as_cfunction(encode_into), METH_FASTCALL | METH_KEYWORDS,
     "encode_into($self, buffer, offset=0)\n--\n\n"
     "Writes the bytes of to_bytes() into buffer from offset on; returns how many.\n\n"
     "A bytearray is resized to end exactly after them (offset -1: its end); an offset\n"
     "past its end fills the gap with zero bytes. Any other writable C-contiguous buffer\n"
     "(memoryview, mmap, numpy array) must already have room, else ValueError and\n"
     "nothing is written; its bytes before offset and after the encoding are left as\n"
     "they were."},
    // Restoring (restore_methods.cpp).
    {"from_bytes", as_cfunction(from_bytes), METH_O | METH_CLASS,
     "from_bytes($type, data, /)\n--\n\n"
     "The diff that data (bytes or any buffer: bytearray, memoryview, mmap) encodes, as\n"
     "to_bytes() wrote it. ValueError naming the byte offset and the reason otherwise."},
    // Reading the contents (read_methods.cpp).
    {"node_updates", as_cfunction(node_updates), METH_NOARGS,
     "node_updates($self)\n--\n\n"
     "[(id, update dict)] for every node update, in the order of to_bytes(); each dict\n"
     "holds the present properties under add_node's keys."},
    {"deleted_nodes", as_cfunction(deleted_nodes), METH_NOARGS,
     "deleted_nodes($self)\n--\n\n[id] of every node to delete, in the order of to_bytes()."},
    {"edge_updates", as_cfunction(edge_updates), METH_NOARGS,
     "edge_updates($self)\n--\n\n"
     "[(source, target, weight)] for every pending edge, in the order of to_bytes();\n"
     "weight is the stored 32-bit float as a Python float."},
    {"deleted_edges", as_cfunction(deleted_edges), METH_NOARGS,
     "deleted_edges($self)\n--\n\n[(source, target)] of every edge to delete, in the order of to_bytes()."},
    // Combining (merge_methods.cpp).
    {"merge", as_cfunction(merge), METH_FASTCALL | METH_KEYWORDS,
     "merge($self, other)\n--\n\n"
     "Records other's content on this diff, as if these calls were made on it:\n"
     "delete_node for each of other's deleted nodes, then add_node for each of its\n"
     "node updates, then delete_edge for each deleted edge, then add_edge for each\n"
     "pending edge, each list in the order of other.to_bytes().\n\n"
     "other is unchanged; d.merge(d) changes nothing.\n\n"
     "Raises:\n"
     "    TypeError: other is not a PyGraphDiff (\"argument 'other': ...\"); nothing is\n"
     "        recorded.\n"
     "    MemoryError: out of memory part-way; the diff holds the effect of the calls\n"
     "        it names, their number in the text."},
    // Summarising (read_methods.cpp).
    {"counts", as_cfunction(counts), METH_NOARGS,
     "counts($self)\n--\n\n"
     "DiffCounts(node_updates, deleted_nodes, edge_updates, deleted_edges): the sizes\n"
     "of the four sections of to_bytes(), edges as (source, target) pairs. O(1).\n"
     "(num_edges() counts source groups instead.)"},
    // The contents as Arrow record batches (read_methods.cpp; the batch type in arrow_batch_object.cpp).
    {"to_arrow", as_cfunction(to_arrow), METH_NOARGS,
     "to_arrow($self)\n--\n\n"
     "The diff's contents as four Arrow record batches, in a dict keyed \"node_updates\", \"deleted_nodes\",\n"
     "\"edge_updates\" and \"deleted_edges\", rows in the order of to_bytes(). Ids are fixed_size_binary(16),\n"
     "weights float32; node properties are nullable columns named as add_node's keys (null: absent).\n"
     "Each batch exports __arrow_c_array__ and __arrow_c_stream__: pass it to pyarrow.record_batch(),\n"
     "pyarrow.table() or polars.DataFrame()."},
    // Copying, pickling and sizing (restore_methods.cpp).
    {"__copy__", as_cfunction(copy_diff), METH_NOARGS,
     "__copy__($self, /)\n--\n\nAn independent diff with the same content, encoding to the same bytes."},
    {"__deepcopy__", as_cfunction(deepcopy_diff), METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nThe same as __copy__: a diff holds no Python objects."},
    {"__reduce__", as_cfunction(reduce_diff), METH_NOARGS,
     "__reduce__($self, /)\n--\n\nPickles the diff as its bytes, restored by tarnu_api._graph_diff_from_bytes."},
    {"__sizeof__", as_cfunction(sizeof_diff), METH_NOARGS,
     "__sizeof__($self, /)\n--\n\nBytes held by the diff's record, its tables and texts included."},
    {nullptr, nullptr, 0, nullptr},
};

// --- construction and destruction -------------------------------------------

PyObject* graph_diff_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return entry_frame([&]() -> PyObject* {
        // CPython refuses PyGraphDiff.__new__(X) for an X that is not
        // PyGraphDiff or a subtype before this runs; PyPy calls it anyway, and
        // the record would be built past the end of X's smaller instance.
        // The texts are CPython's.
        PyObject* requested = reinterpret_cast<PyObject*>(type);
        if (!PyType_Check(requested)) [[unlikely]] {
            throw_error(PyExc_TypeError, std::string(spec_name) + ".__new__(X): X is not a type object (" +
                                             Py_TYPE(requested)->tp_name + ")");
        }
        PyTypeObject* own = graph_diff_type();
        if (type != own && !PyType_IsSubtype(type, own)) [[unlikely]] {
            throw_error(PyExc_TypeError, std::string(spec_name) + ".__new__(" + type->tp_name + "): " +
                                             type->tp_name + " is not a subtype of " + spec_name);
        }
        reject_constructor_arguments("PyGraphDiff.__new__()", args, kwargs);
        return new_graph_diff_instance(type, GraphDiff{});
    });
}

void graph_diff_dealloc(PyObject* self) {
    PyObject* result = entry_frame([&]() -> PyObject* {
        test_hooks::on_dealloc();
        PyTypeObject* type = Py_TYPE(self);
        std::destroy_at(&reinterpret_cast<PyGraphDiffObject*>(self)->diff);
        freefunc free = type->tp_free;
        if (free == nullptr) {
            throw InternalFailure{"PyGraphDiff has no tp_free slot"};
        }
        free(self);
        // Allocating a heap-type instance took a reference to the type, on
        // CPython and on PyPy's C-API layer alike; the instance gives it back
        // as it goes (docs/platform.md).
        OwnedRef dropped = OwnedRef::consuming(reinterpret_cast<PyObject*>(type));
        return Py_None;
    });
    if (result == nullptr) {
        // No exception may leave a deallocator: report it and go on.
        PyErr_WriteUnraisable(nullptr);
    }
}

constexpr char class_doc[] = "PyGraphDiff()\n--\n\n";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(class_doc)},
    {Py_tp_new, reinterpret_cast<void*>(graph_diff_new)},
    {Py_tp_methods, methods},
    {Py_tp_repr, reinterpret_cast<void*>(repr_diff)},
    {Py_tp_base, nullptr},  // object, filled in at creation
    {Py_tp_dealloc, reinterpret_cast<void*>(graph_diff_dealloc)},
    {0, nullptr},
};

PyType_Spec spec = {
    spec_name,
    static_cast<int>(sizeof(PyGraphDiffObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

// The entry of `slots` for the slot id `id` (Py_tp_base, say).
PyType_Slot& slot_entry(int id) {
    PyType_Slot* entry = std::ranges::find(slots, id, &PyType_Slot::slot);
    if (entry == std::end(slots)) {
        throw InternalFailure{"PyGraphDiff has no entry for slot " + std::to_string(id)};
    }
    return *entry;
}

}  // namespace

PyObject* new_graph_diff_instance(PyTypeObject* type, GraphDiff&& diff) {
    allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* self = require(alloc(type, 0));
    auto* object = reinterpret_cast<PyGraphDiffObject*>(self);
    std::construct_at(&object->diff, std::move(diff));  // a move allocates nothing
    object->borrow_flag = 0;
    std::construct_at(&object->memory_pressure);
    report_memory_growth(object);  // a restored or copied record arrives full
    return self;
}

PyTypeObject* graph_diff_type() {
    if (module_state.graph_diff_type != nullptr) [[likely]] {
        return module_state.graph_diff_type;
    }
    slot_entry(Py_tp_base).pfunc = &PyBaseObject_Type;
    PyObject* type = test_hooks::fail_type_creation() ? nullptr : PyType_FromSpec(&spec);
    if (type == nullptr) {
        // The host's reason stays attached as the cause.
        throw_with_cause(PyExc_RuntimeError, "An error occurred while initializing class PyGraphDiff");
    }
    module_state.graph_diff_type = reinterpret_cast<PyTypeObject*>(type);
    return module_state.graph_diff_type;
}

}  // namespace tarnu::py
