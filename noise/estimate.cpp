// Per-channel fit of the Poisson-Gaussian model: local (median intensity,
// robust variance) pairs from overlapping windows on a sparse grid, then a
// robust line through them.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <new>
#include <stdexcept>

#include "noise/sensor_noise.hpp"
#include "noise/variance_fit.hpp"

namespace px {

namespace {

struct axis_span {
    std::int64_t first;
    std::int64_t last;
    std::int64_t length() const { return last - first + 1; }
};

// Window of the anchor at p, clipped to an axis of the given length; it
// reaches `below` positions down and `block` positions up.
axis_span window_along(std::int64_t p, std::int64_t below, std::int64_t block, std::int32_t length) {
    return {std::max<std::int64_t>(p - below, 0), std::min<std::int64_t>(p + block, std::int64_t{length} - 1)};
}

std::int64_t anchor_count(std::int32_t length, std::int64_t block) {
    return length < 1 ? 0 : (std::int64_t{length} + block - 1) / block;
}

// The per-thread scratch of the window statistics.
struct window_lists {
    std::vector<double> intensities;
    std::vector<double> residuals;
};

// Median intensity and robust noise variance of channel c inside the window
// of the anchor (x0, y0, z0, t0). False when the window holds fewer than 3
// samples. Throws std::bad_alloc when the lists cannot grow.
bool measure_window(const array& image, const array& residuals, std::int32_t c, const std::int64_t anchor[4],
                    std::int64_t block, window_lists& lists, block_statistic& result) {
    const extent& dims = image.dims;
    // Along x the window spans 2B positions, along the other axes 2B + 1.
    const axis_span sx = window_along(anchor[0], block - 1, block, dims.x);
    const axis_span sy = window_along(anchor[1], block, block, dims.y);
    const axis_span sz = window_along(anchor[2], block, block, dims.z);
    const axis_span st = window_along(anchor[3], block, block, dims.t);
    if (sx.length() * sy.length() * sz.length() * st.length() < 3) return false;

    lists.intensities.clear();
    lists.residuals.clear();
    for (std::int64_t t = st.first; t <= st.last; ++t) {
        for (std::int64_t z = sz.first; z <= sz.last; ++z) {
            for (std::int64_t y = sy.first; y <= sy.last; ++y) {
                const std::int64_t row = image.index(0, static_cast<std::int32_t>(y), static_cast<std::int32_t>(z), c,
                                                     static_cast<std::int32_t>(t));
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

// Appends the statistic of every anchor window of channel c to stats and adds
// them to sums. The anchors are shared out in contiguous runs between the
// threads; a failed allocation in any thread is rethrown after the region.
void gather_block_statistics(const array& image, const array& residuals, std::int32_t c, std::int64_t block,
                             std::vector<block_statistic>& stats, variance_sums& sums) {
    const extent& dims = image.dims;
    const std::int64_t anchors_x = anchor_count(dims.x, block);
    const std::int64_t anchors_y = anchor_count(dims.y, block);
    const std::int64_t anchors_z = anchor_count(dims.z, block);
    const std::int64_t anchors_t = anchor_count(dims.t, block);
    bool out_of_memory = false;

#pragma omp parallel reduction(|| : out_of_memory)
    {
        window_lists lists;
        variance_sums partial;
#pragma omp for collapse(4) schedule(static)
        for (std::int64_t at = 0; at < anchors_t; ++at) {
            for (std::int64_t az = 0; az < anchors_z; ++az) {
                for (std::int64_t ay = 0; ay < anchors_y; ++ay) {
                    for (std::int64_t ax = 0; ax < anchors_x; ++ax) {
                        if (out_of_memory) continue;
                        const std::int64_t anchor[4] = {ax * block, ay * block, az * block, at * block};
                        block_statistic statistic;
                        try {
                            if (!measure_window(image, residuals, c, anchor, block, lists, statistic)) continue;
                        } catch (const std::bad_alloc&) {
                            out_of_memory = true;
                            continue;
                        }
                        bool appended = false;
#pragma omp critical
                        {
                            try {
                                stats.push_back(statistic);
                                appended = true;
                            } catch (const std::bad_alloc&) {
                            }
                        }
                        if (!appended) {
                            out_of_memory = true;
                            continue;
                        }
                        partial.add(statistic);
                    }
                }
            }
        }
#pragma omp atomic
        sums.sw += partial.sw;
#pragma omp atomic
        sums.swx += partial.swx;
#pragma omp atomic
        sums.swxx += partial.swxx;
#pragma omp atomic
        sums.swy += partial.swy;
#pragma omp atomic
        sums.swxy += partial.swxy;
    }
    if (out_of_memory) throw std::bad_alloc();
}

}  // namespace

void sensor_noise::estimate(const array& image) {
    if (block_size < 1) throw std::invalid_argument("block_size must be at least 1");
    array residuals(image.dims, 0.0f);
    pseudo_residuals(image, residuals);
    gain.resize(static_cast<std::size_t>(image.dims.c));
    offset.resize(static_cast<std::size_t>(image.dims.c));

    std::vector<block_statistic> stats;
    for (std::int32_t c = 0; c < image.dims.c; ++c) {
        stats.clear();
        variance_sums sums;
        gather_block_statistics(image, residuals, c, block_size, stats, sums);
        const double d = sums.determinant();
        if (std::fabs(d) <= singular_determinant) {
            // Too few or too alike windows to fit a line: the neutral model.
            std::printf("error\n d=%f\n sw=%f\n swx=%f\n swxx=%f\n N=%f", d, sums.sw, sums.swx, sums.swxx, 0.0);
            std::fflush(stdout);
            gain[c] = 1.0f;
            offset[c] = 0.0f;
            continue;
        }
        const variance_line line = robust_refit(stats, least_squares_line(sums));
        gain[c] = static_cast<float>(line.slope);
        offset[c] = static_cast<float>(line.intercept);
    }
}

}  // namespace px
