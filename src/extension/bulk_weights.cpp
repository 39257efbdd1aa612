#include "bulk_weights.hpp"

#include <string_view>

#include "conversions.hpp"

namespace tarnu::py {

namespace {

constexpr std::string_view kWeightsAccepted =
    "weights are read from a sequence of numbers, from a one-dimensional C-contiguous buffer of format "
    "'f' or 'd', or from an Arrow array of a float, integer or decimal type";

}  // namespace

void WeightColumn::open(PyObject* object, const char* name) {
    where_ = std::string("argument '") + name + "'";
    if (sequence_.take(object, true)) {
        size_ = sequence_.size();
        return;
    }
    if (arrow_.take(object, where_, ArrowInput::Shape::column)) {
        size_ = arrow_.size();
        return;
    }
    if (buffer_.open(object, [&](const BufferView& buffer) {
            check_column_buffer(buffer, where_, "fd", kWeightsAccepted);
        })) {
        doubles_ = buffer_.item_size() == sizeof(double);
        size_ = buffer_.items();
        return;
    }
    if (!sequence_.take(object, false)) throw_wrong_kind(object, where_, kWeightsAccepted);
    size_ = sequence_.size();
}

void WeightColumn::open_child(const ArrowInput& batch, std::size_t child, const char* name) {
    where_ = std::string("argument '") + name + "'";
    batch_ = &batch;
    child_ = child;
    size_ = batch.size();
}

void WeightColumn::convert() {
    if (buffer_.present() || arrow_.held() || batch_ != nullptr) return;
    converted_.resize(size_);
    sequence_.for_each(where_, [&](PyObject* item, std::size_t i) { converted_[i] = extract_f32(item); });
    bytes_ = reinterpret_cast<const std::uint8_t*>(converted_.data());
}

void WeightColumn::retake() {
    if (!buffer_.present()) return;
    buffer_.pin(where_, [](const BufferView& buffer) { return has_format(buffer, "fd") && is_column_layout(buffer); });
    bytes_ = buffer_.data();
}

void WeightColumn::pin() {
    if (arrow_.held()) {
        arrow_.pin();
        bytes_ = reinterpret_cast<const std::uint8_t*>(arrow_weights(arrow_.columns(), size_, where_, converted_));
    } else if (batch_ != nullptr) {
        bytes_ = reinterpret_cast<const std::uint8_t*>(
            arrow_weights(batch_->child_columns(child_, where_), size_, where_, converted_));
    }
}

}  // namespace tarnu::py
