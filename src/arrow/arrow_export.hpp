#pragma once

// Record batches the module hands out through the Arrow C data interface.
// A batch is built once and never changes; every exported schema, array or
// stream holds a reference to it, dropped by that export's own release, so
// the batch's memory goes when the last consumer releases the last export
// (and the Python object that made them is gone).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "arrow/arrow_abi.hpp"
#include "arrow/arrow_types.hpp"
#include "diff/graph_diff.hpp"

namespace tarnu {

struct ExportColumn {
    std::string name;
    ArrowFormat format;  // fixed_size_binary(16), float32, uint8, bool or utf8
    bool nullable = false;
    std::int64_t null_count = 0;
    std::vector<std::uint8_t> validity;  // empty when no item is null
    std::vector<std::uint8_t> values;    // values, bits or offsets
    std::vector<std::uint8_t> data;      // utf8 data
};

struct ExportBatch {
    std::size_t length = 0;
    std::vector<ExportColumn> columns;

    std::size_t buffer_bytes() const noexcept;
};

// Fills `out` (which the caller owns, released or never filled) with the
// batch's schema: a struct with one child per column.
void export_arrow_schema(const ExportBatch& batch, ArrowSchema* out);
// Fills `out` with the batch as a struct array.
void export_arrow_array(const std::shared_ptr<const ExportBatch>& batch, ArrowArray* out);
// Fills `out` with a stream of the batch's schema and one array.
void export_arrow_stream(const std::shared_ptr<const ExportBatch>& batch, ArrowArrayStream* out);

// The four collections of a diff as batches, rows in the order of its bytes
// (the order of node_updates(), deleted_nodes(), edge_updates() and
// deleted_edges()):
//   node_updates   id, then label, size, url, red, green, blue, show_label
//                  (nullable; absent is null)
//   deleted_nodes  id
//   edge_updates   source, target, weight
//   deleted_edges  source, target
// Ids are fixed_size_binary(16), weight and size float32, colours uint8,
// show_label bool, texts utf8.
ExportBatch node_updates_batch(const GraphDiff& diff);
ExportBatch deleted_nodes_batch(const GraphDiff& diff);
ExportBatch edge_updates_batch(const GraphDiff& diff);
ExportBatch deleted_edges_batch(const GraphDiff& diff);

}  // namespace tarnu
