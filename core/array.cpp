#include "core/array.hpp"

#include <cstdio>
#include <utility>

namespace px {

namespace {
// A shape can hold samples only when every axis is at least 1.
bool holds_samples(const extent& shape) {
    return shape.x >= 1 && shape.y >= 1 && shape.z >= 1 && shape.c >= 1 && shape.t >= 1;
}
}  // namespace

array::array(const extent& shape, const float* source) {
    if (!holds_samples(shape) || source == nullptr) return;
    values.assign(source, source + shape.size());
    dims = shape;
}

array::array(const extent& shape, float fill) {
    if (!holds_samples(shape)) return;
    values.assign(static_cast<std::size_t>(shape.size()), fill);
    dims = shape;
}

array::array(const array& other) : array(other.dims, other.values.empty() ? nullptr : other.values.data()) {}

array& array::operator=(const array& other) {
    if (this != &other) {
        array copy(other);
        *this = std::move(copy);  // releases the old storage, also when other is empty
    }
    return *this;
}

}  // namespace px

void print_shape(const px::array& image) { std::printf("shape: %s\n", image.dims.to_str()); }
