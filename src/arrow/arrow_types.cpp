#include "arrow/arrow_types.hpp"

namespace tarnu {

std::string arrow_type_name(const ArrowFormat& format) {
    std::string name(format.facts().name);
    switch (format.type) {
        case ArrowType::fixed_size_binary: return name + "(" + std::to_string(format.byte_width) + ")";
        case ArrowType::decimal:
            return name + std::to_string(format.byte_width * 8) + "(" + std::to_string(format.precision) + ", " +
                   std::to_string(format.scale) + ")";
        default: return name;
    }
}

std::string arrow_format_text(const ArrowFormat& format) {
    std::string text(format.facts().format);
    switch (format.type) {
        case ArrowType::fixed_size_binary: return text + std::to_string(format.byte_width);
        case ArrowType::decimal:
            text += std::to_string(format.precision) + "," + std::to_string(format.scale);
            // 128 bits is the width a format without one has.
            return format.byte_width == 16 ? text : text + "," + std::to_string(format.byte_width * 8);
        default: return text;
    }
}

}  // namespace tarnu
