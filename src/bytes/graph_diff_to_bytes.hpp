#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "diff/graph_diff.hpp"

namespace tarnu {

// Why an encoding failed. The text is for the developer; callers do not show it.
struct EncodeError {
    std::string_view message;
};

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
class DiffEncoding {
public:
    // Computes the exact output size. Allocates nothing and never throws; the
    // diff is never changed.
    explicit DiffEncoding(const GraphDiff& diff);

    // The exact number of bytes write_to writes.
    std::size_t size() const noexcept { return size_; }

    // Writes exactly size() bytes to `out`. Fails only when the diff no longer
    // matches the sizes computed at construction; nothing beyond out + size()
    // is ever written.
    [[nodiscard]] std::optional<EncodeError> write_to(std::uint8_t* out) const noexcept;

private:
    const GraphDiff* diff_;
    std::size_t size_ = 0;
};

}  // namespace tarnu
