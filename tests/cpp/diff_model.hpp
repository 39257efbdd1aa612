#pragma once

// A reference diff written with std::map and std::set straight from the
// combining rules (delete_node visits every source, as the rules describe it),
// and a harness that drives it and the real record with the same operations,
// decoded from a byte stream, and compares the two. The GoogleTest suite feeds
// it a seeded pseudo-random stream; the libFuzzer target feeds it fuzz input.

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bytes/graph_diff_to_bytes.hpp"
#include "node_update/node_update_json.hpp"
#include "diff/graph_diff.hpp"
#include "diff/snapshot_change.hpp"

namespace tarnu::testing {

struct IdLess {
    bool operator()(const NodeId& a, const NodeId& b) const { return a.bytes < b.bytes; }
};

using IdSet = std::set<NodeId, IdLess>;
template <class V>
using IdMap = std::map<NodeId, V, IdLess>;

// The four collections in a canonical form; weights as their bit patterns.
struct Snapshot {
    IdMap<NodeUpdate> nodes;
    IdSet deleted_nodes;
    IdMap<IdMap<std::uint32_t>> new_or_updated;
    IdMap<IdSet> deleted;

    std::size_t num_nodes() const { return nodes.size() + deleted_nodes.size(); }
    std::size_t num_edges() const { return new_or_updated.size() + deleted.size(); }
    friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

inline std::uint32_t bits_of(float w) { return std::bit_cast<std::uint32_t>(w); }

class ReferenceDiff {
public:
    void set_node_update(const NodeId& id, NodeUpdate update) {
        if (s_.nodes.count(id) == 0) node_order_.push_back(id);
        s_.nodes[id] = std::move(update);
        s_.deleted_nodes.erase(id);
    }

    void delete_node(const NodeId& id) {
        if (s_.nodes.erase(id) != 0) {
            // The record's order: the last update moves into the hole.
            *std::find(node_order_.begin(), node_order_.end(), id) = node_order_.back();
            node_order_.pop_back();
        }
        s_.new_or_updated.erase(id);
        for (auto& [source, targets] : s_.new_or_updated) {
            if (targets.count(id) != 0) {
                s_.deleted[source].insert(id);
                targets.erase(id);
            }
        }
        s_.deleted_nodes.insert(id);
    }

    // False when refused.
    bool add_edge(const NodeId& from, const NodeId& to, float weight) {
        if (s_.deleted_nodes.count(from) != 0 || s_.deleted_nodes.count(to) != 0) return false;
        if (auto it = s_.deleted.find(from); it != s_.deleted.end()) {
            it->second.erase(to);
            if (it->second.empty()) s_.deleted.erase(it);
        }
        s_.new_or_updated[from][to] = bits_of(weight);
        return true;
    }

    void delete_edge(const NodeId& from, const NodeId& to) {
        s_.deleted[from].insert(to);
        if (auto it = s_.new_or_updated.find(from); it != s_.new_or_updated.end()) {
            it->second.erase(to);
            if (it->second.empty()) s_.new_or_updated.erase(it);
        }
    }

    void clear() {
        s_ = Snapshot{};
        node_order_.clear();
    }

    // Other's content replayed through the operations above in the order the
    // record walks it (the order matters: deleting both ends of a pending
    // edge records its deletion or not, by which end goes first).
    // Only the first `limit` items of that replay.
    void merge(const GraphDiff& other, std::size_t limit = SIZE_MAX) {
        std::size_t n = 0;
        other.deleted_nodes().for_each([&](const NodeId& id) {
            if (n++ < limit) delete_node(id);
        });
        other.nodes().for_each([&](const NodeId& id, const NodeUpdate& u) {
            if (n++ < limit) set_node_update(id, u);
        });
        other.edges().deleted().for_each([&](const NodeId& source, const auto& targets) {
            targets.for_each([&](const NodeId& target) {
                if (n++ < limit) delete_edge(source, target);
            });
        });
        other.edges().new_or_updated().for_each([&](const NodeId& source, const auto& targets) {
            targets.for_each([&](const NodeId& target, float w) {
                if (n++ < limit) add_edge(source, target, w);
            });
        });
    }

    const Snapshot& snapshot() const { return s_; }
    // The ids of the node updates in the order the record walks and
    // encodes them, which the byte encoding makes part of the contract.
    const std::vector<NodeId>& node_order() const { return node_order_; }

private:
    Snapshot s_;
    std::vector<NodeId> node_order_;
};

// Reads the record through its views only, as the encoder does. Appends to
// `problems` whatever the views contradict themselves on (a size that differs
// from what for_each yields, an id yielded twice).
inline Snapshot snapshot_of(const GraphDiff& diff, std::string& problems) {
    Snapshot s;
    std::size_t seen = 0;
    diff.nodes().for_each([&](const NodeId& id, const NodeUpdate& u) {
        ++seen;
        if (!s.nodes.emplace(id, u).second) problems += "nodes yields an id twice; ";
    });
    if (seen != diff.nodes().size()) problems += "nodes().size() disagrees with for_each; ";
    seen = 0;
    diff.deleted_nodes().for_each([&](const NodeId& id) {
        ++seen;
        if (!s.deleted_nodes.insert(id).second) problems += "deleted_nodes yields an id twice; ";
    });
    if (seen != diff.deleted_nodes().size()) problems += "deleted_nodes().size() disagrees with for_each; ";
    seen = 0;
    diff.edges().new_or_updated().for_each([&](const NodeId& source, const auto& targets) {
        ++seen;
        // (Not a structured binding: clang 14 cannot capture one in the lambda below.)
        const auto emplaced = s.new_or_updated.try_emplace(source);
        const auto it = emplaced.first;
        if (!emplaced.second) problems += "new_or_updated yields a source twice; ";
        std::size_t inner = 0;
        targets.for_each([&](const NodeId& target, float w) {
            ++inner;
            if (!it->second.emplace(target, bits_of(w)).second) problems += "a target map yields a target twice; ";
        });
        if (inner != targets.size()) problems += "a target map's size disagrees with for_each; ";
    });
    if (seen != diff.edges().new_or_updated().size()) problems += "new_or_updated().size() disagrees; ";
    std::size_t targets_seen = 0;
    for (const auto& entry : s.new_or_updated) targets_seen += entry.second.size();
    if (targets_seen != diff.edges().new_or_updated().num_targets()) problems += "new_or_updated().num_targets() disagrees; ";
    seen = 0;
    diff.edges().deleted().for_each([&](const NodeId& source, const auto& targets) {
        ++seen;
        const auto emplaced = s.deleted.try_emplace(source);
        const auto it = emplaced.first;
        if (!emplaced.second) problems += "deleted yields a source twice; ";
        std::size_t inner = 0;
        targets.for_each([&](const NodeId& target) {
            ++inner;
            if (!it->second.insert(target).second) problems += "a deleted set yields a target twice; ";
        });
        if (inner != targets.size()) problems += "a deleted set's size disagrees with for_each; ";
    });
    if (seen != diff.edges().deleted().size()) problems += "deleted().size() disagrees; ";
    targets_seen = 0;
    for (const auto& entry : s.deleted) targets_seen += entry.second.size();
    if (targets_seen != diff.edges().deleted().num_targets()) problems += "deleted().num_targets() disagrees; ";
    return s;
}

// Byte streams that drive the harness.
class RandomBytes {
public:
    explicit RandomBytes(std::uint64_t seed) : rng_(seed) {}
    bool exhausted() const { return false; }
    std::uint8_t next() {
        if (left_ == 0) {
            word_ = rng_();
            left_ = 8;
        }
        --left_;
        const auto b = static_cast<std::uint8_t>(word_);
        word_ >>= 8;
        return b;
    }

private:
    std::mt19937_64 rng_;
    std::uint64_t word_ = 0;
    int left_ = 0;
};

class InputBytes {
public:
    InputBytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool exhausted() const { return pos_ >= size_; }
    std::uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// How often each operation comes up, as cumulative thresholds of one byte.
// A threshold of 256 leaves the later operations out.
struct OpMix {
    std::uint16_t update_below = 40;
    std::uint16_t delete_node_below = 80;
    std::uint16_t add_edge_below = 170;
    std::uint16_t delete_edge_below = 250;
    std::uint16_t clear_below = 256;
    // Up to here an operation goes to a second record (and its reference);
    // the rest merges that record into the first.
    std::uint16_t side_below = 256;
};

// A small pool of ids, so that operations collide often. The ids share long
// prefixes and differ in one or two bytes, with the all-zero and all-0xFF ids
// among them.
inline std::vector<NodeId> id_pool(std::size_t count) {
    std::vector<NodeId> ids;
    for (std::size_t i = 0; i < count; ++i) {
        NodeId id;
        if (i == 1) {
            id.bytes.fill(0xff);
        } else if (i > 1) {
            id.bytes.fill(0x5a);
            id.bytes[15] = static_cast<std::uint8_t>(i);
            id.bytes[14] = static_cast<std::uint8_t>(i >> 8);
            if (i % 3 == 0) id.bytes[i % 14] ^= 0x01;
        }
        ids.push_back(id);
    }
    return ids;
}

inline constexpr std::array<std::uint32_t, 8> kSpecialWeights = {
    0x00000000u,  // +0
    0x80000000u,  // -0
    0x7fc00000u,  // quiet NaN
    0x7fc00123u,  // quiet NaN with payload
    0x7f800001u,  // signalling NaN
    0xffffffffu,  // negative NaN, full payload
    0xff800000u,  // -infinity
    0x3f800000u,  // 1
};

enum class OpKind : std::uint8_t { update, delete_node, add_edge, delete_edge, clear, side, merge };

struct Op {
    OpKind kind;
    OpKind side_kind = OpKind::update;  // for a side operation, the operation on the second record
    std::uint16_t a = 0;
    std::uint16_t b = 0;
    std::uint32_t weight = 0;
    std::uint8_t fields = 0;
};

class ModelHarness {
public:
    explicit ModelHarness(std::size_t pool_size, OpMix mix = {}) : ids_(id_pool(pool_size)), mix_(mix) {}

    // Decodes and applies one operation to both diffs and compares the
    // counts (and, every `full_every` operations, checks the record's
    // invariants and compares the collections). Returns a description of
    // the first disagreement, or an empty string.
    template <class Source>
    std::string step(Source& in, std::size_t full_every = 1) {
        const Op op = decode(in);
        recent_[count_ % recent_.size()] = op;
        ++count_;
        if (std::string failure = apply(op); !failure.empty()) return report(failure);
        if (diff_.num_nodes() != model_.snapshot().num_nodes() || diff_.num_edges() != model_.snapshot().num_edges())
            return report("counts differ");
        if (full_every != 0 && count_ % full_every == 0) return check();
        return {};
    }

    // The record's own invariants, then a full comparison of the
    // collections and of the lookups.
    std::string check() const {
        if (std::string flaw = diff_.check_invariants(); !flaw.empty()) return report("invariant broken: " + flaw);
        std::string problems;
        const Snapshot got = snapshot_of(diff_, problems);
        if (!problems.empty()) return report(problems);
        if (!(got == model_.snapshot())) return report("collections differ");
        std::vector<NodeId> order;
        diff_.nodes().for_each([&](const NodeId& id, const auto&) { order.push_back(id); });
        if (order != model_.node_order()) return report("node updates walk in another order");
        const auto counts = diff_.counts();
        std::size_t targets = 0, deleted_targets = 0;
        for (const auto& entry : got.new_or_updated) targets += entry.second.size();
        for (const auto& entry : got.deleted) deleted_targets += entry.second.size();
        if (counts.node_updates != got.nodes.size() || counts.deleted_nodes != got.deleted_nodes.size() ||
            counts.edge_updates != targets || counts.deleted_edges != deleted_targets)
            return report("counts() disagrees with the collections");
        for (const NodeId& id : ids_) {
            const auto found = diff_.nodes().find(id);
            const auto it = model_.snapshot().nodes.find(id);
            const bool expected = it != model_.snapshot().nodes.end();
            if (found.has_value() != expected || (found && !(*found == it->second)))
                return report("nodes().find disagrees");
            if (diff_.deleted_nodes().contains(id) != (model_.snapshot().deleted_nodes.count(id) != 0))
                return report("deleted_nodes().contains disagrees");
        }
        return {};
    }

    const GraphDiff& diff() const { return diff_; }
    std::uint64_t operations() const { return count_; }

private:
    template <class Source>
    Op decode(Source& in) {
        Op op;
        const std::uint8_t k = in.next();
        op.kind = k < mix_.update_below        ? OpKind::update
                  : k < mix_.delete_node_below ? OpKind::delete_node
                  : k < mix_.add_edge_below    ? OpKind::add_edge
                  : k < mix_.delete_edge_below ? OpKind::delete_edge
                  : k < mix_.clear_below       ? OpKind::clear
                  : k < mix_.side_below        ? OpKind::side
                                               : OpKind::merge;
        if (op.kind == OpKind::side) op.side_kind = static_cast<OpKind>(in.next() % 4);
        op.a = pick(in);
        op.b = pick(in);
        op.fields = in.next();
        if (op.kind == OpKind::add_edge || (op.kind == OpKind::side && op.side_kind == OpKind::add_edge)) {
            if (op.fields < 64) {
                op.weight = kSpecialWeights[op.fields % kSpecialWeights.size()];
            } else {
                for (int i = 0; i < 4; ++i) op.weight = (op.weight << 8) | in.next();
            }
        }
        return op;
    }

    template <class Source>
    std::uint16_t pick(Source& in) {
        std::uint16_t r = in.next();
        if (ids_.size() > 256) r = static_cast<std::uint16_t>(r << 8 | in.next());
        return static_cast<std::uint16_t>(r % ids_.size());
    }

    // Each update is told apart by a serial, so a merge or a stale update shows.
    NodeUpdate make_update(std::uint8_t fields) const {
        NodeUpdate u;
        // Built with append: g++ 12 warns falsely (-Wrestrict) on "literal" + std::string.
        const std::string serial = std::to_string(count_);
        if (fields & 0x01) u.label = std::string("n").append(serial);
        if (fields & 0x02) u.size = static_cast<float>(count_ % 1000) * 0.5f;
        if (fields & 0x04) u.url = fields & 0x80 ? std::string() : std::string("https://example.org/").append(serial);
        if (fields & 0x08) u.red = static_cast<std::uint8_t>(count_);
        if (fields & 0x10) u.green = fields;
        if (fields & 0x20) u.blue = 0;
        if (fields & 0x40) u.show_label = (count_ & 1) != 0;
        return u;
    }

    std::string apply(const Op& op) {
        switch (op.kind) {
            case OpKind::side:
                return apply(op.side_kind, op, side_, side_model_);
            case OpKind::merge: {
                // Rarely a record merged into itself, which changes nothing.
                const GraphDiff& other = op.fields < 16 ? diff_ : side_;
                const Snapshot other_before = contents_of(other);
                if (&other != &diff_) model_.merge(other);
                std::size_t done = 0;
                diff_.merge(other, done, [](std::size_t) {});
                const auto counts = other.counts();
                if (done != (&other == &diff_ ? 0 : counts.node_updates + counts.deleted_nodes +
                                                       counts.edge_updates + counts.deleted_edges))
                    return "merge counted another number of items";
                if (!(contents_of(other) == other_before)) return "merge changed the merged record";
                if (op.fields & 1) {  // the next batch of the producer starts afresh
                    side_.clear();
                    side_model_.clear();
                }
                return {};
            }
            default:
                return apply(op.kind, op, diff_, model_);
        }
    }

    std::string apply(OpKind kind, const Op& op, GraphDiff& diff, ReferenceDiff& model) {
        const NodeId& a = ids_[op.a];
        const NodeId& b = ids_[op.b];
        switch (kind) {
            case OpKind::update: {
                NodeUpdate u = make_update(op.fields);
                model.set_node_update(a, u);
                diff.set_node_update(a, std::move(u));
                break;
            }
            case OpKind::delete_node:
                model.delete_node(a);
                diff.delete_node(a);
                break;
            case OpKind::add_edge: {
                const float w = std::bit_cast<float>(op.weight);
                const bool accepted = model.add_edge(a, b, w);
                const auto error = diff.add_edge(a, b, w);
                if (accepted == error.has_value()) return "add_edge accepted/refused differently";
                if (error && error->message != "Either from or to nodes are marked to be deleted")
                    return "add_edge refused with another message";
                break;
            }
            case OpKind::delete_edge:
                model.delete_edge(a, b);
                diff.delete_edge(a, b);
                break;
            default:
                model.clear();
                diff.clear();
                break;
        }
        if (&diff == &side_ && !(contents_of(side_) == side_model_.snapshot())) return "the second record differs";
        return {};
    }

    // The collections as the views give them, when their problems do not matter here.
    static Snapshot contents_of(const GraphDiff& diff) {
        std::string ignored;
        return testing::snapshot_of(diff, ignored);
    }

    std::string report(const std::string& what) const {
        static constexpr const char* kNames[] = {"set_node_update", "delete_node", "add_edge", "delete_edge",
                                                 "clear", "side", "merge"};
        std::ostringstream out;
        out << what << " after operation " << count_ << "; latest operations, oldest first:";
        const std::uint64_t shown = std::min<std::uint64_t>(count_, recent_.size());
        for (std::uint64_t i = count_ - shown; i < count_; ++i) {
            const Op& op = recent_[i % recent_.size()];
            out << "\n  " << kNames[static_cast<int>(op.kind)];
            if (op.kind == OpKind::side) out << " " << kNames[static_cast<int>(op.side_kind)];
            out << "(" << op.a;
            const OpKind kind = op.kind == OpKind::side ? op.side_kind : op.kind;
            if (kind == OpKind::add_edge || kind == OpKind::delete_edge) out << ", " << op.b;
            if (kind == OpKind::add_edge) out << ", bits 0x" << std::hex << op.weight << std::dec;
            out << ")";
        }
        return out.str();
    }

    std::vector<NodeId> ids_;
    OpMix mix_;
    GraphDiff diff_;
    ReferenceDiff model_;
    GraphDiff side_;  // the record that merge ops merge into diff_
    ReferenceDiff side_model_;
    std::uint64_t count_ = 0;
    std::array<Op, 24> recent_{};
};

// Runs operations from `in` until it is exhausted or `max_ops` have run;
// the first byte picks the pool size, and from 128 on a mix in which a
// second record is fed and merged. For the fuzz target.
template <class Source>
std::string run_model(Source& in, std::size_t max_ops) {
    const std::uint8_t first = in.next();
    ModelHarness harness(2 + first % 40, first < 128 ? OpMix{} : OpMix{30, 50, 110, 135, 137, 240});
    while (!in.exhausted() && harness.operations() < max_ops) {
        if (std::string failure = harness.step(in); !failure.empty()) return failure;
    }
    return harness.check();
}

// The change between two snapshots against its definition: a prior diff
// made by random single operations, then SnapshotChange on one copy and the
// replay of the definition, computed here with std::map, through single
// operations on another; both must encode to the same bytes. Refusals must
// name the same argument, row and kind, and leave the diff's bytes as they
// were.

inline std::vector<std::uint8_t> bytes_of(const GraphDiff& diff) {
    const DiffEncoding encoding(diff);
    std::vector<std::uint8_t> out(encoding.size());
    if (encoding.write_to(out.data())) out.clear();
    return out;
}

struct SnapshotCase {
    std::vector<NodeId> old_ids, new_ids;
    std::vector<NodeUpdate> old_updates, new_updates;
    std::vector<NodeId> old_sources, old_targets, new_sources, new_targets;
    std::vector<float> old_weights, new_weights;

    auto nodes(bool old) const {
        const auto& ids = old ? old_ids : new_ids;
        const auto& updates = old ? old_updates : new_updates;
        return NodeRows{ids.size(), [&ids](std::size_t i) -> const NodeId& { return ids[i]; },
                        [&updates](std::size_t i) { return NodeUpdateView(updates[i]); }};
    }
    auto edges(bool old) const {
        const auto& s = old ? old_sources : new_sources;
        const auto& t = old ? old_targets : new_targets;
        const auto& w = old ? old_weights : new_weights;
        // Targets as values, sources as references: the batches take both.
        return EdgeRows{s.size(), [&s](std::size_t i) -> const NodeId& { return s[i]; },
                        [&t](std::size_t i) { return t[i]; }, [&w](std::size_t i) { return w[i]; }};
    }
};

// The JSON texts, as the wire carries them.
inline std::string json_of(const NodeUpdate& u) {
    const NodeUpdateView v(u);
    std::string text(node_update_json_bound(v), '\0');
    text.resize(static_cast<std::size_t>(write_node_update_json_exact(text.data(), v) - text.data()));
    return text;
}

// The definition, plainly: the refusal, or the replay on `diff`.
inline std::optional<SnapshotRefusal> replay_snapshot_change(const SnapshotCase& c, GraphDiff& diff) {
    using Kind = SnapshotRefusal::Kind;
    using Arg = SnapshotArgument;
    IdMap<std::size_t> old_rows, new_rows;
    for (std::size_t i = 0; i < c.old_ids.size(); ++i)
        if (!old_rows.emplace(c.old_ids[i], i).second) return SnapshotRefusal{Kind::duplicate_id, Arg::old_nodes, i};
    for (std::size_t i = 0; i < c.new_ids.size(); ++i)
        if (!new_rows.emplace(c.new_ids[i], i).second) return SnapshotRefusal{Kind::duplicate_id, Arg::new_nodes, i};
    using Pair = std::pair<NodeId, NodeId>;
    const auto less = [](const Pair& a, const Pair& b) {
        return IdLess{}(a.first, b.first) || (a.first == b.first && IdLess{}(a.second, b.second));
    };
    std::map<Pair, std::size_t, decltype(less)> old_edges(less), new_edges(less);
    for (std::size_t i = 0; i < c.old_sources.size(); ++i)
        if (!old_edges.emplace(Pair{c.old_sources[i], c.old_targets[i]}, i).second)
            return SnapshotRefusal{Kind::duplicate_edge, Arg::old_edges, i};
    const auto deleted = [&](const NodeId& id) { return old_rows.count(id) != 0 && new_rows.count(id) == 0; };
    for (std::size_t i = 0; i < c.new_sources.size(); ++i) {
        if (deleted(c.new_sources[i]) || deleted(c.new_targets[i]))
            return SnapshotRefusal{Kind::deleted_endpoint, Arg::new_edges, i};
        if (!new_edges.emplace(Pair{c.new_sources[i], c.new_targets[i]}, i).second)
            return SnapshotRefusal{Kind::duplicate_edge, Arg::new_edges, i};
    }
    for (std::size_t i = 0; i < c.old_ids.size(); ++i)
        if (new_rows.count(c.old_ids[i]) == 0) diff.delete_node(c.old_ids[i]);
    for (std::size_t i = 0; i < c.new_ids.size(); ++i) {
        const auto old = old_rows.find(c.new_ids[i]);
        if (old == old_rows.end() || json_of(c.old_updates[old->second]) != json_of(c.new_updates[i]))
            diff.set_node_update(c.new_ids[i], NodeUpdateView(c.new_updates[i]));
    }
    for (std::size_t i = 0; i < c.old_sources.size(); ++i)
        if (new_edges.count(Pair{c.old_sources[i], c.old_targets[i]}) == 0)
            diff.delete_edge(c.old_sources[i], c.old_targets[i]);
    for (std::size_t i = 0; i < c.new_sources.size(); ++i) {
        const auto old = old_edges.find(Pair{c.new_sources[i], c.new_targets[i]});
        if (old == old_edges.end() || bits_of(c.old_weights[old->second]) != bits_of(c.new_weights[i]))
            (void)diff.add_edge(c.new_sources[i], c.new_targets[i], c.new_weights[i]);
    }
    return std::nullopt;
}

// A pair of snapshots drawn from `in` over a pool of ids: updates and
// weights from small sets of values that are equal, equal on the wire only
// (NaN and infinite sizes; texts that need escapes) or apart only in their
// bits (NaN payloads, -0.0); rarely a repeated row or a new edge at a node
// that is gone. An edge drawn is old with a chance of `old_in_256` in 256
// (0: a first snapshot, whose new edges meet no old ones).
template <class Source>
SnapshotCase draw_snapshots(Source& in, const std::vector<NodeId>& pool, std::size_t max_edges,
                            int old_in_256 = 200) {
    static const float kSizes[] = {1.0f, -0.0f, 0.0f, std::numeric_limits<float>::quiet_NaN(),
                                   -std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                                   2.5f, 1e-45f};
    static const char* const kTexts[] = {"", "a", "a\"b", "a\\b", "a\nb", "a\\nb", "\x01", "\xc3\xa9"};
    const auto update = [&] {
        NodeUpdate u;
        const std::uint8_t fields = in.next();
        const std::uint8_t v = in.next();
        if (fields & 0x01) u.label = kTexts[v % 8];
        if (fields & 0x02) u.size = kSizes[(v >> 3) % 8];
        if (fields & 0x04) u.url = kTexts[(v >> 5) % 8];
        if (fields & 0x08) u.red = v % 2;
        if (fields & 0x10) u.green = 7;
        if (fields & 0x20) u.blue = v >> 7;
        if (fields & 0x40) u.show_label = (v & 4) != 0;
        return u;
    };
    const auto weight = [&] {
        const std::uint8_t w = in.next();
        if (w < 200) return std::bit_cast<float>(kSpecialWeights[w % kSpecialWeights.size()]);
        std::uint32_t bits = 0;
        for (int i = 0; i < 4; ++i) bits = (bits << 8) | in.next();
        return std::bit_cast<float>(bits);
    };
    const auto pick = [&] {
        std::size_t r = in.next();
        if (pool.size() > 256) r = r << 8 | in.next();
        return pool[r % pool.size()];
    };
    SnapshotCase c;
    // Old nodes: each pool id with a chance; new nodes: kept, changed,
    // dropped or added, in a shuffled order.
    IdSet kept;
    for (const NodeId& id : pool) {
        const std::uint8_t r = in.next();
        if (r < 150) {
            c.old_ids.push_back(id);
            c.old_updates.push_back(update());
        }
        if (r < 90 || r >= 220) {
            c.new_ids.push_back(id);
            c.new_updates.push_back(r < 60 ? c.old_updates.back() : update());
            kept.insert(id);
        }
    }
    for (std::size_t i = c.new_ids.size(); i > 1; --i) {
        const std::size_t j = in.next() % i;
        std::swap(c.new_ids[i - 1], c.new_ids[j]);
        std::swap(c.new_updates[i - 1], c.new_updates[j]);
    }
    IdSet gone;
    for (const NodeId& id : c.old_ids)
        if (kept.count(id) == 0) gone.insert(id);
    const std::size_t edges = max_edges <= 256 ? in.next() % max_edges : max_edges;
    for (std::size_t i = 0; i < edges; ++i) {
        const NodeId s = pick(), t = pick();
        const std::uint8_t r = in.next();
        if (r < old_in_256) {
            c.old_sources.push_back(s);
            c.old_targets.push_back(t);
            c.old_weights.push_back(weight());
        }
        if ((r < 120 || r >= 200) && (r == 255 || (gone.count(s) == 0 && gone.count(t) == 0))) {
            c.new_sources.push_back(s);
            c.new_targets.push_back(t);
            c.new_weights.push_back(r < 80 && r < 200 && !c.old_weights.empty() ? c.old_weights.back() : weight());
        }
    }
    // Rarely a row repeated in one of the four.
    const std::uint8_t repeat = in.next();
    if (repeat < 8 && !c.old_ids.empty()) {
        c.old_ids.push_back(c.old_ids.front());
        c.old_updates.push_back(c.old_updates.front());
    } else if (repeat < 16 && !c.new_ids.empty()) {
        c.new_ids.push_back(c.new_ids.front());
        c.new_updates.push_back(update());
    } else if (repeat < 24 && !c.old_sources.empty()) {
        c.old_sources.push_back(c.old_sources.front());
        c.old_targets.push_back(c.old_targets.front());
        c.old_weights.push_back(weight());
    } else if (repeat < 32 && !c.new_sources.empty()) {
        c.new_sources.push_back(c.new_sources.back());
        c.new_targets.push_back(c.new_targets.back());
        c.new_weights.push_back(weight());
    }
    return c;
}

// One case: the pool, a prior diff (single operations, identical on both
// records), the snapshots, and the comparison. Empty when all agree.
// `pool` ids at most, and `max_edges` (up to 256: fewer, by chance);
// `old_in_256` as draw_snapshots takes it.
template <class Source>
std::string run_snapshot_case(Source& in, std::size_t pool_size = 32, std::size_t max_edges = 64,
                              int old_in_256 = 200) {
    const std::vector<NodeId> pool = id_pool(pool_size <= 32 ? 2 + in.next() % (pool_size - 1) : pool_size);
    GraphDiff diff, replay;
    const std::size_t prior = in.next() % 48;
    for (std::size_t i = 0; i < prior; ++i) {
        const std::uint8_t op = in.next();
        const NodeId& a = pool[in.next() % pool.size()];
        const NodeId& b = pool[in.next() % pool.size()];
        for (GraphDiff* d : {&diff, &replay}) {
            if (op < 60) {
                NodeUpdate u;
                u.label = "p";
                d->set_node_update(a, NodeUpdateView(u));
            } else if (op < 90) {
                d->delete_node(a);
            } else if (op < 200) {
                (void)d->add_edge(a, b, static_cast<float>(op));
            } else {
                d->delete_edge(a, b);
            }
        }
    }
    const SnapshotCase c = draw_snapshots(in, pool, max_edges, old_in_256);
    const std::vector<std::uint8_t> before = bytes_of(diff);
    const auto expected = replay_snapshot_change(c, replay);
    SnapshotChange change;
    // Groups of one to eight old edges, or the default: rows then reach the
    // comparison out of order, as large snapshots' do.
    if (const std::uint8_t spread = in.next(); spread < 192) change.set_edges_per_group(1 + spread % 8);
    const auto on = c.nodes(true), nn = c.nodes(false);
    const auto oe = c.edges(true), ne = c.edges(false);
    const auto refused = change.compute(on, nn, oe, ne);
    // 16 bytes an edge of both snapshots; the id table's slots, up to four
    // of 32 bytes an id; the groups' starts. A refused pair of edge
    // snapshots has had its tables built too.
    if (change.peak_table_bytes() > 16 * (oe.size + ne.size) + 128 * (pool.size() + 1024) + 8 * 1024 + 65536)
        return "the temporary tables outgrew their bound";
    if (refused.has_value() != expected.has_value()) return "refused differently from the definition";
    if (refused) {
        if (refused->kind != expected->kind || refused->argument != expected->argument || refused->row != expected->row)
            return "another refusal than the definition's";
        return bytes_of(diff) == before ? "" : "a refusal changed the diff";
    }
    std::size_t done = 0;
    change.apply(diff, on, nn, oe, ne, done, [](std::size_t) {});
    if (done != change.size()) return "apply counted another number of items";
    if (std::string flaw = diff.check_invariants(); !flaw.empty()) return "invariant broken: " + flaw;
    if (bytes_of(diff) != bytes_of(replay)) return "bytes differ from the replay";
    // A fresh diff given the change holds counts() items of each kind.
    GraphDiff fresh;
    change.apply(fresh, on, nn, oe, ne, done, [](std::size_t) {});
    const auto counted = change.counts(), got = fresh.counts();
    if (counted.node_updates != got.node_updates || counted.deleted_nodes != got.deleted_nodes ||
        counted.edge_updates != got.edge_updates || counted.deleted_edges != got.deleted_edges)
        return "counts() disagrees with a fresh diff";
    return {};
}

}  // namespace tarnu::testing
