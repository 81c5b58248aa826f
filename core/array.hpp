#pragma once
// A dense, owned five-axis float image. Either empty (dims all 0, no values)
// or holding dims.size() samples with every axis at least 1.

#include <cstdint>
#include <vector>

#include "core/extent.hpp"
#include "core/large_allocator.hpp"

namespace px {

struct array {
    extent dims{};
    large_vector<float> values;

    array() = default;
    // Copies shape.size() floats from source; empty when the shape holds no
    // samples or source is null.
    array(const extent& shape, const float* source);
    // shape.size() copies of fill; empty when the shape holds no samples.
    array(const extent& shape, float fill);

    array(const array& other);
    array& operator=(const array& other);
    // Moves (and so std::swap) exchange dims and buffers without copying.
    array(array&& other) noexcept = default;
    array& operator=(array&& other) noexcept = default;

    std::int64_t size() const { return dims.size(); }
    bool empty() const { return values.empty(); }

    std::int64_t index(std::int32_t x, std::int32_t y, std::int32_t z, std::int32_t c, std::int32_t t) const {
        return x + std::int64_t{dims.x} *
                       (y + std::int64_t{dims.y} * (z + std::int64_t{dims.z} * (c + std::int64_t{dims.c} * t)));
    }
    float& at(std::int32_t x, std::int32_t y, std::int32_t z, std::int32_t c, std::int32_t t) {
        return values[static_cast<std::size_t>(index(x, y, z, c, t))];
    }
    const float& at(std::int32_t x, std::int32_t y, std::int32_t z, std::int32_t c, std::int32_t t) const {
        return values[static_cast<std::size_t>(index(x, y, z, c, t))];
    }
};

}  // namespace px

// Writes "shape: <dims>\n" to standard output. Exported from the module.
__attribute__((visibility("default"))) void print_shape(const px::array& image);
