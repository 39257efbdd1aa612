#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "arrow_arguments.hpp"
#include "bulk_arguments.hpp"
#include "python.hpp"

namespace tarnu::py {

// The edge weights of a bulk argument (add_edges' weights, a snapshot's
// weight column): numbers of a sequence, a buffer of floats or doubles, or
// an Arrow column. Read in the steps of bulk_arguments.hpp.

// Weights: a sequence of numbers, Arrow input, or a 1-D buffer of format 'f'
// or 'd'. A buffer may be unaligned: items are loaded with memcpy.
class WeightColumn {
public:
    void open(PyObject* object, const char* name);
    // As IdColumn::open_child.
    void open_child(const ArrowInput& batch, std::size_t child, const char* name);
    void convert();
    void retake();
    void pin();
    std::size_t size() const noexcept { return size_; }
    float operator()(std::size_t i) const noexcept {
        if (doubles_) {
            double value;
            std::memcpy(&value, bytes_ + sizeof(double) * i, sizeof value);
            return static_cast<float>(value);  // rounded as add_edge rounds
        }
        float value;
        std::memcpy(&value, bytes_ + sizeof(float) * i, sizeof value);
        return as_converted_f32(value);
    }

private:
    std::string where_;
    ArrowInput arrow_;
    const ArrowInput* batch_ = nullptr;  // open_child's batch
    std::size_t child_ = 0;
    ColumnBuffer buffer_;
    ItemSequence sequence_;
    std::vector<float> converted_;
    const std::uint8_t* bytes_ = nullptr;
    bool doubles_ = false;
    std::size_t size_ = 0;
};

}  // namespace tarnu::py
