// Median intensity and robust noise variance of one sampling window.

#include "noise/window_statistic.hpp"

#include <algorithm>
#include <cmath>

#include "noise/sensor_noise.hpp"

namespace px {

namespace {

struct axis_span {
    std::int64_t first;
    std::int64_t last;
    std::int64_t length() const { return last - first + 1; }
};

// Positions p - below to p + above, clipped to an axis of the given length.
axis_span clipped(std::int64_t p, std::int64_t below, std::int64_t above, std::int32_t length) {
    return {std::max<std::int64_t>(p - below, 0), std::min<std::int64_t>(p + above, std::int64_t{length} - 1)};
}

}  // namespace

bool measure_window(const array& image, const array& residuals, std::int32_t c, const anchor_position& anchor,
                    std::int64_t block, window_lists& lists, block_statistic& result) {
    const extent& dims = image.dims;
    // Along x the window spans 2B positions, along the other axes 2B + 1.
    const axis_span sx = clipped(anchor.x, block - 1, block, dims.x);
    const axis_span sy = clipped(anchor.y, block, block, dims.y);
    const axis_span sz = clipped(anchor.z, block, block, dims.z);
    const axis_span st = clipped(anchor.t, block, block, dims.t);
    if (sx.length() * sy.length() * sz.length() * st.length() < 3) return false;

    lists.intensities.clear();
    lists.residuals.clear();
    const std::int64_t stride_y = dims.x;
    const std::int64_t stride_z = stride_y * dims.y;
    const std::int64_t stride_t = stride_z * dims.z * dims.c;
    const std::int64_t channel_base = c * stride_z * dims.z;
    for (std::int64_t t = st.first; t <= st.last; ++t) {
        for (std::int64_t z = sz.first; z <= sz.last; ++z) {
            for (std::int64_t y = sy.first; y <= sy.last; ++y) {
                const std::int64_t row = stride_y * y + stride_z * z + channel_base + stride_t * t;
                for (std::int64_t x = sx.first; x <= sx.last; ++x) {
                    lists.intensities.push_back(static_cast<double>(image.values[row + x]));
                    lists.residuals.push_back(static_cast<double>(residuals.values[row + x]));
                }
            }
        }
    }

    const double intensity = sensor_noise::median(lists.intensities);
    const double centre = sensor_noise::median(lists.residuals);
    for (double& r : lists.residuals) r = std::fabs(r - centre);
    const double sigma = sensor_noise::mad_to_sigma * sensor_noise::median(lists.residuals);
    result = {intensity, sigma * sigma};
    return true;
}

}  // namespace px
