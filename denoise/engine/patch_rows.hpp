#pragma once
// Walks the rows of the patch around a position in canonical patch order:
// dx fastest (one contiguous row of 2 rx + 1 samples), then dy, dz, channel
// and dt slowest. row(start, k) receives the linear index of the row's first
// sample and the patch index of that sample.

#include <cstdint>

#include "core/extent.hpp"

namespace px {

template <class Row>
inline void for_each_patch_row(const extent& dims, const extent& radius, std::int32_t x, std::int32_t y, std::int32_t z,
                               std::int32_t t, Row&& row) {
    const std::int64_t stride_y = dims.x;
    const std::int64_t stride_z = stride_y * dims.y;
    const std::int64_t stride_c = stride_z * dims.z;
    const std::int64_t stride_t = stride_c * dims.c;
    const std::int64_t width = 2 * std::int64_t{radius.x} + 1;
    std::int64_t k = 0;
    for (std::int64_t dt = -radius.t; dt <= radius.t; ++dt) {
        for (std::int64_t ch = 0; ch < dims.c; ++ch) {
            for (std::int64_t dz = -radius.z; dz <= radius.z; ++dz) {
                for (std::int64_t dy = -radius.y; dy <= radius.y; ++dy) {
                    const std::int64_t start = (x - radius.x) + stride_y * (y + dy) + stride_z * (z + dz) +
                                               stride_c * ch + stride_t * (t + dt);
                    row(start, k);
                    k += width;
                }
            }
        }
    }
}

}  // namespace px
