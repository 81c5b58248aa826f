#pragma once
// The geometry the neighborhood kernel walks: the rows of a patch in
// canonical order and the window of neighbors of a position.
// Included by the kernel translation units (see simd_lanes.hpp).

#include <cstdint>

#include "denoise/kernel/neighborhood_task.hpp"
#include "denoise/kernel/simd_lanes.hpp"

namespace px::PX_KERNEL_NAMESPACE {

using index_t = std::int64_t;

// Linear strides of y, z, c and t, and the patch rows relative to the
// reference sample, in canonical order: row(offset, k) gets the index offset
// of the row's first sample and that sample's patch index.
struct patch_walk {
    index_t stride_y, stride_z, stride_c, stride_t;
    index_t width;
    std::int32_t radius[4];
    std::int32_t channels;

    explicit patch_walk(const neighborhood_task& task)
        : stride_y(task.size[0]),
          stride_z(stride_y * task.size[1]),
          stride_c(stride_z * task.size[2]),
          stride_t(stride_c * task.channels),
          width(2 * index_t{task.patch_radius[0]} + 1),
          radius{task.patch_radius[0], task.patch_radius[1], task.patch_radius[2], task.patch_radius[3]},
          channels(task.channels) {}

    index_t offset(index_t dx, index_t dy, index_t dz, index_t dt) const {
        return dx + stride_y * dy + stride_z * dz + stride_t * dt;
    }

    index_t row_count() const {
        return (2 * index_t{radius[1]} + 1) * (2 * index_t{radius[2]} + 1) * channels * (2 * index_t{radius[3]} + 1);
    }

    template <class Row>
    void rows(Row&& row) const {
        index_t k = 0;
        for (index_t dt = -radius[3]; dt <= radius[3]; ++dt)
            for (index_t ch = 0; ch < channels; ++ch)
                for (index_t dz = -radius[2]; dz <= radius[2]; ++dz)
                    for (index_t dy = -radius[1]; dy <= radius[1]; ++dy) {
                        row(offset(-radius[0], dy, dz, dt) + stride_c * ch, k);
                        k += width;
                    }
    }
};

// Up to 16 neighbors that follow each other in the kernel's order, as the
// lanes of one vector: in pieces of neighbors that follow each other along
// x (each within one row of the window), piece k the lanes mask[k] from
// lane first[k], its first neighbor delta[k] samples from the position.
struct neighbor_lanes {
    int n = 0;
    int pieces = 0;
    index_t delta[3] = {};
    int first[3] = {};
    std::uint16_t mask[3] = {};
};

// The window of neighbors of a position along each axis.
struct search_window {
    index_t lo[4];
    index_t hi[4];

    search_window(const neighborhood_task& task, const std::int32_t* p) {
        for (int a = 0; a < 4; ++a) {
            const index_t first = index_t{p[a]} - task.search_radius[a];
            const index_t last = index_t{p[a]} + task.search_radius[a];
            lo[a] = first > task.patch_radius[a] ? first : task.patch_radius[a];
            hi[a] = last < index_t{task.size[a]} - task.patch_radius[a] - 1
                        ? last
                        : index_t{task.size[a]} - task.patch_radius[a] - 1;
        }
    }

    index_t neighbors() const {
        index_t total = 1;
        for (int a = 0; a < 4; ++a) total *= hi[a] >= lo[a] ? hi[a] - lo[a] + 1 : 0;
        return total;
    }

    // Calls batch(delta, nx, ny, nz, nt, n) for the batches of up to 16
    // neighbors along x of position p, in the kernel's order: the first
    // neighbor's offset from p and its position, and the batch's size.
    template <class Batch>
    void batches(const patch_walk& walk, const std::int32_t* p, Batch&& batch) const {
        for (index_t nt = lo[3]; nt <= hi[3]; ++nt)
            for (index_t nz = lo[2]; nz <= hi[2]; ++nz)
                for (index_t ny = lo[1]; ny <= hi[1]; ++ny)
                    for (index_t nx = lo[0]; nx <= hi[0];) {
                        const index_t left = hi[0] - nx + 1;
                        const int n = left >= 16 ? 16 : static_cast<int>(left);
                        batch(walk.offset(nx - p[0], ny - p[1], nz - p[2], nt - p[3]), nx, ny, nz, nt, n);
                        nx += n;
                    }
    }

    // Calls run(lanes) for the neighbors of position p in runs of 16, in
    // the kernel's order, each run continuing on the next row of the window
    // where a row ends. A run spans at most three rows, so with rows of at
    // least 8 neighbors only the last run is shorter than 16.
    template <class Run>
    void runs(const patch_walk& walk, const std::int32_t* p, Run&& run) const {
        neighbor_lanes lanes;
        for (index_t nt = lo[3]; nt <= hi[3]; ++nt)
            for (index_t nz = lo[2]; nz <= hi[2]; ++nz)
                for (index_t ny = lo[1]; ny <= hi[1]; ++ny)
                    for (index_t nx = lo[0]; nx <= hi[0];) {
                        if (lanes.pieces == 3) {
                            run(static_cast<const neighbor_lanes&>(lanes));
                            lanes = neighbor_lanes{};
                        }
                        const index_t left = hi[0] - nx + 1;
                        const int take = left < 16 - lanes.n ? static_cast<int>(left) : 16 - lanes.n;
                        lanes.delta[lanes.pieces] = walk.offset(nx - p[0], ny - p[1], nz - p[2], nt - p[3]);
                        lanes.first[lanes.pieces] = lanes.n;
                        lanes.mask[lanes.pieces] = static_cast<std::uint16_t>(((1u << take) - 1u) << lanes.n);
                        ++lanes.pieces;
                        lanes.n += take;
                        nx += take;
                        if (lanes.n == 16) {
                            run(static_cast<const neighbor_lanes&>(lanes));
                            lanes = neighbor_lanes{};
                        }
                    }
        if (lanes.n > 0) run(static_cast<const neighbor_lanes&>(lanes));
    }
};

}  // namespace px::PX_KERNEL_NAMESPACE
