#include "bytes/graph_diff_to_bytes.hpp"

#include "bytes/wire_format.hpp"
#include "node_update/node_update_json.hpp"

namespace tarnu {

DiffEncoding::DiffEncoding(const GraphDiff& diff) : diff_(&diff) {
    using namespace encoding_detail;
    const auto nodes = diff.nodes();
    const auto new_or_updated = diff.edges().new_or_updated();
    const auto deleted = diff.edges().deleted();
    std::uint64_t total = 4 * kCountBytes;
    total += nodes.size() * (kIdBytes + kCountBytes) + nodes.json_bytes();
    total += diff.deleted_nodes().size() * kIdBytes;
    total += new_or_updated.size() * kGroupHeadBytes + new_or_updated.num_targets() * (kIdBytes + kWeightBytes);
    total += deleted.size() * kGroupHeadBytes + deleted.num_targets() * kIdBytes;
    size_ = static_cast<std::size_t>(total);
}

std::optional<EncodeError> DiffEncoding::write_to(std::uint8_t* out) const noexcept {
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
    nodes.for_each_encoded([&](const NodeId& id, const NodeUpdateView& update, std::size_t length,
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
