#include "arrow/arrow_export.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <type_traits>

namespace tarnu {

std::size_t ExportBatch::buffer_bytes() const noexcept {
    std::size_t total = 0;
    for (const ExportColumn& c : columns) total += c.validity.size() + c.values.size() + c.data.size();
    return total;
}

namespace {

// --- schema -----------------------------------------------------------------

// What an exported schema (the struct or one child) holds; its release
// frees it and the children it still holds.
struct SchemaPrivate {
    std::string format;
    std::string name;
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> child_pointers;
};

void release_schema(ArrowSchema* schema) {
    if (schema == nullptr || schema->release == nullptr) return;
    std::unique_ptr<SchemaPrivate> owned(static_cast<SchemaPrivate*>(schema->private_data));
    for (ArrowSchema& child : owned->children) {
        if (child.release != nullptr) child.release(&child);
    }
    schema->release = nullptr;
}

void fill_schema(ArrowSchema* out, std::unique_ptr<SchemaPrivate> owned, std::int64_t flags) {
    SchemaPrivate* p = owned.release();
    *out = ArrowSchema{p->format.c_str(),
                       p->name.c_str(),
                       nullptr,
                       flags,
                       static_cast<std::int64_t>(p->children.size()),
                       p->children.empty() ? nullptr : p->child_pointers.data(),
                       nullptr,
                       release_schema,
                       p};
}

// --- arrays -----------------------------------------------------------------

struct ArrayPrivate {
    std::shared_ptr<const ExportBatch> batch;
    std::vector<const void*> buffers;
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> child_pointers;
};

void release_array(ArrowArray* array) {
    if (array == nullptr || array->release == nullptr) return;
    std::unique_ptr<ArrayPrivate> owned(static_cast<ArrayPrivate*>(array->private_data));
    // A child the consumer moved away is marked released here, and keeps its
    // own reference to the batch.
    for (ArrowArray& child : owned->children) {
        if (child.release != nullptr) child.release(&child);
    }
    array->release = nullptr;
}

void fill_array(ArrowArray* out, std::unique_ptr<ArrayPrivate> owned, std::size_t length, std::int64_t null_count) {
    ArrayPrivate* p = owned.release();
    *out = ArrowArray{static_cast<std::int64_t>(length),
                      null_count,
                      0,
                      static_cast<std::int64_t>(p->buffers.size()),
                      static_cast<std::int64_t>(p->children.size()),
                      p->buffers.data(),
                      p->children.empty() ? nullptr : p->child_pointers.data(),
                      nullptr,
                      release_array,
                      p};
}

// A buffer pointer that is never null: the interface allows null only for
// buffers of size 0, and some consumers do not take even that.
const void* buffer_pointer(const std::vector<std::uint8_t>& bytes) {
    static const std::uint64_t kEmpty[2] = {0, 0};
    return bytes.empty() ? static_cast<const void*>(kEmpty) : bytes.data();
}

// --- stream -----------------------------------------------------------------

struct StreamPrivate {
    std::shared_ptr<const ExportBatch> batch;
    bool delivered = false;
};

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    try {
        export_arrow_schema(*static_cast<StreamPrivate*>(stream->private_data)->batch, out);
        return 0;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* p = static_cast<StreamPrivate*>(stream->private_data);
    if (p->delivered) {
        std::memset(out, 0, sizeof *out);  // release == NULL: the end
        return 0;
    }
    try {
        export_arrow_array(p->batch, out);
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    p->delivered = true;
    return 0;
}

const char* stream_get_last_error(ArrowArrayStream*) { return "out of memory"; }

void release_stream(ArrowArrayStream* stream) {
    if (stream == nullptr || stream->release == nullptr) return;
    std::unique_ptr<StreamPrivate> owned(static_cast<StreamPrivate*>(stream->private_data));
    stream->release = nullptr;
}

}  // namespace

void export_arrow_schema(const ExportBatch& batch, ArrowSchema* out) {
    auto root = std::make_unique<SchemaPrivate>();
    root->format = arrow_type_facts(ArrowType::structure).format;
    root->children.resize(batch.columns.size());
    root->child_pointers.resize(batch.columns.size());
    // Every child is built before any is filled in: a bad_alloc part-way
    // leaves nothing to release but what the unique_ptrs hold.
    std::vector<std::unique_ptr<SchemaPrivate>> children(batch.columns.size());
    for (std::size_t c = 0; c < batch.columns.size(); ++c) {
        children[c] = std::make_unique<SchemaPrivate>();
        children[c]->format = arrow_format_text(batch.columns[c].format);
        children[c]->name = batch.columns[c].name;
    }
    for (std::size_t c = 0; c < batch.columns.size(); ++c) {
        root->child_pointers[c] = &root->children[c];
        fill_schema(&root->children[c], std::move(children[c]), batch.columns[c].nullable ? ARROW_FLAG_NULLABLE : 0);
    }
    fill_schema(out, std::move(root), 0);
}

void export_arrow_array(const std::shared_ptr<const ExportBatch>& batch, ArrowArray* out) {
    auto root = std::make_unique<ArrayPrivate>();
    root->batch = batch;
    root->buffers.push_back(nullptr);  // the struct's validity: no row is null
    root->children.resize(batch->columns.size());
    root->child_pointers.resize(batch->columns.size());
    std::vector<std::unique_ptr<ArrayPrivate>> children(batch->columns.size());
    for (std::size_t c = 0; c < batch->columns.size(); ++c) {
        const ExportColumn& column = batch->columns[c];
        children[c] = std::make_unique<ArrayPrivate>();
        children[c]->batch = batch;
        children[c]->buffers.push_back(column.validity.empty() ? nullptr : column.validity.data());
        children[c]->buffers.push_back(buffer_pointer(column.values));
        // The offset layouts' data, the one buffer beyond the values.
        if (column.format.facts().n_buffers == 3) children[c]->buffers.push_back(buffer_pointer(column.data));
    }
    for (std::size_t c = 0; c < batch->columns.size(); ++c) {
        root->child_pointers[c] = &root->children[c];
        fill_array(&root->children[c], std::move(children[c]), batch->length, batch->columns[c].null_count);
    }
    fill_array(out, std::move(root), batch->length, 0);
}

void export_arrow_stream(const std::shared_ptr<const ExportBatch>& batch, ArrowArrayStream* out) {
    auto p = std::make_unique<StreamPrivate>();
    p->batch = batch;
    *out = ArrowArrayStream{stream_get_schema, stream_get_next, stream_get_last_error, release_stream, p.release()};
}

// --- the diff's batches -----------------------------------------------------

namespace {

ExportColumn id_column(const char* name, std::size_t length) {
    ExportColumn column{name, {ArrowType::fixed_size_binary, 16}, false, 0, {}, {}, {}};
    column.values.resize(16 * length);
    return column;
}

void put_id(ExportColumn& column, std::size_t row, const NodeId& id) {
    std::memcpy(column.values.data() + 16 * row, id.bytes.data(), 16);
}

template <class T>
void put_value(ExportColumn& column, std::size_t row, T value) {
    std::memcpy(column.values.data() + sizeof(T) * row, &value, sizeof(T));
}

void set_bit(std::vector<std::uint8_t>& bits, std::size_t row) { bits[row >> 3] |= static_cast<std::uint8_t>(1u << (row & 7)); }

// Kind by kind: the type of a property's column and how a value goes in.
ArrowType property_type(node_property::Text) { return ArrowType::utf8; }
ArrowType property_type(node_property::Float) { return ArrowType::float32; }
ArrowType property_type(node_property::Colour) { return ArrowType::uint8; }
ArrowType property_type(node_property::Flag) { return ArrowType::boolean; }

std::size_t value_bytes(node_property::Text, std::size_t length) { return 4 * (length + 1); }
std::size_t value_bytes(node_property::Float, std::size_t length) { return 4 * length; }
std::size_t value_bytes(node_property::Colour, std::size_t length) { return length; }
std::size_t value_bytes(node_property::Flag, std::size_t length) { return (length + 7) / 8; }

void put_property(node_property::Float, ExportColumn& column, std::size_t row, float value) { put_value(column, row, value); }
void put_property(node_property::Colour, ExportColumn& column, std::size_t row, std::uint8_t value) {
    column.values[row] = value;
}
void put_property(node_property::Flag, ExportColumn& column, std::size_t row, bool value) {
    if (value) set_bit(column.values, row);
}

}  // namespace

ExportBatch node_updates_batch(const GraphDiff& diff) {
    const auto nodes = diff.nodes();
    const std::size_t n = nodes.size();
    ExportBatch batch;
    batch.length = n;
    batch.columns.reserve(1 + kNodePropertyCount);
    batch.columns.push_back(id_column("id", n));
    // Sized first: the texts' total, so that every buffer is allocated once.
    std::array<std::size_t, kNodePropertyCount> present{};
    std::array<std::size_t, kNodePropertyCount> text_bytes{};
    nodes.for_each([&](const NodeId&, const NodeUpdateView& update) {
        for_each_node_property([&](auto property) {
            using P = decltype(property);
            if (const auto& value = P::of(update)) {
                ++present[P::index];
                if constexpr (std::is_same_v<typename P::Kind, node_property::Text>) text_bytes[P::index] += value->size();
            }
        });
    });
    for_each_node_property([&](auto property) {
        using P = decltype(property);
        using Kind = typename P::Kind;
        ExportColumn column{P::dict_key, property_type(Kind{}), true, 0, {}, {}, {}};
        column.null_count = static_cast<std::int64_t>(n - present[P::index]);
        if (column.null_count > 0) column.validity.assign((n + 7) / 8, 0);
        column.values.assign(value_bytes(Kind{}, n), 0);
        if constexpr (std::is_same_v<Kind, node_property::Text>) {
            if (text_bytes[P::index] > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
                throw std::length_error("the texts of one property exceed 2 GiB");
            }
            column.data.resize(text_bytes[P::index]);
        }
        batch.columns.push_back(std::move(column));
    });
    std::array<std::int32_t, kNodePropertyCount> text_end{};
    std::size_t row = 0;
    nodes.for_each([&](const NodeId& id, const NodeUpdateView& update) {
        put_id(batch.columns[0], row, id);
        for_each_node_property([&](auto property) {
            using P = decltype(property);
            using Kind = typename P::Kind;
            ExportColumn& column = batch.columns[1 + P::index];
            const auto& value = P::of(update);
            if (value && column.null_count > 0) set_bit(column.validity, row);
            if constexpr (std::is_same_v<Kind, node_property::Text>) {
                std::int32_t& end = text_end[P::index];
                // An empty text copies nothing: with every text of the
                // column empty, the data buffer holds no byte and its
                // pointer may be null, which memcpy may not be given.
                if (value && !value->empty()) {
                    std::memcpy(column.data.data() + end, value->data(), value->size());
                    end += static_cast<std::int32_t>(value->size());
                }
                put_value(column, row + 1, end);
            } else if (value) {
                put_property(Kind{}, column, row, *value);
            }
        });
        ++row;
    });
    return batch;
}

ExportBatch deleted_nodes_batch(const GraphDiff& diff) {
    const auto deleted = diff.deleted_nodes();
    ExportBatch batch;
    batch.length = deleted.size();
    batch.columns.push_back(id_column("id", batch.length));
    std::size_t row = 0;
    deleted.for_each([&](const NodeId& id) { put_id(batch.columns[0], row++, id); });
    return batch;
}

ExportBatch edge_updates_batch(const GraphDiff& diff) {
    const auto pending = diff.edges().new_or_updated();
    ExportBatch batch;
    batch.length = pending.num_targets();
    batch.columns.reserve(3);
    batch.columns.push_back(id_column("source", batch.length));
    batch.columns.push_back(id_column("target", batch.length));
    batch.columns.push_back(ExportColumn{"weight", ArrowType::float32, false, 0, {}, {}, {}});
    batch.columns[2].values.resize(4 * batch.length);
    std::size_t row = 0;
    pending.for_each([&](const NodeId& source, const auto& targets) {
        targets.for_each([&](const NodeId& target, float weight) {
            put_id(batch.columns[0], row, source);
            put_id(batch.columns[1], row, target);
            put_value(batch.columns[2], row, weight);
            ++row;
        });
    });
    return batch;
}

ExportBatch deleted_edges_batch(const GraphDiff& diff) {
    const auto deleted = diff.edges().deleted();
    ExportBatch batch;
    batch.length = deleted.num_targets();
    batch.columns.reserve(2);
    batch.columns.push_back(id_column("source", batch.length));
    batch.columns.push_back(id_column("target", batch.length));
    std::size_t row = 0;
    deleted.for_each([&](const NodeId& source, const auto& targets) {
        targets.for_each([&](const NodeId& target) {
            put_id(batch.columns[0], row, source);
            put_id(batch.columns[1], row, target);
            ++row;
        });
    });
    return batch;
}

}  // namespace tarnu
