#include "bytes/graph_diff_from_bytes.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "bytes/wire_format.hpp"
#include "diff/diff_restorer.hpp"
#include "node_update/node_update_json_parse.hpp"

namespace tarnu {

namespace {

using encoding_detail::kCountBytes;
using encoding_detail::kIdBytes;
using encoding_detail::load_f32;
using encoding_detail::load_u64;

// The fewest bytes one entry of each kind takes, to bound counts.
constexpr std::size_t kMinNodeEntry = kIdBytes + kCountBytes + 2;  // id, length, "{}"
constexpr std::size_t kMinSource = encoding_detail::kGroupHeadBytes;  // id, target count
constexpr std::size_t kEdgeBytes = kIdBytes + encoding_detail::kWeightBytes;  // id, weight

struct Failure {
    std::size_t offset;
    std::string reason;
};

std::string_view refusal_text(DiffRestorer::Refusal refusal) {
    switch (refusal) {
        case DiffRestorer::Refusal::repeated: return "listed twice";
        case DiffRestorer::Refusal::updated_and_deleted: return "node both updated and deleted";
        case DiffRestorer::Refusal::deleted_endpoint: return "pending edge with a deleted endpoint";
        case DiffRestorer::Refusal::added_and_deleted: return "edge both pending and deleted";
    }
    return "refused";
}

class Decoder {
public:
    Decoder(const std::uint8_t* data, std::size_t size) : begin_(data), pos_(data), end_(data + size) {}

    void run(GraphDiff& diff) {
        DiffRestorer restore(diff);
        const std::uint64_t nodes = count(kMinNodeEntry, "node entries");
        restore.reserve(nodes, 0, 0, 0);
        for (std::uint64_t i = 0; i < nodes; ++i) {
            const std::size_t at = offset();
            const NodeId id = node_id("node");
            const std::uint64_t length = u64("text length");
            if (length > left()) fail(offset() - 8, "text length " + std::to_string(length) + " runs past the end");
            const std::string_view text(reinterpret_cast<const char*>(pos_), length);
            NodeUpdate update;
            if (const auto error = parse_node_update_json(text, update))
                fail(offset() + error->offset, "node text: " + std::string(error->reason));
            pos_ += length;
            check(restore.add_node(id, NodeUpdateView(update)), at, "node");
        }

        const std::uint64_t deleted_nodes = count(kIdBytes, "deleted nodes");
        restore.reserve(0, deleted_nodes, 0, 0);
        for (std::uint64_t i = 0; i < deleted_nodes; ++i) {
            const std::size_t at = offset();
            check(restore.add_deleted_node(node_id("deleted node")), at, "deleted node");
        }

        const std::uint64_t sources = count(kMinSource, "edge sources");
        restore.reserve(0, 0, sources, 0);
        // Sources with no pending targets, and where they were read: each
        // must have deleted edges in the next section.
        std::vector<std::pair<std::uint32_t, std::size_t>> empty_sources;
        for (std::uint64_t i = 0; i < sources; ++i) {
            const std::size_t at = offset();
            const NodeId source = node_id("edge source");
            const std::uint64_t targets = count(kEdgeBytes, "edge targets");
            std::uint32_t handle = 0;
            check(restore.add_source(source, static_cast<std::uint32_t>(targets), &handle), at, "edge source");
            if (targets == 0) empty_sources.emplace_back(handle, at);
            // The count is checked against the bytes left, so the whole
            // group is there. Targets go in batches: the ids of a batch are
            // read first, so that the record can start loading what they
            // will touch.
            for (std::uint64_t done = 0; done < targets;) {
                constexpr std::size_t kBatch = 16;
                const std::size_t batch = static_cast<std::size_t>(std::min<std::uint64_t>(targets - done, kBatch));
                const std::uint8_t* const first = pos_;
                NodeId ids[kBatch];
                std::uint64_t hashes[kBatch];
                std::size_t read = 0;
                for (; read < batch; ++read) {
                    const std::uint8_t* edge = first + read * kEdgeBytes;
                    if (load_u64(edge) != 16) break;
                    ids[read] = NodeId::from_bytes(edge + 8);
                }
                restore.prefetch_targets(ids, read, hashes);
                for (std::size_t k = 0; k < read; ++k) {
                    const std::uint8_t* edge = first + k * kEdgeBytes;
                    check(restore.add_target(handle, ids[k], hashes[k], load_f32(edge + kIdBytes)),
                          static_cast<std::size_t>(edge - begin_), "edge target");
                }
                pos_ = first + read * kEdgeBytes;
                if (read < batch) node_id("edge target");  // reports the id length
                done += batch;
            }
        }

        const std::uint64_t deleted_sources = count(kMinSource, "deleted-edge sources");
        restore.reserve(0, 0, 0, deleted_sources);
        for (std::uint64_t i = 0; i < deleted_sources; ++i) {
            const std::size_t at = offset();
            const NodeId source = node_id("deleted-edge source");
            const std::uint64_t targets = count(kIdBytes, "deleted-edge targets");
            if (targets == 0) fail(offset() - 8, "empty group of deleted edges");
            std::uint32_t handle = 0;
            check(restore.add_deleted_source(source, static_cast<std::uint32_t>(targets), &handle), at,
                  "deleted-edge source");
            for (std::uint64_t k = 0; k < targets; ++k) {
                const std::size_t target_at = offset();
                check(restore.add_deleted_target(handle, node_id("deleted-edge target")), target_at,
                      "deleted-edge target");
            }
        }

        if (pos_ != end_) fail(offset(), std::to_string(left()) + " bytes left over after the last section");
        for (const auto& [handle, at] : empty_sources) {
            if (!restore.source_has_deleted_edges(handle)) fail(at, "edge source: no targets and no deleted edges");
        }
    }

private:
    [[noreturn]] static void fail(std::size_t at, std::string reason) { throw Failure{at, std::move(reason)}; }

    std::size_t offset() const noexcept { return static_cast<std::size_t>(pos_ - begin_); }
    std::size_t left() const noexcept { return static_cast<std::size_t>(end_ - pos_); }

    void need(std::size_t bytes, std::string_view what) const {
        if (left() < bytes) [[unlikely]] {
            fail(offset(), "truncated: " + std::string(what) + " needs " + std::to_string(bytes) + " bytes, " +
                               std::to_string(left()) + " left");
        }
    }

    std::uint64_t u64(std::string_view what) {
        need(8, what);
        const std::uint64_t value = load_u64(pos_);
        pos_ += 8;
        return value;
    }

    // A count of entries that take at least `entry_bytes` each: more than
    // the bytes left can hold is refused before anything is reserved.
    std::uint64_t count(std::size_t entry_bytes, std::string_view what) {
        const std::uint64_t value = u64(what);
        if (value > left() / entry_bytes) [[unlikely]] {
            fail(offset() - 8, "truncated: count " + std::to_string(value) + " of " + std::string(what) +
                                   " needs at least " + std::to_string(entry_bytes) + " bytes each, " +
                                   std::to_string(left()) + " left");
        }
        return value;
    }

    NodeId node_id(std::string_view what) {
        const std::uint64_t length = u64(what);
        if (length != 16) [[unlikely]] {
            fail(offset() - 8, std::string(what) + " id length " + std::to_string(length) + ", expected 16");
        }
        need(16, what);
        const NodeId id = NodeId::from_bytes(pos_);
        pos_ += 16;
        return id;
    }

    static void check(const DiffRestorer::Restored& restored, std::size_t at, std::string_view what) {
        if (restored) [[unlikely]] {
            fail(at, std::string(what) + ": " + std::string(refusal_text(*restored)));
        }
    }

    const std::uint8_t* begin_;
    const std::uint8_t* pos_;
    const std::uint8_t* end_;
};

}  // namespace

DecodeResult graph_diff_from_bytes(const std::uint8_t* data, std::size_t size) {
    GraphDiff diff;
    try {
        Decoder(data, size).run(diff);
    } catch (Failure& failure) {
        return DecodeError{failure.offset, std::move(failure.reason)};
    }
    return diff;
}

}  // namespace tarnu
