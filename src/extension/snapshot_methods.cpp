#include "snapshot_methods.hpp"

#include <algorithm>
#include <array>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "bulk_ids.hpp"
#include "bulk_updates.hpp"
#include "bulk_weights.hpp"
#include "diff/snapshot_change.hpp"
#include "entry_frame.hpp"
#include "host_call.hpp"
#include "host_compat.hpp"
#include "method_support.hpp"
#include "text.hpp"

namespace tarnu::py {

namespace {

constexpr const char* kMethod = "PyGraphDiff.add_snapshot_change()";
constexpr std::array<const char*, 4> kArguments = {"old_nodes", "new_nodes", "old_edges", "new_edges"};
// "id", then the node properties in the table's order.
constexpr auto kNodeColumns = [] {
    std::array<const char*, 1 + kNodePropertyCount> names{"id"};
    for_each_node_property([&](auto property) { names[1 + property.index] = property.dict_key; });
    return names;
}();
constexpr std::array<const char*, 3> kEdgeColumns = {"source", "target", "weight"};
constexpr std::string_view kSnapshotAccepted =
    "a snapshot is a dict of columns, each in a form its bulk method takes, or an Arrow table, record batch or "
    "data frame";

using Lengths = std::vector<std::pair<std::string, std::size_t>>;

template <std::size_t N>
std::string columns_named(const std::array<const char*, N>& names) {
    std::string text;
    for (std::size_t k = 0; k < N; ++k) text += std::string(k == 0 ? "'" : k + 1 == N ? " and '" : ", '") + names[k] + "'";
    return text;
}

[[noreturn]] void throw_unknown_column(const std::string& where, std::string_view name, const char* what,
                                       const std::string& names) {
    throw_error(PyExc_ValueError, where + ": column '" + std::string(name) + "' is not known; the columns of " + what +
                                      " are " + names);
}

// The children of an Arrow snapshot named `names[k]`, each its index or
// npos. The first `required` must be there, none twice; with `known`, any
// other name is refused as a dict's unknown key is, but for the columns
// pandas made of a frame's index, skipped as add_nodes skips them (an index
// that pandas named "source" is still read as the column it is).
template <std::size_t N>
std::array<std::size_t, N> snapshot_children(const ArrowInput& batch, const char* what,
                                             const std::array<const char*, N>& names, std::size_t required, bool known) {
    std::array<std::size_t, N> found;
    found.fill(std::string::npos);
    const std::vector<std::string>& children = batch.child_names();
    const std::vector<std::string>& index = batch.index_names();
    for (std::size_t c = 0; c < children.size(); ++c) {
        const std::size_t k = name_index(children[c], names.data(), N);
        if (k == N) {
            if (known && std::find(index.begin(), index.end(), children[c]) == index.end()) {
                throw_unknown_column(batch.where(), children[c], what, columns_named(names));
            }
            continue;
        }
        if (found[k] != std::string::npos) throw_repeated_update_column(batch.where(), children[c]);
        found[k] = c;
    }
    for (std::size_t k = 0; k < required; ++k) {
        if (found[k] == std::string::npos)
            throw_error(PyExc_ValueError, batch.where() + ": column '" + names[k] + "' is missing");
    }
    return found;
}

// A dict of columns: refuses a key that is not among `names` and a missing
// one of the first `required`; column(name) is then the value of a key. The
// dict is read and its keys matched as add_nodes reads a dict of columns
// (dict_entries, dict_key_index).
template <std::size_t N>
class SnapshotDict {
public:
    SnapshotDict(PyObject* object, const std::string& where, const char* what, const std::array<const char*, N>& names,
                 std::size_t required)
        : names_(names) {
        for (DictEntry& entry : dict_entries(object, where)) {
            const std::size_t k = dict_key_index(entry, names.data(), N);
            if (k == N) throw_unknown_column(where, object_text(entry.key.get()), what, columns_named(names));
            // A str subclass can hash and compare apart from a str of the
            // same text: one of the two columns would be dropped unseen.
            if (values_[k]) throw_repeated_update_column(where, names[k]);
            values_[k] = std::move(entry.value);
        }
        for (std::size_t k = 0; k < required; ++k) {
            if (!values_[k]) throw_error(PyExc_ValueError, where + ": column '" + names[k] + "' is missing");
        }
    }
    // The column named `name`, or null.
    PyObject* column(std::string_view name) const {
        const std::size_t k = name_index(name, names_.data(), N);
        return k == N ? nullptr : values_[k].get();
    }

private:
    const std::array<const char*, N>& names_;
    std::array<OwnedRef, N> values_;
};

[[noreturn]] void throw_not_a_snapshot(PyObject* object, const std::string& where) {
    throw_error(PyExc_TypeError, where + ": '" + type_qualname(Py_TYPE(object)) + "' object is not accepted; " +
                                     std::string(kSnapshotAccepted));
}

[[noreturn]] void throw_refusal(const SnapshotRefusal& refusal) {
    using Kind = SnapshotRefusal::Kind;
    std::string text = std::string("argument '") + kArguments[static_cast<std::size_t>(refusal.argument)] + "': ";
    if (refusal.kind == Kind::too_many_rows) {
        text += std::to_string(refusal.row) + " rows or more are not accepted";
    } else {
        text += "row " + std::to_string(refusal.row) + ": ";
        text += refusal.kind == Kind::duplicate_id     ? "the id is on an earlier row"
                : refusal.kind == Kind::duplicate_edge ? "the (source, target) pair is on an earlier row"
                                                       : "its source or target is a node of old_nodes that new_nodes lacks";
    }
    throw_error(PyExc_ValueError, text);
}

// The row limit, checked as each snapshot is opened: converting a column
// of that many items (the updates above all) would run out of memory first
// and hide the reason.
void check_rows(std::size_t rows, const char* name) {
    if (rows < kMaxSnapshotRows) return;
    std::size_t k = 0;
    while (std::string_view(kArguments[k]) != name) ++k;
    throw_refusal(SnapshotRefusal{SnapshotRefusal::Kind::too_many_rows, SnapshotArgument(k), kMaxSnapshotRows});
}

// One nodes snapshot: its ids and its updates, read as add_nodes reads them.
// An Arrow snapshot is taken once, here; its columns read their children.
struct NodeSnapshot {
    ArrowInput batch;  // outlives the columns that view it
    IdColumn ids;
    UpdateColumns updates;

    void open(PyObject* object, const char* name) {
        const std::string where = std::string("argument '") + name + "'";
        if (!type_has_flag(object, Py_TPFLAGS_DICT_SUBCLASS)) {
            if (!batch.take(object, where, ArrowInput::Shape::batch)) throw_not_a_snapshot(object, where);
            // The properties as add_nodes takes a table's, "id" aside.
            updates.open_batch(batch);
            const auto children = snapshot_children(batch, "nodes", std::array<const char*, 1>{"id"}, 1, false);
            ids.open_child(batch, children[0], (std::string(name) + "' column 'id").c_str());
            check_rows(ids.size(), name);
            return;
        }
        const SnapshotDict dict(object, where, "nodes", kNodeColumns, 1);
        ids.open(dict.column("id"), (std::string(name) + "' column 'id").c_str());
        // The properties alone, as add_nodes takes them.
        const OwnedRef properties = OwnedRef::consuming(require(PyDict_New()));
        for (std::size_t k = 1; k < kNodeColumns.size(); ++k) {
            if (PyObject* column = dict.column(kNodeColumns[k]); column != nullptr)
                require(PyDict_SetItemString(properties.get(), kNodeColumns[k], column));
        }
        updates.open(properties.get(), name);
        Lengths lengths{{"'" + std::string(name) + "' column 'id'", ids.size()}};
        updates.lengths([&](std::string label, std::size_t n) {
            // "'updates' column '{key}'", named after this argument
            constexpr std::string_view kUpdates = "'updates'";
            if (label.compare(0, kUpdates.size(), kUpdates) == 0) label.replace(0, kUpdates.size(), "'" + std::string(name) + "'");
            lengths.emplace_back(std::move(label), n);
        });
        check_lengths(kMethod, lengths);
        check_rows(ids.size(), name);
    }
    void convert() {
        ids.convert();
        updates.convert(ids.size());
    }
    void retake() {
        ids.retake();
        updates.retake();
    }
    void pin() {
        if (batch.held()) batch.pin();
        ids.pin();
        updates.pin();
    }
    auto rows() const {
        return NodeRows{ids.size(), [this](std::size_t i) -> const NodeId& { return ids(i); },
                        [this](std::size_t i) -> const NodeUpdateView& { return updates.update(i); }};
    }
};

// One edges snapshot, read as add_edges reads its arguments.
struct EdgeSnapshot {
    ArrowInput batch;  // outlives the columns that view it
    IdColumn sources, targets;
    WeightColumn weights;

    void open(PyObject* object, const char* name) {
        const std::string where = std::string("argument '") + name + "'";
        const std::string n(name);
        if (!type_has_flag(object, Py_TPFLAGS_DICT_SUBCLASS)) {
            if (!batch.take(object, where, ArrowInput::Shape::batch)) throw_not_a_snapshot(object, where);
            const auto children = snapshot_children(batch, "edges", kEdgeColumns, 3, true);
            sources.open_child(batch, children[0], (n + "' column 'source").c_str());
            targets.open_child(batch, children[1], (n + "' column 'target").c_str());
            weights.open_child(batch, children[2], (n + "' column 'weight").c_str());
            check_rows(sources.size(), name);
            return;
        }
        const SnapshotDict dict(object, where, "edges", kEdgeColumns, 3);
        sources.open(dict.column("source"), (n + "' column 'source").c_str());
        targets.open(dict.column("target"), (n + "' column 'target").c_str());
        weights.open(dict.column("weight"), (n + "' column 'weight").c_str());
        check_lengths(kMethod, {{"'" + n + "' column 'source'", sources.size()},
                       {"'" + n + "' column 'target'", targets.size()},
                       {"'" + n + "' column 'weight'", weights.size()}});
        check_rows(sources.size(), name);
    }
    void convert() {
        sources.convert();
        targets.convert();
        weights.convert();
    }
    void retake() {
        sources.retake();
        targets.retake();
        weights.retake();
    }
    void pin() {
        if (batch.held()) batch.pin();
        sources.pin();
        targets.pin();
        weights.pin();
    }
    auto rows() const {
        return EdgeRows{sources.size(), [this](std::size_t i) -> const NodeId& { return sources(i); },
                        [this](std::size_t i) -> const NodeId& { return targets(i); },
                        [this](std::size_t i) { return weights(i); }};
    }
};

}  // namespace

PyObject* add_snapshot_change(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names) {
    return entry_frame([&] {
        std::array<PyObject*, 4> given{};
        const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
        if (positional > 0) parse_arguments_slow(kMethod, kArguments.data(), 0, args, positional, nullptr, given.data(), 0);
        if (keyword_names != nullptr)
            parse_arguments_slow(kMethod, kArguments.data(), 4, args, 0, keyword_names, given.data(), 0);
        for (PyObject*& argument : given) {
            if (argument == Py_None) argument = nullptr;
        }
        for (std::size_t pair = 0; pair < 4; pair += 2) {
            if ((given[pair] == nullptr) == (given[pair + 1] == nullptr)) continue;
            const std::size_t present = given[pair] != nullptr ? pair : pair + 1;
            throw_error(PyExc_TypeError, std::string(kMethod) + " got " + kArguments[present] + " without " +
                                             kArguments[present ^ 1] + "; the snapshots come in pairs");
        }
        PyGraphDiffObject* object = checked_self(self);
        ExclusiveBorrow borrow(object);
        // Every snapshot opened, then converted (Python code), then every
        // buffer taken again (a class's __buffer__ may run), then pinned:
        // from there on no Python code runs until the change is recorded.
        NodeSnapshot old_nodes, new_nodes;
        EdgeSnapshot old_edges, new_edges;
        if (given[0] != nullptr) {
            old_nodes.open(given[0], kArguments[0]);
            new_nodes.open(given[1], kArguments[1]);
        }
        if (given[2] != nullptr) {
            old_edges.open(given[2], kArguments[2]);
            new_edges.open(given[3], kArguments[3]);
        }
        old_nodes.convert();
        new_nodes.convert();
        old_edges.convert();
        new_edges.convert();
        old_nodes.retake();
        new_nodes.retake();
        old_edges.retake();
        new_edges.retake();
        old_nodes.pin();
        new_nodes.pin();
        old_edges.pin();
        new_edges.pin();
        const auto on = old_nodes.rows(), nn = new_nodes.rows();
        const auto oe = old_edges.rows(), ne = new_edges.rows();
        SnapshotChange change;
        std::optional<SnapshotRefusal> refusal;
        try {
            refusal = change.compute(on, nn, oe, ne);
        } catch (const std::bad_alloc&) {
            throw_error(PyExc_MemoryError,
                        std::string(kMethod) + " ran out of memory while it compared the snapshots; the diff is unchanged");
        }
        if (refusal) throw_refusal(*refusal);
        std::size_t done = 0;
        try {
            change.apply(object->diff, on, nn, oe, ne, done, [](std::size_t i) { test_hooks::on_bulk_item(i); });
        } catch (const std::bad_alloc&) {
            report_memory_growth(object);
            throw_batch_out_of_memory(kMethod, done, change.size());
        }
        report_memory_growth(object);
        return none();
    });
}

}  // namespace tarnu::py
