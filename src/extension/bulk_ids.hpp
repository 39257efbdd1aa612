#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "arrow_arguments.hpp"
#include "basics/node_id.hpp"
#include "bulk_arguments.hpp"
#include "python.hpp"

namespace tarnu::py {

// The node ids of a bulk argument (add_edges' sources and targets, the ids
// of add_nodes and delete_nodes, a snapshot's id columns): id items of a
// list or tuple (16-byte bytes, UUID text, uuid.UUID), a buffer of bytes, or
// an Arrow column. Read in the steps of bulk_arguments.hpp.

static_assert(alignof(NodeId) == 1, "IdColumn hands out ids at any byte of a buffer");

// Node ids: a list or tuple of ids, Arrow input (arrow_arguments.hpp), or a
// C-contiguous buffer of bytes (single-byte items, or 16-byte items such as
// numpy's S16 and V16).
class IdColumn {
public:
    void open(PyObject* object, const char* name);
    // Column `child` of a batch that its owner pins before this is pinned,
    // and keeps until this goes. `name` as open() takes it.
    void open_child(const ArrowInput& batch, std::size_t child, const char* name);
    void convert();
    void retake();
    void pin();
    std::size_t size() const noexcept { return size_; }
    // Item i where it lies (a NodeId is 16 bytes of alignment 1): the batch
    // pipeline reads a reference in place, where a value would be copied
    // into its ring first.
    const NodeId& operator()(std::size_t i) const noexcept {
        return *reinterpret_cast<const NodeId*>(bytes_ + 16 * i);
    }

private:
    std::string where_;
    ArrowInput arrow_;
    const ArrowInput* batch_ = nullptr;  // open_child's batch
    std::size_t child_ = 0;
    ColumnBuffer buffer_;
    ItemSequence sequence_;
    std::vector<NodeId> converted_;
    std::unique_ptr<std::uint8_t[]> arrow_ids_;  // Arrow ids that are not read in place
    const std::uint8_t* bytes_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace tarnu::py
