#pragma once
// The work of reference positions, for progress reports: the neighbor
// positions compared (the reference itself included) times the patch
// samples each comparison reads.

#include <algorithm>
#include <cstdint>

#include "core/extent.hpp"

namespace px {

struct work_count {
    const extent& search;
    const extent& patch_radius;
    const extent& dims;

    // Neighbor positions along axis a (0 x, 1 y, 2 z, 3 t) of a reference
    // at p: those within the search radius whose patch fits the axis.
    std::int64_t span(int a, std::int64_t p) const {
        const std::int32_t radius[4] = {search.x, search.y, search.z, search.t};
        const std::int32_t r[4] = {patch_radius.x, patch_radius.y, patch_radius.z, patch_radius.t};
        const std::int32_t size[4] = {dims.x, dims.y, dims.z, dims.t};
        const std::int64_t lo = std::max<std::int64_t>(p - radius[a], r[a]);
        const std::int64_t hi = std::min<std::int64_t>(p + radius[a], std::int64_t{size[a]} - r[a] - 1);
        return hi >= lo ? hi - lo + 1 : 0;
    }

    std::int64_t patch_samples() const {
        return (2 * std::int64_t{patch_radius.x} + 1) * (2 * std::int64_t{patch_radius.y} + 1) *
               (2 * std::int64_t{patch_radius.z} + 1) * dims.c * (2 * std::int64_t{patch_radius.t} + 1);
    }

    // One reference position p = (x, y, z, t).
    std::int64_t at(const std::int32_t (&p)[4]) const {
        std::int64_t n = patch_samples();
        for (int a = 0; a < 4; ++a) n *= span(a, p[a]);
        return n;
    }

    // Every position of a grid of count[a] positions from first[a] with
    // spacing step[a]: the sum of at() is a product of sums along the axes.
    std::int64_t of_grid(const std::int32_t (&first)[4], const std::int32_t (&step)[4],
                         const std::int32_t (&count)[4]) const {
        std::int64_t n = patch_samples();
        for (int a = 0; a < 4; ++a) {
            std::int64_t along = 0;
            for (std::int32_t k = 0; k < count[a]; ++k) along += span(a, first[a] + std::int64_t{step[a]} * k);
            n *= along;
        }
        return n;
    }
};

}  // namespace px
