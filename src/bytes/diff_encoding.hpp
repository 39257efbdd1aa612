#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "bytes/wire_format.hpp"
#include "diff/node_id.hpp"
#include "node_update/node_update_json.hpp"

namespace tarnu {

// Why an encoding failed. The text is for the developer; callers do not show it.
struct EncodeError {
    std::string_view message;
};

namespace encoding_detail {

// Calls f(id, update, json_length, size_text) for every node entry of
// `nodes`: with what the record keeps where it keeps it, otherwise counted
// and formatted here.
template <class Nodes, class F>
void for_each_node_text(const Nodes& nodes, F&& f) {
    if constexpr (requires { nodes.for_each_encoded(f); }) {
        nodes.for_each_encoded(f);
    } else {
        nodes.for_each([&f](const NodeId& id, const auto& update) {
            const NodeUpdateView view(update);
            char size_text[kFloatTextCapacity];
            const std::size_t size_length = view.size ? write_size_text(size_text, *view.size) : 0;
            f(id, view, static_cast<std::size_t>(node_update_json_length(view, size_length)),
              std::string_view(size_text, size_length));
        });
    }
}

template <class Nodes>
std::uint64_t node_json_bytes(const Nodes& nodes) {
    if constexpr (requires { nodes.json_bytes(); }) {
        return nodes.json_bytes();
    } else {
        std::uint64_t total = 0;
        for_each_node_text(nodes, [&total](const NodeId&, const NodeUpdateView&, std::size_t length,
                                           std::string_view) { total += length; });
        return total;
    }
}

}  // namespace encoding_detail

// The byte encoding of one diff, in two steps so that a caller can write it
// straight into storage of its own:
//   DiffEncoding encoding(diff);       // sizes the output
//   auto* out = allocate(encoding.size());
//   if (auto error = encoding.write_to(out)) ...;
// The output is four sections, each a little-endian u64 count followed by its
// entries: node updates (id, length-prefixed JSON text), deleted node ids,
// added or updated edges grouped by source (id, target count, then target id
// and 4-byte weight per edge), deleted edges grouped by source (id, target
// count, target ids). Every id is written as the u64 16 and its 16 bytes.
//
// The size comes from counts the record keeps (entries, targets, and the
// total length of the node texts), so sizing renders and allocates nothing
// and costs the same for every diff. Each node's JSON text is then written
// once, straight into the output at its place, its length known in advance;
// there is no intermediate copy. Entries come in the diff's own order.
//
// The encoding keeps a pointer to the diff and reads it again in write_to, so
// the diff must outlive it and should not change in between. If it does
// change, write_to still never writes past size() bytes: it reports an error
// instead and the output is to be discarded.
//
// `Diff` offers the read views of GraphDiff (nodes, deleted_nodes, edges) with
// NodeId ids, NodeUpdateView (or NodeUpdate) updates and float weights.
template <class Diff>
class DiffEncoding {
public:
    // Computes the exact output size. Allocates nothing and never throws for
    // the module's record; the diff is never changed.
    explicit DiffEncoding(const Diff& diff);

    // The exact number of bytes write_to writes.
    std::size_t size() const noexcept { return size_; }

    // Writes exactly size() bytes to `out`. Fails only when the diff no longer
    // matches the sizes computed at construction; nothing beyond out + size()
    // is ever written.
    [[nodiscard]] std::optional<EncodeError> write_to(std::uint8_t* out) const noexcept;

private:
    const Diff* diff_;
    std::size_t size_ = 0;
};

template <class Diff>
DiffEncoding<Diff>::DiffEncoding(const Diff& diff) : diff_(&diff) {
    using namespace encoding_detail;
    const auto nodes = diff.nodes();
    const auto new_or_updated = diff.edges().new_or_updated();
    const auto deleted = diff.edges().deleted();
    std::uint64_t total = 4 * kCountBytes;
    total += nodes.size() * (kIdBytes + kCountBytes) + node_json_bytes(nodes);
    total += diff.deleted_nodes().size() * kIdBytes;
    total += new_or_updated.size() * kGroupHeadBytes + new_or_updated.num_targets() * (kIdBytes + kWeightBytes);
    total += deleted.size() * kGroupHeadBytes + deleted.num_targets() * kIdBytes;
    size_ = static_cast<std::size_t>(total);
}

template <class Diff>
std::optional<EncodeError> DiffEncoding<Diff>::write_to(std::uint8_t* out) const noexcept {
    using namespace encoding_detail;
    static constexpr EncodeError kChanged{"the diff changed after its encoding was prepared"};

    std::uint8_t* pos = out;
    std::uint8_t* const end = out + size_;
    const auto room = [&pos, end] { return static_cast<std::size_t>(end - pos); };

    // Section 1: each text is written in place. The fast writer may run a
    // few bytes past the text's end into room that the next entries then
    // overwrite; for the entries near the end of the output it may not, and
    // the exact writer is used instead.
    bool fits = true;
    const auto nodes = diff_->nodes();
    if (room() < kCountBytes) return kChanged;
    pos = put_u64(pos, nodes.size());
    std::size_t node_count = 0;
    for_each_node_text(nodes, [&](const NodeId& id, const NodeUpdateView& update, std::size_t length,
                                  std::string_view size_text) {
        if (!fits || room() < kIdBytes + kCountBytes || room() - kIdBytes - kCountBytes < length) {
            fits = false;
            return;
        }
        char* const text = reinterpret_cast<char*>(put_u64(put_id(pos, id), length));
        const bool slack = static_cast<std::size_t>(reinterpret_cast<char*>(end) - text) - length >=
                           kNodeUpdateJsonOverrun;
        const char* const text_end =
            slack ? write_node_update_json(text, update, size_text) : write_node_update_json_exact(text, update, size_text);
        if (text_end != text + length) fits = false;  // a kept length that is wrong: refused
        pos = reinterpret_cast<std::uint8_t*>(text) + length;
        ++node_count;
    });
    if (!fits || node_count != nodes.size()) return kChanged;

    const auto deleted_nodes = diff_->deleted_nodes();
    if (room() < kCountBytes + deleted_nodes.size() * kIdBytes) return kChanged;
    pos = put_u64(pos, deleted_nodes.size());
    deleted_nodes.for_each([&pos](const NodeId& id) { pos = put_id(pos, id); });

    // The edge sections are checked group by group; after a group that does
    // not fit, nothing more is written.
    const auto edges = diff_->edges();
    const auto new_or_updated = edges.new_or_updated();
    if (room() < kCountBytes) return kChanged;
    pos = put_u64(pos, new_or_updated.size());
    new_or_updated.for_each([&](const NodeId& source, const auto& targets) {
        if (!fits || room() < kGroupHeadBytes + targets.size() * (kIdBytes + kWeightBytes)) {
            fits = false;
            return;
        }
        // A local cursor: `pos` itself is shared with the enclosing frame, and
        // every byte store could alias it, forcing a reload per edge.
        std::uint8_t* p = put_u64(put_id(pos, source), targets.size());
        targets.for_each([&p](const NodeId& target, float weight) { p = put_weight(put_id(p, target), weight); });
        pos = p;
    });

    const auto deleted = edges.deleted();
    if (!fits || room() < kCountBytes) return kChanged;
    pos = put_u64(pos, deleted.size());
    deleted.for_each([&](const NodeId& source, const auto& targets) {
        if (!fits || room() < kGroupHeadBytes + targets.size() * kIdBytes) {
            fits = false;
            return;
        }
        std::uint8_t* p = put_u64(put_id(pos, source), targets.size());
        targets.for_each([&p](const NodeId& target) { p = put_id(p, target); });
        pos = p;
    });

    if (!fits || pos != end) return kChanged;
    return std::nullopt;
}

}  // namespace tarnu
