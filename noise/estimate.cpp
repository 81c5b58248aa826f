// Per-channel fit of the Poisson-Gaussian model: local (median intensity,
// robust variance) pairs from overlapping windows on a sparse grid, then a
// robust line through them.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <new>
#include <stdexcept>

#include "noise/sensor_noise.hpp"
#include "noise/variance_fit.hpp"
#include "noise/window_statistic.hpp"

namespace px {

namespace {

std::int64_t anchor_count(std::int32_t length, std::int64_t block) {
    return length < 1 ? 0 : (std::int64_t{length} + block - 1) / block;
}

// Appends the statistic of every anchor window of channel c to stats and adds
// them to sums. The anchors are shared out in contiguous runs between the
// threads; a failed allocation in any thread is rethrown after the region,
// since an exception must not leave it.
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
                        const anchor_position anchor{ax * block, ay * block, az * block, at * block};
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
