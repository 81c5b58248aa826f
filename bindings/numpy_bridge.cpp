#include "bindings/numpy_bridge.hpp"

#include <cstdint>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

px::extent dims_of(const ndarray& image) {
    const pybind11::ssize_t ndim = image.ndim();
    if (ndim < 1) throw std::runtime_error("Array should have at least 1 dimension.");
    if (ndim > 5) throw std::runtime_error("Array should have less than 5 dimensions.");

    std::int32_t sizes[5] = {1, 1, 1, 1, 1};  // x, y, z, c, t
    for (pybind11::ssize_t k = 0; k < ndim; ++k) {
        const pybind11::ssize_t length = image.shape(ndim - 1 - k);
        if (length > std::numeric_limits<std::int32_t>::max()) {
            throw std::invalid_argument("array axis " + std::to_string(k) + " has " + std::to_string(length) +
                                        " samples; the largest supported axis length is 2147483647");
        }
        sizes[k] = static_cast<std::int32_t>(length);
    }
    return px::extent{sizes[0], sizes[1], sizes[2], sizes[3], sizes[4]};
}

px::array to_ndarray(ndarray image) { return px::array(dims_of(image), image.data()); }

void write_back(ndarray& target, const px::array& source) {
    if (!target.writeable()) throw std::domain_error("array is not writeable");
    const auto count = static_cast<std::size_t>(target.size());
    if (source.values.size() < count) throw std::logic_error("write-back source is smaller than the array");
    float* out = target.mutable_data();
    for (std::size_t i = 0; i < count; ++i) out[i] = source.values[i];
}

ndarray test(ndarray image) {
    std::puts("array conversion");
    std::puts(" - py::array -> px::array");
    std::fflush(stdout);
    const px::array converted = to_ndarray(image);
    print_shape(converted);
    std::puts(" - px::array -> py::array");
    std::fflush(stdout);
    write_back(image, converted);
    return image;
}
